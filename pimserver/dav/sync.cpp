#include "sync.h"

#include "event.h"
#include "ical.h"
#include "store.h"
#include "vcard.h"

#include <sqlite3.h>

#include <strings.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

namespace pim::dav {

using store::Folder;
using store::Kind;
using store::RecordKey;
using store::Store;
using store::StoreError;
namespace ical = store::ical;

namespace {

// ---- the sync state tables ----------------------------------------------------

// The triggers keep the state right whoever changes the items: an update marks the
// item dirty, a delete leaves a tombstone for the server's copy.
constexpr const char* kSyncSchema = R"sql(
CREATE TABLE IF NOT EXISTS dav_collections(
  folder INTEGER PRIMARY KEY, url TEXT NOT NULL, sync_token TEXT, ctag TEXT, synced_at INTEGER);
CREATE TABLE IF NOT EXISTS dav_items(
  href TEXT PRIMARY KEY, folder INTEGER NOT NULL, key INTEGER UNIQUE, etag TEXT,
  dirty INTEGER NOT NULL DEFAULT 0, uid TEXT);
CREATE INDEX IF NOT EXISTS dav_items_dirty ON dav_items(folder, dirty);
CREATE TABLE IF NOT EXISTS dav_tombstones(href TEXT PRIMARY KEY, folder INTEGER NOT NULL, etag TEXT);
CREATE TRIGGER IF NOT EXISTS dav_item_changed AFTER UPDATE OF data ON items BEGIN
  UPDATE dav_items SET dirty=1 WHERE key=NEW.key;
END;
CREATE TRIGGER IF NOT EXISTS dav_item_removed AFTER DELETE ON items BEGIN
  INSERT OR REPLACE INTO dav_tombstones(href, folder, etag)
    SELECT href, folder, etag FROM dav_items WHERE key=OLD.key;
  DELETE FROM dav_items WHERE key=OLD.key;
END;
INSERT OR IGNORE INTO meta(name, value) VALUES('dav_schema', 1);
)sql";

class Sql {
public:
    Sql(Store& store, const char* sql) : db_(store.connection()) {
        int rc = sqlite3_prepare_v2(db_, sql, -1, &s_, nullptr);
        if (rc != SQLITE_OK) throw DavError(Failure::Local, std::string("sync state: ") + sqlite3_errmsg(db_));
    }
    ~Sql() { sqlite3_finalize(s_); }
    Sql(const Sql&) = delete;
    Sql& operator=(const Sql&) = delete;
    Sql& bind(int i, int64_t v) {
        sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Sql& bind(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Sql& bindNull(int i) {
        sqlite3_bind_null(s_, i);
        return *this;
    }
    bool step() {
        int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw DavError(Failure::Local, std::string("sync state: ") + sqlite3_errmsg(db_));
    }
    void run() {
        step();
        sqlite3_reset(s_);
    }
    int64_t i64(int c) { return sqlite3_column_int64(s_, c); }
    bool null(int c) { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
    std::string text(int c) {
        const unsigned char* t = sqlite3_column_text(s_, c);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s_, c)))
                 : std::string();
    }

private:
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

void execAll(Store& store, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(store.connection(), sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw DavError(Failure::Local, "sync state: " + msg);
    }
}

struct Row {
    std::optional<RecordKey> key;
    std::string etag;
    bool dirty = false;
};

// ---- item bodies ------------------------------------------------------------------

// Content lines of an iCalendar or vCard text, unfolded, without the lines that
// change on every write (DTSTAMP, PRODID, REV) and without time zone definitions,
// in order: two texts with the same lines hold the same item.
std::vector<std::string> contentLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    auto flush = [&] {
        if (!cur.empty() && cur.back() == '\r') cur.pop_back();
        if (!cur.empty()) lines.push_back(cur);
        cur.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\n') {
            if (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t')) {
                if (!cur.empty() && cur.back() == '\r') cur.pop_back();
                ++i;
                continue;
            }
            flush();
        } else {
            cur.push_back(c);
        }
    }
    flush();
    std::vector<std::string> out;
    int inZone = 0;
    for (const std::string& l : lines) {
        std::string upper = l;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char ch) { return std::toupper(ch); });
        if (upper.rfind("BEGIN:VTIMEZONE", 0) == 0) ++inZone;
        if (inZone) {
            if (upper.rfind("END:VTIMEZONE", 0) == 0) --inZone;
            continue;
        }
        if (upper.rfind("DTSTAMP", 0) == 0 || upper.rfind("PRODID", 0) == 0 || upper.rfind("REV", 0) == 0) continue;
        out.push_back(l);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool sameContent(const std::string& a, const std::string& b) { return contentLines(a) == contentLines(b); }

