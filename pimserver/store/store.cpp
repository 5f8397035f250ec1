#include "store.h"

#include "bytes.h"
#include "event.h"
#include "files.h"
#include "store_impl.h"
#include "vcard.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unordered_map>

namespace pim::store {

// ---- SQLite plumbing --------------------------------------------------------

namespace {

int32_t toMinutesFloor(UtcSeconds t) {
    if (t <= -kOpenEnd) return INT32_MIN;
    int64_t m = t >= 0 ? t / 60 : -((-t + 59) / 60);
    return static_cast<int32_t>(std::clamp<int64_t>(m, INT32_MIN, INT32_MAX));
}
int32_t toMinutesCeil(UtcSeconds t) {
    if (t >= kOpenEnd) return INT32_MAX;
    int64_t m = t >= 0 ? (t + 59) / 60 : -((-t) / 60);
    return static_cast<int32_t>(std::clamp<int64_t>(m, INT32_MIN, INT32_MAX));
}

std::string hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

constexpr const char* kSchema = R"sql(
CREATE TABLE meta(name TEXT PRIMARY KEY, value BLOB);
CREATE TABLE items(
  key INTEGER PRIMARY KEY AUTOINCREMENT,
  folder INTEGER NOT NULL,
  kind INTEGER NOT NULL,
  entry_id TEXT UNIQUE,
  uid TEXT,
  data TEXT NOT NULL,
  zone TEXT,
  start_utc INTEGER NOT NULL DEFAULT 0,
  end_utc INTEGER NOT NULL DEFAULT 0,
  recurring INTEGER NOT NULL DEFAULT 0,
  all_day INTEGER NOT NULL DEFAULT 0,
  version INTEGER NOT NULL DEFAULT 1);
CREATE INDEX items_folder ON items(folder, key);
CREATE INDEX items_kind ON items(folder, kind);
CREATE INDEX items_uid ON items(uid);
CREATE VIRTUAL TABLE spans USING rtree_i32(key, lo, hi);
CREATE TABLE contacts(
  key INTEGER PRIMARY KEY,
  first_name TEXT, last_name TEXT, full_name TEXT, company TEXT);
CREATE INDEX contacts_name ON contacts(last_name COLLATE NOCASE, first_name COLLATE NOCASE);
CREATE INDEX contacts_full ON contacts(full_name COLLATE NOCASE);
CREATE TABLE contact_emails(key INTEGER NOT NULL, email TEXT NOT NULL);
CREATE INDEX contact_emails_email ON contact_emails(email COLLATE NOCASE);
CREATE INDEX contact_emails_key ON contact_emails(key);
)sql";

}  // namespace

Store::Store(std::string path) : path_(std::move(path)), cache_(std::make_unique<Cache>()) {}

Store::~Store() {
    try {
        flushDerived();
    } catch (...) {
    }
    for (auto& [sql, s] : cache_->stmts) sqlite3_finalize(s);
    if (db_) sqlite3_close_v2(db_);
}

void Store::exec(const char* sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        throw StoreError(errcOf(rc), msg);
    }
}

// A read's BEGIN and COMMIT, once per query: preparing them each time costs the parser's
// allocation, which also makes malloc sweep whatever small blocks the caller has just freed.
void Store::execKept(const char* sql) {
    Stmt q(*this, sql);
    int rc = sqlite3_step(q.s);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) throw StoreError(errcOf(rc), sqlite3_errmsg(db_));
}

void Store::beginWrite() {
    if (readDepth_ > 0) throw StoreError(Errc::Invalid, "a write inside a read");
    if (readOnly_) throw StoreError(Errc::Invalid, "a write on a store opened for reading");
    if (txDepth_++ > 0) return;
    try {
        // IMMEDIATE takes the write lock now, so the busy handler waits for other writers.
        exec("BEGIN IMMEDIATE");
    } catch (...) {
        --txDepth_;
        throw;
    }
}

void Store::commit() {
    if (--txDepth_ > 0) return;
    try {
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Store::rollback() {
    if (--txDepth_ > 0) return;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Store::transaction(const std::function<void()>& fn) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    beginWrite();
    try {
        fn();
    } catch (...) {
        rollback();
        throw;
    }
    commit();
}

void Store::read(const std::function<void()>& fn) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (txDepth_ > 0 || readDepth_ > 0) {
        fn();
        return;
    }
    execKept("BEGIN");
    ++readDepth_;
    try {
        fn();
    } catch (...) {
        --readDepth_;
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        throw;
    }
    --readDepth_;
    execKept("COMMIT");
}

// ---- opening ----------------------------------------------------------------

namespace {

uint32_t be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Checks the file header without letting SQLite touch the file.
void checkHeader(const std::string& path) {
    unsigned char h[100];
    long n = files::readPrefix(path, h, sizeof h);
    if (n == -ENOENT) throw StoreError(Errc::NotFound, "no store at " + path);
    if (n < 0) throw StoreError(Errc::AccessDenied, "cannot read " + path + ": " + std::strerror(static_cast<int>(-n)));
    if (n < 100 || std::memcmp(h, "SQLite format 3", 16) != 0)
        throw StoreError(Errc::NotAStore, path + " is not a PIM store");
    if (be32(h + 68) != Store::kApplicationId) throw StoreError(Errc::NotAStore, path + " is not a PIM store");
    if (be32(h + 60) > static_cast<uint32_t>(Store::kSchemaVersion))
        throw StoreError(Errc::NewerVersion, path + " was written by a newer version");
    if (int err = files::checkReadWrite(path))
        throw StoreError(Errc::AccessDenied, "cannot write " + path + ": " + std::strerror(err));
}

// Builds a new store beside `path` and links it into place, so that no other
// process ever sees a half-made store.
void createStore(const std::string& path) {
    std::filesystem::path p(path);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    std::string tmp = path + ".new-" + std::to_string(files::processId());
    files::removeFile(tmp);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(tmp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    auto cleanup = [&] {
        sqlite3_close_v2(db);
        files::removeFile(tmp);
    };
    if (rc != SQLITE_OK) {
        cleanup();
        throw StoreError(errcOf(rc), "cannot create " + path);
    }
    std::array<uint8_t, 16> id;
    std::random_device rd;
    for (auto& b : id) b = static_cast<uint8_t>(rd());
    std::string sql = std::string("BEGIN;") + kSchema + "PRAGMA application_id=" + std::to_string(Store::kApplicationId) +
                      ";PRAGMA user_version=" + std::to_string(Store::kSchemaVersion) + ";";
    rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        rc = sqlite3_prepare_v2(db, "INSERT INTO meta(name, value) VALUES('store_id', ?)", -1, &s, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_bind_blob(s, 1, id.data(), 16, SQLITE_STATIC);
            rc = sqlite3_step(s) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
        }
        sqlite3_finalize(s);
    }
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT; PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        cleanup();
        throw StoreError(Errc::Io, "cannot create " + path);
    }
    sqlite3_close_v2(db);
    db = nullptr;
    if (int err = files::linkNew(tmp, path); err != 0 && err != EEXIST) {
        files::removeFile(tmp);
        throw StoreError(Errc::AccessDenied, "cannot create " + path + ": " + std::strerror(err));
    }
    files::removeFile(tmp);
}

}  // namespace

