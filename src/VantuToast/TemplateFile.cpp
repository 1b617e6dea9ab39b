#include "VantuToast/TemplateFile.h"

#include <windows.h>

#include <shlwapi.h>

#include <climits>
#include <memory>
#include <new>

#include "VantuToast/SignatureUtils.h"
#include "logging/Logger.h"
#include "platform/ScopedHandle.h"

namespace {

constexpr wchar_t kLogModule[] = L"TemplateFile";

}  // namespace

std::wstring ReadTemplateFile(const std::wstring& path)
{
    return ReadTemplateFileWithKey(path, TemplateSigningKey);
}

std::wstring ReadTemplateFileWithKey(const std::wstring& path, const uint8_t* publicKey)
{
    if (!PathFileExistsW(path.c_str()))
    {
        VT_LOG(ERR) << "XML template does not exist: " << path;
        return std::wstring();
    }

    const Groundwork::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
    {
        VT_LOG(ERR) << "CreateFile failed";
        return std::wstring();
    }

    // The whole file is read and counted in a signed 32-bit size: anything
    // larger is refused rather than read in part.
    DWORD high = 0;
    const DWORD size = GetFileSize(file.get(), &high);
    if (size == INVALID_FILE_SIZE || high != 0 || size > static_cast<DWORD>(INT32_MAX))
    {
        VT_LOG(ERR) << "GetFileSize failed";
        return std::wstring();
    }

    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    if (!buffer)
    {
        VT_LOG(ERR) << "Failed to allocate buffer failed";
        return std::wstring();
    }

    // A short read (the file shrank, or a device gave less) is a failure:
    // the signature must be checked over exactly the bytes that are shown.
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.get(), size, &read, nullptr) || read != size)
    {
        VT_LOG(ERR) << "ReadFile Failed";
        return std::wstring();
    }

    uint32_t contentLength = 0;
    if (!VerifyFileSignatureWithKey(buffer.get(), static_cast<int32_t>(size), &contentLength, publicKey))
    {
        VT_LOG(ERR) << "Signature verification failed: " << path;
        return std::wstring();
    }

    if (contentLength == 0)
        return std::wstring();
    const char* content = reinterpret_cast<const char*>(buffer.get());
    const int length = static_cast<int>(contentLength);
    const int chars = MultiByteToWideChar(CP_UTF8, 0, content, length, nullptr, 0);
    if (chars <= 0)
    {
        VT_LOG(ERR) << "Failed to convert XML content to wstring";
        return std::wstring();
    }
    std::wstring xml;
    try
    {
        xml.resize(static_cast<size_t>(chars));
    }
    catch (const std::bad_alloc&)
    {
        VT_LOG(ERR) << "Failed to convert XML content to wstring";
        return std::wstring();
    }
    if (MultiByteToWideChar(CP_UTF8, 0, content, length, &xml[0], chars) != chars)
    {
        VT_LOG(ERR) << "Failed to convert XML content to wstring";
        return std::wstring();
    }
    return xml;
}
