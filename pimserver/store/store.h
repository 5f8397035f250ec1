// The durable PIM store: one SQLite file (WAL) holding a calendar folder and a
// contacts folder. Appointments are kept as their full iCalendar text (master
// VEVENT plus RECURRENCE-ID overrides), contacts and distribution lists as vCard
// text; indexed columns beside the text serve the queries. Several processes may
// use one store: writers wait for each other and retry.
//
// Thread safety: one Store object may be used from several threads; calls are
// serialised inside.
#pragma once

#include "recur.h"
#include "zone.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace pim::store {

enum class Folder : int { Calendar = 9, Contacts = 10 };
enum class Kind : int { Appointment = 1, Contact = 2, DistList = 3, Note = 4, Task = 5 };

enum class Errc {
    NotAStore,     // not a store file (another SQLite database, text, empty file)
    NewerVersion,  // written by a newer schema
    AccessDenied,  // cannot read or write the file
    Locked,        // another process holds the file locked past the busy timeout
    NotFound,      // no such file or item
    Invalid,       // unreadable iCalendar/vCard, bad argument
    Io,            // SQLite or file system failure
    Full,          // record keys exhausted
};

class StoreError : public std::runtime_error {
public:
    StoreError(Errc code, const std::string& what) : std::runtime_error(what), code_(code) {}
    Errc code() const noexcept { return code_; }

private:
    Errc code_;
};

using RecordKey = std::uint32_t;

struct ItemRecord {
    RecordKey key = 0;
    Folder folder = Folder::Calendar;
    Kind kind = Kind::Appointment;
    std::string entryId;      // the item's entry id (its own, or the computed one)
    std::string data;         // VCALENDAR text (calendar items) or vCard text
    std::string zone;         // appointments: Olson zone of the event
    UtcSeconds start = 0;     // appointments: first instance
    UtcSeconds end = 0;
    bool recurring = false;
    std::uint64_t version = 0;  // changes on every update
};

/// One appointment instance found by a period query.
struct Occurrence {
    RecordKey key = 0;
    std::uint64_t version = 0;
    UtcSeconds start = 0, end = 0;
    bool recurring = false;     // belongs to a series
    UtcSeconds recurrenceId = 0;  // the original start, for series instances
    bool exception = false;     // an override (saved occurrence)
    bool allDay = false;
};

/// Convenience description of an appointment, turned into iCalendar text by
/// toICalendar. Times are UTC instants; `zone` (Olson or Windows name) is the
/// zone the event lives in (empty: the machine's zone).
struct Appointment {
    std::string uid;  // generated when empty
    std::string subject, location, body;
    UtcSeconds start = 0, end = 0;
    std::string zone;
    bool allDay = false;  // start/end then name local midnights in `zone`
    bool reminderSet = false;
    std::int32_t reminderMinutes = 15;
    std::int32_t busyStatus = 2;  // 0 free, 1 tentative, 2 busy, 3 out of office
    std::string rrule;            // e.g. "FREQ=WEEKLY;BYDAY=MO"
    std::vector<UtcSeconds> exdates, rdates;
};
std::string toICalendar(const Appointment& a);

struct ContactFields {
    std::string firstName, lastName, fullName, company;
    std::vector<std::string> emails;
};

struct ImportResult {
    std::size_t imported = 0;  // items added or replaced
    std::size_t skipped = 0;   // components that could not be read
    bool cancelled = false;    // the callback stopped it; nothing was stored
    std::vector<std::string> errors;
};

/// Progress: called with items done and items in all; return false to cancel
/// (an import then leaves the store as it was).
using Progress = std::function<bool(std::size_t done, std::size_t total)>;

class Store {
public:
    struct Options {
        bool create = false;        // create the file when missing
        int busyTimeoutMs = 10000;  // how long a writer or a locked file is waited for
        // Only reads: the kept derivations are neither looked for nor set up, and a write fails.
        // For a short second look at items (pimctl's attendees), where opening is most of the cost.
        bool readOnly = false;
    };
    static constexpr int kSchemaVersion = 1;
    static constexpr std::uint32_t kApplicationId = 0x50494D53;  // "PIMS"

