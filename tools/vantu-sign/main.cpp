// vantu-sign: creates P-256 key pairs, signs toast XML into templates and
// verifies templates, exactly as VantuToast.dll reads them.
//
//   vantu-sign keygen --out KEYFILE
//   vantu-sign sign --key KEYFILE --in XMLFILE --out TEMPLATE [--plain]
//   vantu-sign verify --public HEX128 --in TEMPLATE
#include <windows.h>

#include <bcrypt.h>
#include <msxml2.h>
#include <oleauto.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VantuToast/SignatureUtils.h"
#include "VantuToast/TemplateTrailer.h"
#include "ZnCryptoLib/src/windows/CngHandles.h"
#include "logging/Logger.h"
#include "platform/ScopedHandle.h"
#include "platform/SecurityDescriptor.h"
#include "platform/SessionUtils.h"

using ZnCryptoLib::CngAlgorithm;
using ZnCryptoLib::CngHash;
using ZnCryptoLib::CngKey;
using Microsoft::WRL::ComPtr;

namespace {

constexpr ULONG kPrivateBlobLength = 104;  // BCRYPT_ECCKEY_BLOB + X + Y + d
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const wchar_t kUsage[] =
    L"usage: vantu-sign keygen --out KEYFILE\n"
    L"       vantu-sign sign --key KEYFILE --in XMLFILE --out TEMPLATE [--plain]\n"
    L"       vantu-sign verify --public HEX128 --in TEMPLATE\n"
    L"       vantu-sign COMMAND --help\n";

const wchar_t kKeygenHelp[] =
    L"vantu-sign keygen --out KEYFILE\n"
    L"  Creates a P-256 key pair. Writes the private key to KEYFILE as a CNG\n"
    L"  ECCPRIVATEBLOB (104 bytes) and prints the public key as 128 hexadecimal\n"
    L"  characters (X then Y), the form VANTU_TEMPLATE_PUBLIC_KEY takes.\n"
    L"  KEYFILE is created readable by its owner alone; an existing file is\n"
    L"  never overwritten.\n";

const wchar_t kSignHelp[] =
    L"vantu-sign sign --key KEYFILE --in XMLFILE --out TEMPLATE [--plain]\n"
    L"  Signs the bytes of XMLFILE (UTF-8 toast XML) with the private key in\n"
    L"  KEYFILE: ECDSA P-256 over SHA-256. TEMPLATE is the XML followed by the\n"
    L"  signature as 128 hexadecimal characters, inside an XML comment (137-byte\n"
    L"  trailer, the file stays well-formed) or, with --plain, the 134-byte form.\n"
    L"  XMLFILE must be well-formed XML whose root element is <toast>, as the\n"
    L"  library can show nothing else; anything else is refused.\n";

const wchar_t kVerifyHelp[] =
    L"vantu-sign verify --public HEX128 --in TEMPLATE\n"
    L"  Checks the signature of TEMPLATE with a public key of 128 hexadecimal\n"
    L"  characters (X then Y). Prints the content length and exits with 0 when it\n"
    L"  verifies; prints the reason and exits with 1 when it does not.\n";

// Library diagnostics (hex decoding, signature checks) go to standard error
// instead of a log file.
class StderrSink : public ILogSink
{
public:
    void Write(const std::wstring& line) override { std::fwprintf(stderr, L"  %ls", line.c_str()); }
};

int Fail(const std::wstring& message)
{
    std::fwprintf(stderr, L"vantu-sign: %ls\n", message.c_str());
    return kExitFailure;
}

std::wstring ErrorText(DWORD error)
{
    return L"error " + std::to_wstring(error);
}

std::wstring StatusText(NTSTATUS status)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(status));
    return text;
}

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& bytes, std::wstring& error)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        error = L"cannot open " + path + L": " + ErrorText(GetLastError());
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    {
        error = path + L" is a folder, not a file";
        return false;
    }
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in)
    {
        error = L"cannot read " + path;
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad())
    {
        error = L"cannot read " + path;
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes, std::wstring& error)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
    {
        error = L"cannot write " + path;
        return false;
    }
    return true;
}

std::wstring Hex(const uint8_t* bytes, size_t count)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring hex;
    for (size_t i = 0; i < count; ++i)
    {
        hex.push_back(kDigits[bytes[i] >> 4]);
        hex.push_back(kDigits[bytes[i] & 15]);
    }
    return hex;
}

