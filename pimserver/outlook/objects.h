// The object model: application, namespace, folders, item collections and items.
#pragma once

#include <Outlook.h>

#include "com.h"
#include "filter.h"
#include "item_lock.h"
#include "ical.h"
#include "pimserver/ItemAccess.h"
#include "store.h"
#include "vcard.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pim::outlook {

class NameSpace;

class Application final : public Dispatch<_Application> {
public:
    Application();
    ~Application() override;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return queryBase(riid, ppv, IID__Application); }
    STDMETHODIMP GetNamespace(BSTR Type, _NameSpace** ppNameSpace) override;
    STDMETHODIMP CreateItem(LONG ItemType, IDispatch** ppItem) override;

private:
    std::mutex mu_;
    NameSpace* ns_ = nullptr;  // one reference owned
};

class NameSpace final : public Dispatch<_NameSpace> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return queryBase(riid, ppv, IID__NameSpace); }
    STDMETHODIMP Logon(VARIANT Profile, VARIANT Password, VARIANT ShowDialog, VARIANT NewSession) override;
    STDMETHODIMP Logoff() override;
    STDMETHODIMP GetDefaultFolder(LONG FolderType, MAPIFolder** ppFolder) override;
    STDMETHODIMP GetItemFromID(BSTR EntryIDItem, VARIANT EntryIDStore, IDispatch** ppItem) override;

    /// The logged-on store, logging on first when needed (as the application does).
    HRESULT store(std::shared_ptr<store::Store>* out);

private:
    HRESULT logon();
    std::mutex mu_;
    std::shared_ptr<store::Store> store_;
};

/// Where the profile's store lives: PIM_STORE, else HKCU\Software\PimServer\Profile
/// "Store", else $XDG_DATA_HOME/pimserver/store.db (created on first logon).
/// A Store value that is an http(s) URL names a CalDAV/CardDAV server: the path is
/// then the local working copy of that server's collections.
struct ProfilePath {
    std::string path;
    bool isDefault = false;
    std::string davUrl;  // the server, when the store is one
};
ProfilePath profileStorePath();

class Folder final : public Dispatch<MAPIFolder> {
public:
    Folder(std::shared_ptr<store::Store> s, store::Folder f) : store_(std::move(s)), folder_(f) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return queryBase(riid, ppv, IID_MAPIFolder); }
    STDMETHODIMP get_Items(_Items** ppItems) override;
    STDMETHODIMP get_Name(BSTR* pName) override;

private:
    std::shared_ptr<store::Store> store_;
    store::Folder folder_;
};

/// One element of a collection: an item, or one occurrence of a series.
struct Entry {
    store::RecordKey key = 0;
    store::Kind kind = store::Kind::Appointment;
    bool occurrence = false;
    store::UtcSeconds start = 0, end = 0, recurrenceId = 0;
    bool exception = false;
    bool allDay = false;
    bool recurring = false;  // belongs to a series
    bool hasTimes = true;    // false for items without a start (contacts, notes without DTSTART)
    std::string entryId;     // when the listing knew it: saves a read per item
    std::uint64_t version = 0;  // the stored item's version when listed; 0: not known
};

/// What the getters of a stored appointment answer, taken once from its text and kept by the
/// store for that version, so that listing the same items again parses nothing. The texts stay
/// in the kept bytes: taking a view copies no field.
struct AppointmentView {
    /// `size` UTF-16 units at byte offset `at` of `bytes` (not aligned: read by copying).
    struct Text {
        std::uint32_t at = 0, size = 0;
    };
    std::string bytes;
    Text subject, location, body, entryId;
    bool allDay = false, reminderSet = false;
    LONG reminderMinutes = 15, busyStatus = 2;
    std::uint32_t recipientsAt = 0, recipientCount = 0;  // where the recipients' records start

    /// A new BSTR of `t`; E_OUTOFMEMORY when none can be had.
    HRESULT newBstr(Text t, BSTR* out) const;
    std::u16string text(Text t) const;
    std::vector<server::Recipient> recipients() const;
};

/// Text of a contact property ("FirstName", "Email2Address", ...) and its setter.
std::string contactText(const vcard::Card& c, std::string_view property);
void setContactText(vcard::Card& c, std::string_view property, const std::string& value);

/// Lets the safe items reach our items (done at load; tests call it again freely).
void installItemLinker();

/// Creates the object for an entry, as IDispatch with one reference.
HRESULT makeItem(const std::shared_ptr<store::Store>& s, const Entry& e, IDispatch** out);

