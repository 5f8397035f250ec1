// The store: opening and its failure cases, entry ids, period queries over the
// span index, occurrences, contacts, import/export and several writers at once.
#include "store.h"
#include "store_impl.h"
#include "test_support.h"

#include <sqlite3.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <map>
#include <thread>
#include <tuple>

using namespace pim::store;
using pimtest::sql;
using pimtest::firstValue;
namespace fs = std::filesystem;

namespace {

UtcSeconds utc(int y, int mo, int d, int h = 0, int mi = 0) { return zone::toUtc("UTC", {y, mo, d, h, mi, 0}); }

class StoreTest : public ::testing::Test {
protected:
    std::string path(const std::string& name = "store.db") const { return dir_.str(name); }
    std::unique_ptr<Store> create(const std::string& name = "store.db") {
        return Store::open(path(name), Store::Options{true, 10000});
    }
    static std::string slurp(const std::string& p) { return pimtest::readFile(p); }
    Appointment appt(const std::string& subject, UtcSeconds start, UtcSeconds end, const std::string& rrule = "") {
        Appointment a;
        a.subject = subject, a.start = start, a.end = end, a.zone = "Europe/Berlin", a.rrule = rrule;
        return a;
    }
    pimtest::TempDir dir_;
};

Errc openError(const std::string& p, int timeoutMs = 10000) {
    try {
        Store::open(p, Store::Options{false, timeoutMs});
    } catch (const StoreError& e) {
        return e.code();
    }
    ADD_FAILURE() << "opened " << p;
    return Errc::Io;
}

}  // namespace