// Strict decoding for the command line: exactly 128 hexadecimal digits.
bool ParsePublicKey(const std::wstring& hex, uint8_t* key)
{
    if (hex.size() != 2 * kTemplateSigningKeyLength)
        return false;
    auto nibble = [](wchar_t c) -> int {
        if (c >= L'0' && c <= L'9') return c - L'0';
        if (c >= L'a' && c <= L'f') return c - L'a' + 10;
        if (c >= L'A' && c <= L'F') return c - L'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < kTemplateSigningKeyLength; ++i)
    {
        const int high = nibble(hex[2 * i]);
        const int low = nibble(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        key[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

// MSXML 6 DOMDocument60 (mingw-w64 declares only the older classes): the
// parser behind the platform's XML document that the library loads toasts into.
constexpr CLSID kClsidDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};

void FreeBstr(BSTR value)
{
    SysFreeString(value);
}

using Bstr = Groundwork::UniqueNull<BSTR, FreeBstr>;

// COM for the calling thread while a document is parsed.
struct ComScope
{
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComScope() = default;
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope()
    {
        if (SUCCEEDED(result))
            CoUninitialize();
    }
};

std::wstring Trimmed(const wchar_t* text)
{
    std::wstring s = text ? text : L"";
    while (!s.empty() && iswspace(s.back()))
        s.pop_back();
    return s;
}

// The library reads a template's content as UTF-8 and loads it into the
// platform's XML document; content that is not UTF-8, not well-formed XML or
// not a <toast> can never be shown, so it is not signed. Returns an empty
// string when the content is a toast, else why not.
std::wstring ToastXmlProblem(const std::vector<uint8_t>& xml)
{
    if (xml.empty())
        return L"is empty";
    const char* bytes = reinterpret_cast<const char*>(xml.data());
    const int size = static_cast<int>(xml.size());
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, size, nullptr, 0);
    if (length <= 0)
        return L"is not UTF-8 text";
    Bstr text;
    text.reset(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (!text || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, size, text.get(), length) != length)
        return L"cannot be converted to UTF-16";

    ComScope com;
    ComPtr<IXMLDOMDocument> dom;
    const HRESULT hr = CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                        reinterpret_cast<void**>(dom.GetAddressOf()));
    if (FAILED(hr))
        return L"cannot be checked: MSXML 6 is not available (" + StatusText(hr) + L")";
    dom->put_async(VARIANT_FALSE);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (dom->loadXML(text.get(), &loaded) != S_OK || loaded != VARIANT_TRUE)
    {
        ComPtr<IXMLDOMParseError> error;
        Bstr reason;
        long line = 0;
        long column = 0;
        if (SUCCEEDED(dom->get_parseError(&error)) && error)
        {
            error->get_reason(reason.put());
            error->get_line(&line);
            error->get_linepos(&column);
        }
        return L"is not well-formed XML (line " + std::to_wstring(line) + L", column " + std::to_wstring(column) +
               L"): " + Trimmed(reason.get());
    }
    ComPtr<IXMLDOMElement> root;
    Bstr name;
    if (dom->get_documentElement(&root) != S_OK || !root || FAILED(root->get_tagName(name.put())))
        return L"has no root element";
    if (Trimmed(name.get()) != L"toast")
        return L"has the root element <" + Trimmed(name.get()) + L">, not <toast>";
    return L"";
}

// Options after the command: "--name value" pairs and bare flags.
struct Options
{
    std::map<std::wstring, std::wstring> values;
    bool help = false;
    bool plain = false;
    std::wstring error;
};

Options ParseOptions(const std::vector<std::wstring>& args, const std::vector<std::wstring>& valueNames,
                     bool allowPlain)
{
    Options options;
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& arg = args[i];
        if (arg == L"--help" || arg == L"-h")
        {
            options.help = true;
        }
        else if (allowPlain && arg == L"--plain")
        {
            options.plain = true;
        }
        else if (std::find(valueNames.begin(), valueNames.end(), arg) != valueNames.end())
        {
            if (i + 1 >= args.size())
            {
                options.error = arg + L" needs a value";
                return options;
            }
            options.values[arg] = args[++i];
        }
        else
        {
            options.error = L"unknown option " + arg;
            return options;
        }
    }
    for (const std::wstring& name : valueNames)
    {
        if (!options.help && options.values.count(name) == 0 && options.error.empty())
            options.error = L"missing " + name;
    }
    return options;
}

// A new file readable and writable by its owner alone: the private key
// must not be readable by the other users of the machine, and an existing
// key (or a link planted at its name) is never overwritten.
bool WritePrivateKeyFile(const std::wstring& path, const uint8_t* bytes, DWORD size, std::wstring& error)
{
    const std::wstring user = Groundwork::CurrentUserSidString();
    const auto descriptor = user.empty() ? Groundwork::LocalMemory<PSECURITY_DESCRIPTOR>()
                                         : Groundwork::DescriptorFromSddl((L"D:P(A;;FA;;;" + user + L")").c_str());
    if (descriptor.get() == nullptr)
    {
        error = L"cannot build an owner-only descriptor: " + ErrorText(GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
    Groundwork::ScopedHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
    {
        const DWORD code = GetLastError();
        error = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS
                    ? path + L" exists; a key is never overwritten"
                    : L"cannot create " + path + L": " + ErrorText(code);
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes, size, &written, nullptr) || written != size)
    {
        error = L"cannot write " + path + L": " + ErrorText(GetLastError());
        file.reset();
        DeleteFileW(path.c_str());
        return false;
    }
    return true;
}

int Keygen(const Options& options)
{
    CngAlgorithm provider;
    NTSTATUS status = BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status))
        return Fail(L"cannot open the ECDSA P-256 provider: " + StatusText(status));
    CngKey key;
    status = BCryptGenerateKeyPair(provider.get(), key.put(), 256, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptFinalizeKeyPair(key.get(), 0);
    if (!BCRYPT_SUCCESS(status))
        return Fail(L"cannot generate a key pair: " + StatusText(status));

    uint8_t blob[kPrivateBlobLength] = {};
    ULONG size = 0;
    status = BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof(blob), &size, 0);
    if (!BCRYPT_SUCCESS(status) || size != kPrivateBlobLength)
        return Fail(L"cannot export the private key: " + StatusText(status));

    std::wstring error;
    const bool written = WritePrivateKeyFile(options.values.at(L"--out"), blob, sizeof(blob), error);
    const std::wstring publicHex = Hex(blob + 8, kTemplateSigningKeyLength);
    SecureZeroMemory(blob, sizeof(blob));
    if (!written)
        return Fail(error);
    std::wprintf(L"%ls\n", publicHex.c_str());
    return 0;
}

