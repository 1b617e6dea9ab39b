// Reference-counted Windows Runtime objects of the stand-in: one class that
// implements IUnknown and IInspectable for any set of interfaces.
#pragma once

#include <windows.h>
#include <inspectable.h>
#include <objidl.h>
#include <winstring.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <tuple>

namespace VantuSim {

// Takes over a reference the caller already owns (a freshly created
// object). mingw-w64's ComPtr::Attach adds a reference, unlike Windows SDK's,
// so Attach would leak one of them there.
template <typename T>
Microsoft::WRL::ComPtr<T> Adopt(T* owned)
{
    Microsoft::WRL::ComPtr<T> pointer;
    *pointer.GetAddressOf() = owned;
    return pointer;
}

// Counts the live objects of one kind (VantuSimToast_LiveObjects).
class LiveCounter
{
public:
    void Up() { m_count.fetch_add(1); }
    void Down() { m_count.fetch_sub(1); }
    uint32_t Value() const { return m_count.load(); }

private:
    std::atomic<uint32_t> m_count{0};
};

// Private interface: lets the stand-in find its own object behind any of
// the interface pointers it handed out. Never exposed in the ABI header.
MIDL_INTERFACE("8e0c3f7d-5a61-4b0f-9a3e-2d7c41b6f0a9")
ISimIdentity : public IUnknown
{
    // This object when it is of the kind that typeKey names, else null.
    virtual void* STDMETHODCALLTYPE Self(const void* typeKey) = 0;
};

}  // namespace VantuSim

// Declared before any use of __uuidof(ISimIdentity) below: a later
// declaration would specialise __mingw_uuidof after its instantiation.
#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(VantuSim::ISimIdentity, 0x8e0c3f7d, 0x5a61, 0x4b0f, 0x9a, 0x3e, 0x2d, 0x7c, 0x41, 0xb6, 0xf0, 0xa9)
#endif

namespace VantuSim {

template <typename Derived, typename... Interfaces>
class SimObject : public Interfaces..., public ISimIdentity
{
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

public:
    // The object behind a pointer handed out by the stand-in, or null for a
    // foreign object. The result is not counted.
    static Derived* From(IUnknown* object)
    {
        if (object == nullptr)
            return nullptr;
        ISimIdentity* identity = nullptr;
        if (FAILED(object->QueryInterface(__uuidof(ISimIdentity), reinterpret_cast<void**>(&identity))))
            return nullptr;
        void* self = identity->Self(TypeKey());
        identity->Release();
        return static_cast<Derived*>(self);
    }

    // The object behind `object` only when it is handed in as exactly that
    // interface, as a method declared with `Interface*` takes it: the pointer
    // a query for that interface gives. Another interface of the same object,
    // or a foreign object, gives null.
    template <typename Interface>
    static Derived* FromExact(Interface* object)
    {
        Derived* self = From(object);
        return self != nullptr && static_cast<Interface*>(self) == object ? self : nullptr;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        HRESULT refused = static_cast<Derived*>(this)->RefuseInterface(iid);
        if (FAILED(refused))
            return refused;
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IInspectable)) ||
            IsEqualIID(iid, __uuidof(IAgileObject)))
            *object = static_cast<First*>(this);
        else if (IsEqualIID(iid, __uuidof(ISimIdentity)))
            *object = static_cast<ISimIdentity*>(this);
        else
            ((*object == nullptr && IsEqualIID(iid, __uuidof(Interfaces))
                  ? (*object = static_cast<Interfaces*>(this), 0)
                  : 0),
             ...);
        if (*object == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.fetch_add(1) + 1; }

    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = m_refs.fetch_sub(1) - 1;
        if (left == 0)
            delete this;  // virtual: reaches the derived destructor
        return left;
    }

    HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override
    {
        if (count == nullptr || iids == nullptr)
            return E_POINTER;
        constexpr ULONG kCount = sizeof...(Interfaces);
        *iids = static_cast<IID*>(CoTaskMemAlloc(sizeof(IID) * kCount));
        if (*iids == nullptr)
            return E_OUTOFMEMORY;
        ULONG i = 0;
        (((*iids)[i++] = __uuidof(Interfaces)), ...);
        *count = kCount;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override
    {
        if (name == nullptr)
            return E_POINTER;
        const wchar_t* text = Derived::kClassName;
        return WindowsCreateString(text, static_cast<UINT32>(wcslen(text)), name);
    }

    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override
    {
        if (level == nullptr)
            return E_POINTER;
        *level = BaseTrust;
        return S_OK;
    }

    void* STDMETHODCALLTYPE Self(const void* typeKey) override
    {
        return typeKey == TypeKey() ? static_cast<Derived*>(this) : nullptr;
    }

    // Derived classes may refuse an interface they otherwise implement (a
    // failure injected into QueryInterface, or an argument object that must
    // not be readable).
    HRESULT RefuseInterface(REFIID) { return S_OK; }

protected:
    virtual ~SimObject() = default;

private:
    // Only the class that derives from this one constructs it.
    friend Derived;
    SimObject() = default;
    SimObject(const SimObject&) = delete;
    SimObject& operator=(const SimObject&) = delete;

    static const void* TypeKey()
    {
        static const char key = 0;
        return &key;
    }

    std::atomic<ULONG> m_refs{1};
};

}  // namespace VantuSim
