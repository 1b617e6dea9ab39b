#include "ipc/HandshakeFormat.h"

#include <cstdio>
#include <cstring>

#include "ipc/CommMessage.h"
#include "vantu_config.h"

namespace ipc {
namespace handshake {

const uint8_t kMasterKey[kKeySize] = {VANTU_HANDSHAKE_MASTER_KEY_BYTES};

void WriteKeySeed(uint8_t* out)
{
    // Assembled at run time so that the seed never sits in the image as one block.
    const uint32_t words[8] = {VANTU_HANDSHAKE_KEY_SEED_WORDS};
    for (size_t i = 0; i < 8; ++i)
        for (size_t b = 0; b < 4; ++b)
            out[i * 4 + b] = static_cast<uint8_t>(words[i] >> (8 * b));
}

bool FormatProcessIdString(uint32_t serverProcessId, uint32_t clientProcessId, char* out)
{
    if (out == nullptr)
        return false;
    const int written = std::snprintf(out, kProcessIdStringSize + 1, "%8.8X%8.8X",
                                      static_cast<unsigned>(serverProcessId),
                                      static_cast<unsigned>(clientProcessId));
    return written == static_cast<int>(kProcessIdStringSize);
}

void BuildKeyMaterial(const char* processIdString, uint8_t* out)
{
    WriteKeySeed(out);
    std::memcpy(out + kKeySize, processIdString, kProcessIdStringSize);
}

bool ComputeTag(const HmacFunction& hmac, const char* processIdString, const uint8_t* message,
                size_t length, uint8_t* tag)
{
    if (!hmac || processIdString == nullptr || message == nullptr || length == 0 || tag == nullptr)
        return false;
    uint8_t material[kKeyMaterialSize];
    uint8_t connectionKey[kKeySize];
    BuildKeyMaterial(processIdString, material);
    const bool ok = hmac(kMasterKey, material, sizeof(material), connectionKey) &&
                    hmac(connectionKey, message, length, tag);
    SecureZero(material, sizeof(material));
    SecureZero(connectionKey, sizeof(connectionKey));
    return ok;
}

bool BuildTaggedBody(const uint8_t* data, size_t dataLength, const uint8_t* salt,
                     const char* processIdString, const TagFunction& tag, std::vector<uint8_t>& body)
{
    if ((data == nullptr && dataLength != 0) || salt == nullptr || processIdString == nullptr || !tag)
        return false;
    const size_t covered = dataLength + kSaltSize;
    std::vector<uint8_t> message(covered + kProcessIdStringSize);
    if (dataLength != 0)
        std::memcpy(message.data(), data, dataLength);
    std::memcpy(message.data() + dataLength, salt, kSaltSize);
    std::memcpy(message.data() + covered, processIdString, kProcessIdStringSize);

    body.assign(message.begin(), message.begin() + covered);
    body.resize(covered + kTagSize);
    return tag(message.data(), message.size(), body.data() + covered);
}

VerifyStatus VerifyTaggedBody(const uint8_t* body, size_t length, const char* processIdString,
                              const TagFunction& tag)
{
    if (body == nullptr || length < kTrailerSize)
        return VerifyStatus::kTooShort;
    const size_t covered = length - kTagSize;
    std::vector<uint8_t> message(covered + kProcessIdStringSize);
    std::memcpy(message.data(), body, covered);
    if (processIdString == nullptr || !tag)
        return VerifyStatus::kNoTag;
    std::memcpy(message.data() + covered, processIdString, kProcessIdStringSize);
    uint8_t expected[kTagSize];
    if (!tag(message.data(), message.size(), expected))
        return VerifyStatus::kNoTag;
    return ConstantTimeEqual(expected, body + covered, kTagSize) ? VerifyStatus::kOk
                                                                 : VerifyStatus::kMismatch;
}

AnswerStatus ReadHandshakeAnswer(const uint8_t* frame, uint32_t size, const BodyVerifier& verify,
                                 const uint8_t* sentSalt, std::wstring& transportPath)
{
    CommMessage answer;
    if (!answer.CreateFromBuffer(frame, size))
        return AnswerStatus::kBadFrame;
    if (answer.Data() == nullptr)
        return AnswerStatus::kNoData;
    uint32_t dataLength = 0;
    if (!verify || !verify(answer.Data(), answer.DataSize(), dataLength) || dataLength > answer.DataSize())
        return AnswerStatus::kNotAuthentic;
    if (sentSalt == nullptr || std::memcmp(answer.Data() + dataLength, sentSalt, kSaltSize) == 0)
        return AnswerStatus::kReflected;
    std::wstring path(dataLength / 2, L'\0');
    for (size_t i = 0; i < path.size(); ++i)
        path[i] = static_cast<wchar_t>(ReadU16(answer.Data() + 2 * i));
    if (!IsLocalPipePath(path))
        return AnswerStatus::kNotLocal;
    transportPath = std::move(path);
    return AnswerStatus::kOk;
}

bool IsLocalPipePath(const std::wstring& path)
{
    static constexpr wchar_t kPrefix[] = L"\\\\.\\pipe\\";
    static constexpr size_t kPrefixLength = sizeof(kPrefix) / sizeof(kPrefix[0]) - 1;
    static constexpr size_t kMaxNameLength = 256;
    if (path.size() <= kPrefixLength || path.size() > kPrefixLength + kMaxNameLength)
        return false;
    // The system matches the prefix without regard to case.
    for (size_t i = 0; i < kPrefixLength; ++i)
    {
        wchar_t c = path[i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != kPrefix[i])
            return false;
    }
    const std::wstring name = path.substr(kPrefixLength);
    if (name == L"." || name == L"..")
        return false;
    return name.find_first_of(std::wstring(L"\\/\0", 3)) == std::wstring::npos;
}

bool ConstantTimeEqual(const uint8_t* a, const uint8_t* b, size_t length)
{
    volatile uint8_t difference = 0;
    for (size_t i = 0; i < length; ++i)
        difference = static_cast<uint8_t>(difference | (a[i] ^ b[i]));
    return difference == 0;
}

void SecureZero(void* p, size_t length)
{
    volatile uint8_t* bytes = static_cast<volatile uint8_t*>(p);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = 0;
}

}  // namespace handshake
}  // namespace ipc