std::unique_ptr<Store> Store::open(const std::string& path, Options options) {
    const int kind = files::statRegular(path);
    if (kind == ENOENT) {
        if (!options.create) throw StoreError(Errc::NotFound, "no store at " + path);
        createStore(path);
    } else if (kind == ENOTSUP) {
        throw StoreError(Errc::AccessDenied, path + " cannot be read as a file");
    } else if (kind != 0) {
        throw StoreError(Errc::AccessDenied, "cannot reach " + path + ": " + std::strerror(kind));
    }
    checkHeader(path);

    std::unique_ptr<Store> s(new Store(path));
    // No connection mutex: every use of the connection holds mu_ (connection() is for use inside
    // transaction() only), and SQLite's own lock cost a pair of calls per column read.
    int rc = sqlite3_open_v2(path.c_str(), &s->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) fail(s->db_, rc, "open");
    sqlite3_busy_timeout(s->db_, options.busyTimeoutMs);
    s->cache_->busyTimeoutMs = options.busyTimeoutMs;
    sqlite3_extended_result_codes(s->db_, 0);
    // The WAL and its index stay beside the store when the last connection closes (emptied, not
    // deleted): making both afresh cost every short-lived process two inode creations and two
    // unlinks, a millisecond of the 12 a one-week agenda took. A closing checkpoint still empties
    // the WAL, since journal_size_limit is set.
    int persistWal = 1;
    sqlite3_file_control(s->db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persistWal);
    s->readOnly_ = options.readOnly;
    s->exec("PRAGMA mmap_size=268435456; PRAGMA journal_size_limit=67108864");
    if (!s->readOnly_) s->exec("PRAGMA synchronous=FULL; PRAGMA cache_size=-32768");
    bool derivedMade = false;
    try {
        // With it, whether the derived table and its triggers are there: one statement, not two.
        // A reader never sets them up, so it does not ask.
        Stmt q(*s, s->readOnly_ ? "SELECT value, 0 FROM meta WHERE name='store_id'"
                                : "SELECT value, (SELECT count(*) FROM sqlite_master WHERE name IN"
                                  " ('item_derived', 'item_derived_changed', 'item_derived_removed'))"
                                  " FROM meta WHERE name='store_id'");
        if (!q.step() || sqlite3_column_bytes(q.s, 0) != 16) throw StoreError(Errc::NotAStore, path + " has no store id");
        std::memcpy(s->storeId_.data(), sqlite3_column_blob(q.s, 0), 16);
        derivedMade = q.i64(1) == 3;
    } catch (const StoreError& e) {
        if (e.code() == Errc::Io) throw StoreError(Errc::NotAStore, e.what());
        throw;
    }
    if (!s->readOnly_) s->openDerived(derivedMade);
    return s;
}

std::string Store::storeIdHex() const { return hex(storeId_.data(), storeId_.size()); }

// ---- entry ids ----------------------------------------------------------------

std::string Store::computedEntryId(RecordKey key) const {
    uint8_t k[4] = {uint8_t(key), uint8_t(key >> 8), uint8_t(key >> 16), uint8_t(key >> 24)};
    return "00000000" + storeIdHex() + hex(k, 4);
}

void Store::setEntryId(RecordKey key, const std::string& entryId) {
    if (entryId.empty()) throw StoreError(Errc::Invalid, "empty entry id");
    std::lock_guard<std::recursive_mutex> lock(mu_);
    transaction([&] {
        if (auto other = keyOfEntryId(entryId); other && *other != key)
            throw StoreError(Errc::Invalid, "entry id in use");
        // A new version: what readers derived from the item (its entry id too) is out of date.
        Stmt u(*this, "UPDATE items SET entry_id=?1, version=version+1 WHERE key=?2");
        u.bind(1, entryId).bind(2, key).step();
        if (sqlite3_changes(db_) == 0) throw StoreError(Errc::NotFound, "no such item");
        cache_->info.erase(key);
    });
}

namespace {

// The record key a computed entry id names, if `entryId` has that form for this store.
std::optional<RecordKey> computedKey(std::string_view entryId, const std::string& storeHex) {
    if (entryId.size() != 48 || entryId.substr(0, 8) != "00000000" || entryId.substr(8, 32) != storeHex)
        return std::nullopt;
    uint32_t key = 0;
    for (int i = 3; i >= 0; --i) {
        std::string_view byte = entryId.substr(40 + 2 * i, 2);
        unsigned v = 0;
        for (char c : byte) {
            v <<= 4;
            if (c >= '0' && c <= '9') v |= unsigned(c - '0');
            else if (c >= 'A' && c <= 'F') v |= unsigned(c - 'A' + 10);
            else return std::nullopt;
        }
        key = (key << 8) | v;
    }
    return key;
}

}  // namespace

std::optional<RecordKey> Store::keyOfEntryId(std::string_view entryId) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    {
        Stmt q(*this, "SELECT key FROM items WHERE entry_id=?1");
        q.bind(1, entryId);
        if (q.step()) return static_cast<RecordKey>(q.i64(0));
    }
    auto key = computedKey(entryId, storeIdHex());
    if (!key) return std::nullopt;
    // An item that was given its own id no longer answers to the computed one.
    Stmt q(*this, "SELECT entry_id IS NULL FROM items WHERE key=?1");
    q.bind(1, *key);
    if (q.step() && q.i64(0)) return key;
    return std::nullopt;
}

// ---- items ----------------------------------------------------------------------

#define ITEM_COLUMNS "key, folder, kind, entry_id, data, zone, start_utc, end_utc, recurring, version"

