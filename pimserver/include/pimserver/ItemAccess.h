// Private interface of the server's items, through which the safe items reach an
// appointment's recipients, a contact's vCard and the store (for Resolve). Every
// item the object model hands out answers QueryInterface for it; nothing outside
// libpimserver.so sees it.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pim::store {
class Store;
}

namespace pim::server {

// {7C4A9E21-3B5D-4F60-8E1A-2D9C6B7F4A13}
inline const IID IID_IPimItemAccess = {0x7C4A9E21, 0x3B5D, 0x4F60, {0x8E, 0x1A, 0x2D, 0x9C, 0x6B, 0x7F, 0x4A, 0x13}};

struct Recipient {
    std::u16string name;
    std::u16string address;  // e-mail address, without "mailto:"
    LONG type = 1;           // 0 organizer, 1 required, 2 optional, 3 resource
};

struct IPimItemAccess : public IUnknown {
    /// The item's kind, a pim::store::Kind value (1 appointment, 2 contact,
    /// 3 distribution list, 4 note, 5 task).
    virtual LONG STDMETHODCALLTYPE ItemKind() = 0;

    /// Appointments: ORGANIZER first, then each ATTENDEE in the order of the item's
    /// iCalendar, as the item holds them now (unsaved changes included).
    /// E_NOINTERFACE for other kinds, MAPI_E_OBJECT_DELETED after Delete.
    virtual HRESULT STDMETHODCALLTYPE GetRecipients(std::vector<Recipient>* recipients) = 0;
    /// Replaces ORGANIZER and ATTENDEEs; the store sees them at the appointment's
    /// next Save. Other properties of existing ATTENDEEs with the same address are kept.
    virtual HRESULT STDMETHODCALLTYPE SetRecipients(const std::vector<Recipient>& recipients) = 0;

    /// Contacts and distribution lists: the full vCard text as stored (unsaved
    /// changes included). E_NOINTERFACE for other kinds.
    virtual HRESULT STDMETHODCALLTYPE GetVCard(std::string* text) = 0;

    /// The store the item lives in (for an unsaved item: the one it will be saved to).
    virtual std::shared_ptr<pim::store::Store> STDMETHODCALLTYPE Store() = 0;

 protected:
    ~IPimItemAccess() = default;
};

}  // namespace pim::server