TEST_F(StoreTest, CreatesOnceAndKeepsItsIdentity) {
    std::string id;
    {
        auto s = create();
        id = s->storeIdHex();
        EXPECT_EQ(id.size(), 32u);
    }
    auto again = Store::open(path());
    EXPECT_EQ(again->storeIdHex(), id);
    EXPECT_EQ(openError(path("missing.db")), Errc::NotFound);
    EXPECT_FALSE(fs::exists(path("missing.db")));
    // The file is in WAL mode and carries the schema version.
    EXPECT_EQ(firstValue(path(), "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(firstValue(path(), "PRAGMA user_version"), std::to_string(Store::kSchemaVersion));
}

TEST_F(StoreTest, AClosedStoreIsWholeInItsOwnFile) {
    // The WAL stays beside a closed store; what was saved must be in the store file all the same,
    // so that a copy of that file alone (a backup) loses nothing.
    RecordKey key = 0;
    {
        auto s = create();
        key = s->addAppointment(appt("Kept", utc(2026, 3, 2, 9), utc(2026, 3, 2, 10)));
    }
    for (int reopen = 0; reopen < 2; ++reopen) {
        auto s = Store::open(path());
        ASSERT_TRUE(s->get(key)) << "reopened " << reopen;
    }
    ASSERT_TRUE(fs::exists(path("store.db-wal")));
    EXPECT_EQ(fs::file_size(path("store.db-wal")), 0u);
    fs::copy_file(path(), path("copy.db"));
    auto copy = Store::open(path("copy.db"));
    auto item = copy->get(key);
    ASSERT_TRUE(item);
    EXPECT_NE(item->data.find("SUMMARY:Kept"), std::string::npos);
}

TEST_F(StoreTest, FilesThatAreNotStoresAreRefusedUntouched) {
    {
        std::ofstream(path("text.db")) << "just some text, long enough to have a header's worth of bytes in it.....\n"
                                          "................................................................\n";
    }
    std::ofstream(path("empty.db")).close();
    ASSERT_EQ(sql(path("other.db"), "CREATE TABLE t(x); INSERT INTO t VALUES(1);"), SQLITE_OK);
    create("newer.db");
    ASSERT_EQ(sql(path("newer.db"), "PRAGMA journal_mode=DELETE; PRAGMA user_version=99;"), SQLITE_OK);

    struct Case {
        const char* name;
        Errc expected;
    } cases[] = {{"text.db", Errc::NotAStore}, {"empty.db", Errc::NotAStore}, {"other.db", Errc::NotAStore},
                 {"newer.db", Errc::NewerVersion}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string before = slurp(path(c.name));
        auto mtime = fs::last_write_time(path(c.name));
        EXPECT_EQ(openError(path(c.name)), c.expected);
        EXPECT_EQ(slurp(path(c.name)), before);
        EXPECT_EQ(fs::last_write_time(path(c.name)), mtime);
        EXPECT_FALSE(fs::exists(path(std::string(c.name) + "-wal")));
    }
    EXPECT_EQ(openError(dir_.path().string()), Errc::AccessDenied);
    if (::geteuid() != 0) {
        create("secret.db");
        ::chmod(path("secret.db").c_str(), 0);
        EXPECT_EQ(openError(path("secret.db")), Errc::AccessDenied);
    }
}

TEST_F(StoreTest, AFileHeldLockedByAnotherWriterIsReportedLocked) {
    create();
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(openError(path(), 200), Errc::Locked);
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    EXPECT_NO_THROW(Store::open(path()));
}

TEST_F(StoreTest, EntryIdsCarryStoreAndRecordKey) {
    auto s = create();
    RecordKey k1 = s->addAppointment(appt("one", utc(2026, 5, 1, 9), utc(2026, 5, 1, 10)));
    RecordKey k2 = s->addAppointment(appt("two", utc(2026, 5, 1, 9), utc(2026, 5, 1, 10)));
    std::string id = s->computedEntryId(k2);
    ASSERT_EQ(id.size(), 48u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(id.substr(8, 32), s->storeIdHex());
    char key[9];
    std::snprintf(key, sizeof key, "%02X%02X%02X%02X", k2 & 0xFF, (k2 >> 8) & 0xFF, (k2 >> 16) & 0xFF, k2 >> 24);
    EXPECT_EQ(id.substr(40), key);
    EXPECT_EQ(s->get(k2)->entryId, id);
    EXPECT_EQ(s->find(id)->key, k2);
    // Another store's id, lower case and garbage do not resolve.
    std::string lower = id;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_FALSE(s->find(lower));
    EXPECT_FALSE(s->find("00000000" + std::string(32, 'F') + id.substr(40)));
    EXPECT_FALSE(s->find("nonsense"));

    std::string own(129, 'A');
    own.replace(128, 1, "B");
    s->setEntryId(k1, own);
    EXPECT_EQ(s->get(k1)->entryId, own);
    EXPECT_EQ(s->find(own)->key, k1);
    EXPECT_FALSE(s->find(s->computedEntryId(k1)));
    EXPECT_THROW(s->setEntryId(k2, own), StoreError);
    s->remove(k1);
    EXPECT_FALSE(s->find(own));
    EXPECT_THROW(s->remove(k1), StoreError);
}

// Each answer in the place of its id, whatever the mix of ids, repeats and ones that find nothing.
TEST_F(StoreTest, TextsOfAnswersEveryIdInItsPlace) {
    auto s = create();
    RecordKey k1 = s->addAppointment(appt("one", utc(2026, 5, 1, 9), utc(2026, 5, 1, 10)));
    RecordKey k2 = s->addAppointment(appt("two", utc(2026, 5, 2, 9), utc(2026, 5, 2, 10)));
    RecordKey k3 = s->addAppointment(appt("three", utc(2026, 5, 3, 9), utc(2026, 5, 3, 10)));
    const std::string id1 = s->computedEntryId(k1), id2 = s->computedEntryId(k2), id3 = s->computedEntryId(k3);
    s->remove(k3);
    auto check = [&](const std::vector<std::string>& ids) {
        std::vector<std::optional<std::string>> texts = s->textsOf(ids);
        ASSERT_EQ(texts.size(), ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            auto item = s->find(ids[i]);
            EXPECT_EQ(texts[i], item ? std::optional<std::string>(item->data) : std::nullopt) << i;
        }
    };
    check({id2, "nonsense", id1, id2, id3, ""});
    EXPECT_NE(s->textsOf({id2})[0]->find("SUMMARY:two"), std::string::npos);
    s->setEntryId(k1, "own-id-of-one");  // items with ids of their own are looked up one by one
    check({id2, "own-id-of-one", id1, id3});
    EXPECT_TRUE(s->textsOf({}).empty());

    // A second connection opened only for reading answers the same, and sees later commits.
    Store::Options reading;
    reading.readOnly = true;
    auto reader = Store::open(path(), reading);
    const std::vector<std::string> ids{id2, "own-id-of-one", id1, id3, id2};
    EXPECT_EQ(reader->textsOf(ids), s->textsOf(ids));
    s->updateEvent(k2, toICalendar(appt("two again", utc(2026, 5, 2, 9), utc(2026, 5, 2, 10))));
    EXPECT_NE(reader->textsOf({id2})[0]->find("SUMMARY:two again"), std::string::npos);
    try {
        reader->remove(k2);
        ADD_FAILURE() << "a store opened for reading wrote";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.code(), Errc::Invalid);
    }
    EXPECT_TRUE(s->get(k2));
}

TEST_F(StoreTest, PeriodQueryFindsOverlapsIncludingTouchingBounds) {
    auto s = create();
    s->addAppointment(appt("before", utc(2026, 6, 1, 8), utc(2026, 6, 1, 9)));
    RecordKey touchesStart = s->addAppointment(appt("ends at start", utc(2026, 6, 1, 9), utc(2026, 6, 1, 10)));
    RecordKey inside = s->addAppointment(appt("inside", utc(2026, 6, 1, 11), utc(2026, 6, 1, 11, 30)));
    RecordKey spans = s->addAppointment(appt("spans", utc(2026, 5, 30), utc(2026, 6, 5)));
    RecordKey touchesEnd = s->addAppointment(appt("starts at end", utc(2026, 6, 1, 12), utc(2026, 6, 1, 13)));
    // Daily at 12:15 Berlin winter time: 11:15 UTC in June (summer time).
    RecordKey series = s->addAppointment(appt("daily", utc(2020, 1, 6, 11, 15), utc(2020, 1, 6, 11, 45), "FREQ=DAILY"));
    // Seconds matter: the index works in minutes but the check is exact.
    s->addAppointment(appt("late", utc(2026, 6, 1, 12) + 1, utc(2026, 6, 1, 12) + 30));

    auto occ = s->occurrences(utc(2026, 6, 1, 10), utc(2026, 6, 1, 12));
    std::vector<RecordKey> keys;
    for (auto& o : occ) keys.push_back(o.key);
    EXPECT_EQ(keys, (std::vector<RecordKey>{spans, touchesStart, series, inside, touchesEnd}));  // not before, late
    EXPECT_TRUE(occ[2].recurring);
    EXPECT_EQ(occ[2].start, utc(2026, 6, 1, 10, 15));
    EXPECT_TRUE(s->occurrences(utc(2019, 1, 1), utc(2019, 12, 31)).empty());
    // Beyond 2038 the open-ended series still shows.
    EXPECT_EQ(s->occurrences(utc(2045, 3, 1), utc(2045, 3, 1, 23, 59)).size(), 1u);
}

TEST_F(StoreTest, OccurrencesCanBeDeletedAndSavedOnTheirOwn) {
    auto s = create();
    RecordKey k = s->addAppointment(appt("standup", utc(2026, 3, 2, 8), utc(2026, 3, 2, 8, 15), "FREQ=DAILY;COUNT=5"));
    UtcSeconds third = utc(2026, 3, 4, 8);
    s->deleteOccurrence(k, third);
    auto occ = s->occurrences(utc(2026, 3, 1), utc(2026, 3, 31));
    ASSERT_EQ(occ.size(), 4u);
    for (auto& o : occ) EXPECT_NE(o.start, third);
    EXPECT_THROW(s->deleteOccurrence(k, utc(2026, 3, 4, 9)), StoreError);  // not an instance

    UtcSeconds second = utc(2026, 3, 3, 8);
    s->saveOccurrence(k, second,
                      "BEGIN:VEVENT\r\nSUMMARY:moved standup\r\nDTSTART:20260303T140000Z\r\n"
                      "DTEND:20260303T143000Z\r\nRRULE:FREQ=DAILY\r\nEND:VEVENT\r\n");
    occ = s->occurrences(utc(2026, 3, 3), utc(2026, 3, 3, 23));
    ASSERT_EQ(occ.size(), 1u);
    EXPECT_TRUE(occ[0].exception);
    EXPECT_EQ(occ[0].start, utc(2026, 3, 3, 14));
    EXPECT_EQ(occ[0].recurrenceId, second);
    std::string data = s->get(k)->data;
    EXPECT_NE(data.find("moved standup"), std::string::npos);
    // The override carries no rule of its own.
    EXPECT_EQ(data.find("RRULE"), data.rfind("RRULE"));
    // Saving it again replaces the override.
    s->saveOccurrence(k, second, "BEGIN:VEVENT\r\nDTSTART:20260303T150000Z\r\nDTEND:20260303T153000Z\r\nEND:VEVENT\r\n");
    occ = s->occurrences(utc(2026, 3, 3), utc(2026, 3, 3, 23));
    ASSERT_EQ(occ.size(), 1u);
    EXPECT_EQ(occ[0].start, utc(2026, 3, 3, 15));
    // Deleting an overridden occurrence drops the override as well.
    s->deleteOccurrence(k, second);
    EXPECT_TRUE(s->occurrences(utc(2026, 3, 3), utc(2026, 3, 3, 23)).empty());
    EXPECT_EQ(s->occurrences(utc(2026, 3, 1), utc(2026, 3, 31)).size(), 3u);
}

TEST_F(StoreTest, UpdateKeepsPropertiesNobodyShows) {
    auto s = create();
    RecordKey k = s->addEvent(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VTIMEZONE\r\nTZID:Custom Berlin\r\nX-LIC-LOCATION:Europe/Berlin\r\n"
        "BEGIN:STANDARD\r\nDTSTART:19701025T030000\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\n"
        "END:VTIMEZONE\r\nBEGIN:VEVENT\r\nUID:keep-me\r\nDTSTART;TZID=Custom Berlin:20260707T100000\r\n"
        "DTEND;TZID=Custom Berlin:20260707T110000\r\nSUMMARY:Review\r\nX-CUSTOM-THING:kept\r\n"
        "ATTENDEE;CN=Ann;ROLE=REQ-PARTICIPANT:mailto:ann@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    auto rec = s->get(k);
    EXPECT_EQ(rec->zone, "Europe/Berlin");
    EXPECT_EQ(rec->start, utc(2026, 7, 7, 8));
    EXPECT_NE(rec->data.find("TZID=Europe/Berlin"), std::string::npos);
    std::string changed = rec->data;
    changed.replace(changed.find("SUMMARY:Review"), 14, "SUMMARY:Review 2");
    s->updateEvent(k, changed);
    auto after = s->get(k);
    EXPECT_GT(after->version, rec->version);
    for (const char* kept : {"X-CUSTOM-THING:kept", "mailto:ann@example.com", "Review 2"})
        EXPECT_NE(after->data.find(kept), std::string::npos) << kept;
    EXPECT_THROW(s->updateEvent(k, "not a calendar"), StoreError);
    EXPECT_THROW(s->updateEvent(k + 100, changed), StoreError);
}

TEST_F(StoreTest, FloatingTimesTakeTheMachineZone) {
    std::optional<ItemRecord> rec;
    {
        pimtest::Env env;
        env.set("TZ", "America/New_York");
        auto s = create();
        rec = s->get(s->addEvent("BEGIN:VEVENT\r\nDTSTART:20260115T090000\r\nDTEND:20260115T100000\r\nEND:VEVENT\r\n"));
    }
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->zone, "America/New_York");
    EXPECT_EQ(rec->start, utc(2026, 1, 15, 14));
    EXPECT_NE(rec->data.find("TZID=America/New_York"), std::string::npos);
}

TEST_F(StoreTest, ContactsAndListsAreIndexed) {
    auto s = create();
    RecordKey ann = s->addContact(
        "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Smith;Ann;;;\r\nFN:Ann Smith\r\nORG:Acme;Sales\r\n"
        "EMAIL;TYPE=INTERNET:ann@acme.example\r\nEMAIL;TYPE=INTERNET,PREF:ann.smith@acme.example\r\nEND:VCARD\r\n");
    RecordKey ann2 = s->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:smith;ann;;;\r\nFN:Other Ann\r\nEND:VCARD\r\n");
    RecordKey list = s->addDistList(
        "BEGIN:VCARD\r\nVERSION:4.0\r\nKIND:group\r\nFN:Ann Smith\r\nN:Smith;Ann;;;\r\nEND:VCARD\r\n");
    auto f = s->contactFields(ann);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->firstName, "Ann");
    EXPECT_EQ(f->lastName, "Smith");
    EXPECT_EQ(f->company, "Acme");
    EXPECT_EQ(f->emails, (std::vector<std::string>{"ann.smith@acme.example", "ann@acme.example"}));
    EXPECT_EQ(s->findContactsByName("ANN", "smith"), (std::vector<RecordKey>{ann, ann2}));
    EXPECT_EQ(s->get(list)->kind, Kind::DistList);
    EXPECT_EQ(s->resolve("ANN@acme.example"), (std::vector<RecordKey>{ann}));
    EXPECT_EQ(s->keys(Folder::Contacts), (std::vector<RecordKey>{ann, ann2, list}));
    s->updateContact(ann2, "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Jones;Bob;;;\r\nFN:Bob Jones\r\nEND:VCARD\r\n");
    EXPECT_EQ(s->findContactsByName("Ann", "Smith"), (std::vector<RecordKey>{ann}));
    EXPECT_THROW(s->addContact("BEGIN:VCARD\r\nN:broken"), StoreError);
    EXPECT_EQ(s->count(Folder::Contacts), 3u);
}

TEST_F(StoreTest, ImportGroupsOverridesAndExportReadsBack) {
    std::string ics =
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:test\r\n"
        "BEGIN:VEVENT\r\nUID:ovr\r\nRECURRENCE-ID;TZID=Europe/Berlin:20260105T090000\r\n"
        "DTSTART;TZID=Europe/Berlin:20260105T110000\r\nDTEND;TZID=Europe/Berlin:20260105T120000\r\n"
        "SUMMARY:late start\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:ovr\r\nDTSTART;TZID=Europe/Berlin:20260105T090000\r\n"
        "DTEND;TZID=Europe/Berlin:20260105T100000\r\nRRULE:FREQ=DAILY;COUNT=3\r\nSUMMARY:daily\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:single\r\nDTSTART:20260106T120000Z\r\nDTEND:20260106T130000Z\r\nEND:VEVENT\r\n"
        "BEGIN:VTODO\r\nUID:todo\r\nSUMMARY:a task\r\nEND:VTODO\r\n"
        "BEGIN:VEVENT\r\nUID:broken\r\nSUMMARY:no start\r\nEND:VEVENT\r\n"
        "END:VCALENDAR\r\n";
    auto s = create();
    std::vector<std::pair<size_t, size_t>> calls;
    ImportResult r = s->importIcs(ics, [&](size_t d, size_t t) {
        calls.push_back({d, t});
        return true;
    });
    EXPECT_EQ(r.imported, 3u);
    EXPECT_EQ(r.skipped, 1u);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), (std::pair<size_t, size_t>{4, 4}));
    auto occ = s->occurrences(utc(2026, 1, 5), utc(2026, 1, 8));
    ASSERT_EQ(occ.size(), 4u);
    EXPECT_EQ(occ[0].start, utc(2026, 1, 5, 10));  // the override
    EXPECT_TRUE(occ[0].exception);
    EXPECT_EQ(s->count(Folder::Calendar), 3u);

    // Importing the same file again replaces rather than duplicates.
    s->importIcs(ics);
    EXPECT_EQ(s->count(Folder::Calendar), 4u);  // the task has no identity to match by
    EXPECT_EQ(s->occurrences(utc(2026, 1, 5), utc(2026, 1, 8)).size(), 4u);

    // A cancelled import leaves nothing behind.
    auto t = create("other.db");
    ImportResult c = t->importIcs(ics, [](size_t d, size_t) { return d < 2; });
    EXPECT_TRUE(c.cancelled);
    EXPECT_EQ(t->count(Folder::Calendar), 0u);

    s->exportIcsFile(path("out.ics"));
    std::string out = slurp(path("out.ics"));
    EXPECT_NE(out.find("BEGIN:VTIMEZONE"), std::string::npos);
    auto u = create("third.db");
    ImportResult back = u->importIcsFile(path("out.ics"));
    EXPECT_EQ(back.skipped, 0u);
    auto occ2 = u->occurrences(utc(2026, 1, 5), utc(2026, 1, 8));
    ASSERT_EQ(occ2.size(), occ.size());
    for (size_t i = 0; i < occ.size(); ++i) EXPECT_EQ(occ2[i].start, occ[i].start);
}