ItemRecord Store::readRow(Stmt& q) {
    ItemRecord r;
    r.key = static_cast<RecordKey>(q.i64(0));
    r.folder = static_cast<Folder>(q.i64(1));
    r.kind = static_cast<Kind>(q.i64(2));
    r.entryId = q.null(3) ? computedEntryId(r.key) : q.text(3);
    r.data = q.text(4);
    r.zone = q.text(5);
    r.start = q.i64(6);
    r.end = q.i64(7);
    r.recurring = q.i64(8) != 0;
    r.version = static_cast<uint64_t>(q.i64(9));
    return r;
}

std::optional<ItemRecord> Store::get(RecordKey key) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Stmt q(*this, "SELECT " ITEM_COLUMNS " FROM items WHERE key=?1");
    q.bind(1, key);
    if (!q.step()) return std::nullopt;
    return readRow(q);
}

std::optional<ItemRecord> Store::find(std::string_view entryId) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto key = computedKey(entryId, storeIdHex());
    if (!key) {
        Stmt q(*this, "SELECT " ITEM_COLUMNS " FROM items WHERE entry_id=?1");
        q.bind(1, entryId);
        if (!q.step()) return std::nullopt;
        return readRow(q);
    }
    // One statement for both meanings, an own id first (as keyOfEntryId): listings look up
    // thousands of computed ids.
    Stmt q(*this,
           "SELECT " ITEM_COLUMNS " FROM items WHERE entry_id=?1"
           " UNION ALL SELECT " ITEM_COLUMNS " FROM items WHERE key=?2 AND entry_id IS NULL");
    q.bind(1, entryId).bind(2, *key);
    if (!q.step()) return std::nullopt;
    return readRow(q);
}

std::vector<std::optional<std::string>> Store::textsOf(const std::vector<std::string>& entryIds) {
    std::vector<std::optional<std::string>> out(entryIds.size());
    eachTextOf(std::vector<std::string_view>(entryIds.begin(), entryIds.end()),
               [&](std::size_t i, std::string_view text) { out[i] = std::string(text); });
    return out;
}

std::vector<RecordKey> Store::keys(Folder folder) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::vector<RecordKey> out;
    Stmt q(*this, "SELECT key FROM items WHERE folder=?1 ORDER BY key");
    q.bind(1, static_cast<int>(folder));
    while (q.step()) out.push_back(static_cast<RecordKey>(q.i64(0)));
    return out;
}

std::vector<Store::Summary> Store::list(Folder folder) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::vector<Summary> out;
    Stmt q(*this,
           "SELECT key, kind, start_utc, end_utc, recurring, all_day, entry_id FROM items WHERE folder=?1 ORDER BY key");
    q.bind(1, static_cast<int>(folder));
    while (q.step()) {
        RecordKey key = static_cast<RecordKey>(q.i64(0));
        out.push_back({key, static_cast<Kind>(q.i64(1)), q.i64(2), q.i64(3), q.i64(4) != 0, q.i64(5) != 0,
                       q.null(6) ? computedEntryId(key) : q.text(6)});
    }
    return out;
}

std::vector<Store::Summary> Store::others(Folder folder) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::vector<Summary> out;
    Stmt q(*this,
           "SELECT key, kind, start_utc, end_utc, recurring, all_day FROM items WHERE folder=?1 AND kind IN (3, 4, 5)");
    q.bind(1, static_cast<int>(folder));
    while (q.step())
        out.push_back({static_cast<RecordKey>(q.i64(0)), static_cast<Kind>(q.i64(1)), q.i64(2), q.i64(3), q.i64(4) != 0,
                       q.i64(5) != 0, {}});
    // Sorted here, so that the (folder, kind) index serves the query.
    std::sort(out.begin(), out.end(), [](const Summary& a, const Summary& b) { return a.key < b.key; });
    return out;
}

std::size_t Store::count(Folder folder) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Stmt q(*this, "SELECT count(*) FROM items WHERE folder=?1");
    q.bind(1, static_cast<int>(folder));
    q.step();
    return static_cast<size_t>(q.i64(0));
}

void Store::remove(RecordKey key) {
    transaction([&] {
        Stmt d(*this, "DELETE FROM items WHERE key=?1");
        d.bind(1, key).step();
        if (sqlite3_changes(db_) == 0) throw StoreError(Errc::NotFound, "no such item");
        Stmt s(*this, "DELETE FROM spans WHERE key=?1");
        s.bind(1, key).step();
        Stmt c(*this, "DELETE FROM contacts WHERE key=?1");
        c.bind(1, key).step();
        Stmt e(*this, "DELETE FROM contact_emails WHERE key=?1");
        e.bind(1, key).step();
        cache_->info.erase(key);  // under the lock: another thread may be listing
    });
}

RecordKey Store::insertItem(Folder folder, Kind kind, const std::string& uid, const std::string& data,
                            const std::string& zone, UtcSeconds start, UtcSeconds end, bool recurring,
                            UtcSeconds spanStart, UtcSeconds spanEnd) {
    Stmt q(*this,
           "INSERT INTO items(folder, kind, uid, data, zone, start_utc, end_utc, recurring, all_day)"
           " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 0)");
    q.bind(1, static_cast<int>(folder)).bind(2, static_cast<int>(kind)).bind(3, uid).bind(4, data);
    q.bind(5, zone).bind(6, start).bind(7, end).bind(8, recurring ? 1 : 0);
    q.step();
    int64_t key = sqlite3_last_insert_rowid(db_);
    if (key > int64_t(UINT32_MAX)) throw StoreError(Errc::Full, "record keys exhausted");
    (void)spanStart;
    (void)spanEnd;
    return static_cast<RecordKey>(key);
}

void Store::writeSpan(RecordKey key, const Series& s, bool) {
    Stmt q(*this, "INSERT OR REPLACE INTO spans(key, lo, hi) VALUES(?1, ?2, ?3)");
    q.bind(1, key).bind(2, toMinutesFloor(s.spanStart)).bind(3, toMinutesCeil(s.spanEnd)).step();
    cache_->info.erase(key);
}

// ---- calendar -----------------------------------------------------------------