// The first UID of an iCalendar or vCard text, without parsing it.
std::string quickUid(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end - at > 4 && strncasecmp(text.c_str() + at, "UID", 3) == 0 && (text[at + 3] == ':' || text[at + 3] == ';')) {
            size_t colon = text.find(':', at);
            if (colon < end) {
                std::string v = text.substr(colon + 1, end - colon - 1);
                while (!v.empty() && (v.back() == '\r' || v.back() == ' ')) v.pop_back();
                return v;
            }
        }
        at = end + 1;
    }
    return {};
}

std::string randomHex(size_t bytes) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < bytes; ++i) {
        auto b = static_cast<unsigned>(rng() & 0xFF);
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

// A resource name from a UID: safe characters only, bounded length.
std::string resourceName(const std::string& uid) {
    std::string out;
    for (unsigned char c : uid) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '@') out.push_back(static_cast<char>(c));
        else out.push_back('_');
    }
    if (out.empty() || out.size() > 120 || out.front() == '.') out = randomHex(16);
    return out;
}

std::string firstLine(const std::string& body) {
    std::string s = body.substr(0, body.find('\n'));
    if (s.size() > 160) s.resize(160);
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// ---- one collection -----------------------------------------------------------------

struct Side {
    Folder folder;
    CollectionKind kind;
    std::string url;   // absolute, ends with '/'
    std::string path;  // its decoded path
    const char* name;  // "calendar", "contacts"
    CollectionCounts* counts;
};

struct Listing {
    std::map<std::string, std::string> changed;  // href -> etag
    std::vector<std::string> removed;
    std::string token;
    bool incremental = false;
};

constexpr size_t kMultigetBatch = 200;

class Engine {
public:
    Engine(Store& store, HttpClient& http, SyncReport& report, const SyncProgress& progress)
        : store_(store), http_(http), report_(report), progress_(progress) {}

    void run(Side& side) {
        side.counts->url = side.url;
        std::string ctag, serverToken;
        probeCollection(side, &ctag, &serverToken);
        std::string storedToken, storedCtag;
        store_.transaction([&] {
            Sql q(store_, "SELECT url, sync_token, ctag FROM dav_collections WHERE folder=?1");
            q.bind(1, static_cast<int>(side.folder));
            if (q.step() && q.text(0) == side.url) {
                storedToken = q.text(1);
                storedCtag = q.text(2);
                return;
            }
            // A new collection for this folder: whatever the old one held is to be sent anew.
            Sql a(store_, "DELETE FROM dav_items WHERE folder=?1");
            a.bind(1, static_cast<int>(side.folder)).run();
            Sql b(store_, "DELETE FROM dav_tombstones WHERE folder=?1");
            b.bind(1, static_cast<int>(side.folder)).run();
            Sql c(store_, "INSERT OR REPLACE INTO dav_collections(folder, url) VALUES(?1, ?2)");
            c.bind(1, static_cast<int>(side.folder)).bind(2, side.url).run();
        });

        Listing listing = list(side, storedToken, serverToken, storedCtag, ctag);
        side.counts->incremental = listing.incremental;
        pull(side, listing);
        store_.transaction([&] {
            Sql u(store_, "UPDATE dav_collections SET sync_token=?2, ctag=?3 WHERE folder=?1");
            u.bind(1, static_cast<int>(side.folder));
            listing.token.empty() ? u.bindNull(2) : u.bind(2, listing.token);
            u.bind(3, ctag).run();
        });
        push(side);
    }

private:
    std::string itemUrl(const std::string& href) const { return resolveUrl(baseUrl_, encodePath(href)); }

    void probeCollection(Side& side, std::string* ctag, std::string* token) {
        baseUrl_ = side.url;
        for (int attempt = 0; attempt < 2; ++attempt) {
            Response r = http_.request("PROPFIND", side.url,
                                       {{"Depth", "0"}, {"Content-Type", "application/xml; charset=utf-8"}},
                                       propfindCollectionRequest());
            if (r.status == 404 && attempt == 0) {
                createCollection(side);
                continue;
            }
            if (r.status == 403)
                throw DavError(Failure::Http, "the server does not let this user reach " + side.url + " (HTTP 403)", 403);
            if (r.status != 207)
                throw DavError(Failure::Http, side.url + " answered HTTP " + std::to_string(r.status) + " to PROPFIND",
                               r.status);
            Multistatus ms = parseMultistatus(r.body);
            const bool right = !ms.members.empty() && (side.kind == CollectionKind::Calendar ? ms.members.front().calendar
                                                                                          : ms.members.front().addressBook);
            if (!right)
                throw DavError(Failure::Config,
                               side.url + (side.kind == CollectionKind::Calendar
                                               ? " is not a calendar collection (set the profile value CalendarUrl)"
                                               : " is not an address book (set the profile value ContactsUrl)"));
            *ctag = ms.ctag;
            *token = ms.syncToken;
            return;
        }
    }

    void createCollection(Side& side) {
        Response r = side.kind == CollectionKind::Calendar
                         ? http_.request("MKCALENDAR", side.url, {})
                         : http_.request("MKCOL", side.url, {{"Content-Type", "application/xml; charset=utf-8"}},
                                         mkcolAddressBookRequest());
        if (r.status != 201)
            throw DavError(Failure::Http,
                           "no " + std::string(side.name) + " collection at " + side.url + " and the server would not create one (HTTP " +
                               std::to_string(r.status) + ")",
                           r.status);
    }

    Listing list(Side& side, const std::string& storedToken, const std::string& serverToken,
                 const std::string& storedCtag, const std::string& ctag) {
        Listing out;
        bool full = true;
        bool listed = false;
        if (!serverToken.empty()) {
            std::string token = storedToken;
            for (int attempt = 0; attempt < 2 && !listed; ++attempt) {
                Response r = http_.request("REPORT", side.url,
                                           {{"Depth", "0"}, {"Content-Type", "application/xml; charset=utf-8"}},
                                           syncCollectionRequest(token));
                if (r.status == 207) {
                    Multistatus ms = parseMultistatus(r.body);
                    for (Member& m : ms.members) {
                        if (m.href == side.path || m.collection) continue;
                        if (m.status == 404) out.removed.push_back(m.href);
                        else out.changed[m.href] = m.etag;
                    }
                    out.token = ms.syncToken;
                    full = token.empty();
                    out.incremental = !full;
                    listed = true;
                } else if ((r.status == 403 || r.status == 409) && isInvalidSyncToken(r.body) && !token.empty()) {
                    token.clear();  // the server forgot our token: list everything
                } else {
                    break;  // no sync-collection here: compare etags
                }
            }
        }
        if (!listed) {
            if (!ctag.empty() && ctag == storedCtag) {
                out.incremental = true;
                return out;  // nothing changed on the server
            }
            Response r = http_.request("PROPFIND", side.url,
                                       {{"Depth", "1"}, {"Content-Type", "application/xml; charset=utf-8"}},
                                       propfindEtagsRequest());
            if (r.status != 207)
                throw DavError(Failure::Http, side.url + " answered HTTP " + std::to_string(r.status) + " to PROPFIND",
                               r.status);
            for (Member& m : parseMultistatus(r.body).members)
                if (m.href != side.path && !m.collection && m.status / 100 == 2) out.changed[m.href] = m.etag;
            full = true;
        }
        if (full) {
            store_.transaction([&] {
                Sql q(store_, "SELECT href FROM dav_items WHERE folder=?1");
                q.bind(1, static_cast<int>(side.folder));
                while (q.step()) {
                    std::string h = q.text(0);
                    if (!out.changed.count(h)) out.removed.push_back(h);
                }
            });
        }
        return out;
    }

    std::optional<Row> row(const std::string& href) {
        Sql q(store_, "SELECT key, etag, dirty FROM dav_items WHERE href=?1");
        q.bind(1, href);
        if (!q.step()) return std::nullopt;
        Row r;
        if (!q.null(0)) r.key = static_cast<RecordKey>(q.i64(0));
        r.etag = q.text(1);
        r.dirty = q.i64(2) != 0;
        return r;
    }

    // The server's UID is kept beside the item: a local edit that loses it is sent with it.
    void setRow(Side& side, const std::string& href, std::optional<RecordKey> key, const std::string& etag, bool dirty,
                const std::string& uid = {}) {
        Sql u(store_,
              "INSERT INTO dav_items(href, folder, key, etag, dirty, uid) VALUES(?1, ?2, ?3, ?4, ?5, ?6)"
              " ON CONFLICT(href) DO UPDATE SET key=excluded.key, etag=excluded.etag, dirty=excluded.dirty,"
              " uid=coalesce(excluded.uid, uid)");
        u.bind(1, href).bind(2, static_cast<int>(side.folder));
        key ? u.bind(3, *key) : u.bindNull(3);
        u.bind(4, etag).bind(5, dirty ? 1 : 0);
        uid.empty() ? u.bindNull(6) : u.bind(6, uid);
        u.run();
    }

    void dropRow(const std::string& href) {
        Sql d(store_, "DELETE FROM dav_items WHERE href=?1");
        d.bind(1, href).run();
    }

    bool dropTombstone(const std::string& href) {
        Sql d(store_, "DELETE FROM dav_tombstones WHERE href=?1");
        d.bind(1, href).run();
        return sqlite3_changes(store_.connection()) > 0;
    }

    // ---- local items ----

    RecordKey addLocal(Side& side, const std::string& data) {
        if (side.folder == Folder::Calendar) return store_.addEvent(data);
        std::vector<vcard::Card> cards;
        try {
            cards = vcard::parseCards(data);
        } catch (const std::exception& e) {
            throw StoreError(store::Errc::Invalid, e.what());
        }
        bool group = false;
        if (!cards.empty())
            for (const char* k : {"KIND", "X-ADDRESSBOOKSERVER-KIND"})
                if (const vcard::Property* p = cards.front().find(k))
                    if (strcasecmp(p->text().c_str(), "group") == 0) group = true;
        return group ? store_.addDistList(data) : store_.addContact(data);
    }

    void replaceLocal(Side& side, RecordKey key, const std::string& data) {
        if (side.folder == Folder::Calendar) store_.updateEvent(key, data);
        else store_.updateContact(key, data);
    }

    std::string title(Side& side, const std::string& data) {
        try {
            if (side.folder == Folder::Calendar) {
                ical::ComponentPtr cal = ical::parse(data);
                if (icalcomponent* m = cal ? ical::master(cal.get()) : nullptr) {
                    std::string s = store::event::text(m, ICAL_SUMMARY_PROPERTY);
                    if (!s.empty()) return s;
                }
            } else {
                auto cards = vcard::parseCards(data);
                if (!cards.empty() && !cards.front().formattedName().empty()) return cards.front().formattedName();
            }
        } catch (...) {
        }
        return side.folder == Folder::Calendar ? "an appointment" : "a contact";
    }

    // The local version of a conflicting item, as a new item of its own.
    std::string conflictCopy(Side& side, const std::string& data) {
        const std::string uid = store::event::newUid();
        if (side.folder == Folder::Calendar) {
            ical::ComponentPtr cal = ical::parse(data);
            if (!cal) throw StoreError(store::Errc::Invalid, "unreadable local appointment");
            icalcomponent* m = ical::master(cal.get());
            for (icalcomponent* e = icalcomponent_get_first_component(cal.get(), ICAL_VEVENT_COMPONENT); e;
                 e = icalcomponent_get_next_component(cal.get(), ICAL_VEVENT_COMPONENT)) {
                store::event::setText(e, ICAL_UID_PROPERTY, uid);
                if (e == m) store::event::setText(e, ICAL_SUMMARY_PROPERTY, store::event::text(e, ICAL_SUMMARY_PROPERTY) + " (conflict copy)");
            }
            return ical::write(cal.get());
        }
        auto cards = vcard::parseCards(data);
        if (cards.empty()) throw StoreError(store::Errc::Invalid, "unreadable local contact");
        vcard::Card& c = cards.front();
        c.set("UID", uid);
        c.set("FN", c.formattedName() + " (conflict copy)");
        return vcard::writeCard(c);
    }

    // Both sides changed the item at `href`: the server's version takes the item's
    // place, the local one is kept as a new item (sent later in this sync).
    void conflict(Side& side, const std::string& href, RecordKey key, const std::string& etag,
                  const std::string& localData, const std::string& serverData) {
        std::string name = title(side, localData);
        addLocal(side, conflictCopy(side, localData));
        replaceLocal(side, key, serverData);
        setRow(side, href, key, etag, false, quickUid(serverData));
        report_.conflicts.push_back("'" + name + "' was changed here and on the server: both versions are kept, the server's in its place and yours as '" +
                                    name + " (conflict copy)'");
    }

    // A server item (its current etag and text) into the local store.
    void applyServerItem(Side& side, const std::string& href, const std::string& etag, const std::string& data) {
        std::optional<Row> r = row(href);
        if (r && r->key) {
            std::optional<store::ItemRecord> local = store_.get(*r->key);
            if (local) {
                if (!r->dirty) {
                    try {
                        replaceLocal(side, *r->key, data);
                        ++side.counts->received;
                    } catch (const StoreError& e) {
                        report_.warnings.push_back("cannot read the server's version of '" + title(side, local->data) +
                                                   "' (" + e.what() + "); the local one is kept");
                    }
                    setRow(side, href, r->key, etag, false, quickUid(data));
                } else if (sameContent(local->data, data)) {
                    setRow(side, href, r->key, etag, false, quickUid(data));
                } else {
                    conflict(side, href, *r->key, etag, local->data, data);
                    ++side.counts->received;
                }
                return;
            }
            dropRow(href);
        } else if (r) {
            setRow(side, href, std::nullopt, etag, false);  // an item this store does not hold
            return;
        }
        bool restored = dropTombstone(href);
        std::optional<RecordKey> key;
        try {
            key = addLocal(side, data);
            ++side.counts->received;
        } catch (const StoreError&) {
            ++side.counts->skipped;
        }
        setRow(side, href, key, etag, false, quickUid(data));
        if (restored && key)
            report_.conflicts.push_back("'" + title(side, data) +
                                        "' was deleted here and changed on the server: the server's version is kept");
    }

    void applyRemoved(Side& side, const std::string& href) {
        std::optional<Row> r = row(href);
        if (!r) {
            dropTombstone(href);
            return;
        }
        dropRow(href);  // first, so that removing the item leaves no tombstone
        if (!r->key) return;
        std::optional<store::ItemRecord> local = store_.get(*r->key);
        if (!local) return;
        if (r->dirty) {
            report_.conflicts.push_back("'" + title(side, local->data) +
                                        "' was deleted on the server and changed here: yours is kept and sent again");
            return;
        }
        store_.remove(*r->key);
        ++side.counts->removedHere;
    }

    std::vector<Member> multiget(Side& side, const std::vector<std::string>& hrefs) {
        Response r = http_.request("REPORT", side.url, {{"Depth", "1"}, {"Content-Type", "application/xml; charset=utf-8"}},
                                   multigetRequest(side.kind, hrefs));
        if (r.status != 207)
            throw DavError(Failure::Http, side.url + " answered HTTP " + std::to_string(r.status) + " to a multiget REPORT",
                           r.status);
        return parseMultistatus(r.body).members;
    }

    void pull(Side& side, const Listing& listing) {
        std::vector<std::string> wanted;
        store_.transaction([&] {
            for (const auto& [href, etag] : listing.changed) {
                std::optional<Row> r = row(href);
                if (r && r->etag == etag && !etag.empty()) continue;
                if (!r) {
                    // Deleted here and unchanged there: the push deletes it.
                    Sql t(store_, "SELECT etag FROM dav_tombstones WHERE href=?1");
                    t.bind(1, href);
                    if (t.step() && t.text(0) == etag && !etag.empty()) continue;
                }
                wanted.push_back(href);
            }
        });
        const std::string phase = std::string(side.name) + ": receiving";
        if (progress_ && !wanted.empty()) progress_(phase, 0, wanted.size());
        std::vector<std::string> gone = listing.removed;
        for (size_t i = 0; i < wanted.size(); i += kMultigetBatch) {
            std::vector<std::string> batch(wanted.begin() + static_cast<std::ptrdiff_t>(i),
                                           wanted.begin() + static_cast<std::ptrdiff_t>(std::min(wanted.size(), i + kMultigetBatch)));
            std::vector<Member> members = multiget(side, batch);
            store_.transaction([&] {
                for (const Member& m : members) {
                    if (m.status == 404) {
                        gone.push_back(m.href);
                    } else if (m.status / 100 == 2 && !m.data.empty()) {
                        applyServerItem(side, m.href, m.etag, m.data);
                    }
                }
            });
            if (progress_) progress_(phase, std::min(wanted.size(), i + kMultigetBatch), wanted.size());
        }
        if (!gone.empty())
            store_.transaction([&] {
                for (const std::string& href : gone) applyRemoved(side, href);
            });
    }

    // ---- push ----

    std::string outgoing(Side& side, RecordKey key, store::ItemRecord& rec) {
        if (side.folder == Folder::Calendar) {
            ical::ComponentPtr cal = ical::parse(rec.data);
            if (!cal) throw StoreError(store::Errc::Invalid, "unreadable appointment");
            icalcomponent* c = cal.get();
            if (!icalcomponent_get_first_property(c, ICAL_VERSION_PROPERTY))
                icalcomponent_add_property(c, icalproperty_new_version("2.0"));
            if (!icalcomponent_get_first_property(c, ICAL_PRODID_PROPERTY))
                icalcomponent_add_property(c, icalproperty_new_prodid("-//PimServer//Store//EN"));
            // Zones are kept by Olson name; other clients need their definitions.
            std::set<std::string> zones, defined;
            for (icalcomponent* t = icalcomponent_get_first_component(c, ICAL_VTIMEZONE_COMPONENT); t;
                 t = icalcomponent_get_next_component(c, ICAL_VTIMEZONE_COMPONENT))
                if (icalproperty* id = icalcomponent_get_first_property(t, ICAL_TZID_PROPERTY)) defined.insert(icalproperty_get_tzid(id));
            for (icalcomponent* e = icalcomponent_get_first_component(c, ICAL_ANY_COMPONENT); e;
                 e = icalcomponent_get_next_component(c, ICAL_ANY_COMPONENT))
                for (icalproperty* p = icalcomponent_get_first_property(e, ICAL_ANY_PROPERTY); p;
                     p = icalcomponent_get_next_property(e, ICAL_ANY_PROPERTY))
                    if (icalparameter* z = icalproperty_get_first_parameter(p, ICAL_TZID_PARAMETER))
                        if (const char* name = icalparameter_get_tzid(z)) zones.insert(name);
            for (const std::string& z : zones) {
                if (defined.count(z)) continue;
                icaltimezone* tz = icaltimezone_get_builtin_timezone(z.c_str());
                icalcomponent* def = tz ? icaltimezone_get_component(tz) : nullptr;
                if (!def) continue;
                icalcomponent* copy = icalcomponent_new_clone(def);
                if (icalproperty* id = icalcomponent_get_first_property(copy, ICAL_TZID_PROPERTY)) icalproperty_set_tzid(id, z.c_str());
                icalcomponent_add_component(c, copy);
            }
            return ical::write(c);
        }
        std::vector<vcard::Card> cards;
        try {
            cards = vcard::parseCards(rec.data);
        } catch (const std::exception& e) {
            throw StoreError(store::Errc::Invalid, e.what());
        }
        if (cards.empty()) throw StoreError(store::Errc::Invalid, "no vCard");
        vcard::Card& card = cards.front();
        if (!card.find("UID") || card.find("UID")->text().empty()) {
            // The server files cards by UID: the one it knows, else a new one, kept here too.
            std::string uid;
            store_.transaction([&] {
                Sql q(store_, "SELECT uid FROM dav_items WHERE key=?1 AND uid IS NOT NULL");
                q.bind(1, key);
                if (q.step()) uid = q.text(0);
            });
            card.set("UID", uid.empty() ? store::event::newUid() : uid);
            std::string text = vcard::writeCard(card);
            store_.transaction([&] {
                store_.updateContact(key, text);
                if (auto now = store_.get(key)) rec = *now;
            });
            return text;
        }
        return vcard::writeCard(card);
    }

    const char* contentType(Side& side) const {
        return side.folder == Folder::Calendar ? "text/calendar; charset=utf-8" : "text/vcard; charset=utf-8";
    }

    // Gets one server item and applies it (after a 412: the server's copy moved on).
    void refetch(Side& side, const std::string& href) {
        std::vector<Member> members = multiget(side, {href});
        store_.transaction([&] {
            for (const Member& m : members) {
                if (m.status == 404) applyRemoved(side, m.href);
                else if (m.status / 100 == 2 && !m.data.empty()) applyServerItem(side, m.href, m.etag, m.data);
            }
        });
    }

    void warnHttp(Side& side, const std::string& what, const std::string& data, const Response& r) {
        std::string reason = firstLine(r.body);
        report_.warnings.push_back("could not " + what + " '" + title(side, data) + "': HTTP " + std::to_string(r.status) +
                                   (reason.empty() ? "" : " (" + reason + ")") + "; it stays here");
    }

    void push(Side& side) {
        const std::string phase = std::string(side.name) + ": sending";
        struct Tomb {
            std::string href, etag;
        };
        struct Dirty {
            std::string href, etag;
            RecordKey key;
        };
        std::vector<Tomb> tombs;
        std::vector<Dirty> dirty;
        std::vector<RecordKey> fresh;
        store_.transaction([&] {
            Sql t(store_, "SELECT href, etag FROM dav_tombstones WHERE folder=?1");
            t.bind(1, static_cast<int>(side.folder));
            while (t.step()) tombs.push_back({t.text(0), t.text(1)});
            Sql d(store_, "SELECT href, etag, key FROM dav_items WHERE folder=?1 AND dirty=1 AND key IS NOT NULL");
            d.bind(1, static_cast<int>(side.folder));
            while (d.step()) dirty.push_back({d.text(0), d.text(1), static_cast<RecordKey>(d.i64(2))});
        });
        auto listFresh = [&] {
            fresh.clear();
            store_.transaction([&] {
                Sql n(store_,
                      "SELECT i.key FROM items i LEFT JOIN dav_items d ON d.key=i.key"
                      " WHERE i.folder=?1 AND i.kind IN (?2, ?3, ?4) AND d.key IS NULL ORDER BY i.key");
                n.bind(1, static_cast<int>(side.folder));
                if (side.folder == Folder::Calendar)
                    n.bind(2, static_cast<int>(Kind::Appointment)).bind(3, -1).bind(4, -1);
                else
                    n.bind(2, static_cast<int>(Kind::Contact)).bind(3, static_cast<int>(Kind::DistList)).bind(4, -1);
                while (n.step()) fresh.push_back(static_cast<RecordKey>(n.i64(0)));
            });
        };
        listFresh();
        const size_t total = tombs.size() + dirty.size() + fresh.size();
        size_t done = 0;
        auto tick = [&] {
            ++done;
            if (progress_ && (done % 50 == 0 || done == total)) progress_(phase, done, std::max(done, total));
        };
        if (progress_ && total) progress_(phase, 0, total);

        for (const Tomb& t : tombs) {
            std::map<std::string, std::string> h;
            if (!t.etag.empty()) h["If-Match"] = t.etag;
            Response r = http_.request("DELETE", itemUrl(t.href), h);
            if (r.status / 100 == 2 || r.status == 404) {
                store_.transaction([&] { dropTombstone(t.href); });
                if (r.status != 404) ++side.counts->removedThere;
            } else if (r.status == 412) {
                refetch(side, t.href);
            } else {
                report_.warnings.push_back("could not delete " + t.href + " on the server: HTTP " + std::to_string(r.status));
            }
            tick();
        }

        for (const Dirty& d : dirty) {
            std::optional<store::ItemRecord> rec;
            store_.transaction([&] { rec = store_.get(d.key); });
            if (!rec) continue;
            if (d.etag.empty()) {
                refetch(side, d.href);
                tick();
                continue;
            }
            std::string body;
            try {
                body = outgoing(side, d.key, *rec);
            } catch (const StoreError& e) {
                report_.warnings.push_back("cannot send '" + title(side, rec->data) + "': " + e.what());
                tick();
                continue;
            }
            Response r = http_.request("PUT", itemUrl(d.href), {{"If-Match", d.etag}, {"Content-Type", contentType(side)}}, body);
            if (r.status / 100 == 2) {
                store_.transaction([&] {
                    // A change made while this one travelled is still to be sent.
                    auto now = store_.get(d.key);
                    setRow(side, d.href, d.key, r.header("etag"), !now || now->version != rec->version, quickUid(body));
                });
                ++side.counts->sent;
            } else if (r.status == 412) {
                refetch(side, d.href);
            } else if (r.status == 404 || r.status == 410) {
                store_.transaction([&] { dropRow(d.href); });  // sent again as a new item below
            } else {
                warnHttp(side, "send", rec->data, r);
            }
            tick();
        }

        listFresh();
        for (RecordKey key : fresh) {
            std::optional<store::ItemRecord> rec;
            store_.transaction([&] { rec = store_.get(key); });
            if (!rec) continue;
            std::string body;
            try {
                body = outgoing(side, key, *rec);
            } catch (const StoreError& e) {
                report_.warnings.push_back("cannot send '" + title(side, rec->data) + "': " + e.what());
                tick();
                continue;
            }
            std::string href = side.path + resourceName(quickUid(body)) +
                               (side.folder == Folder::Calendar ? ".ics" : ".vcf");
            bool taken = false;
            store_.transaction([&] { taken = row(href).has_value(); });
            if (taken)
                href = side.path + resourceName(quickUid(body)) + "-" + randomHex(4) +
                       (side.folder == Folder::Calendar ? ".ics" : ".vcf");
            Response r = http_.request("PUT", itemUrl(href), {{"If-None-Match", "*"}, {"Content-Type", contentType(side)}}, body);
            if (r.status / 100 == 2) {
                store_.transaction([&] {
                    auto now = store_.get(key);
                    if (!now) {
                        // Deleted here while it travelled: the tombstone takes it off the server next time.
                        Sql t(store_, "INSERT OR REPLACE INTO dav_tombstones(href, folder, etag) VALUES(?1, ?2, ?3)");
                        t.bind(1, href).bind(2, static_cast<int>(side.folder)).bind(3, r.header("etag")).run();
                        return;
                    }
                    setRow(side, href, key, r.header("etag"), now->version != rec->version, quickUid(body));
                });
                ++side.counts->sent;
            } else if (r.status == 412) {
                // The server holds an item by that name already: compare it with ours.
                store_.transaction([&] { setRow(side, href, key, "", true); });
                refetch(side, href);
            } else {
                warnHttp(side, "send", rec->data, r);
            }
            tick();
        }
    }

    Store& store_;
    HttpClient& http_;
    SyncReport& report_;
    const SyncProgress& progress_;
    std::string baseUrl_;
};

void recordOutcome(Store& store, const std::string& error) {
    try {
        store.transaction([&] {
            if (error.empty()) {
                Sql d(store, "DELETE FROM meta WHERE name='dav_last_error'");
                d.run();
                Sql u(store, "UPDATE dav_collections SET synced_at=?1");
                u.bind(1, static_cast<int64_t>(std::time(nullptr))).run();
            } else {
                Sql u(store, "INSERT OR REPLACE INTO meta(name, value) VALUES('dav_last_error', ?1)");
                u.bind(1, error).run();
            }
        });
    } catch (...) {
        // The outcome is a courtesy; the sync's own result is what the caller gets.
    }
}

}  // namespace

