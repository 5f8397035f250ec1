#include "objects.h"

#include "pimserver/Errors.h"

#include <strings.h>

namespace pim::outlook {
namespace {

std::vector<std::string> nameParts(const vcard::Card& c) {
    std::vector<std::string> n;
    if (const vcard::Property* p = c.find("N")) n = p->components();
    n.resize(std::max<size_t>(n.size(), 5));
    return n;
}

const vcard::Property* phone(const vcard::Card& c, const char* type) {
    for (const vcard::Property* p : c.findAll("TEL"))
        if (p->hasType(type)) return p;
    return nullptr;
}

void setPhone(vcard::Card& c, const char* type, const std::string& v) {
    // Rebuild the TEL list: the one of this type changes, the others stay.
    std::vector<vcard::Property> tels;
    for (const vcard::Property* p : c.findAll("TEL")) tels.push_back(*p);
    c.remove("TEL");
    bool done = false;
    for (vcard::Property& p : tels) {
        if (!done && p.hasType(type)) {
            done = true;
            if (v.empty()) continue;
            vcard::Property& n = c.add("TEL", v);
            n.params = p.params;
            continue;
        }
        c.properties.push_back(p);
    }
    if (!done && !v.empty()) {
        vcard::Property& n = c.add("TEL", v);
        n.params.push_back({"TYPE", {type, "VOICE"}});
    }
}

void setEmail(vcard::Card& c, size_t index, const std::string& v) {
    std::vector<std::string> ordered = c.emails();
    std::vector<vcard::Property> mails;
    for (const vcard::Property* p : c.findAll("EMAIL")) mails.push_back(*p);
    c.remove("EMAIL");
    const std::string target = index < ordered.size() ? ordered[index] : std::string();
    bool done = false;
    for (vcard::Property& p : mails) {
        if (!done && index < ordered.size() && p.text() == target) {
            done = true;
            if (v.empty()) continue;
            vcard::Property& n = c.add("EMAIL", v);
            n.params = p.params;
            continue;
        }
        c.properties.push_back(p);
    }
    if (!done && !v.empty()) {
        vcard::Property& n = c.add("EMAIL", v);
        n.params.push_back({"TYPE", {"INTERNET"}});
    }
}

}  // namespace

std::string contactText(const vcard::Card& c, std::string_view prop) {
    auto email = [&](size_t i) {
        auto e = c.emails();
        return i < e.size() ? e[i] : std::string();
    };
    auto text = [&](const char* name) {
        const vcard::Property* p = c.find(name);
        return p ? p->text() : std::string();
    };
    auto tel = [&](const char* type) {
        const vcard::Property* p = phone(c, type);
        return p ? p->text() : std::string();
    };
    if (prop == "FirstName") return c.givenName();
    if (prop == "LastName") return c.familyName();
    if (prop == "FullName") return c.formattedName();
    if (prop == "CompanyName") return c.organization();
    if (prop == "JobTitle") return text("TITLE");
    if (prop == "Email1Address") return email(0);
    if (prop == "Email2Address") return email(1);
    if (prop == "Email3Address") return email(2);
    if (prop == "BusinessTelephoneNumber") return tel("WORK");
    if (prop == "HomeTelephoneNumber") return tel("HOME");
    if (prop == "MobileTelephoneNumber") return tel("CELL");
    if (prop == "Body") return text("NOTE");
    return {};
}

void setContactText(vcard::Card& c, std::string_view prop, const std::string& v) {
    auto setOrRemove = [&](const char* name) {
        if (v.empty()) c.remove(name);
        else c.set(name, v);
    };
    if (prop == "FirstName" || prop == "LastName") {
        std::vector<std::string> n = nameParts(c);
        n[prop == "FirstName" ? 1 : 0] = v;
        c.setStructured("N", n);
        if (!c.find("FN")) c.set("FN", c.formattedName());
    } else if (prop == "FullName") {
        c.set("FN", v);
    } else if (prop == "CompanyName") {
        std::vector<std::string> org;
        if (const vcard::Property* p = c.find("ORG")) org = p->components();
        if (org.empty()) org.resize(1);
        org[0] = v;
        if (v.empty() && org.size() == 1) c.remove("ORG");
        else c.setStructured("ORG", org);
    } else if (prop == "JobTitle") {
        setOrRemove("TITLE");
    } else if (prop == "Body") {
        setOrRemove("NOTE");
    } else if (prop.size() == 13 && prop.substr(0, 5) == "Email") {
        setEmail(c, static_cast<size_t>(prop[5] - '1'), v);
    } else if (prop == "BusinessTelephoneNumber") {
        setPhone(c, "WORK", v);
    } else if (prop == "HomeTelephoneNumber") {
        setPhone(c, "HOME", v);
    } else if (prop == "MobileTelephoneNumber") {
        setPhone(c, "CELL", v);
    }
}

ContactItem::ContactItem(std::shared_ptr<store::Store> s, store::RecordKey key, std::string entryId)
    : store_(std::move(s)), key_(key), entryId_(std::move(entryId)) {}

STDMETHODIMP ContactItem::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(riid, IID__ContactItem)) PIM_OM_FAULT("ContactItem.QueryInterface");
    if (IsEqualGUID(riid, server::IID_IPimItemAccess)) {
        *ppv = static_cast<server::IPimItemAccess*>(this);
        AddRef();
        return S_OK;
    }
    return queryBase(riid, ppv, IID__ContactItem);
}