namespace {

// Gives the master and its overrides one UID; returns it.
std::string ensureUid(icalcomponent* cal) {
    icalcomponent* m = ical::master(cal);
    std::string uid = event::text(m, ICAL_UID_PROPERTY);
    if (uid.empty()) {
        uid = event::newUid();
        event::setText(m, ICAL_UID_PROPERTY, uid);
    }
    for (icalcomponent* e = icalcomponent_get_first_component(cal, ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(cal, ICAL_VEVENT_COMPONENT))
        if (e != m && event::text(e, ICAL_UID_PROPERTY) != uid) event::setText(e, ICAL_UID_PROPERTY, uid);
    return uid;
}

ical::ComponentPtr parseEvent(std::string_view text) {
    ical::ComponentPtr cal = ical::parse(text);
    if (!cal || !ical::master(cal.get())) throw StoreError(Errc::Invalid, "no VEVENT in the text");
    return cal;
}

}  // namespace

void Store::storeEvent(RecordKey key, icalcomponent* cal, const std::string& zoneName, bool isNew, RecordKey* added) {
    std::string uid = ensureUid(cal);
    Series s;
    try {
        s = compileSeries(cal, zoneName);
    } catch (const std::exception& e) {
        throw StoreError(Errc::Invalid, e.what());
    }
    std::string data = ical::write(cal);
    bool recurring = s.recurring() || !s.overrides.empty();
    if (isNew) {
        *added = insertItem(Folder::Calendar, Kind::Appointment, uid, data, s.zone, s.start, s.end, recurring,
                            s.spanStart, s.spanEnd);
        key = *added;
        writeSpan(key, s, recurring);
    } else {
        Stmt q(*this,
               "UPDATE items SET uid=?2, data=?3, zone=?4, start_utc=?5, end_utc=?6, recurring=?7,"
               " all_day=?8, version=version+1 WHERE key=?1 AND kind=1");
        q.bind(1, key).bind(2, uid).bind(3, data).bind(4, s.zone).bind(5, s.start).bind(6, s.end);
        q.bind(7, recurring ? 1 : 0).bind(8, s.allDay ? 1 : 0);
        q.step();
        if (sqlite3_changes(db_) == 0) throw StoreError(Errc::NotFound, "no such appointment");
        writeSpan(key, s, recurring);
    }
    if (s.allDay) {
        Stmt a(*this, "UPDATE items SET all_day=1 WHERE key=?1");
        a.bind(1, key).step();
    }
    // After the last UPDATE: its trigger drops the item's derived row.
    keepDerivations(key, cal, s, recurring, isNew);
}

RecordKey Store::addEvent(std::string_view text) {
    ical::ComponentPtr cal = parseEvent(text);
    std::string z = ical::normalize(cal.get(), zone::local());
    RecordKey key = 0;
    transaction([&] { storeEvent(0, cal.get(), z, true, &key); });
    return key;
}

void Store::updateEvent(RecordKey key, std::string_view text) {
    ical::ComponentPtr cal = parseEvent(text);
    std::string z = ical::normalize(cal.get(), zone::local());
    transaction([&] { storeEvent(key, cal.get(), z, false, nullptr); });
}

RecordKey Store::addOther(Folder folder, Kind kind, std::string_view data) {
    if (kind == Kind::Appointment || kind == Kind::Contact || kind == Kind::DistList)
        throw StoreError(Errc::Invalid, "use the typed add for appointments and contacts");
    // A VTODO/VJOURNAL with a DTSTART gets a time, so period filters can meet it.
    UtcSeconds start = 0, end = 0;
    std::string uid;
    if (ical::ComponentPtr cal = ical::parse(data)) {
        icalcomponent* c = icalcomponent_get_first_component(cal.get(), ICAL_ANY_COMPONENT);
        if (c) {
            uid = event::text(c, ICAL_UID_PROPERTY);
            if (icalproperty* ds = icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY)) {
                ical::Time t = ical::readTime(ds);
                start = end = ical::toUtc(t, ical::zoneOf(t, zone::local()));
                icalproperty* de = icalcomponent_get_first_property(c, ICAL_DUE_PROPERTY);
                if (!de) de = icalcomponent_get_first_property(c, ICAL_DTEND_PROPERTY);
                if (de) {
                    ical::Time u = ical::readTime(de);
                    end = std::max(start, ical::toUtc(u, ical::zoneOf(u, zone::local())));
                }
            }
        }
    }
    RecordKey key = 0;
    transaction([&] { key = insertItem(folder, kind, uid, std::string(data), "", start, end, false, 0, 0); });
    return key;
}

namespace {

ical::Time instanceTime(const Series& s, UtcSeconds rid) {
    ical::Time t;
    t.wall = zone::toWall(s.zone, rid);
    if (s.allDay) {
        t.isDate = true;
        t.wall.hour = t.wall.minute = t.wall.second = 0;
    } else if (s.zone == "UTC") {
        t.isUtc = true;
    } else {
        t.tzid = s.zone;
    }
    return t;
}

bool isInstance(const Series& s, UtcSeconds rid) {
    for (const Instance& i : expand(s, rid - s.maxLength - 86400 * 2, rid + 86400 * 2))
        if (i.recurrenceId == rid) return true;
    return false;
}

}  // namespace

void Store::deleteOccurrence(RecordKey key, UtcSeconds rid) {
    transaction([&] {
        auto rec = get(key);
        if (!rec || rec->kind != Kind::Appointment) throw StoreError(Errc::NotFound, "no such appointment");
        ical::ComponentPtr cal = parseEvent(rec->data);
        Series s = compileSeries(cal.get(), rec->zone);
        if (!isInstance(s, rid)) throw StoreError(Errc::NotFound, "no such occurrence");
        if (icalcomponent* o = ical::overrideAt(cal.get(), s.zone, rid)) {
            icalcomponent_remove_component(cal.get(), o);
            icalcomponent_free(o);
        }
        icalproperty* ex = icalproperty_new(ICAL_EXDATE_PROPERTY);
        ical::writeTime(ex, instanceTime(s, rid));
        icalcomponent_add_property(ical::master(cal.get()), ex);
        storeEvent(key, cal.get(), rec->zone, false, nullptr);
    });
}

void Store::saveOccurrence(RecordKey key, UtcSeconds rid, std::string_view vevent) {
    ical::ComponentPtr given = parseEvent(vevent);
    transaction([&] {
        auto rec = get(key);
        if (!rec || rec->kind != Kind::Appointment) throw StoreError(Errc::NotFound, "no such appointment");
        ical::ComponentPtr cal = parseEvent(rec->data);
        Series s = compileSeries(cal.get(), rec->zone);
        if (!isInstance(s, rid)) throw StoreError(Errc::NotFound, "no such occurrence");
        if (icalcomponent* o = ical::overrideAt(cal.get(), s.zone, rid)) {
            icalcomponent_remove_component(cal.get(), o);
            icalcomponent_free(o);
        }
        icalcomponent* o = icalcomponent_new_clone(ical::master(given.get()));
        for (icalproperty_kind k : {ICAL_RRULE_PROPERTY, ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY,
                                    ICAL_EXRULE_PROPERTY, ICAL_RECURRENCEID_PROPERTY}) {
            while (icalproperty* p = icalcomponent_get_first_property(o, k)) {
                icalcomponent_remove_property(o, p);
                icalproperty_free(p);
            }
        }
        icalproperty* r = icalproperty_new(ICAL_RECURRENCEID_PROPERTY);
        ical::writeTime(r, instanceTime(s, rid));
        icalcomponent_add_property(o, r);
        icalcomponent_add_component(cal.get(), o);
        ical::normalize(cal.get(), rec->zone);
        storeEvent(key, cal.get(), rec->zone, false, nullptr);
    });
}

