#include "objects.h"

#include "module.h"

#include "pimserver/Errors.h"
#include "pimserver/Profile.h"
#include "profile.h"

#include <cstdlib>

namespace pim::outlook {

// ---- Application ----

Application::Application() = default;

Application::~Application() {
    if (ns_) ns_->Release();
}

STDMETHODIMP Application::GetNamespace(BSTR Type, _NameSpace** ppNameSpace) {
    PIM_OM_FAULT("Application.GetNamespace");
    if (!ppNameSpace) return E_POINTER;
    *ppNameSpace = nullptr;
    if (toUtf8(Type) != "MAPI") return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mu_);
    if (!ns_) {
        ns_ = make<NameSpace>();
        if (!ns_) return E_OUTOFMEMORY;
    }
    ns_->AddRef();
    *ppNameSpace = ns_;
    return S_OK;
}

STDMETHODIMP Application::CreateItem(LONG ItemType, IDispatch** ppItem) {
    PIM_OM_FAULT("Application.CreateItem");
    if (!ppItem) return E_POINTER;
    *ppItem = nullptr;
    if (ItemType != olAppointmentItem && ItemType != olContactItem) return E_INVALIDARG;
    NameSpace* ns;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!ns_) {
            ns_ = make<NameSpace>();
            if (!ns_) return E_OUTOFMEMORY;
        }
        ns = ns_;
    }
    std::shared_ptr<store::Store> s;
    HRESULT hr = ns->store(&s);
    if (FAILED(hr)) return hr;
    if (ItemType == olAppointmentItem) {
        AppointmentItem* a = make<AppointmentItem>(s);
        if (!a) return E_OUTOFMEMORY;
        *ppItem = static_cast<_AppointmentItem*>(a);
    } else {
        ContactItem* c = make<ContactItem>(s);
        if (!c) return E_OUTOFMEMORY;
        *ppItem = static_cast<_ContactItem*>(c);
    }
    return S_OK;
}

// ---- profile ----

namespace {

int busyTimeoutMs() {
    const char* v = std::getenv("PIM_STORE_BUSY_TIMEOUT_MS");
    if (v && *v) {
        long n = std::strtol(v, nullptr, 10);
        if (n >= 0 && n < 600000) return static_cast<int>(n);
    }
    return 10000;
}

}  // namespace

ProfilePath profileStorePath() {
    std::string p;
    if (const char* env = std::getenv("PIM_STORE"); env && *env) p = env;
    else p = server::profileText("Store");
    if (dav::isDavUrl(p)) return {dav::cachePath(dav::readProfile(p)), true, p};
    if (!p.empty()) return {p, false, {}};
    return {defaultStorePath(), true, {}};
}

// ---- NameSpace ----

HRESULT NameSpace::logon() {
    if (store_) return S_OK;
    // Reading the profile allocates and may find it unusable; nothing may leave the call.
    return guarded([&]() -> HRESULT {
        ProfilePath p = profileStorePath();
        if (!p.davUrl.empty()) {
            // A sync at logon; without the server the working copy serves alone, and the
            // failure is kept for `pimctl sync` to tell.
            try {
                dav::syncProfile(dav::readProfile(p.davUrl));
            } catch (...) {
            }
        }
        store_ = store::Store::open(p.path, store::Store::Options{p.isDefault, busyTimeoutMs()});
        return S_OK;
    });
}

STDMETHODIMP NameSpace::Logon(VARIANT, VARIANT, VARIANT, VARIANT) {
    PIM_OM_FAULT("NameSpace.Logon");
    std::lock_guard<std::mutex> lock(mu_);
    return logon();
}

STDMETHODIMP NameSpace::Logoff() {
    PIM_OM_FAULT("NameSpace.Logoff");
    std::lock_guard<std::mutex> lock(mu_);
    store_.reset();  // items handed out keep the store open until they go
    return S_OK;
}

HRESULT NameSpace::store(std::shared_ptr<store::Store>* out) {
    std::lock_guard<std::mutex> lock(mu_);
    HRESULT hr = logon();
    if (FAILED(hr)) return hr;
    *out = store_;
    return S_OK;
}

STDMETHODIMP NameSpace::GetDefaultFolder(LONG FolderType, MAPIFolder** ppFolder) {
    PIM_OM_FAULT("NameSpace.GetDefaultFolder");
    if (!ppFolder) return E_POINTER;
    *ppFolder = nullptr;
    if (FolderType != olFolderCalendar && FolderType != olFolderContacts) return E_INVALIDARG;
    std::shared_ptr<store::Store> s;
    HRESULT hr = store(&s);
    if (FAILED(hr)) return hr;
    Folder* f = make<Folder>(s, FolderType == olFolderCalendar ? store::Folder::Calendar : store::Folder::Contacts);
    if (!f) return E_OUTOFMEMORY;
    *ppFolder = f;
    return S_OK;
}

STDMETHODIMP NameSpace::GetItemFromID(BSTR EntryIDItem, VARIANT, IDispatch** ppItem) {
    PIM_OM_FAULT("NameSpace.GetItemFromID");
    if (!ppItem) return E_POINTER;
    *ppItem = nullptr;
    std::shared_ptr<store::Store> s;
    HRESULT hr = store(&s);
    if (FAILED(hr)) return hr;
    return guarded([&]() -> HRESULT {
        auto rec = s->find(toUtf8(EntryIDItem));
        if (!rec) return MAPI_E_NOT_FOUND;
        Entry e;
        e.key = rec->key;
        e.kind = rec->kind;
        e.start = rec->start;
        e.end = rec->end;
        return makeItem(s, e, ppItem);
    });
}

// ---- Folder ----

STDMETHODIMP Folder::get_Items(_Items** ppItems) {
    PIM_OM_FAULT("MAPIFolder.get_Items");
    if (!ppItems) return E_POINTER;
    *ppItems = make<Items>(store_, folder_);
    return *ppItems ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP Folder::get_Name(BSTR* pName) {
    PIM_OM_FAULT("MAPIFolder.get_Name");
    return newBstr(folder_ == store::Folder::Calendar ? "Calendar" : "Contacts", pName);
}

}  // namespace pim::outlook
