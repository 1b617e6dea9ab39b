#include "ipc/Authenticator.h"

#include <cstring>
#include <new>

#include "ZnCryptoLib/src/windows/CZnCryptoHMACWin.h"
#include "ZnCryptoLib/src/windows/CZnCryptoRandomWin.h"
#include "ipc/HandshakeFormat.h"
#include "logging/RepeatedFailures.h"

namespace ipc {

namespace {

constexpr wchar_t kLogModule[] = L"Authenticator";

using namespace handshake;

// Key material and connection key are wiped before their memory is released.
struct WipedBuffer
{
    explicit WipedBuffer(size_t size) : bytes(new (std::nothrow) uint8_t[size]), length(size) {}
    ~WipedBuffer()
    {
        if (bytes)
            SecureZero(bytes.get(), length);
    }
    std::unique_ptr<uint8_t[]> bytes;
    size_t length;
};

}  // namespace

bool HmacSha256(const uint8_t* key, const uint8_t* message, size_t length, uint8_t* out)
{
    if (key == nullptr || message == nullptr || length == 0 || length > UINT32_MAX || out == nullptr)
        return false;
    ZnCryptoLib::CZnCryptoHMACWin hmac;
    return hmac.Initialize(key) == ZnCryptoLib::ZN_STATUS_SUCCESS &&
           hmac.ComputeHash(message, static_cast<uint32_t>(length), out) == ZnCryptoLib::ZN_STATUS_SUCCESS;
}

std::unique_ptr<char[]> Authenticator::ProcessIdString(HANDLE pipe)
{
    ULONG server = 0;
    ULONG client = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server) || !GetNamedPipeClientProcessId(pipe, &client))
    {
        VT_LOG(ERR) << "Failed to get server/client process ID. Error: " << GetLastError();
        return nullptr;
    }
    std::unique_ptr<char[]> text(new (std::nothrow) char[kProcessIdStringSize + 1]);
    if (!text)
    {
        VT_LOG(ERR) << "Failed to allocate process ID string buffer";
        return nullptr;
    }
    if (!FormatProcessIdString(server, client, text.get()))
    {
        VT_LOG(ERR) << "Failed to create server-client process ID string";
        return nullptr;
    }
    return text;
}

std::unique_ptr<uint8_t[]> Authenticator::GenerateSalt()
{
    std::unique_ptr<uint8_t[]> salt(new (std::nothrow) uint8_t[kSaltSize]);
    if (!salt)
    {
        VT_LOG(ERR) << "Failed to allocate random data buffer";
        return nullptr;
    }
    ZnCryptoLib::CZnCryptoRandomWin random;
    if (random.Initialize() != ZnCryptoLib::ZN_STATUS_SUCCESS ||
        random.GetRandomBytes(salt.get(), static_cast<uint32_t>(kSaltSize)) != ZnCryptoLib::ZN_STATUS_SUCCESS)
    {
        VT_LOG(ERR) << "Failed to generate random data buffer";
        return nullptr;
    }
    return salt;
}