std::shared_ptr<const Series> Store::series(RecordKey key) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Stmt q(*this, "SELECT version, data, zone FROM items WHERE key=?1 AND kind=1");
    q.bind(1, key);
    if (!q.step()) throw StoreError(Errc::NotFound, "no such appointment");
    uint64_t version = static_cast<uint64_t>(q.i64(0));
    if (Cache::Info* in = cache_->info.find(key); in && in->version == version && in->series) return in->series;
    std::shared_ptr<const Series> s;
    if (auto kept = derived(key, version, kSeriesSlot))
        s = loadSharedSeries(*kept);
    if (!s) {
        ical::ComponentPtr cal = parseEvent(q.text(1));
        s = std::make_shared<const Series>(compileSeries(cal.get(), q.text(2)));
        setDerived(key, version, kSeriesSlot, saveSeries(*s));
    }
    if (Cache::Info* in = cache_->info.find(key); in && in->version == version) in->series = s;
    return s;
}

std::shared_ptr<const void> Store::memo(RecordKey key, std::uint64_t version, std::int64_t slot) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    const Cache::Memo* m = cache_->memos.find({key, slot});
    if (!m || m->version != version) return nullptr;
    return m->value;
}

void Store::setMemo(RecordKey key, std::uint64_t version, std::int64_t slot, std::shared_ptr<const void> value) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (cache_->memos.size() >= kMemos) cache_->memos.clear();
    cache_->memos[{key, slot}] = {version, std::move(value)};
}

// What readers derive from items, kept for other processes: one row an item, keyed by its
// record key (a rowid: cheap to find), holding every slot derived from one version. A store
// without the table still works (it could not be written): nothing is kept then.
constexpr const char* kDerivedSchema = R"sql(
CREATE TABLE IF NOT EXISTS item_derived(
  key INTEGER PRIMARY KEY, version INTEGER NOT NULL, bytes BLOB NOT NULL);
CREATE TRIGGER IF NOT EXISTS item_derived_changed AFTER UPDATE ON items BEGIN
  DELETE FROM item_derived WHERE key = old.key;
END;
CREATE TRIGGER IF NOT EXISTS item_derived_removed AFTER DELETE ON items BEGIN
  DELETE FROM item_derived WHERE key = old.key;
END;
)sql";

namespace {

std::string encodeSlots(const std::vector<std::pair<int64_t, std::string>>& slots) {
    bytes::Writer w;
    w.num<uint32_t>(static_cast<uint32_t>(slots.size()));
    for (const auto& [slot, b] : slots) w.num(slot).text(b);
    return w.take();
}

bool decodeSlots(std::string_view in, std::vector<std::pair<int64_t, std::string>>& slots) {
    bytes::Reader r(in);
    uint32_t n = r.num<uint32_t>();
    if (!r.ok || n > 100000) return false;
    for (uint32_t i = 0; i < n && r.ok; ++i) {
        int64_t slot = r.num<int64_t>();
        std::string b = r.text<std::string>();
        slots.emplace_back(slot, std::move(b));
    }
    return r.done();
}

// Walks encoded slots without copying them: `fn(slot, bytes)` for each, until it returns true.
// False when the block is not one encodeSlots could have written.
template <class Fn>
bool walkSlots(std::string_view in, Fn&& fn) {
    auto take = [&](void* v, size_t n) {
        if (in.size() < n) return false;
        std::memcpy(v, in.data(), n);
        in.remove_prefix(n);
        return true;
    };
    uint32_t n = 0;
    if (!take(&n, sizeof n) || n > 100000) return false;
    for (uint32_t i = 0; i < n; ++i) {
        int64_t slot = 0;
        uint32_t len = 0;
        if (!take(&slot, sizeof slot) || !take(&len, sizeof len) || in.size() < len) return false;
        std::string_view b = in.substr(0, len);
        in.remove_prefix(len);
        if (fn(slot, b)) return true;
    }
    return in.empty();
}

std::optional<std::string_view> findSlot(std::string_view in, int64_t slot) {
    std::optional<std::string_view> out;
    walkSlots(in, [&](int64_t s, std::string_view b) {
        if (s == slot) out = b;
        return s == slot;
    });
    return out;
}

}  // namespace

namespace {
std::atomic<Store::EventDeriver> g_eventDeriver{nullptr};
}  // namespace

void Store::setEventDeriver(EventDeriver deriver) { g_eventDeriver.store(deriver); }

void Store::keepDerivations(RecordKey key, icalcomponent* cal, const Series& s, bool recurring, bool isNew) {
    if (!cache_->derivedTable) return;
    EventDeriver deriver = g_eventDeriver.load();
    std::vector<std::pair<int64_t, std::string>> slots;
    if (recurring)
        if (std::string b = saveSeries(s); !b.empty()) slots.emplace_back(kSeriesSlot, std::move(b));
    int64_t version = 1;  // the column's default
    std::string entryId;
    if (isNew) {
        entryId = computedEntryId(key);
    } else {
        Stmt q(*this, "SELECT version, entry_id FROM items WHERE key=?1");
        q.bind(1, key);
        if (!q.step()) return;
        version = q.i64(0);
        entryId = q.null(1) ? computedEntryId(key) : q.text(1);
    }
    if (deriver) {
        // Derivations are a reader's shortcut: one that fails leaves the item to be derived later.
        std::vector<std::pair<int64_t, std::string>> more;
        try {
            deriver(cal, s.zone, entryId, more);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception&) {
            more.clear();
        }
        for (auto& m : more) slots.push_back(std::move(m));
    }
    if (Cache::DerivedRow* row = cache_->derived.find(key)) {
        if (row->dirty) --cache_->dirtyRows;
        cache_->derived.erase(key);
    }
    if (slots.empty()) return;
    std::string b = encodeSlots(slots);
    Stmt i(*this, "INSERT OR REPLACE INTO item_derived(key, version, bytes) VALUES(?1, ?2, ?3)");
    i.bind(1, key).bind(2, version);
    sqlite3_bind_blob(i.s, 3, b.data(), static_cast<int>(b.size()), SQLITE_STATIC);
    i.step();
}

