// Signed templates on disk: ReadTemplateFile and VerifyFileSignature over
// CNG, with templates signed in the test and by OpenSSL (fixtures). What the
// vantu-sign tool signs is read back in its own tests, and the samples the
// build signs are shown by the demo's end-to-end test.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <tuple>
#include <vector>

#include "VantuToast/SignatureUtils.h"
#include "VantuToast/VantuToast.h"
#include "support/Hex.h"
#include "support/LogCapture.h"
#include "support/TemplateSigning.h"
#include "support/TestFiles.h"

using testsupport::ReadAll;
using testsupport::ScopedLogCapture;
using testsupport::SourcePath;
using testsupport::TempDir;
using testsupport::TestSigner;
using testsupport::WriteFileBytes;

namespace {

const std::string kXml =
    "<toast launch=\"action=open\"><visual><binding template=\"ToastGeneric\">"
    "<text>Caf\xC3\xA9 \xE2\x9C\x93</text></binding></visual></toast>";

bool Verify(const std::string& file, const uint8_t* key, uint32_t* contentLength = nullptr)
{
    return VerifyFileSignatureWithKey(reinterpret_cast<const uint8_t*>(file.data()), static_cast<int32_t>(file.size()),
                                      contentLength, key);
}

class TemplateTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dev.valid()) << "the development key could not be loaded";
        ASSERT_EQ(64u, devKey.size());
    }

    std::wstring Write(const std::wstring& name, const std::string& bytes)
    {
        WriteFileBytes(dir / name, bytes);
        return dir / name;
    }

    // Reading `path` gives nothing, and logs one line: `line`.
    void ExpectRefused(const std::wstring& path, const std::wstring& line)
    {
        ScopedLogCapture capture(LogSeverity::DBG);
        EXPECT_EQ(L"", ReadTemplateFileWithKey(path, devKey.data()));
        EXPECT_EQ(1u, capture.Lines().size()) << capture.Text();
        EXPECT_TRUE(capture.Has(L"ERR", L"VantuToast", line)) << capture.Text();
    }

    TestSigner dev = TestSigner::Development();
    std::vector<uint8_t> devKey = testsupport::FromHex(ReadAll(SourcePath(L"keys/dev-template-signing.pub.hex")).substr(0, 128));
    TempDir dir;
};

}  // namespace

TEST_F(TemplateTest, ChangedContentKeyOrSignatureIsRefused)
{
    const std::string good = dev.Template(kXml, true);
    ASSERT_TRUE(Verify(good, devKey.data()));

    std::string content = good;
    content[10] ^= 0x01;
    std::string signature = good;
    char& digit = signature[kXml.size() + 6 + 77];
    digit = digit == 'a' ? 'b' : 'a';
    const TestSigner other = TestSigner::Fresh();
    ASSERT_TRUE(other.valid());
    const std::string otherSigned = other.Template(kXml, true);

    const std::tuple<const char*, std::string, const uint8_t*> cases[] = {
        {"content byte", content, devKey.data()},
        {"signature character", signature, devKey.data()},
        {"other signer", otherSigned, devKey.data()},
        {"other verifier", good, other.PublicKey()},
    };
    for (const auto& [what, file, key] : cases)
    {
        SCOPED_TRACE(what);
        uint32_t contentLength = 0xFFFF;
        EXPECT_FALSE(Verify(file, key, &contentLength));
        EXPECT_EQ(kXml.size(), contentLength) << "the content length is stored before the check";
        EXPECT_EQ(L"", ReadTemplateFileWithKey(Write(L"bad.template", file), key));
    }
    uint32_t contentLength = 99;
    EXPECT_FALSE(Verify(dev.Template("", false).substr(1), devKey.data(), &contentLength)) << "shorter than its trailer";
    EXPECT_EQ(99u, contentLength);
    EXPECT_FALSE(VerifyFileSignatureWithKey(nullptr, 200, &contentLength, devKey.data()));
}

// The fixtures were signed once with the development key by OpenSSL
// (`openssl dgst -sha256 -sign`, the DER signature rewritten as r || s):
// the comment form in lower case, the plain form in upper case.
TEST_F(TemplateTest, OpenSslSignedFixturesVerify)
{
    const std::string content = ReadAll(SourcePath(L"tests/VantuToast/fixtures/openssl-content.xml"));
    ASSERT_FALSE(content.empty());
    for (const wchar_t* name : {L"openssl-signed.template", L"openssl-signed-plain.template"})
    {
        const std::wstring path = SourcePath(std::wstring(L"tests/VantuToast/fixtures/") + name);
        uint32_t contentLength = 0;
        EXPECT_TRUE(Verify(ReadAll(path), devKey.data(), &contentLength)) << name;
        EXPECT_EQ(content.size(), contentLength);
        const std::wstring xml = ReadTemplateFileWithKey(path, devKey.data());
        EXPECT_NE(std::wstring::npos, xml.find(L"Pr\x00FC\x0066ung bestanden \x2014 \x691C\x8A3C\x6E08\x307F \x2713"))
            << name;
        EXPECT_EQ(0u, xml.find(L"<?xml version=\"1.0\""));
    }
}

// Each failing step refuses the file and logs one line: a missing file; a
// folder, which exists but cannot be opened as a file; a file too large for
// a signed 32-bit size.
TEST_F(TemplateTest, UnreadableFilesAreRefusedAtTheirStep)
{
    ExpectRefused(dir / L"none.template", L"XML template does not exist: " + dir / L"none.template");
    ExpectRefused(dir.Path(), L"CreateFile failed");

    // A valid template at the start of a sparse file of 4 GiB + its own
    // length: the low 32 bits of the size alone would describe exactly that
    // valid template.
    const std::string good = dev.Template(kXml, true);
    for (const uint64_t size : {(uint64_t{1} << 32) + good.size(), uint64_t{0x80000000}})
    {
        const std::wstring path = Write(L"huge.template", good);
        {
            HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
            LARGE_INTEGER end;
            end.QuadPart = static_cast<LONGLONG>(size);
            const bool extended = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
            CloseHandle(file);
            if (!extended)
                GTEST_SKIP() << "cannot make a file of " << size << " bytes here: " << GetLastError();
        }
        SCOPED_TRACE(size);
        ExpectRefused(path, L"GetFileSize failed");
        DeleteFileW(path.c_str());
    }
}