// Found by fuzz_ics_import: a task holding a NUL byte was stored as written, and the export then
// carried the NUL, where every reader stops: all items after it were lost to them. An event with a
// NUL was read only up to it.
TEST_F(StoreTest, ImportSkipsComponentsWithANulByte) {
    std::string ics =
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n"
        "BEGIN:VTODO\r\nUID:bad-task\r\nSUMMARY:a\r\n"
        "X-CUT:x\r\nEND:VTODO\r\n"
        "BEGIN:VEVENT\r\nUID:bad-event\r\nDTSTART:20260106T120000Z\r\nDTEND:20260106T130000Z\r\n"
        "SUMMARY:cut\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:after\r\nDTSTART:20260107T120000Z\r\nDTEND:20260107T130000Z\r\nEND:VEVENT\r\n"
        "BEGIN:VTODO\r\nUID:good-task\r\nEND:VTODO\r\n"
        "END:VCALENDAR\r\n";
    ics.replace(ics.find("X-CUT:x") + 6, 1, 1, '\0');
    ics.replace(ics.find("SUMMARY:cut") + 9, 1, 1, '\0');
    auto s = create();
    ImportResult r = s->importIcs(ics);
    EXPECT_EQ(r.imported, 2u);
    EXPECT_EQ(r.skipped, 2u);
    EXPECT_EQ(r.errors.size(), 2u);
    const std::string out = s->exportIcs();
    EXPECT_EQ(out.find('\0'), std::string::npos);
    auto u = create("back.db");
    ImportResult back = u->importIcs(out);
    EXPECT_EQ(back.imported, 2u);
    EXPECT_EQ(back.skipped, 0u);
    EXPECT_EQ(u->occurrences(utc(2026, 1, 6), utc(2026, 1, 8)).size(), 1u);
}