void ensureSyncSchema(Store& store) {
    try {
        store.transaction([&] { execAll(store, kSyncSchema); });
    } catch (const StoreError& e) {
        throw DavError(Failure::Local, std::string("cannot prepare the local cache for sync: ") + e.what());
    }
}

SyncReport synchronize(Store& store, HttpClient& http, const Collections& collections, const SyncProgress& progress) {
    ensureSyncSchema(store);
    SyncReport report;
    Engine engine(store, http, report, progress);
    auto dir = [](std::string u) {
        if (!u.empty() && u.back() != '/') u += '/';
        return u;
    };
    try {
        if (!collections.calendarUrl.empty()) {
            std::string url = dir(collections.calendarUrl);
            Side side{Folder::Calendar, CollectionKind::Calendar, url, decodePath(urlPath(url)), "calendar", &report.calendar};
            engine.run(side);
            report.calendarSynced = true;
        }
        if (!collections.contactsUrl.empty()) {
            std::string url = dir(collections.contactsUrl);
            Side side{Folder::Contacts, CollectionKind::AddressBook, url, decodePath(urlPath(url)), "contacts", &report.contacts};
            engine.run(side);
            report.contactsSynced = true;
        }
    } catch (const DavError& e) {
        recordOutcome(store, e.what());
        throw;
    } catch (const StoreError& e) {
        std::string msg = std::string("the local cache failed: ") + e.what();
        recordOutcome(store, msg);
        throw DavError(Failure::Local, msg);
    }
    recordOutcome(store, "");
    return report;
}

std::string lastError(Store& store) {
    ensureSyncSchema(store);
    std::string out;
    store.transaction([&] {
        Sql q(store, "SELECT value FROM meta WHERE name='dav_last_error'");
        if (q.step()) out = q.text(0);
    });
    return out;
}

std::size_t pendingChanges(Store& store) {
    ensureSyncSchema(store);
    std::size_t n = 0;
    store.transaction([&] {
        Sql q(store,
              "SELECT (SELECT count(*) FROM dav_items WHERE dirty=1 AND key IS NOT NULL)"
              " + (SELECT count(*) FROM dav_tombstones)"
              " + (SELECT count(*) FROM items i LEFT JOIN dav_items d ON d.key=i.key"
              "    WHERE d.key IS NULL AND ((i.folder=9 AND i.kind=1) OR (i.folder=10 AND i.kind IN (2, 3)))"
              "    AND i.folder IN (SELECT folder FROM dav_collections))");
        if (q.step()) n = static_cast<std::size_t>(q.i64(0));
    });
    return n;
}

}  // namespace pim::dav