    /// Opens (or creates) a store. Throws StoreError; a file that is not a store,
    /// or cannot be read, is never modified.
    static std::unique_ptr<Store> open(const std::string& path, Options options);
    static std::unique_ptr<Store> open(const std::string& path) { return open(path, Options{}); }
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::string& path() const { return path_; }
    const std::array<std::uint8_t, 16>& storeId() const { return storeId_; }
    std::string storeIdHex() const;

    // ---- entry ids -------------------------------------------------------
    /// 48 upper-case hex characters: 8 of flags ("00000000"), 32 of the store id,
    /// 8 of the record key least significant byte first.
    std::string computedEntryId(RecordKey key) const;
    /// Gives an item an entry id of the caller's choosing (any non-empty text, unique).
    void setEntryId(RecordKey key, const std::string& entryId);
    std::optional<RecordKey> keyOfEntryId(std::string_view entryId);

    // ---- items -----------------------------------------------------------
    std::optional<ItemRecord> get(RecordKey key);
    std::optional<ItemRecord> find(std::string_view entryId);
    /// The texts of the items find() gives for these entry ids (none where there is no such
    /// item), on one snapshot, without the rest of their records: listings read thousands.
    std::vector<std::optional<std::string>> textsOf(const std::vector<std::string>& entryIds);
    /// Keys of a folder in the folder's own order (creation order).
    std::vector<RecordKey> keys(Folder folder);
    /// Key, kind and (appointments) first instance of every item of a folder, in
    /// folder order, without their texts.
    struct Summary {
        RecordKey key;
        Kind kind;
        UtcSeconds start, end;
        bool recurring, allDay;
        std::string entryId;  // filled by list() only
    };
    std::vector<Summary> list(Folder folder);
    /// Items of a folder that are neither appointments nor contacts (notes, tasks, lists).
    std::vector<Summary> others(Folder folder);
    std::size_t count(Folder folder);
    /// Deletes an item. Throws NotFound when it is gone.
    void remove(RecordKey key);

    // ---- calendar --------------------------------------------------------
    /// Adds an event: iCalendar text with one VEVENT (plus its overrides). Zones
    /// are normalised to Olson names, floating times get the machine's zone.
    RecordKey addEvent(std::string_view ical);
    RecordKey addAppointment(const Appointment& a) { return addEvent(toICalendar(a)); }
    /// Replaces an event's text. Throws NotFound when it is gone.
    void updateEvent(RecordKey key, std::string_view ical);
    /// Adds a calendar or contacts item that is not an appointment or a contact
    /// (a VTODO/VJOURNAL, a note text).
    RecordKey addOther(Folder folder, Kind kind, std::string_view data);
    /// Excludes one instance (EXDATE); drops an override saved for it.
    void deleteOccurrence(RecordKey key, UtcSeconds recurrenceId);
    /// Stores an override for one instance: `vevent` is a VEVENT (or a calendar
    /// holding one); its RECURRENCE-ID is set to `recurrenceId`.
    void saveOccurrence(RecordKey key, UtcSeconds recurrenceId, std::string_view vevent);
    /// Every appointment instance with start <= to and end >= from, by start
    /// (ties by key); with to < from, the instances that span the whole gap.
    /// Uses the span index; never scans the folder. At most the first `limit` instances, by
    /// the same order; memory stays in proportion to `limit`, not to the period.
    std::vector<Occurrence> occurrences(UtcSeconds from, UtcSeconds to, std::size_t limit = 1000000);
    /// The compiled recurrence of an appointment (cached per version).
    std::shared_ptr<const Series> series(RecordKey key);
    /// Something a reader derived from an item's text (the fields an item object shows), kept for
    /// `version` of the item and the reader's `slot` (say, one occurrence); null when none is kept
    /// for that version. At most kMemos are kept; past that the store forgets them all.
    std::shared_ptr<const void> memo(RecordKey key, std::uint64_t version, std::int64_t slot);
    void setMemo(RecordKey key, std::uint64_t version, std::int64_t slot, std::shared_ptr<const void> value);
    static constexpr std::size_t kMemos = 32768;
    /// The same, kept in the file for other processes: bytes a reader derived from `version` of the
    /// item for `slot`; nothing when none are kept for that version. Every change of the item drops
    /// them (a trigger on the items table, whatever program writes it).
    std::optional<std::string> derived(RecordKey key, std::uint64_t version, std::int64_t slot);
    /// Queues such bytes; they reach the file in batches, when no transaction is open and the file
    /// can be written at once (otherwise they are dropped: another process will derive them again).
    void setDerived(RecordKey key, std::uint64_t version, std::int64_t slot, std::string bytes);
    void flushDerived();
    /// The slot the store keeps compiled series in.
    static constexpr std::int64_t kSeriesSlot = INT64_MIN + 1;
    /// What readers derive from an appointment, computed as it is written (slot, bytes appended
    /// to `slots`): `vcalendar` is the text being stored, `zone` its Olson zone, `entryId` the
    /// item's. Every write of an appointment then keeps these and the compiled series in the same
    /// transaction, so the first listing after an import or a change reads no iCalendar text.
    using EventDeriver = void (*)(icalcomponent* vcalendar, const std::string& zone, const std::string& entryId,
                                  std::vector<std::pair<std::int64_t, std::string>>& slots);
    /// One per process (the object model sets its own when it loads); null: only series are kept.
    static void setEventDeriver(EventDeriver deriver);