namespace {

// Adds `n` appointments from a child process; returns its pid.
pid_t writer(const std::string& path, int n, const std::string& tag, int reportFd = -1) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    int code = 0;
    try {
        auto s = Store::open(path, Store::Options{false, 30000});
        for (int i = 0; i < n; ++i) {
            Appointment a;
            a.subject = tag + std::to_string(i), a.start = 1780000000 + i * 60, a.end = a.start + 60, a.zone = "UTC";
            s->addAppointment(a);
            if (reportFd >= 0) {
                int32_t done = i + 1;
                if (::write(reportFd, &done, sizeof done) != sizeof done) break;
            }
        }
    } catch (...) {
        code = 1;
    }
    ::_exit(code);
}

}  // namespace

TEST_F(StoreTest, TwoProcessesSavingAtOnceLoseNothing) {
    create();
    pid_t a = writer(path(), 150, "a");
    pid_t b = writer(path(), 150, "b");
    int sa = 0, sb = 0;
    ::waitpid(a, &sa, 0);
    ::waitpid(b, &sb, 0);
    EXPECT_EQ(WEXITSTATUS(sa), 0);
    EXPECT_EQ(WEXITSTATUS(sb), 0);
    auto s = Store::open(path());
    EXPECT_EQ(s->count(Folder::Calendar), 300u);
}

