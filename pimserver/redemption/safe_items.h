// The safe-item classes: recipients of an appointment, the current user's name,
// contact export. They reach the server's items through the links below, so
// they hold no global state and can be tested against any item.
#pragma once

#include <Redemption.h>
#include <pimserver/ItemAccess.h>
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pim::redemption {

// The server's own record (name, address, type; olRequired by default), so that what an item
// reads is handed on without a copy.
using RecipientRecord = server::Recipient;

// What a safe appointment item needs of the appointment it wraps.
class AppointmentLink {
public:
    virtual ~AppointmentLink() = default;
    virtual std::vector<RecipientRecord> recipients() = 0;
    // Replaces the appointment's recipients; they reach the store with its next Save.
    virtual HRESULT setRecipients(const std::vector<RecipientRecord>& recipients) = 0;
    // The e-mail address of the one contact whose display name or e-mail address
    // is `text`; nothing when none or several match.
    virtual std::optional<std::u16string> resolve(const std::u16string& text) = 0;
};

// What a safe contact item needs of the contact it wraps.
class ContactLink {
public:
    virtual ~ContactLink() = default;
    // The contact's full vCard text (every property, the unshown ones included).
    virtual HRESULT vcard(std::string* text) = 0;
};

// How an item handed to `put_Item` is linked; null (with a failure HRESULT) when
// the item is not one of ours or not of the right kind.
struct ItemLinker {
    virtual ~ItemLinker() = default;
    virtual HRESULT linkAppointment(IDispatch* item, std::shared_ptr<AppointmentLink>* link) = 0;
    virtual HRESULT linkContact(IDispatch* item, std::shared_ptr<ContactLink>* link) = 0;
};

// New objects with one reference owned by the caller. The linker must outlive them.
HRESULT createSafeAppointmentItem(ItemLinker& linker, REFIID riid, void** ppv);
HRESULT createSafeContactItem(ItemLinker& linker, REFIID riid, void** ppv);
HRESULT createSafeCurrentUser(REFIID riid, void** ppv);

// Objects of these classes alive now (for DllCanUnloadNow).
LONG liveObjects();

// The current user's name: HKCU\Software\PimServer\Profile "UserName", else the
// full name of the account in the user database, else nothing.
std::optional<std::u16string> currentUserName();

// UTF-8 <-> UTF-16 for paths and texts.
std::string toUtf8(const std::u16string& s);
std::u16string toUtf16(const std::string& s);

}  // namespace pim::redemption