    // ---- contacts ----------------------------------------------------------
    RecordKey addContact(std::string_view vcard);
    void updateContact(RecordKey key, std::string_view vcard);
    RecordKey addDistList(std::string_view vcard);
    std::optional<ContactFields> contactFields(RecordKey key);
    /// Contacts (not lists) with exactly these names (case-insensitive), by key.
    std::vector<RecordKey> findContactsByName(std::string_view first, std::string_view last);
    /// Contacts whose e-mail address or full name equals `text` (case-insensitive).
    std::vector<RecordKey> resolve(std::string_view text);

    // ---- import and export ---------------------------------------------
    ImportResult importIcs(std::string_view text, const Progress& progress = {});
    ImportResult importIcsFile(const std::string& file, const Progress& progress = {});
    /// The calendar folder as one VCALENDAR.
    std::string exportIcs(const Progress& progress = {});
    void exportIcsFile(const std::string& file, const Progress& progress = {});

    /// Runs `fn` in one write transaction (nested calls join it).
    void transaction(const std::function<void()>& fn);
    /// Runs `fn` on one snapshot: its reads take the file's locks once, not once a statement.
    /// Nested calls join it; `fn` must not write.
    void read(const std::function<void()>& fn);
    /// The store's own connection, for extensions that keep tables of their own in
    /// the same file (the DAV sync state). Use it inside transaction() only.
    sqlite3* connection() { return db_; }

    /// textsOf without copying the texts: each(i, text) for every entryIds[i] that names an item,
    /// on one snapshot; `text` lives until `each` returns, and `each` must not use the store.
    void eachTextOf(const std::vector<std::string_view>& entryIds,
                    const std::function<void(std::size_t, std::string_view)>& each);

private:
    struct Stmt;
    explicit Store(std::string path);
    void exec(const char* sql);
    void execKept(const char* sql);  // one statement, prepared once per connection
    void beginWrite();
    void commit();
    void rollback();
    RecordKey insertItem(Folder folder, Kind kind, const std::string& uid, const std::string& data,
                         const std::string& zone, UtcSeconds start, UtcSeconds end, bool recurring,
                         UtcSeconds spanStart, UtcSeconds spanEnd);
    void writeSpan(RecordKey key, const Series& s, bool recurring);
    void writeContactIndex(RecordKey key, const ContactFields& f);
    void storeEvent(RecordKey key, icalcomponent* cal, const std::string& zone, bool isNew, RecordKey* added);
    ItemRecord readRow(Stmt& s);
    void openDerived(bool made);
    void keepDerivations(RecordKey key, icalcomponent* cal, const Series& s, bool recurring, bool isNew);
    std::optional<std::string_view> derivedFrom(RecordKey key, std::uint64_t version, std::int64_t slot, bool found,
                                                sqlite3_stmt* q, int column);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::array<std::uint8_t, 16> storeId_{};
    std::recursive_mutex mu_;
    int txDepth_ = 0;
    int readDepth_ = 0;
    bool readOnly_ = false;
    struct Cache;
    std::unique_ptr<Cache> cache_;
};

}  // namespace pim::store