std::unique_ptr<uint8_t[]> Authenticator::GenerateHmac(const uint8_t* message, uint32_t length, HANDLE pipe)
{
    if (message == nullptr)
    {
        VT_LOG(ERR) << "Buffer not provided to generate HMAC";
        return nullptr;
    }
    if (length == 0)
    {
        VT_LOG(ERR) << "Length of data buffer for HMAC generation has to be greater than zero";
        return nullptr;
    }
    WipedBuffer material(kKeyMaterialSize);
    if (!material.bytes)
    {
        VT_LOG(ERR) << "Failed to allocate HMAC key buffer";
        return nullptr;
    }
    const std::unique_ptr<char[]> pids = ProcessIdString(pipe);
    if (!pids)
    {
        VT_LOG(ERR) << "Failed to retrieve process id string";
        return nullptr;
    }
    BuildKeyMaterial(pids.get(), material.bytes.get());

    ZnCryptoLib::CZnCryptoHMACWin keyHmac;
    if (keyHmac.Initialize(kMasterKey) != ZnCryptoLib::ZN_STATUS_SUCCESS)
    {
        VT_LOG(ERR) << "Key HMAC creator initialization failed";
        return nullptr;
    }
    WipedBuffer connectionKey(kKeySize);
    if (!connectionKey.bytes)
    {
        VT_LOG(ERR) << "Failed to allocate key HMAC buffer";
        return nullptr;
    }
    if (keyHmac.ComputeHash(material.bytes.get(), static_cast<uint32_t>(kKeyMaterialSize),
                            connectionKey.bytes.get()) != ZnCryptoLib::ZN_STATUS_SUCCESS)
    {
        VT_LOG(ERR) << "Key HMAC generation failed";
        return nullptr;
    }

    ZnCryptoLib::CZnCryptoHMACWin hmac;
    if (hmac.Initialize(connectionKey.bytes.get()) != ZnCryptoLib::ZN_STATUS_SUCCESS)
    {
        VT_LOG(ERR) << "HMAC initialization failed";
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> tag(new (std::nothrow) uint8_t[kTagSize]);
    if (!tag)
    {
        VT_LOG(ERR) << "Failed to allocate HMAC buffer";
        return nullptr;
    }
    if (hmac.ComputeHash(message, length, tag.get()) != ZnCryptoLib::ZN_STATUS_SUCCESS)
    {
        VT_LOG(ERR) << "HMAC generation failed";
        return nullptr;
    }
    return tag;
}

std::unique_ptr<uint8_t[]> Authenticator::Authenticate(HANDLE pipe, const uint8_t* data, uint32_t& length)
{
    length = 0;
    if (data == nullptr)
    {
        VT_LOG(ERR) << "Buffer not provided to authenticate";
        return nullptr;
    }
    // The tagged message: data | salt | pid string, 32 bytes.
    constexpr size_t kSaltOffset = kClientDataSize;
    constexpr size_t kPidsOffset = kSaltOffset + kSaltSize;
    constexpr size_t kMessageSize = kPidsOffset + kProcessIdStringSize;
    const std::unique_ptr<uint8_t[]> message(new (std::nothrow) uint8_t[kMessageSize]);
    if (!message)
    {
        VT_LOG(ERR) << "Failed to allocate buffer to be used for authentication";
        return nullptr;
    }
    std::memcpy(message.get(), data, kClientDataSize);
    const std::unique_ptr<uint8_t[]> salt = GenerateSalt();
    if (!salt)
    {
        VT_LOG(ERR) << "Failed to copy salt into authentication buffer";
        return nullptr;
    }
    std::memcpy(message.get() + kSaltOffset, salt.get(), kSaltSize);
    const std::unique_ptr<char[]> pids = ProcessIdString(pipe);
    if (!pids)
    {
        VT_LOG(ERR) << "Failed to copy process ID string into authentication buffer";
        return nullptr;
    }
    std::memcpy(message.get() + kPidsOffset, pids.get(), kProcessIdStringSize);
    const std::unique_ptr<uint8_t[]> tag = GenerateHmac(message.get(), static_cast<uint32_t>(kMessageSize), pipe);
    if (!tag)
    {
        VT_LOG(ERR) << "HMAC generation failed";
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kClientBodySize]);
    if (!buffer)
    {
        VT_LOG(ERR) << "Failed to allocate authenticated buffer";
        return nullptr;
    }
    // data | salt, as tagged, then the tag.
    std::memcpy(buffer.get(), message.get(), kPidsOffset);
    std::memcpy(buffer.get() + kPidsOffset, tag.get(), kTagSize);
    length = static_cast<uint32_t>(kClientBodySize);
    return buffer;
}

bool Authenticator::VerifyAuthentication(HANDLE pipe, const uint8_t* buffer, uint32_t length,
                                         uint32_t& dataLength)
{
    dataLength = 0;
    if (buffer == nullptr)
    {
        VT_LOG(ERR) << "Buffer not provided to verify authentication";
        return false;
    }
    if (length < kTrailerSize)
    {
        VT_LOG_REPEAT(ERR) << "Invalid length of data buffer to verify authentication";
        return false;
    }
    const std::unique_ptr<char[]> pids = ProcessIdString(pipe);
    if (!pids)
    {
        VT_LOG(ERR) << "Failed to copy process ID string into buffer to authenticate";
        return false;
    }
    const TagFunction tag = [pipe](const uint8_t* message, size_t size, uint8_t* out) {
        const std::unique_ptr<uint8_t[]> computed = GenerateHmac(message, static_cast<uint32_t>(size), pipe);
        if (!computed)
            return false;
        std::memcpy(out, computed.get(), kTagSize);
        return true;
    };
    VerifyStatus status = VerifyStatus::kNoTag;
    try
    {
        status = VerifyTaggedBody(buffer, length, pids.get(), tag);
    }
    catch (const std::bad_alloc&)
    {
        // The answer's length is the server's to choose (up to 10 MiB).
        VT_LOG(ERR) << "Failed to allocate buffer to verify authentication";
        return false;
    }
    if (status != VerifyStatus::kOk)
    {
        VT_LOG_REPEAT(ERR) << "HMAC authentication failed";
        return false;
    }
    dataLength = length - static_cast<uint32_t>(kTrailerSize);
    return true;
}

}  // namespace ipc
