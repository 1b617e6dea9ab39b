#include "sim/toast/SimXmlDocument.h"

#include <msxml2.h>
#include <oleauto.h>
#include <wrl/client.h>

#include "base/UniqueAny.h"
#include "sim/toast/SimPlatform.h"

using Microsoft::WRL::ComPtr;
using namespace ABI::Windows::Data::Xml::Dom;

namespace VantuSim {

namespace {

// MSXML 6 DOMDocument60; mingw-w64 declares only the older classes.
constexpr CLSID kClsidDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};

// COM for the calling thread while a document is parsed: the caller's
// apartment when it has one, otherwise a multithreaded one just for the call.
class ComScope
{
public:
    ComScope() : m_result(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_result))
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT m_result;
};

void FreeBstr(BSTR value)
{
    SysFreeString(value);
}

using Bstr = Groundwork::UniqueNull<BSTR, FreeBstr>;

// Parses text with MSXML; on success gives the launch attribute of a root
// <toast> element. A document MSXML refuses gives its parse error code.
HRESULT Parse(const wchar_t* text, UINT32 length, std::wstring& launch)
{
    ComScope com;
    ComPtr<IXMLDOMDocument> dom;
    HRESULT hr = CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                  reinterpret_cast<void**>(dom.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    dom->put_async(VARIANT_FALSE);

    const Bstr source(SysAllocStringLen(text, length));
    if (length != 0 && source.get() == nullptr)
        return E_OUTOFMEMORY;
    VARIANT_BOOL loaded = VARIANT_FALSE;
    hr = dom->loadXML(source.get(), &loaded);
    if (FAILED(hr))
        return hr;
    if (hr != S_OK || loaded != VARIANT_TRUE)
    {
        ComPtr<IXMLDOMParseError> error;
        long code = 0;
        if (SUCCEEDED(dom->get_parseError(&error)) && error && SUCCEEDED(error->get_errorCode(&code)) &&
            FAILED(static_cast<HRESULT>(code)))
            return static_cast<HRESULT>(code);
        return E_FAIL;  // MSXML refused it without saying why
    }

    launch.clear();
    ComPtr<IXMLDOMElement> root;
    if (dom->get_documentElement(&root) != S_OK || !root)
        return S_OK;
    Bstr name;
    const bool isToast = SUCCEEDED(root->get_tagName(name.put())) && name && wcscmp(name.get(), L"toast") == 0;
    if (!isToast)
        return S_OK;
    VARIANT value;
    VariantInit(&value);
    const Bstr attribute(SysAllocStringLen(L"launch", 6));
    if (root->getAttribute(attribute.get(), &value) == S_OK && value.vt == VT_BSTR && value.bstrVal != nullptr)
        launch.assign(value.bstrVal, SysStringLen(value.bstrVal));
    VariantClear(&value);
    return S_OK;
}

}  // namespace

SimXmlDocument::SimXmlDocument() { Platform::Instance().documents.Up(); }

SimXmlDocument::~SimXmlDocument() { Platform::Instance().documents.Down(); }

bool SimXmlDocument::Loaded() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_loaded;
}

std::wstring SimXmlDocument::Xml() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_xml;
}

std::wstring SimXmlDocument::Launch() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_launch;
}

HRESULT SimXmlDocument::RefuseInterface(REFIID iid)
{
    if (IsEqualIID(iid, __uuidof(IXmlDocument)))
        return Platform::Instance().TakeFailure(VantuSimToastOp_QueryXmlDocument);
    return S_OK;
}

HRESULT SimXmlDocument::LoadXml(HSTRING xml)
{
    HRESULT hr = Platform::Instance().TakeFailure(VantuSimToastOp_LoadXml);
    if (FAILED(hr))
        return hr;
    UINT32 length = 0;
    const wchar_t* text = WindowsGetStringRawBuffer(xml, &length);
    std::wstring launch;
    hr = Parse(text, length, launch);
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> lock(m_lock);
    m_loaded = true;
    m_xml.assign(text, length);
    m_launch = std::move(launch);
    return S_OK;
}

HRESULT SimXmlDocument::LoadXmlWithSettings(HSTRING xml, IXmlLoadSettings*) { return LoadXml(xml); }
HRESULT SimXmlDocument::SaveToFileAsync(ABI::Windows::Storage::IStorageFile*, ABI::Windows::Foundation::IAsyncAction**)
{
    return E_NOTIMPL;
}
HRESULT SimXmlDocument::get_Doctype(IXmlDocumentType**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::get_Implementation(IXmlDomImplementation**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::get_DocumentElement(IXmlElement**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateElement(HSTRING, IXmlElement**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateDocumentFragment(IXmlDocumentFragment**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateTextNode(HSTRING, IXmlText**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateComment(HSTRING, IXmlComment**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateProcessingInstruction(HSTRING, HSTRING, IXmlProcessingInstruction**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateAttribute(HSTRING, IXmlAttribute**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateEntityReference(HSTRING, IXmlEntityReference**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::GetElementsByTagName(HSTRING, IXmlNodeList**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateCDataSection(HSTRING, IXmlCDataSection**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::get_DocumentUri(HSTRING*) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateAttributeNS(IInspectable*, HSTRING, IXmlAttribute**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::CreateElementNS(IInspectable*, HSTRING, IXmlElement**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::GetElementById(HSTRING, IXmlElement**) { return E_NOTIMPL; }
HRESULT SimXmlDocument::ImportNode(IXmlNode*, boolean, IXmlNode**) { return E_NOTIMPL; }

}  // namespace VantuSim