void Store::openDerived(bool made) {
    if (made) {
        cache_->derivedTable = true;
        return;
    }
    // Made once per file; a writer busy elsewhere only postpones it to a later process.
    sqlite3_busy_timeout(db_, 0);
    try {
        transaction([&] { exec(kDerivedSchema); });
        cache_->derivedTable = true;
    } catch (const StoreError&) {
    }
    sqlite3_busy_timeout(db_, cache_->busyTimeoutMs);
}

std::optional<std::string> Store::derived(RecordKey key, std::uint64_t version, std::int64_t slot) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!cache_->derivedTable) return std::nullopt;
    const Cache::DerivedRow* row = cache_->derived.find(key);
    std::optional<std::string_view> b;
    if (!row || row->version != version) {
        // Read once a version: later slots of the same item come from memory.
        Stmt q(*this, "SELECT bytes FROM item_derived WHERE key=?1 AND version=?2");
        q.bind(1, key).bind(2, static_cast<int64_t>(version));
        bool found = q.step();
        b = derivedFrom(key, version, slot, found, found ? q.s : nullptr, 0);
    } else {
        b = findSlot(row->bytes, slot);
    }
    if (!b) return std::nullopt;
    return std::string(*b);
}

// derived() with the file's row already read, by the statement `q` at `column` (when `found`).
// The view stays valid until the next change of the derived cache.
std::optional<std::string_view> Store::derivedFrom(RecordKey key, std::uint64_t version, std::int64_t slot, bool found,
                                                   sqlite3_stmt* q, int column) {
    if (!cache_->derivedTable) return std::nullopt;
    Cache::DerivedRow* row = cache_->derived.find(key);
    if (!row || row->version != version) {
        if (cache_->derived.size() >= kMemos && cache_->dirtyRows == 0) {
            cache_->clearDerived();
            row = nullptr;
        }
        std::string_view kept;
        if (found) {
            const char* b = static_cast<const char*>(sqlite3_column_blob(q, column));
            std::string_view in(b ? b : "", static_cast<size_t>(sqlite3_column_bytes(q, column)));
            // A block that does not read back whole is kept as none.
            if (walkSlots(in, [](int64_t, std::string_view) { return false; })) kept = cache_->keep(in);
        }
        if (row && row->dirty) --cache_->dirtyRows;
        row = &cache_->derived[key];
        *row = {version, kept, false};
    }
    return findSlot(row->bytes, slot);
}

void Store::setDerived(RecordKey key, std::uint64_t version, std::int64_t slot, std::string bytes) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!cache_->derivedTable || bytes.empty()) return;
    Cache::DerivedRow& row = cache_->derived[key];
    const bool valid = row.version == version && walkSlots(row.bytes, [](int64_t, std::string_view) { return false; });
    row.version = version;
    std::string block;
    if (valid && !findSlot(row.bytes, slot)) {
        // A new slot (the usual case: one an occurrence) is appended to the block as it is.
        uint32_t n = 0;
        std::memcpy(&n, row.bytes.data(), sizeof n);
        ++n;
        bytes::Writer w;
        w.num(slot).text(bytes);
        std::string tail = w.take();
        block.reserve(row.bytes.size() + tail.size());
        block.append(row.bytes);
        std::memcpy(block.data(), &n, sizeof n);
        block += tail;
    } else {
        std::vector<std::pair<int64_t, std::string>> slots;
        if (valid) decodeSlots(row.bytes, slots);
        bool found = false;
        for (auto& [s, b] : slots)
            if (s == slot) {
                b = std::move(bytes);
                found = true;
            }
        if (!found) slots.emplace_back(slot, std::move(bytes));
        block = encodeSlots(slots);
    }
    // `row` stays put: keeping bytes moves no row of the table.
    row.bytes = cache_->keep(block);
    if (!row.dirty) {
        row.dirty = true;
        ++cache_->dirtyRows;
    }
    if (cache_->dirtyRows >= 4096) flushDerived();
}

void Store::flushDerived() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (cache_->dirtyRows == 0 || !sqlite3_get_autocommit(db_)) return;
    // Derived rows are no data of the user's: no waiting for other writers and no flush to disk
    // of their own (the next durable commit carries them). Not written now: derived again later.
    sqlite3_busy_timeout(db_, 0);
    sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    try {
        transaction([&] {
            cache_->derived.forEach([&](RecordKey key, Cache::DerivedRow& row) {
                if (!row.dirty) return;
                row.dirty = false;
                const std::string_view b = row.bytes;
                // Only for the version still stored: the item may have changed since it was read.
                Stmt i(*this,
                       "INSERT OR REPLACE INTO item_derived(key, version, bytes) SELECT ?1, ?2, ?3"
                       " WHERE EXISTS(SELECT 1 FROM items WHERE key=?1 AND version=?2)");
                i.bind(1, key).bind(2, static_cast<int64_t>(row.version));
                sqlite3_bind_blob(i.s, 3, b.data(), static_cast<int>(b.size()), SQLITE_STATIC);
                i.step();
            });
        });
    } catch (const StoreError&) {
        cache_->derived.forEach([](RecordKey, Cache::DerivedRow& row) { row.dirty = false; });
    }
    cache_->dirtyRows = 0;
    sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    sqlite3_busy_timeout(db_, cache_->busyTimeoutMs);
}

