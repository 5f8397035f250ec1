#include "redemption_module.h"

#include <objbase.h>
#include <pim/fault.h>

#include <atomic>

namespace pim::redemption {

namespace {

std::atomic<LONG> g_locks{0};
std::atomic<ItemLinker*> g_linker{nullptr};

struct RefusingLinker final : ItemLinker {
    HRESULT linkAppointment(IDispatch*, std::shared_ptr<AppointmentLink>* link) override
    {
        link->reset();
        return E_INVALIDARG;
    }
    HRESULT linkContact(IDispatch*, std::shared_ptr<ContactLink>* link) override
    {
        link->reset();
        return E_INVALIDARG;
    }
};
RefusingLinker g_refusing;

ItemLinker& linker()
{
    ItemLinker* l = g_linker.load(std::memory_order_acquire);
    return l ? *l : g_refusing;
}

enum class Kind { Appointment, Contact, CurrentUser };

struct ClassInfo {
    const CLSID* clsid;
    Kind kind;
    const char16_t* name;
};

const ClassInfo kClasses[] = {
    {&CLSID_SafeAppointmentItem, Kind::Appointment, u"Redemption.SafeAppointmentItem"},
    {&CLSID_SafeContactItem, Kind::Contact, u"Redemption.SafeContactItem"},
    {&CLSID_SafeCurrentUser, Kind::CurrentUser, u"Redemption.SafeCurrentUser"},
};

const ClassInfo* classInfo(REFCLSID clsid)
{
    for (const ClassInfo& c : kClasses)
        if (IsEqualCLSID(clsid, *c.clsid)) return &c;
    return nullptr;
}

// One static class object per class; it lives as long as the library.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(Kind kind) : kind_(kind) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        g_locks.fetch_add(1, std::memory_order_relaxed);
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        g_locks.fetch_sub(1, std::memory_order_relaxed);
        return 1;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        HRESULT hr;
        if (PIM_FAULT("SafeItems::CreateInstance", &hr)) return hr;
        switch (kind_) {
        case Kind::Appointment: return createSafeAppointmentItem(linker(), riid, ppv);
        case Kind::Contact: return createSafeContactItem(linker(), riid, ppv);
        case Kind::CurrentUser: return createSafeCurrentUser(riid, ppv);
        }
        return E_UNEXPECTED;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock) g_locks.fetch_add(1, std::memory_order_relaxed);
        else g_locks.fetch_sub(1, std::memory_order_relaxed);
        return S_OK;
    }

private:
    Kind kind_;
};

ClassFactory g_appointmentFactory(Kind::Appointment);
ClassFactory g_contactFactory(Kind::Contact);
ClassFactory g_userFactory(Kind::CurrentUser);

std::u16string classKey(REFCLSID clsid)
{
    OLECHAR text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return u"CLSID\\" + std::u16string(reinterpret_cast<const char16_t*>(text));
}

HRESULT fromWin32(LSTATUS s) { return s == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<uint32_t>(s)); }

HRESULT setString(HKEY key, const char16_t* name, const std::u16string& value)
{
    return fromWin32(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                    static_cast<DWORD>((value.size() + 1) * sizeof(char16_t))));
}

}  // namespace

bool isSafeItemClass(REFCLSID clsid) { return classInfo(clsid) != nullptr; }

HRESULT getClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    const ClassInfo* info = classInfo(clsid);
    if (!info) return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* f = info->kind == Kind::Appointment ? &g_appointmentFactory
                      : info->kind == Kind::Contact   ? &g_contactFactory
                                                      : &g_userFactory;
    return f->QueryInterface(riid, ppv);
}

LONG lockCount() { return liveObjects() + g_locks.load(std::memory_order_relaxed); }

void setItemLinker(ItemLinker* l) { g_linker.store(l, std::memory_order_release); }

HRESULT registerClass(REFCLSID clsid, const std::string& libraryPath)
{
    const ClassInfo* info = classInfo(clsid);
    if (!info) return CLASS_E_CLASSNOTAVAILABLE;
    HKEY cls = nullptr, inproc = nullptr;
    HRESULT hr = fromWin32(RegCreateKeyExW(HKEY_CLASSES_ROOT, classKey(clsid).c_str(), 0, nullptr, 0, KEY_WRITE,
                                           nullptr, &cls, nullptr));
    if (SUCCEEDED(hr)) hr = setString(cls, nullptr, info->name);
    if (SUCCEEDED(hr))
        hr = fromWin32(RegCreateKeyExW(cls, u"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &inproc, nullptr));
    if (SUCCEEDED(hr)) hr = setString(inproc, nullptr, toUtf16(libraryPath));
    if (SUCCEEDED(hr)) hr = setString(inproc, u"ThreadingModel", u"Both");
    if (inproc) RegCloseKey(inproc);
    if (cls) RegCloseKey(cls);
    if (FAILED(hr)) {
        unregisterClass(clsid);
        return SELFREG_E_CLASS;
    }
    return S_OK;
}

HRESULT registerAll(const std::string& libraryPath)
{
    for (const ClassInfo& c : kClasses) {
        const HRESULT hr = registerClass(*c.clsid, libraryPath);
        if (FAILED(hr)) {
            unregisterAll();
            return hr;
        }
    }
    return S_OK;
}

HRESULT unregisterClass(REFCLSID clsid)
{
    if (!classInfo(clsid)) return CLASS_E_CLASSNOTAVAILABLE;
    const LSTATUS s = RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey(clsid).c_str());
    return s == ERROR_SUCCESS || s == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

HRESULT unregisterAll()
{
    HRESULT result = S_OK;
    for (const ClassInfo& c : kClasses) {
        const HRESULT hr = unregisterClass(*c.clsid);
        if (FAILED(hr)) result = hr;
    }
    return result;
}

}  // namespace pim::redemption
