// Windows.Data.Xml.Dom.XmlDocument of the stand-in: LoadXml parses with
// MSXML and keeps the text; the DOM methods are not provided.
#pragma once

#include <mutex>
#include <string>

#include "VantuToast/WinRtToastAbi.h"
#include "sim/toast/SimObject.h"

namespace VantuSim {

class SimXmlDocument final
    : public SimObject<SimXmlDocument, ABI::Windows::Data::Xml::Dom::IXmlDocumentIO,
                       ABI::Windows::Data::Xml::Dom::IXmlDocument>
{
public:
    static constexpr const wchar_t* kClassName = RuntimeClass_Windows_Data_Xml_Dom_XmlDocument;

    SimXmlDocument();

    // Text the document was last loaded from and the launch attribute of its
    // root <toast> element; both empty until a LoadXml succeeds.
    bool Loaded() const;
    std::wstring Xml() const;
    std::wstring Launch() const;

    HRESULT RefuseInterface(REFIID iid);

    // IXmlDocumentIO
    HRESULT STDMETHODCALLTYPE LoadXml(HSTRING xml) override;
    HRESULT STDMETHODCALLTYPE LoadXmlWithSettings(HSTRING xml,
                                                  ABI::Windows::Data::Xml::Dom::IXmlLoadSettings*) override;
    HRESULT STDMETHODCALLTYPE SaveToFileAsync(ABI::Windows::Storage::IStorageFile*,
                                              ABI::Windows::Foundation::IAsyncAction**) override;

    // IXmlDocument: not provided.
    HRESULT STDMETHODCALLTYPE get_Doctype(ABI::Windows::Data::Xml::Dom::IXmlDocumentType**) override;
    HRESULT STDMETHODCALLTYPE get_Implementation(ABI::Windows::Data::Xml::Dom::IXmlDomImplementation**) override;
    HRESULT STDMETHODCALLTYPE get_DocumentElement(ABI::Windows::Data::Xml::Dom::IXmlElement**) override;
    HRESULT STDMETHODCALLTYPE CreateElement(HSTRING, ABI::Windows::Data::Xml::Dom::IXmlElement**) override;
    HRESULT STDMETHODCALLTYPE CreateDocumentFragment(ABI::Windows::Data::Xml::Dom::IXmlDocumentFragment**) override;
    HRESULT STDMETHODCALLTYPE CreateTextNode(HSTRING, ABI::Windows::Data::Xml::Dom::IXmlText**) override;
    HRESULT STDMETHODCALLTYPE CreateComment(HSTRING, ABI::Windows::Data::Xml::Dom::IXmlComment**) override;
    HRESULT STDMETHODCALLTYPE CreateProcessingInstruction(
        HSTRING, HSTRING, ABI::Windows::Data::Xml::Dom::IXmlProcessingInstruction**) override;
    HRESULT STDMETHODCALLTYPE CreateAttribute(HSTRING, ABI::Windows::Data::Xml::Dom::IXmlAttribute**) override;
    HRESULT STDMETHODCALLTYPE CreateEntityReference(HSTRING,
                                                    ABI::Windows::Data::Xml::Dom::IXmlEntityReference**) override;
    HRESULT STDMETHODCALLTYPE GetElementsByTagName(HSTRING, ABI::Windows::Data::Xml::Dom::IXmlNodeList**) override;
    HRESULT STDMETHODCALLTYPE CreateCDataSection(HSTRING, ABI::Windows::Data::Xml::Dom::IXmlCDataSection**) override;
    HRESULT STDMETHODCALLTYPE get_DocumentUri(HSTRING*) override;
    HRESULT STDMETHODCALLTYPE CreateAttributeNS(IInspectable*, HSTRING,
                                                ABI::Windows::Data::Xml::Dom::IXmlAttribute**) override;
    HRESULT STDMETHODCALLTYPE CreateElementNS(IInspectable*, HSTRING,
                                              ABI::Windows::Data::Xml::Dom::IXmlElement**) override;
    HRESULT STDMETHODCALLTYPE GetElementById(HSTRING, ABI::Windows::Data::Xml::Dom::IXmlElement**) override;
    HRESULT STDMETHODCALLTYPE ImportNode(ABI::Windows::Data::Xml::Dom::IXmlNode*, boolean,
                                         ABI::Windows::Data::Xml::Dom::IXmlNode**) override;

private:
    ~SimXmlDocument() override;

    mutable std::mutex m_lock;
    bool m_loaded = false;
    std::wstring m_xml;
    std::wstring m_launch;
};

}  // namespace VantuSim