std::vector<Occurrence> Store::occurrences(UtcSeconds from, UtcSeconds to, std::size_t limit) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (to < from) {
        // A reversed period keeps its meaning: what spans the whole gap between the two.
        std::vector<Occurrence> gap = occurrences(to, from, limit);
        std::erase_if(gap, [&](const Occurrence& o) { return o.start > to || o.end < from; });
        return gap;
    }
    std::vector<Occurrence> out;
    auto before = [](const Occurrence& a, const Occurrence& b) {
        if (a.start != b.start) return a.start < b.start;
        if (a.key != b.key) return a.key < b.key;
        return a.recurrenceId < b.recurrenceId;
    };
    // Only the first `limit` instances are answered: past twice that many, the later ones are
    // dropped and nothing starting after the last one kept is expanded any more, so a long
    // period over open-ended series stays within memory.
    limit = std::max<std::size_t>(limit, 1);
    UtcSeconds cutoff = to;
    auto keepFirst = [&] {
        std::nth_element(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(limit - 1), out.end(), before);
        out.resize(limit);
        cutoff = out.back().start;
    };
    bool ownTx = txDepth_ == 0 && readDepth_ == 0;
    if (ownTx) execKept("BEGIN");  // one snapshot for the index and the texts
    try {
        {
            // Another connection's commit makes every cached row suspect.
            Stmt dv(*this, "PRAGMA data_version");
            dv.step();
            if (dv.i64(0) != cache_->dataVersion) {
                cache_->info.clear();
                if (cache_->dirtyRows == 0) cache_->clearDerived();
                cache_->dataVersion = dv.i64(0);
            }
        }
        // A connection that has read items before holds their summaries: then the index alone, and
        // a look at an item only where one is missing. Otherwise the index, each item's summary and
        // its kept derivations in one joined pass (a statement per item cost more than the lookups
        // themselves). Spans stay the outer loop: their order.
        const bool warm = !cache_->info.empty();
        Stmt q(*this, warm ? "SELECT s.key FROM spans AS s WHERE s.lo <= ?1 AND s.hi >= ?2"
                      : cache_->derivedTable
                          ? "SELECT s.key, i.version, i.start_utc, i.end_utc, i.recurring, i.all_day, d.key, d.bytes"
                            " FROM spans AS s CROSS JOIN items AS i ON i.key = s.key"
                            " LEFT JOIN item_derived AS d ON d.key = s.key AND d.version = i.version"
                            " WHERE s.lo <= ?1 AND s.hi >= ?2"
                          : "SELECT s.key, i.version, i.start_utc, i.end_utc, i.recurring, i.all_day, NULL, NULL"
                            " FROM spans AS s CROSS JOIN items AS i ON i.key = s.key"
                            " WHERE s.lo <= ?1 AND s.hi >= ?2");
        q.bind(1, toMinutesCeil(to)).bind(2, toMinutesFloor(from));
        if (!warm) {
            // A first listing fills both caches with hundreds of rows: grown once, not rehashed on the way.
            cache_->info.reserve(1024);
            cache_->derived.reserve(1024);
        }
        std::vector<Instance> instances;  // one buffer for every series
        out.reserve(std::min(cache_->lastListed, 2 * limit));  // grown once, not doubled a dozen times
        while (q.step()) {
            RecordKey key = static_cast<RecordKey>(q.i64(0));
            Cache::Info* it = cache_->info.find(key);
            const bool joined = !it && !warm;
            if (joined) {
                it = &cache_->info[key];
                *it = {static_cast<uint64_t>(q.i64(1)), q.i64(2), q.i64(3), q.i64(4) != 0, q.i64(5) != 0, {}};
            } else if (!it) {
                Stmt one(*this, "SELECT version, start_utc, end_utc, recurring, all_day FROM items WHERE key=?1");
                one.bind(1, key);
                if (!one.step()) continue;
                it = &cache_->info[key];
                *it = {static_cast<uint64_t>(one.i64(0)), one.i64(1), one.i64(2), one.i64(3) != 0, one.i64(4) != 0, {}};
            }
            // Nothing below adds to `info`: the row stays put.
            Cache::Info& r = *it;
            if (!r.recurring) {
                // Whoever lists an item reads what was derived from it next: read with the row.
                if (joined) derivedFrom(key, r.version, kSeriesSlot, !q.null(6), q.s, 7);
                if (r.start <= cutoff && r.end >= from) out.push_back({key, r.version, r.start, r.end, false, 0, false, r.allDay});
            } else {
                if (!r.series) {
                    // The version is known: a kept series needs no second look at the item.
                    if (joined) {
                        if (auto kept = derivedFrom(key, r.version, kSeriesSlot, !q.null(6), q.s, 7))
                            r.series = loadSharedSeries(*kept);
                    } else if (auto kept = derived(key, r.version, kSeriesSlot)) {
                        r.series = loadSharedSeries(*kept);
                    }
                    if (!r.series) r.series = series(key);
                }
                expand(*r.series, from, cutoff, limit, instances);
                for (const Instance& i : instances)
                    out.push_back({key, r.version, i.start, i.end, true, i.recurrenceId, i.override >= 0, r.allDay});
            }
            if (out.size() >= 2 * limit) keepFirst();
        }
    } catch (...) {
        if (ownTx) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        throw;
    }
    if (ownTx) {
        execKept("COMMIT");
        flushDerived();
    }
    cache_->lastListed = out.size();
    std::sort(out.begin(), out.end(), before);
    if (out.size() > limit) out.resize(limit);
    return out;
}

std::string toICalendar(const Appointment& a) {
    ical::ComponentPtr cal(icalcomponent_new(ICAL_VCALENDAR_COMPONENT));
    icalcomponent_add_property(cal.get(), icalproperty_new_version("2.0"));
    icalcomponent_add_property(cal.get(), icalproperty_new_prodid("-//PimServer//Store//EN"));
    icalcomponent* e = icalcomponent_new(ICAL_VEVENT_COMPONENT);
    icalcomponent_add_component(cal.get(), e);
    std::string z = a.zone.empty() ? zone::local() : zone::resolve(a.zone);
    if (z.empty()) throw StoreError(Errc::Invalid, "unknown time zone " + a.zone);
    event::setText(e, ICAL_UID_PROPERTY, a.uid.empty() ? event::newUid() : a.uid);
    icalcomponent_add_property(e, icalproperty_new_dtstamp(icaltime_current_time_with_zone(icaltimezone_get_utc_timezone())));
    event::setText(e, ICAL_SUMMARY_PROPERTY, a.subject);
    event::setText(e, ICAL_LOCATION_PROPERTY, a.location);
    event::setText(e, ICAL_DESCRIPTION_PROPERTY, a.body);
    event::setTimes(e, a.start, a.end, a.allDay, z);
    event::setBusyStatus(e, a.busyStatus);
    event::setReminder(e, a.reminderSet, a.reminderMinutes);
    Series probe;
    probe.zone = z;
    probe.allDay = a.allDay;
    if (!a.rrule.empty()) {
        icalrecurrencetype r = icalrecurrencetype_from_string(a.rrule.c_str());
        if (r.freq == ICAL_NO_RECURRENCE) throw StoreError(Errc::Invalid, "unreadable rule " + a.rrule);
        icalcomponent_add_property(e, icalproperty_new_rrule(r));
    }
    for (UtcSeconds x : a.exdates) {
        icalproperty* p = icalproperty_new(ICAL_EXDATE_PROPERTY);
        ical::writeTime(p, instanceTime(probe, x));
        icalcomponent_add_property(e, p);
    }
    for (UtcSeconds x : a.rdates) {
        icalproperty* p = icalproperty_new(ICAL_RDATE_PROPERTY);
        ical::writeTime(p, instanceTime(probe, x));
        icalcomponent_add_property(e, p);
    }
    return ical::write(cal.get());
}