// Reads and checks a private key file; `publicKey` receives X then Y.
bool LoadPrivateKey(const std::wstring& path, BCRYPT_ALG_HANDLE provider, CngKey& key, uint8_t* publicKey,
                    std::wstring& error)
{
    std::vector<uint8_t> blob;
    if (!ReadWholeFile(path, blob, error))
        return false;
    if (blob.size() != kPrivateBlobLength)
    {
        error = L"key file " + path + L" holds " + std::to_wstring(blob.size()) +
                L" bytes; a P-256 private key (ECCPRIVATEBLOB) holds 104";
        return false;
    }
    BCRYPT_ECCKEY_BLOB header;
    std::memcpy(&header, blob.data(), sizeof(header));
    if (header.dwMagic != BCRYPT_ECDSA_PRIVATE_P256_MAGIC || header.cbKey != 32)
    {
        error = L"key file " + path + L" is not a P-256 private key (ECCPRIVATEBLOB)";
        return false;
    }
    const NTSTATUS status = BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPRIVATE_BLOB, key.put(),
                                                blob.data(), static_cast<ULONG>(blob.size()), 0);
    std::memcpy(publicKey, blob.data() + sizeof(header), kTemplateSigningKeyLength);
    SecureZeroMemory(blob.data(), blob.size());
    if (!BCRYPT_SUCCESS(status))
    {
        error = L"key file " + path + L" cannot be imported: " + StatusText(status);
        return false;
    }
    return true;
}

