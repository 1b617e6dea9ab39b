// Signing toast templates inside tests, over CNG, with the development key
// (or a fresh key pair), independently of the vantu-sign tool.
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ZnCryptoLib/src/windows/CngHandles.h"
#include "support/Hex.h"
#include "support/TestFiles.h"

namespace testsupport {

// The source tree as a Windows path (set by the test's CMakeLists).
inline std::wstring SourcePath(const std::wstring& relative)
{
    return std::wstring(VANTU_TEST_SOURCE_DIR) + L"/" + relative;
}

inline std::string ReadAll(const std::wstring& path) { return ReadFileBytes(path); }

class TestSigner
{
public:
    // The development key of the repository.
    static TestSigner Development()
    {
        TestSigner signer;
        const std::string blob = ReadAll(SourcePath(L"keys/dev-template-signing.key"));
        if (blob.size() == 104 &&
            BCryptImportKeyPair(signer.m_alg.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, signer.m_key.put(),
                                reinterpret_cast<PUCHAR>(const_cast<char*>(blob.data())), 104, 0) == 0)
            std::memcpy(signer.m_public, blob.data() + 8, 64);
        return signer;
    }
    // A key pair that exists only for this test.
    static TestSigner Fresh()
    {
        TestSigner signer;
        uint8_t blob[72] = {};
        ULONG size = 0;
        if (BCryptGenerateKeyPair(signer.m_alg.get(), signer.m_key.put(), 256, 0) == 0 &&
            BCryptFinalizeKeyPair(signer.m_key.get(), 0) == 0 &&
            BCryptExportKey(signer.m_key.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof(blob), &size, 0) == 0)
            std::memcpy(signer.m_public, blob + 8, 64);
        return signer;
    }

    bool valid() const { return static_cast<bool>(m_key); }
    const uint8_t* PublicKey() const { return m_public; }

    // r || s over the SHA-256 of `content`.
    std::vector<uint8_t> Sign(const std::string& content) const
    {
        uint8_t digest[32] = {};
        ZnCryptoLib::CngAlgorithm sha;
        ZnCryptoLib::CngHash hash;
        BCryptOpenAlgorithmProvider(sha.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        BCryptCreateHash(sha.get(), hash.put(), nullptr, 0, nullptr, 0, 0);
        if (!content.empty())
            BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(content.data())),
                           static_cast<ULONG>(content.size()), 0);
        BCryptFinishHash(hash.get(), digest, 32, 0);
        std::vector<uint8_t> signature(64);
        ULONG size = 0;
        if (BCryptSignHash(m_key.get(), nullptr, digest, 32, signature.data(), 64, &size, 0) != 0 || size != 64)
            signature.clear();
        return signature;
    }

    // A whole template: content, separator, hex signature, terminator.
    std::string Template(const std::string& content, bool commentForm, bool upperCase = false) const
    {
        std::string hex = ToHex(Sign(content));
        for (char& c : hex)
            c = upperCase ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        return content + (commentForm ? "\n<!-- " + hex + "-->" : "\r\n\r\n" + hex + "\r\n");
    }

private:
    TestSigner() { BCryptOpenAlgorithmProvider(m_alg.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0); }

    ZnCryptoLib::CngAlgorithm m_alg;
    ZnCryptoLib::CngKey m_key;
    uint8_t m_public[64] = {};
};

}  // namespace testsupport