TEST_F(StoreTest, AKilledWriterLeavesEveryEarlierSaveReadable) {
    create();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t w = writer(path(), 100000, "k", fds[1]);
    ::close(fds[1]);
    int32_t done = 0, last = 0;
    while (last < 40 && ::read(fds[0], &done, sizeof done) == sizeof done) last = done;
    ::kill(w, SIGKILL);
    ::waitpid(w, nullptr, 0);
    while (::read(fds[0], &done, sizeof done) == sizeof done) last = done;
    ::close(fds[0]);
    auto s = Store::open(path());
    auto keys = s->keys(Folder::Calendar);
    EXPECT_GE(keys.size(), static_cast<size_t>(last));
    for (RecordKey k : keys) {
        auto rec = s->get(k);
        ASSERT_TRUE(rec);
        EXPECT_NE(rec->data.find("SUMMARY:k"), std::string::npos);
    }
    // And the store takes new writes.
    EXPECT_NO_THROW(s->addAppointment(appt("after", utc(2026, 1, 1), utc(2026, 1, 1, 1))));
}

// A long period over open-ended series answers the earliest instances only, the same ones a
// full expansion puts first, without holding the whole period in memory.
TEST_F(StoreTest, ALimitedPeriodQueryKeepsTheEarliestInstances) {
    auto s = create();
    for (int i = 0; i < 30; ++i)
        s->addAppointment(appt("daily " + std::to_string(i), utc(2026, 1, 1 + i % 28, 8 + i % 9), utc(2026, 1, 1 + i % 28, 9 + i % 9),
                               i % 3 ? "FREQ=DAILY" : "FREQ=WEEKLY"));
    s->addAppointment(appt("single", utc(2026, 1, 3, 7), utc(2026, 1, 3, 8)));
    auto full = s->occurrences(utc(2026, 1, 1), utc(2026, 3, 1));
    ASSERT_GT(full.size(), 200u);
    auto first = s->occurrences(utc(2026, 1, 1), utc(2026, 3, 1), 40);
    ASSERT_EQ(first.size(), 40u);
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].key, full[i].key) << i;
        EXPECT_EQ(first[i].start, full[i].start) << i;
    }
    // A century: exactly the limit, in order, from the first instance on.
    auto century = s->occurrences(utc(2026, 1, 1), utc(2126, 1, 1), 5000);
    ASSERT_EQ(century.size(), 5000u);
    EXPECT_EQ(century.front().start, full.front().start);
    for (size_t i = 1; i < century.size(); ++i) EXPECT_LE(century[i - 1].start, century[i].start);
}