// ---- contacts --------------------------------------------------------------------

namespace {

struct ParsedCard {
    ContactFields fields;
    std::string uid;
    bool group = false;
};

ParsedCard readCard(std::string_view text) {
    std::vector<vcard::Card> cards;
    try {
        cards = vcard::parseCards(text);
    } catch (const std::exception& e) {
        throw StoreError(Errc::Invalid, e.what());
    }
    if (cards.empty()) throw StoreError(Errc::Invalid, "no vCard in the text");
    const vcard::Card& c = cards.front();
    ParsedCard p;
    p.fields.firstName = c.givenName();
    p.fields.lastName = c.familyName();
    p.fields.fullName = c.formattedName();
    p.fields.company = c.organization();
    p.fields.emails = c.emails();
    if (const vcard::Property* u = c.find("UID")) p.uid = u->text();
    for (const char* k : {"KIND", "X-ADDRESSBOOKSERVER-KIND"})
        if (const vcard::Property* kind = c.find(k))
            if (strcasecmp(kind->text().c_str(), "group") == 0) p.group = true;
    return p;
}

}  // namespace

void Store::writeContactIndex(RecordKey key, const ContactFields& f) {
    Stmt c(*this,
           "INSERT OR REPLACE INTO contacts(key, first_name, last_name, full_name, company) VALUES(?1,?2,?3,?4,?5)");
    c.bind(1, key).bind(2, f.firstName).bind(3, f.lastName).bind(4, f.fullName).bind(5, f.company).step();
    Stmt d(*this, "DELETE FROM contact_emails WHERE key=?1");
    d.bind(1, key).step();
    for (const std::string& e : f.emails) {
        Stmt i(*this, "INSERT INTO contact_emails(key, email) VALUES(?1, ?2)");
        i.bind(1, key).bind(2, e).step();
    }
}

RecordKey Store::addContact(std::string_view text) {
    ParsedCard p = readCard(text);
    RecordKey key = 0;
    transaction([&] {
        key = insertItem(Folder::Contacts, Kind::Contact, p.uid, std::string(text), "", 0, 0, false, 0, 0);
        writeContactIndex(key, p.fields);
    });
    return key;
}

RecordKey Store::addDistList(std::string_view text) {
    ParsedCard p = readCard(text);
    RecordKey key = 0;
    transaction([&] {
        key = insertItem(Folder::Contacts, Kind::DistList, p.uid, std::string(text), "", 0, 0, false, 0, 0);
        writeContactIndex(key, p.fields);
    });
    return key;
}

void Store::updateContact(RecordKey key, std::string_view text) {
    ParsedCard p = readCard(text);
    transaction([&] {
        Stmt u(*this, "UPDATE items SET data=?2, uid=?3, version=version+1 WHERE key=?1 AND folder=10");
        u.bind(1, key).bind(2, text).bind(3, p.uid).step();
        if (sqlite3_changes(db_) == 0) throw StoreError(Errc::NotFound, "no such contact");
        writeContactIndex(key, p.fields);
    });
}

std::optional<ContactFields> Store::contactFields(RecordKey key) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Stmt q(*this, "SELECT first_name, last_name, full_name, company FROM contacts WHERE key=?1");
    q.bind(1, key);
    if (!q.step()) return std::nullopt;
    ContactFields f{q.text(0), q.text(1), q.text(2), q.text(3), {}};
    Stmt e(*this, "SELECT email FROM contact_emails WHERE key=?1 ORDER BY rowid");
    e.bind(1, key);
    while (e.step()) f.emails.push_back(e.text(0));
    return f;
}

std::vector<RecordKey> Store::findContactsByName(std::string_view first, std::string_view last) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::vector<RecordKey> out;
    Stmt q(*this,
           "SELECT c.key FROM contacts c JOIN items i ON i.key = c.key WHERE i.kind=2"
           " AND c.last_name=?2 COLLATE NOCASE AND c.first_name=?1 COLLATE NOCASE ORDER BY c.key");
    q.bind(1, first).bind(2, last);
    while (q.step()) out.push_back(static_cast<RecordKey>(q.i64(0)));
    return out;
}

std::vector<RecordKey> Store::resolve(std::string_view text) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::vector<RecordKey> out;
    Stmt q(*this,
           "SELECT key FROM contact_emails WHERE email=?1 COLLATE NOCASE"
           " UNION SELECT key FROM contacts WHERE full_name=?1 COLLATE NOCASE ORDER BY 1");
    q.bind(1, text);
    while (q.step()) out.push_back(static_cast<RecordKey>(q.i64(0)));
    return out;
}

void Store::eachTextOf(const std::vector<std::string_view>& entryIds,
                       const std::function<void(std::size_t, std::string_view)>& each) {
    read([&] {
        // Items given ids of their own are rare: without any, a computed id is a rowid lookup.
        bool ownIds = false;
        {
            Stmt q(*this, "SELECT EXISTS(SELECT 1 FROM items WHERE entry_id IS NOT NULL)");
            ownIds = q.step() && q.i64(0) != 0;
        }
        const std::string storeHex = storeIdHex();
        // The rowids go to one statement as a JSON array: a statement per id cost more than the
        // lookups. Element i of the array is entryIds[i] (null where the id computes no key).
        std::string keys = "[";
        keys.reserve(entryIds.size() * 8 + 2);
        bool anyKey = false;
        for (size_t i = 0; i < entryIds.size(); ++i) {
            auto key = ownIds ? std::nullopt : computedKey(entryIds[i], storeHex);
            if (i > 0) keys += ',';
            if (key) {
                keys += std::to_string(*key);
                anyKey = true;
            } else {
                keys += "null";
                if (auto item = find(entryIds[i])) each(i, item->data);
            }
        }
        keys += ']';
        if (!anyKey) return;
        Stmt q(*this, "SELECT j.key, i.data FROM json_each(?1) AS j CROSS JOIN items AS i ON i.key = j.value");
        q.bind(1, keys);
        while (q.step()) {
            const int64_t at = q.i64(0);
            const unsigned char* t = sqlite3_column_text(q.s, 1);
            const size_t n = static_cast<size_t>(sqlite3_column_bytes(q.s, 1));
            if (at >= 0 && static_cast<size_t>(at) < entryIds.size())
                each(static_cast<size_t>(at), std::string_view(t ? reinterpret_cast<const char*>(t) : "", n));
        }
    });
}

}  // namespace pim::store