int Sign(const Options& options)
{
    const std::wstring& xmlPath = options.values.at(L"--in");
    const std::wstring& outPath = options.values.at(L"--out");
    CngAlgorithm ecdsa;
    NTSTATUS status = BCryptOpenAlgorithmProvider(ecdsa.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status))
        return Fail(L"cannot open the ECDSA P-256 provider: " + StatusText(status));
    CngKey key;
    uint8_t publicKey[kTemplateSigningKeyLength];
    std::wstring error;
    if (!LoadPrivateKey(options.values.at(L"--key"), ecdsa.get(), key, publicKey, error))
        return Fail(error);

    std::vector<uint8_t> xml;
    if (!ReadWholeFile(xmlPath, xml, error))
        return Fail(error);
    if (xml.size() > static_cast<size_t>(INT32_MAX - kCommentTrailerLength))
        return Fail(xmlPath + L" is too large for a template");
    const std::wstring problem = ToastXmlProblem(xml);
    if (!problem.empty())
        return Fail(xmlPath + L" " + problem + L"; a template must hold toast XML (root element <toast>), "
                                                L"nothing signed");

    CngAlgorithm sha;
    CngHash hash;
    uint8_t digest[32];
    status = BCryptOpenAlgorithmProvider(sha.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptCreateHash(sha.get(), hash.put(), nullptr, 0, nullptr, 0, 0);
    if (BCRYPT_SUCCESS(status) && !xml.empty())
        status = BCryptHashData(hash.get(), xml.data(), static_cast<ULONG>(xml.size()), 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptFinishHash(hash.get(), digest, sizeof(digest), 0);
    if (!BCRYPT_SUCCESS(status))
        return Fail(L"cannot hash " + xmlPath + L": " + StatusText(status));

    uint8_t signature[kSignatureLength];
    ULONG signatureSize = 0;
    status = BCryptSignHash(key.get(), nullptr, digest, sizeof(digest), signature, sizeof(signature),
                            &signatureSize, 0);
    if (!BCRYPT_SUCCESS(status) || signatureSize != kSignatureLength)
        return Fail(L"cannot sign: " + StatusText(status));

    std::string file(xml.begin(), xml.end());
    file += BuildTemplateTrailer(signature, !options.plain);

    // A template this tool writes must be one the library accepts.
    uint32_t contentLength = 0;
    if (!VerifyFileSignatureWithKey(reinterpret_cast<const uint8_t*>(file.data()), static_cast<int32_t>(file.size()),
                                    &contentLength, publicKey) ||
        contentLength != xml.size())
        return Fail(L"the signed template does not verify; nothing written");

    if (!WriteWholeFile(outPath, file, error))
        return Fail(error);
    return 0;
}

int Verify(const Options& options)
{
    uint8_t publicKey[kTemplateSigningKeyLength];
    if (!ParsePublicKey(options.values.at(L"--public"), publicKey))
        return Fail(L"--public must be 128 hexadecimal characters (X then Y)");
    const std::wstring& path = options.values.at(L"--in");
    std::vector<uint8_t> bytes;
    std::wstring error;
    if (!ReadWholeFile(path, bytes, error))
        return Fail(error);
    if (bytes.size() > static_cast<size_t>(INT32_MAX))
        return Fail(path + L" is too large for a template");
    const int32_t count = static_cast<int32_t>(bytes.size());
    TemplateTrailerLayout layout;
    if (!ParseTemplateTrailer(bytes.data(), count, layout))
    {
        return Fail(path + L" holds " + std::to_wstring(count) +
                    L" bytes, too short for a signed template (a trailer takes 134 bytes, 137 ending in \"-->\")");
    }
    uint32_t contentLength = 0;
    if (!VerifyFileSignatureWithKey(bytes.data(), count, &contentLength, publicKey))
        return Fail(L"the signature of " + path + L" does not verify with the given public key");
    std::wprintf(L"verified: %ls, content length %lu bytes\n", path.c_str(),
                 static_cast<unsigned long>(contentLength));
    return 0;
}

}  // namespace

int main(int, char**)
{
    int argc = 0;
    const Groundwork::LocalMemory<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv)
        return Fail(L"cannot read the command line");
    std::vector<std::wstring> args(argv.get() + 1, argv.get() + argc);

    Logger::Instance().Configure(std::make_shared<StderrSink>(), static_cast<uint32_t>(LogSeverity::ERR));

    if (args.empty() || args[0] == L"--help" || args[0] == L"-h")
    {
        std::fwprintf(args.empty() ? stderr : stdout, L"%ls", kUsage);
        return args.empty() ? kExitUsage : 0;
    }
    const std::wstring command = args[0];
    args.erase(args.begin());

    struct Command
    {
        const wchar_t* name;
        const wchar_t* help;
        std::vector<std::wstring> values;
        bool allowPlain;
        int (*run)(const Options&);
    };
    const Command commands[] = {
        {L"keygen", kKeygenHelp, {L"--out"}, false, Keygen},
        {L"sign", kSignHelp, {L"--key", L"--in", L"--out"}, true, Sign},
        {L"verify", kVerifyHelp, {L"--public", L"--in"}, false, Verify},
    };
    for (const Command& c : commands)
    {
        if (command != c.name)
            continue;
        const Options options = ParseOptions(args, c.values, c.allowPlain);
        if (options.help)
        {
            std::wprintf(L"%ls", c.help);
            return 0;
        }
        if (!options.error.empty())
        {
            std::fwprintf(stderr, L"vantu-sign %ls: %ls\n%ls", c.name, options.error.c_str(), c.help);
            return kExitUsage;
        }
        return c.run(options);
    }
    std::fwprintf(stderr, L"vantu-sign: unknown command %ls\n%ls", command.c_str(), kUsage);
    return kExitUsage;
}