class Items final : public Dispatch<_Items> {
public:
    Items(std::shared_ptr<store::Store> s, store::Folder f) : store_(std::move(s)), folder_(f) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return queryBase(riid, ppv, IID__Items); }
    STDMETHODIMP get_Count(LONG* pCount) override;
    STDMETHODIMP get_IncludeRecurrences(VARIANT_BOOL* pInclude) override;
    STDMETHODIMP put_IncludeRecurrences(VARIANT_BOOL Include) override;
    STDMETHODIMP Find(BSTR Filter, IDispatch** ppItem) override;
    STDMETHODIMP GetFirst(IDispatch** ppItem) override;
    STDMETHODIMP GetNext(IDispatch** ppItem) override;
    STDMETHODIMP Restrict(BSTR Filter, _Items** ppItems) override;
    STDMETHODIMP Sort(BSTR Property, VARIANT Descending) override;

    /// Longest stretch a collection with open-ended series is expanded over.
    static constexpr store::UtcSeconds kExpansionHorizon = 5LL * 366 * 86400;
    /// Most occurrences one recurrence-expanded collection holds: the earliest ones by start.
    /// A period of a century over open-ended series would otherwise never end.
    static constexpr std::size_t kMaxOccurrences = 50000;

private:
    void materialize();  // fills list_ (throws StoreError)
    HRESULT itemAt(size_t i, IDispatch** out);
    bool calendar() const { return folder_ == store::Folder::Calendar; }

    ItemLock mu_;
    std::shared_ptr<store::Store> store_;
    store::Folder folder_;
    std::vector<std::shared_ptr<const filter::Node>> filters_;
    std::string sort_;  // canonical property name, empty: folder order
    bool descending_ = false;
    bool includeRecurrences_ = false;
    std::optional<std::vector<Entry>> list_;
    size_t cursor_ = 0;
};

/// Property values of a stored item for filters and sorting.
std::optional<filter::Value> entryProperty(store::Store& s, const Entry& e, const std::string& property,
                                           std::shared_ptr<void>* cache);

class AppointmentItem final : public Dispatch<_AppointmentItem>, public server::IPimItemAccess {
public:
    /// A new, unsaved appointment for `s`.
    explicit AppointmentItem(std::shared_ptr<store::Store> s);
    /// A stored appointment or one occurrence of it.
    AppointmentItem(std::shared_ptr<store::Store> s, const Entry& e);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return Dispatch::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return Dispatch::Release(); }

    STDMETHODIMP get_EntryID(BSTR* p) override;
    STDMETHODIMP get_Subject(BSTR* p) override;
    STDMETHODIMP put_Subject(BSTR v) override;
    STDMETHODIMP get_Start(DATE* p) override;
    STDMETHODIMP put_Start(DATE v) override;
    STDMETHODIMP get_End(DATE* p) override;
    STDMETHODIMP put_End(DATE v) override;
    STDMETHODIMP get_Location(BSTR* p) override;
    STDMETHODIMP put_Location(BSTR v) override;
    STDMETHODIMP get_AllDayEvent(VARIANT_BOOL* p) override;
    STDMETHODIMP put_AllDayEvent(VARIANT_BOOL v) override;
    STDMETHODIMP get_ReminderSet(VARIANT_BOOL* p) override;
    STDMETHODIMP put_ReminderSet(VARIANT_BOOL v) override;
    STDMETHODIMP get_ReminderMinutesBeforeStart(LONG* p) override;
    STDMETHODIMP put_ReminderMinutesBeforeStart(LONG v) override;
    STDMETHODIMP get_BusyStatus(LONG* p) override;
    STDMETHODIMP put_BusyStatus(LONG v) override;
    STDMETHODIMP get_Body(BSTR* p) override;
    STDMETHODIMP put_Body(BSTR v) override;
    STDMETHODIMP get_IsRecurring(VARIANT_BOOL* p) override;
    STDMETHODIMP Save() override;
    STDMETHODIMP Delete() override;

    LONG STDMETHODCALLTYPE ItemKind() override { return static_cast<LONG>(store::Kind::Appointment); }
    HRESULT STDMETHODCALLTYPE GetRecipients(std::vector<server::Recipient>* out) override;
    HRESULT STDMETHODCALLTYPE SetRecipients(const std::vector<server::Recipient>& list) override;
    HRESULT STDMETHODCALLTYPE GetVCard(std::string*) override { return E_NOINTERFACE; }
    std::shared_ptr<store::Store> STDMETHODCALLTYPE Store() override { return store_; }