// One snapshot for many reads: queries inside work, a write inside is refused and the store
// stays usable after it.
TEST_F(StoreTest, ReadsShareOneSnapshotAndRefuseWrites) {
    auto s = create();
    RecordKey k = s->addAppointment(appt("one", utc(2026, 5, 4, 9), utc(2026, 5, 4, 10), "FREQ=WEEKLY"));
    size_t seen = 0;
    s->read([&] {
        seen = s->occurrences(utc(2026, 5, 1), utc(2026, 5, 31)).size();
        EXPECT_TRUE(s->get(k).has_value());
        EXPECT_THROW(s->addAppointment(appt("two", utc(2026, 5, 5, 9), utc(2026, 5, 5, 10))), StoreError);
    });
    EXPECT_EQ(seen, 4u);
    s->addAppointment(appt("two", utc(2026, 5, 5, 9), utc(2026, 5, 5, 10)));
    EXPECT_EQ(s->occurrences(utc(2026, 5, 1), utc(2026, 5, 31)).size(), 5u);
}

// What readers derive is kept in the file for other processes (here: other connections), only
// for the version it was read from, and dropped by any change of the item, whoever writes it.
TEST_F(StoreTest, KeptDerivationsFollowEveryChangeOfTheItem) {
    auto a = create();
    auto b = Store::open(path());
    auto later = [&] { return Store::open(path()); };  // a process started afterwards
    RecordKey k = a->addAppointment(appt("weekly", utc(2026, 1, 5, 8), utc(2026, 1, 5, 9), "FREQ=WEEKLY"));
    auto week = [](Store& s) { return s.occurrences(utc(2026, 3, 2), utc(2026, 3, 8, 23, 59)); };
    ASSERT_EQ(week(*a).size(), 1u);
    uint64_t v1 = a->get(k)->version;
    // The series compiled by the first is what the next finds, and it lists the same.
    ASSERT_TRUE(later()->derived(k, v1, Store::kSeriesSlot));
    EXPECT_EQ(week(*b)[0].start, utc(2026, 3, 2, 8));

    a->setDerived(k, v1, 7, "seven");
    a->flushDerived();
    EXPECT_EQ(later()->derived(k, v1, 7).value_or(""), "seven");
    EXPECT_EQ(later()->derived(k, v1, Store::kSeriesSlot).has_value(), true);  // the other slot stays
    EXPECT_FALSE(later()->derived(k, v1 + 1, 7));

    // The second changes the rule: the first lists the new one, nothing kept is for the new version.
    Appointment daily = appt("daily", utc(2026, 1, 5, 8), utc(2026, 1, 5, 9), "FREQ=DAILY");
    daily.uid = "daily";
    b->updateEvent(k, toICalendar(daily));
    uint64_t v2 = a->get(k)->version;
    ASSERT_NE(v2, v1);
    EXPECT_FALSE(later()->derived(k, v1, 7));
    EXPECT_FALSE(later()->derived(k, v2, 7));
    EXPECT_EQ(week(*a).size(), 7u);
    EXPECT_EQ(week(*b).size(), 7u);
    EXPECT_EQ(week(*later()).size(), 7u);

    // A row derived from a version replaced before it is written is never written.
    a->read([&] { a->setDerived(k, v2, 7, "stale"); });
    b->updateEvent(k, toICalendar(daily));
    a->flushDerived();
    EXPECT_FALSE(later()->derived(k, v2, 7));

    // A writer that changes the text without a new version (another program on the file) still
    // drops what was kept, and so does a removal.
    uint64_t v3 = a->get(k)->version;
    b->setDerived(k, v3, 7, "kept");
    b->flushDerived();
    ASSERT_TRUE(later()->derived(k, v3, 7));
    EXPECT_EQ(sql(path(), "UPDATE items SET data = data || ''"), SQLITE_OK);
    EXPECT_FALSE(later()->derived(k, v3, 7));
    b->setDerived(k, v3, 7, "kept");
    b->flushDerived();
    ASSERT_TRUE(later()->derived(k, v3, 7));
    a->remove(k);
    EXPECT_FALSE(later()->derived(k, v3, 7));
    EXPECT_TRUE(week(*b).empty());
}

