// libpimserver.so's exports: class objects for the application and the safe
// items, unloading, registration.
#include "objects.h"

#include "module.h"
#include "recycled.h"
#include "redemption_module.h"

#include <ComPtr.h>

#include <strings.h>

#include <atomic>

namespace pim::outlook {
namespace {

std::atomic<LONG> g_serverLocks{0};

class ApplicationFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    // A static object: the module holds one reference that is never released.
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(refs_.fetch_add(1) + 1); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(refs_.fetch_sub(1) - 1); }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        HRESULT hr;
        if (PIM_FAULT("Application.CreateInstance", &hr)) return hr;
        Application* app = make<Application>();
        if (!app) return E_OUTOFMEMORY;
        hr = app->QueryInterface(riid, ppv);
        app->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) g_serverLocks.fetch_add(1);
        else g_serverLocks.fetch_sub(1);
        return S_OK;
    }

private:
    std::atomic<LONG> refs_{1};
};

ApplicationFactory g_factory;

// Links our items to the safe items of the Redemption classes.
class AppointmentLinkImpl final : public redemption::AppointmentLink {
public:
    explicit AppointmentLinkImpl(ComPtr<server::IPimItemAccess> a) : item_(std::move(a)) {}
    std::vector<redemption::RecipientRecord> recipients() override {
        std::vector<redemption::RecipientRecord> out;
        if (FAILED(item_->GetRecipients(&out))) out.clear();
        return out;
    }
    HRESULT setRecipients(const std::vector<redemption::RecipientRecord>& list) override {
        return item_->SetRecipients(list);
    }
    std::optional<std::u16string> resolve(const std::u16string& text) override {
        std::shared_ptr<store::Store> s = item_->Store();
        if (!s) return std::nullopt;
        try {
            const std::string wanted = toUtf8(text);
            auto keys = s->resolve(wanted);
            if (keys.size() != 1) return std::nullopt;
            auto f = s->contactFields(keys.front());
            if (!f || f->emails.empty()) return std::nullopt;
            // Resolved by one of its addresses: that address, not the contact's first.
            for (const std::string& e : f->emails)
                if (strcasecmp(e.c_str(), wanted.c_str()) == 0) return toUtf16(e);
            return toUtf16(f->emails.front());
        } catch (...) {
            return std::nullopt;
        }
    }

private:
    ComPtr<server::IPimItemAccess> item_;
};

class ContactLinkImpl final : public redemption::ContactLink {
public:
    explicit ContactLinkImpl(ComPtr<server::IPimItemAccess> a) : item_(std::move(a)) {}
    HRESULT vcard(std::string* text) override { return item_->GetVCard(text); }

private:
    ComPtr<server::IPimItemAccess> item_;
};

class Linker final : public redemption::ItemLinker {
public:
    HRESULT linkAppointment(IDispatch* item, std::shared_ptr<redemption::AppointmentLink>* link) override {
        ComPtr<server::IPimItemAccess> a;
        HRESULT hr = access(item, &a);
        if (FAILED(hr)) return hr;
        if (a->ItemKind() != static_cast<LONG>(store::Kind::Appointment)) return E_INVALIDARG;
        *link = std::allocate_shared<AppointmentLinkImpl>(RecycledAllocator<AppointmentLinkImpl>(), std::move(a));
        return S_OK;
    }
    HRESULT linkContact(IDispatch* item, std::shared_ptr<redemption::ContactLink>* link) override {
        ComPtr<server::IPimItemAccess> a;
        HRESULT hr = access(item, &a);
        if (FAILED(hr)) return hr;
        LONG k = a->ItemKind();
        if (k != static_cast<LONG>(store::Kind::Contact) && k != static_cast<LONG>(store::Kind::DistList))
            return E_INVALIDARG;
        *link = std::make_shared<ContactLinkImpl>(std::move(a));
        return S_OK;
    }

private:
    static HRESULT access(IDispatch* item, ComPtr<server::IPimItemAccess>* out) {
        if (!item) return E_POINTER;
        HRESULT hr = item->QueryInterface(server::IID_IPimItemAccess, out->put_void());
        return FAILED(hr) ? E_INVALIDARG : S_OK;
    }
};

Linker g_linker;

constexpr const char* kAppClsid = "{0006F03A-0000-0000-C000-000000000046}";
constexpr const char* kAppProgId = "Outlook.Application";

LSTATUS setValue(HKEY root, const std::string& key, const char* name, const std::string& value) {
    HKEY k = nullptr;
    LSTATUS st = RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
    if (st != ERROR_SUCCESS) return st;
    st = RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
    return st;
}

}  // namespace

void installItemLinker() { redemption::setItemLinker(&g_linker); }

namespace {
struct InstallAtLoad {
    InstallAtLoad() { installItemLinker(); }
} g_install;
}  // namespace

}  // namespace pim::outlook

using namespace pim::outlook;

#define PIM_EXPORT extern "C" __attribute__((visibility("default")))

PIM_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(rclsid, CLSID_OutlookApplication)) return g_factory.QueryInterface(riid, ppv);
    if (pim::redemption::isSafeItemClass(rclsid)) return pim::redemption::getClassObject(rclsid, riid, ppv);
    return CLASS_E_CLASSNOTAVAILABLE;
}

PIM_EXPORT HRESULT DllCanUnloadNow() {
    return g_liveObjects.load() == 0 && g_serverLocks.load() == 0 && pim::redemption::lockCount() == 0 ? S_OK : S_FALSE;
}

PIM_EXPORT HRESULT DllRegisterServer() {
    const std::string path = libraryPath();
    if (path.empty()) return SELFREG_E_CLASS;
    const std::string clsKey = std::string("CLSID\\") + kAppClsid;
    const ServerKey server = applicationServerKey();
    if (setValue(HKEY_CLASSES_ROOT, clsKey, nullptr, "Outlook Application (PIM server)") != ERROR_SUCCESS ||
        setValue(HKEY_CLASSES_ROOT, clsKey + "\\" + server.name, nullptr, path) != ERROR_SUCCESS ||
        (server.threadingModel &&
         setValue(HKEY_CLASSES_ROOT, clsKey + "\\" + server.name, "ThreadingModel", server.threadingModel) != ERROR_SUCCESS) ||
        setValue(HKEY_CLASSES_ROOT, clsKey + "\\ProgID", nullptr, kAppProgId) != ERROR_SUCCESS ||
        setValue(HKEY_CLASSES_ROOT, kAppProgId, nullptr, "Outlook Application (PIM server)") != ERROR_SUCCESS ||
        setValue(HKEY_CLASSES_ROOT, std::string(kAppProgId) + "\\CLSID", nullptr, kAppClsid) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    return pim::redemption::registerAll(path);
}

PIM_EXPORT HRESULT DllUnregisterServer() {
    LSTATUS a = RegDeleteTreeA(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + kAppClsid).c_str());
    LSTATUS b = RegDeleteTreeA(HKEY_CLASSES_ROOT, kAppProgId);
    if ((a != ERROR_SUCCESS && a != ERROR_FILE_NOT_FOUND) || (b != ERROR_SUCCESS && b != ERROR_FILE_NOT_FOUND))
        return SELFREG_E_CLASS;
    return pim::redemption::unregisterAll();
}