private:
    HRESULT load();  // under mu_
    HRESULT view();  // under mu_: fills view_ unless the item is loaded (S_FALSE then)
    HRESULT text(icalproperty_kind k, BSTR* p);
    HRESULT setText(icalproperty_kind k, BSTR v);
    store::UtcSeconds start();
    store::UtcSeconds end();
    bool allDay();
    void setTimes(store::UtcSeconds s, store::UtcSeconds e, bool allDay);

    ItemLock mu_;
    std::shared_ptr<store::Store> store_;
    store::RecordKey key_ = 0;  // 0 until the first save
    bool occurrence_ = false;
    store::UtcSeconds recurrenceId_ = 0;
    bool haveTimes_ = false;
    store::UtcSeconds start_ = 0, end_ = 0;
    bool deleted_ = false;
    std::string zone_;
    std::string entryId_;
    ical::ComponentPtr cal_;     // the stored text (master and overrides)
    ical::ComponentPtr single_;  // an occurrence being edited (becomes an override on Save)
    icalcomponent* ev_ = nullptr;  // the VEVENT this item shows
    std::uint64_t version_ = 0;
    bool exception_ = false;
    std::shared_ptr<const AppointmentView> view_;  // read-only answers while nothing is loaded
};

class ContactItem final : public Dispatch<_ContactItem>, public server::IPimItemAccess {
public:
    explicit ContactItem(std::shared_ptr<store::Store> s, store::RecordKey key = 0, std::string entryId = {});

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return Dispatch::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return Dispatch::Release(); }

    STDMETHODIMP get_EntryID(BSTR* p) override;
    STDMETHODIMP get_FirstName(BSTR* p) override;
    STDMETHODIMP put_FirstName(BSTR v) override;
    STDMETHODIMP get_LastName(BSTR* p) override;
    STDMETHODIMP put_LastName(BSTR v) override;
    STDMETHODIMP get_FullName(BSTR* p) override;
    STDMETHODIMP put_FullName(BSTR v) override;
    STDMETHODIMP get_CompanyName(BSTR* p) override;
    STDMETHODIMP put_CompanyName(BSTR v) override;
    STDMETHODIMP get_JobTitle(BSTR* p) override;
    STDMETHODIMP put_JobTitle(BSTR v) override;
    STDMETHODIMP get_Email1Address(BSTR* p) override;
    STDMETHODIMP put_Email1Address(BSTR v) override;
    STDMETHODIMP get_Email2Address(BSTR* p) override;
    STDMETHODIMP put_Email2Address(BSTR v) override;
    STDMETHODIMP get_Email3Address(BSTR* p) override;
    STDMETHODIMP put_Email3Address(BSTR v) override;
    STDMETHODIMP get_BusinessTelephoneNumber(BSTR* p) override;
    STDMETHODIMP put_BusinessTelephoneNumber(BSTR v) override;
    STDMETHODIMP get_HomeTelephoneNumber(BSTR* p) override;
    STDMETHODIMP put_HomeTelephoneNumber(BSTR v) override;
    STDMETHODIMP get_MobileTelephoneNumber(BSTR* p) override;
    STDMETHODIMP put_MobileTelephoneNumber(BSTR v) override;
    STDMETHODIMP get_Body(BSTR* p) override;
    STDMETHODIMP put_Body(BSTR v) override;
    STDMETHODIMP Save() override;
    STDMETHODIMP Delete() override;

    LONG STDMETHODCALLTYPE ItemKind() override { return static_cast<LONG>(store::Kind::Contact); }
    HRESULT STDMETHODCALLTYPE GetRecipients(std::vector<server::Recipient>*) override { return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetRecipients(const std::vector<server::Recipient>&) override { return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetVCard(std::string* text) override;
    std::shared_ptr<store::Store> STDMETHODCALLTYPE Store() override { return store_; }

private:
    HRESULT load();
    HRESULT get(const char* fault, std::string (*read)(const vcard::Card&), BSTR* p);
    HRESULT put(const char* fault, void (*write)(vcard::Card&, const std::string&), BSTR v);

    std::mutex mu_;
    std::shared_ptr<store::Store> store_;
    store::RecordKey key_;
    bool loaded_ = false, deleted_ = false, dirty_ = false;
    std::string entryId_, text_;
    vcard::Card card_;
};

/// Any other item (note, task, distribution list): IDispatch only.
class OtherItem final : public Dispatch<IDispatch>, public server::IPimItemAccess {
public:
    OtherItem(std::shared_ptr<store::Store> s, store::RecordKey key, store::Kind kind)
        : store_(std::move(s)), key_(key), kind_(kind) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return Dispatch::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return Dispatch::Release(); }
    LONG STDMETHODCALLTYPE ItemKind() override { return static_cast<LONG>(kind_); }
    HRESULT STDMETHODCALLTYPE GetRecipients(std::vector<server::Recipient>*) override { return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE SetRecipients(const std::vector<server::Recipient>&) override { return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE GetVCard(std::string* text) override;
    std::shared_ptr<store::Store> STDMETHODCALLTYPE Store() override { return store_; }

private:
    std::shared_ptr<store::Store> store_;
    store::RecordKey key_;
    store::Kind kind_;
};

}  // namespace pim::outlook