// A connection's first listing (one joined pass over the index, the items and what was kept),
// a later one (the index and its cached summaries), one over a store whose kept rows are broken,
// and one over a store that cannot keep any (an older file it could not add the table to) all
// answer the same, cut at the same place.
TEST_F(StoreTest, EveryWayOfListingAnswersTheSame) {
    auto s = create();
    std::vector<RecordKey> keys;
    for (int i = 0; i < 40; ++i) {
        const char* rule = i % 4 == 0 ? "" : i % 4 == 1 ? "FREQ=DAILY" : i % 4 == 2 ? "FREQ=WEEKLY;BYDAY=MO,TH" : "FREQ=MONTHLY;BYDAY=1MO";
        Appointment a = appt("item " + std::to_string(i), utc(2026, 1, 1 + i % 28, 7 + i % 11), utc(2026, 1, 1 + i % 28, 8 + i % 11), rule);
        a.allDay = i % 9 == 0;
        if (a.allDay) a.end = a.start + 86400;
        keys.push_back(s->addAppointment(a));
    }
    s->saveOccurrence(keys[1], utc(2026, 3, 3, 8),
                      "BEGIN:VEVENT\r\nDTSTART:20260302T060000Z\r\nDTEND:20260302T070000Z\r\nEND:VEVENT\r\n");
    s->deleteOccurrence(keys[5], utc(2026, 3, 4, 12));
    // What another reader kept for an item that is no series is read with it.
    const uint64_t single = s->get(keys[0])->version;
    s->setDerived(keys[0], single, 7, "seven");
    s->setDerived(keys[0], single, 8, "eight");
    s->setDerived(keys[0], single, 7, "sept");
    s->flushDerived();

    auto fields = [](const std::vector<Occurrence>& v) {
        std::vector<std::tuple<RecordKey, uint64_t, UtcSeconds, UtcSeconds, bool, UtcSeconds, bool, bool>> out;
        for (const Occurrence& o : v)
            out.emplace_back(o.key, o.version, o.start, o.end, o.recurring, o.recurrenceId, o.exception, o.allDay);
        return out;
    };
    const UtcSeconds from = utc(2026, 3, 1), to = utc(2026, 3, 15);
    auto cold = Store::open(path());
    const auto first = fields(cold->occurrences(from, to));
    ASSERT_GT(first.size(), 150u);
    EXPECT_EQ(cold->derived(keys[0], single, 7).value_or(""), "sept");
    EXPECT_EQ(cold->derived(keys[0], single, 8).value_or(""), "eight");
    EXPECT_EQ(fields(cold->occurrences(from, to)), first);
    EXPECT_EQ(fields(Store::open(path())->occurrences(from, to, 25)),
              std::vector(first.begin(), first.begin() + 25));

    // Kept rows that do not read back are derived again.
    ASSERT_EQ(sql(path(), "UPDATE item_derived SET bytes = x'0200000001'"), SQLITE_OK);
    auto broken = Store::open(path());
    EXPECT_EQ(fields(broken->occurrences(from, to)), first);
    EXPECT_FALSE(broken->derived(keys[0], single, 7));

    // Without the table (and another writer holding the file, so it cannot be made).
    ASSERT_EQ(sql(path(), "DROP TRIGGER item_derived_changed; DROP TRIGGER item_derived_removed; DROP TABLE item_derived"),
              SQLITE_OK);
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    auto old = Store::open(path());
    EXPECT_EQ(fields(old->occurrences(from, to)), first);
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    EXPECT_EQ(firstValue(path(), "SELECT count(*) FROM sqlite_master WHERE name='item_derived'"), "0");
}