HRESULT ContactItem::load() {
    if (deleted_) return server::kItemDeleted;
    if (loaded_) return S_OK;
    return guarded([&]() -> HRESULT {
        if (key_ == 0) {
            card_ = vcard::Card{};
            loaded_ = true;
            return S_OK;
        }
        auto rec = store_->get(key_);
        if (!rec) {
            deleted_ = true;
            return server::kItemDeleted;
        }
        entryId_ = rec->entryId;
        text_ = rec->data;
        auto cards = vcard::parseCards(rec->data);
        card_ = cards.empty() ? vcard::Card{} : cards.front();
        loaded_ = true;
        return S_OK;
    });
}

HRESULT ContactItem::get(const char* fault, std::string (*read)(const vcard::Card&), BSTR* p) {
    HRESULT hr;
    if (PIM_FAULT(fault, &hr)) return hr;
    if (!p) return E_POINTER;
    *p = nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    hr = load();
    if (FAILED(hr)) return hr;
    return newBstr(read(card_), p);
}

HRESULT ContactItem::put(const char* fault, void (*write)(vcard::Card&, const std::string&), BSTR v) {
    HRESULT hr;
    if (PIM_FAULT(fault, &hr)) return hr;
    std::lock_guard<std::mutex> lock(mu_);
    hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        write(card_, toUtf8(v));
        dirty_ = true;
        return S_OK;
    });
}

#define CONTACT_FIELD(Prop)                                                                                  \
    STDMETHODIMP ContactItem::get_##Prop(BSTR* p) {                                                          \
        return get("ContactItem.get_" #Prop, [](const vcard::Card& c) { return contactText(c, #Prop); }, p); \
    }                                                                                                        \
    STDMETHODIMP ContactItem::put_##Prop(BSTR v) {                                                           \
        return put("ContactItem.put_" #Prop,                                                                 \
                   [](vcard::Card& c, const std::string& s) { setContactText(c, #Prop, s); }, v);            \
    }

CONTACT_FIELD(FirstName)
CONTACT_FIELD(LastName)
CONTACT_FIELD(FullName)
CONTACT_FIELD(CompanyName)
CONTACT_FIELD(JobTitle)
CONTACT_FIELD(Email1Address)
CONTACT_FIELD(Email2Address)
CONTACT_FIELD(Email3Address)
CONTACT_FIELD(BusinessTelephoneNumber)
CONTACT_FIELD(HomeTelephoneNumber)
CONTACT_FIELD(MobileTelephoneNumber)
CONTACT_FIELD(Body)

STDMETHODIMP ContactItem::get_EntryID(BSTR* p) {
    PIM_OM_FAULT("ContactItem.get_EntryID");
    if (!p) return E_POINTER;
    *p = nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    if (deleted_) return server::kItemDeleted;
    if (key_ != 0 && entryId_.empty()) {
        HRESULT hr = guarded([&]() -> HRESULT {
            auto rec = store_->get(key_);
            if (!rec) {
                deleted_ = true;
                return server::kItemDeleted;
            }
            entryId_ = rec->entryId;
            return S_OK;
        });
        if (FAILED(hr)) return hr;
    }
    return newBstr(entryId_, p);
}

STDMETHODIMP ContactItem::Save() {
    PIM_OM_FAULT("ContactItem.Save");
    std::lock_guard<std::mutex> lock(mu_);
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    hr = guarded([&]() -> HRESULT {
        std::string text = dirty_ || key_ == 0 ? vcard::writeCard(card_) : text_;
        if (key_ == 0) key_ = store_->addContact(text);
        else store_->updateContact(key_, text);
        text_ = text;
        dirty_ = false;
        entryId_ = store_->get(key_)->entryId;
        return S_OK;
    });
    if (hr == MAPI_E_NOT_FOUND) {
        deleted_ = true;
        return server::kItemDeleted;
    }
    return hr;
}

STDMETHODIMP ContactItem::Delete() {
    PIM_OM_FAULT("ContactItem.Delete");
    std::lock_guard<std::mutex> lock(mu_);
    if (deleted_) return server::kItemDeleted;
    HRESULT hr = guarded([&]() -> HRESULT {
        if (key_ != 0) store_->remove(key_);
        return S_OK;
    });
    if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) return hr;
    deleted_ = true;
    return hr == MAPI_E_NOT_FOUND ? server::kItemDeleted : S_OK;
}

HRESULT STDMETHODCALLTYPE ContactItem::GetVCard(std::string* text) {
    if (!text) return E_POINTER;
    std::lock_guard<std::mutex> lock(mu_);
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        *text = dirty_ || key_ == 0 ? vcard::writeCard(card_) : text_;
        return S_OK;
    });
}

// ---- other items ----

STDMETHODIMP OtherItem::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(riid, IID__AppointmentItem) || IsEqualGUID(riid, IID__ContactItem)) {
        PIM_OM_FAULT("Item.QueryInterface");
        return E_NOINTERFACE;
    }
    if (IsEqualGUID(riid, server::IID_IPimItemAccess)) {
        *ppv = static_cast<server::IPimItemAccess*>(this);
        AddRef();
        return S_OK;
    }
    return queryBase(riid, ppv, IID_IDispatch);
}

HRESULT STDMETHODCALLTYPE OtherItem::GetVCard(std::string* text) {
    if (!text) return E_POINTER;
    if (kind_ != store::Kind::DistList) return E_NOINTERFACE;
    return guarded([&]() -> HRESULT {
        auto rec = store_->get(key_);
        if (!rec) return server::kItemDeleted;
        *text = rec->data;
        return S_OK;
    });
}

}  // namespace pim::outlook