// One store used from several threads at once: its connection has no lock of its own, so every
// call must hold the store's.
TEST_F(StoreTest, OneStoreServesSeveralThreads) {
    auto s = create();
    for (int i = 0; i < 20; ++i)
        s->addAppointment(appt("weekly " + std::to_string(i), utc(2026, 1, 5, 8 + i % 8), utc(2026, 1, 5, 9 + i % 8), "FREQ=WEEKLY"));
    std::atomic<bool> failed{false};
    auto lister = [&] {
        for (int n = 0; n < 60 && !failed; ++n) {
            try {
                auto occ = s->occurrences(utc(2026, 3, 2), utc(2026, 3, 8, 23, 59));
                if (occ.size() < 20) failed = true;
                for (const Occurrence& o : occ) s->derived(o.key, o.version, Store::kSeriesSlot);
                s->textsOf({s->computedEntryId(occ.front().key)});
            } catch (const std::exception&) {
                failed = true;
            }
        }
    };
    std::thread a(lister), b(lister);
    for (int n = 0; n < 30; ++n) {
        RecordKey k = s->addAppointment(appt("single", utc(2026, 3, 3, 12), utc(2026, 3, 3, 13)));
        s->remove(k);
    }
    a.join();
    b.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(s->occurrences(utc(2026, 3, 2), utc(2026, 3, 8, 23, 59)).size(), 20u);
}

// The caches' table against std::map, with a hash that piles keys into few runs so that deletion
// has to move rows back across the end of the array and past rows of other homes.
TEST(StoreCacheTable, AgreesWithAMapThroughInsertionsAndDeletions) {
    struct Crowded {
        size_t operator()(RecordKey k) const { return k % 5 * 7 + 13; }
    };
    FlatMap<RecordKey, std::string, Crowded> t;
    std::map<RecordKey, std::string> ref;
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) % 200; };
    for (int round = 0; round < 20000; ++round) {
        RecordKey k = next();
        switch (next() % 3) {
        case 0: t[k] = ref[k] = std::to_string(round); break;
        case 1: EXPECT_EQ(t.erase(k), ref.erase(k) == 1); break;
        default: {
            const std::string* v = t.find(k);
            auto it = ref.find(k);
            ASSERT_EQ(v != nullptr, it != ref.end()) << "key " << k << " round " << round;
            if (v) {
                EXPECT_EQ(*v, it->second);
            }
        }
        }
        ASSERT_EQ(t.size(), ref.size());
        if (round == 10000) {
            t.clear();
            ref.clear();
        }
    }
    size_t seen = 0;
    t.forEach([&](RecordKey k, std::string& v) {
        ++seen;
        EXPECT_EQ(ref.at(k), v);
    });
    EXPECT_EQ(seen, ref.size());
}

// Derived bytes replaced over and over (the arena then holds mostly dead bytes and is compacted)
// and memos of thousands of items read back as last set, in memory and from the file.
TEST_F(StoreTest, KeptBytesSurviveManyReplacements) {
    auto s = create();
    std::vector<RecordKey> keys;
    for (int i = 0; i < 6; ++i)
        keys.push_back(s->addAppointment(appt("a" + std::to_string(i), utc(2026, 3, 2, 8 + i), utc(2026, 3, 2, 9 + i))));
    auto bytesOf = [](RecordKey k, int round, int64_t slot) {
        return std::string(40000 + static_cast<size_t>(round) * 7, static_cast<char>('a' + (k + slot + round) % 26));
    };
    for (int round = 0; round < 60; ++round)
        for (RecordKey k : keys) {
            const uint64_t v = s->get(k)->version;
            s->setDerived(k, v, round % 3, bytesOf(k, round, round % 3));
        }
    for (RecordKey k : keys) {
        const uint64_t v = s->get(k)->version;
        for (int slot = 0; slot < 3; ++slot) {
            const int last = 57 + slot;  // the last round that wrote this slot
            EXPECT_EQ(s->derived(k, v, slot).value_or(""), bytesOf(k, last, slot)) << k << "/" << slot;
        }
    }
    s->flushDerived();
    auto later = Store::open(path());
    EXPECT_EQ(later->derived(keys[3], later->get(keys[3])->version, 1).value_or(""), bytesOf(keys[3], 58, 1));
    EXPECT_EQ(later->occurrences(utc(2026, 3, 2), utc(2026, 3, 3)).size(), keys.size());

    for (RecordKey k = 1; k <= 5000; ++k) s->setMemo(k, 3, k % 4, std::make_shared<int>(static_cast<int>(k)));
    for (RecordKey k = 1; k <= 5000; k += 97) {
        auto m = s->memo(k, 3, k % 4);
        ASSERT_TRUE(m);
        EXPECT_EQ(*static_cast<const int*>(m.get()), static_cast<int>(k));
        EXPECT_FALSE(s->memo(k, 4, k % 4));
        EXPECT_FALSE(s->memo(k, 3, k % 4 + 1));
    }
}
