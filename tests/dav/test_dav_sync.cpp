// The DAV store against a real Radicale: two working copies (two machines) of one
// calendar and address book, changes both ways, conflicts, deletes, a server that
// goes away mid-sync and a wrong password.
#include "event.h"
#include "ical.h"
#include "profile.h"
#include "store.h"
#include "sync.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Radicale.h"
#include "Scratch.h"
#include "SqliteFile.h"

using namespace pim;
using store::Folder;
using store::RecordKey;
using store::Store;
namespace fs = std::filesystem;

namespace {

store::UtcSeconds utc(int y, int mo, int d, int h = 0, int mi = 0) {
    return store::zone::toUtc("UTC", {y, mo, d, h, mi, 0});
}

store::Appointment appt(const std::string& subject, store::UtcSeconds start) {
    store::Appointment a;
    a.subject = subject, a.start = start, a.end = start + 3600, a.zone = "Europe/Berlin";
    return a;
}

std::string card(const std::string& first, const std::string& last, const std::string& mail) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nN:" + last + ";" + first + ";;;\r\nFN:" + first + " " + last +
           "\r\nEMAIL;TYPE=INTERNET:" + mail + "\r\nEND:VCARD\r\n";
}

std::string subjectOf(Store& s, RecordKey key) {
    auto rec = s.get(key);
    if (!rec) return "<gone>";
    auto cal = store::ical::parse(rec->data);
    return store::event::text(store::ical::master(cal.get()), ICAL_SUMMARY_PROPERTY);
}

std::vector<std::string> subjects(Store& s) {
    std::vector<std::string> out;
    for (RecordKey k : s.keys(Folder::Calendar)) out.push_back(subjectOf(s, k));
    std::sort(out.begin(), out.end());
    return out;
}

RecordKey keyOf(Store& s, const std::string& subject) {
    for (RecordKey k : s.keys(Folder::Calendar))
        if (subjectOf(s, k) == subject) return k;
    ADD_FAILURE() << "no item " << subject;
    return 0;
}

// One property of an event changed in place, as a user's edit.
void edit(Store& s, RecordKey k, icalproperty_kind property, const std::string& text) {
    auto cal = store::ical::parse(s.get(k)->data);
    store::event::setText(store::ical::master(cal.get()), property, text);
    s.updateEvent(k, store::ical::write(cal.get()));
}

size_t moved(const dav::SyncReport& r) {
    return r.calendar.received + r.calendar.sent + r.contacts.received + r.contacts.sent;
}

// What a call that must fail with a DavError said.
template <class F>
std::string davFailure(F f, dav::Failure* kind = nullptr, int* status = nullptr) {
    try {
        f();
    } catch (const dav::DavError& e) {
        if (kind) *kind = e.kind();
        if (status) *status = e.status();
        return e.what();
    }
    ADD_FAILURE() << "no DavError";
    return {};
}

class DavSync : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<pimtest::Radicale>(dir_ / "server");
        std::string why = server_->start();
        ASSERT_EQ(why, "") << why;
        a_ = Store::open((dir_ / "a.db").string(), Store::Options{true, 10000});
        b_ = Store::open((dir_ / "b.db").string(), Store::Options{true, 10000});
    }
    void TearDown() override {
        a_.reset();
        b_.reset();
        server_.reset();
    }
    dav::Collections collections() const { return {server_->calendarUrl(), server_->contactsUrl()}; }
    dav::SyncReport sync(Store& s, const dav::SyncProgress& progress = {}) {
        dav::HttpClient http({server_->user(), server_->password()});
        return dav::synchronize(s, http, collections(), progress);
    }

    pimtest::TempDir tmp_;
    const fs::path dir_ = tmp_.path();
    std::unique_ptr<pimtest::Radicale> server_;
    std::unique_ptr<Store> a_, b_;
};

TEST_F(DavSync, WhatOneStoreAddsTheOtherSees) {
    RecordKey review = a_->addAppointment(appt("Design review", utc(2026, 12, 8, 13)));
    store::Appointment weekly = appt("Stand-up", utc(2026, 12, 7, 8));
    weekly.rrule = "FREQ=WEEKLY;BYDAY=MO,WE";
    a_->addAppointment(weekly);
    a_->addContact(card("Ana", "Lima", "ana@example.com"));
    a_->addContact(card("Ben", "Okafor", "ben@example.com"));
    EXPECT_EQ(dav::pendingChanges(*a_), 0u);  // nothing is tracked before the first sync

    dav::SyncReport first = sync(*a_);
    EXPECT_EQ(first.calendar.sent, 2u);
    EXPECT_EQ(first.contacts.sent, 2u);
    EXPECT_TRUE(first.conflicts.empty());
    EXPECT_TRUE(first.warnings.empty()) << first.warnings.front();
    EXPECT_EQ(dav::pendingChanges(*a_), 0u);
    EXPECT_EQ(dav::lastError(*a_), "");
    // The server holds one resource per item.
    size_t files = 0;
    for (auto& e : fs::directory_iterator(server_->collectionFolder("calendar")))
        files += e.path().extension() == ".ics";
    EXPECT_EQ(files, 2u);

    dav::SyncReport second = sync(*b_);
    EXPECT_EQ(second.calendar.received, 2u);
    EXPECT_EQ(second.contacts.received, 2u);
    EXPECT_EQ(subjects(*b_), (std::vector<std::string>{"Design review", "Stand-up"}));
    auto hits = b_->findContactsByName("Ana", "Lima");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(b_->contactFields(hits.front())->emails, std::vector<std::string>{"ana@example.com"});
    // Times and the series survive the trip: the stand-up recurs on Mondays and Wednesdays.
    auto week = b_->occurrences(utc(2026, 12, 7), utc(2026, 12, 13, 23, 59));
    EXPECT_EQ(week.size(), 3u);
    auto reviewB = b_->occurrences(utc(2026, 12, 8, 13), utc(2026, 12, 8, 13));
    ASSERT_EQ(reviewB.size(), 1u);
    EXPECT_EQ(reviewB.front().start, utc(2026, 12, 8, 13));

    // Nothing new: the next syncs move nothing, and go by the sync token.
    dav::SyncReport quiet = sync(*b_);
    EXPECT_TRUE(quiet.calendar.incremental);
    EXPECT_EQ(moved(quiet), 0u);
    EXPECT_EQ(moved(sync(*a_)), 0u);

    // A change on one side reaches the other without a conflict.
    edit(*a_, review, ICAL_SUMMARY_PROPERTY, "Design review (moved)");
    EXPECT_EQ(dav::pendingChanges(*a_), 1u);
    EXPECT_EQ(sync(*a_).calendar.sent, 1u);
    dav::SyncReport changed = sync(*b_);
    EXPECT_EQ(changed.calendar.received, 1u);
    EXPECT_TRUE(changed.conflicts.empty());
    EXPECT_EQ(subjects(*b_), (std::vector<std::string>{"Design review (moved)", "Stand-up"}));

    // A token the server no longer knows: a full listing, compared by etag, moves only what changed.
    ASSERT_EQ(pimtest::sql((dir_ / "b.db").string(),
                           "UPDATE dav_collections SET sync_token='http://radicale.org/ns/sync/forgotten'"),
              SQLITE_OK);
    a_->addAppointment(appt("Retro", utc(2026, 12, 11, 15)));
    sync(*a_);
    dav::SyncReport relisted = sync(*b_);
    EXPECT_FALSE(relisted.calendar.incremental);
    EXPECT_EQ(relisted.calendar.received, 1u);
    EXPECT_EQ(relisted.calendar.removedHere, 0u);
    EXPECT_EQ(subjects(*b_), (std::vector<std::string>{"Design review (moved)", "Retro", "Stand-up"}));
    EXPECT_TRUE(sync(*b_).calendar.incremental);
}

TEST_F(DavSync, ChangesOnBothSidesKeepBothVersions) {
    RecordKey ka = a_->addAppointment(appt("Budget", utc(2026, 12, 9, 10)));
    RecordKey ca = a_->addContact(card("Eva", "Schmidt", "eva@example.com"));
    sync(*a_);
    sync(*b_);
    RecordKey kb = b_->keys(Folder::Calendar).front();
    RecordKey cb = b_->keys(Folder::Contacts).front();
    const std::string idB = b_->get(kb)->entryId;

    edit(*a_, ka, ICAL_SUMMARY_PROPERTY, "Budget (A)");
    edit(*b_, kb, ICAL_SUMMARY_PROPERTY, "Budget (B)");
    a_->updateContact(ca, card("Eva", "Schmidt", "eva@a.example"));
    b_->updateContact(cb, card("Eva", "Schmidt", "eva@b.example"));
    dav::SyncReport fromA = sync(*a_);
    EXPECT_TRUE(fromA.conflicts.empty());
    EXPECT_EQ(fromA.calendar.sent, 1u);

    dav::SyncReport fromB = sync(*b_);
    ASSERT_EQ(fromB.conflicts.size(), 2u);
    EXPECT_NE(fromB.conflicts[0].find("'Budget (B)' was changed here and on the server"), std::string::npos)
        << fromB.conflicts[0];
    EXPECT_NE(fromB.conflicts[1].find("Eva Schmidt"), std::string::npos) << fromB.conflicts[1];
    // The server's version keeps the item's place (and entry id); ours is a copy.
    EXPECT_EQ(subjectOf(*b_, kb), "Budget (A)");
    EXPECT_EQ(b_->get(kb)->entryId, idB);
    EXPECT_EQ(subjects(*b_), (std::vector<std::string>{"Budget (A)", "Budget (B) (conflict copy)"}));
    EXPECT_EQ(b_->contactFields(cb)->emails, std::vector<std::string>{"eva@a.example"});
    EXPECT_EQ(b_->count(Folder::Contacts), 2u);
    EXPECT_EQ(fromB.calendar.sent, 1u);  // the copy went to the server
    EXPECT_EQ(dav::pendingChanges(*b_), 0u);

    // And from there to the first store: both versions everywhere.
    dav::SyncReport back = sync(*a_);
    EXPECT_TRUE(back.conflicts.empty());
    EXPECT_EQ(subjects(*a_), (std::vector<std::string>{"Budget (A)", "Budget (B) (conflict copy)"}));
    std::vector<std::string> mails;
    for (RecordKey k : a_->keys(Folder::Contacts)) mails.push_back(a_->contactFields(k)->emails.front());
    std::sort(mails.begin(), mails.end());
    EXPECT_EQ(mails, (std::vector<std::string>{"eva@a.example", "eva@b.example"}));
}

TEST_F(DavSync, DeletesTravelAndNeverTakeAChangeWithThem) {
    RecordKey gone = a_->addAppointment(appt("Cancelled", utc(2026, 12, 10, 9)));
    RecordKey kept = a_->addAppointment(appt("Kept", utc(2026, 12, 10, 11)));
    RecordKey edited = a_->addAppointment(appt("Edited there", utc(2026, 12, 10, 14)));
    sync(*a_);
    sync(*b_);
    ASSERT_EQ(b_->count(Folder::Calendar), 3u);

    // A plain delete on one side goes everywhere.
    a_->remove(gone);
    EXPECT_EQ(dav::pendingChanges(*a_), 1u);
    dav::SyncReport a1 = sync(*a_);
    EXPECT_EQ(a1.calendar.removedThere, 1u);
    EXPECT_TRUE(a1.warnings.empty() && a1.conflicts.empty()) << (a1.warnings.empty() ? a1.conflicts.front() : a1.warnings.front());
    dav::SyncReport b1 = sync(*b_);
    EXPECT_EQ(b1.calendar.removedHere, 1u);
    EXPECT_EQ(subjects(*b_), (std::vector<std::string>{"Edited there", "Kept"}));

    // Deleted here, changed on the server: the change is kept.
    edit(*b_, keyOf(*b_, "Edited there"), ICAL_DESCRIPTION_PROPERTY, "agenda attached");
    sync(*b_);
    a_->remove(edited);
    dav::SyncReport a2 = sync(*a_);
    ASSERT_EQ(a2.conflicts.size(), 1u);
    EXPECT_NE(a2.conflicts[0].find("deleted here and changed on the server"), std::string::npos) << a2.conflicts[0];
    EXPECT_EQ(subjects(*a_), (std::vector<std::string>{"Edited there", "Kept"}));

    // Deleted on the server, changed here: ours is kept and sent again.
    b_->remove(keyOf(*b_, "Kept"));
    sync(*b_);
    edit(*a_, kept, ICAL_SUMMARY_PROPERTY, "Kept (changed)");
    dav::SyncReport a3 = sync(*a_);
    ASSERT_EQ(a3.conflicts.size(), 1u);
    EXPECT_NE(a3.conflicts[0].find("deleted on the server and changed here"), std::string::npos) << a3.conflicts[0];
    EXPECT_EQ(a3.calendar.sent, 1u);
    sync(*b_);
    EXPECT_EQ(subjects(*b_), (std::vector<std::string>{"Edited there", "Kept (changed)"}));
    EXPECT_EQ(subjects(*a_), subjects(*b_));
}

TEST_F(DavSync, AServerThatGoesAwayMidSyncLosesNothing) {
    constexpr size_t kEvents = 300;
    a_->transaction([&] {
        for (size_t i = 0; i < kEvents; ++i)
            a_->addAppointment(appt("Event " + std::to_string(i), utc(2027, 1, 1) + static_cast<int64_t>(i) * 7200));
    });
    // Sending: the server goes away after 100 items.
    bool killed = false;
    auto killAt = [&](size_t when) {
        return [&, when](const std::string& phase, size_t done, size_t) {
            if (!killed && done >= when && phase.find("calendar") == 0) {
                killed = true;
                server_->kill();
            }
        };
    };
    dav::Failure kind{};
    const std::string why = davFailure([&] { sync(*a_, killAt(100)); }, &kind);
    EXPECT_EQ(kind, dav::Failure::Network);
    EXPECT_NE(why.find("cannot reach http://127.0.0.1:"), std::string::npos) << why;
    EXPECT_TRUE(killed);
    EXPECT_EQ(a_->count(Folder::Calendar), kEvents);
    EXPECT_NE(dav::lastError(*a_).find("cannot reach"), std::string::npos);
    size_t pending = dav::pendingChanges(*a_);
    EXPECT_GT(pending, 0u);
    EXPECT_LT(pending, kEvents);

    ASSERT_EQ(server_->start(), "");
    dav::SyncReport rest = sync(*a_);
    EXPECT_EQ(rest.calendar.sent, pending);
    EXPECT_TRUE(rest.conflicts.empty());
    EXPECT_EQ(dav::pendingChanges(*a_), 0u);
    EXPECT_EQ(dav::lastError(*a_), "");

    // Receiving: the server goes away after the first batch.
    killed = false;
    EXPECT_THROW(sync(*b_, killAt(200)), dav::DavError);
    EXPECT_TRUE(killed);
    size_t partial = b_->count(Folder::Calendar);
    EXPECT_GT(partial, 0u);
    EXPECT_LT(partial, kEvents);
    ASSERT_EQ(server_->start(), "");
    dav::SyncReport restB = sync(*b_);
    EXPECT_EQ(restB.calendar.received, kEvents - partial);
    EXPECT_EQ(b_->count(Folder::Calendar), kEvents);  // every event once
    EXPECT_EQ(subjects(*a_), subjects(*b_));
}

// A change that reached the server while its answer was lost is no conflict: the
// next sync finds the server holding what this side holds.
TEST_F(DavSync, AnUnansweredSendIsRecognisedNotDuplicated) {
    RecordKey key = a_->addAppointment(appt("Review", utc(2026, 12, 14, 9)));
    sync(*a_);
    edit(*a_, key, ICAL_LOCATION_PROPERTY, "Room 7");
    // The same text goes to the server behind the sync's back (the answer "lost").
    dav::HttpClient http({server_->user(), server_->password()});
    std::string href;
    for (auto& e : fs::directory_iterator(server_->collectionFolder("calendar")))
        if (e.path().extension() == ".ics") href = e.path().filename().string();
    dav::Response put = http.request("PUT", server_->calendarUrl() + href, {{"Content-Type", "text/calendar"}},
                                     a_->get(key)->data);
    ASSERT_EQ(put.status / 100, 2) << put.body;

    dav::SyncReport r = sync(*a_);
    EXPECT_TRUE(r.conflicts.empty()) << r.conflicts.front();
    EXPECT_EQ(a_->count(Folder::Calendar), 1u);
    EXPECT_EQ(dav::pendingChanges(*a_), 0u);
    sync(*b_);
    ASSERT_EQ(b_->count(Folder::Calendar), 1u);
    auto got = store::ical::parse(b_->get(b_->keys(Folder::Calendar).front())->data);
    EXPECT_EQ(store::event::text(store::ical::master(got.get()), ICAL_LOCATION_PROPERTY), "Room 7");
}

TEST_F(DavSync, AWrongPasswordIsSaidPlainly) {
    a_->addAppointment(appt("Private", utc(2026, 12, 11, 9)));
    dav::HttpClient http({server_->user(), "not-the-password"});
    dav::Failure kind{};
    int status = 0;
    std::string why = davFailure([&] { dav::synchronize(*a_, http, collections()); }, &kind, &status);
    EXPECT_EQ(kind, dav::Failure::Auth);
    EXPECT_EQ(status, 401);
    EXPECT_NE(why.find("refused the user name or password of alice"), std::string::npos) << why;
    EXPECT_EQ(a_->count(Folder::Calendar), 1u);
    EXPECT_NE(dav::lastError(*a_).find("refused"), std::string::npos);
    // With the right one the same store syncs.
    EXPECT_EQ(sync(*a_).calendar.sent, 1u);
    // The server's root is no calendar: said so, with the value to set.
    dav::HttpClient good({server_->user(), server_->password()});
    why = davFailure([&] { dav::synchronize(*a_, good, {server_->url(), {}}); });
    EXPECT_NE(why.find("is not a calendar collection (set the profile value CalendarUrl)"), std::string::npos) << why;
}

// ---- without a server ----------------------------------------------------------------

TEST(DavProfile, PasswordFromTheEnvironmentOrAPrivateFile) {
    pimtest::TempDir dir;
    pimtest::Env env;
    fs::path file = dir / "pw";
    std::ofstream(file) << "s3cret\n";
    dav::DavProfile p;
    p.user = "alice";
    p.passwordFile = file.string();
    env.unset("PIM_DAV_PASSWORD");

    ::chmod(file.c_str(), 0644);
    dav::Failure kind{};
    std::string why = davFailure([&] { dav::readPassword(p); }, &kind);
    EXPECT_EQ(kind, dav::Failure::Config);
    EXPECT_NE(why.find("may be read by others (mode 644)"), std::string::npos) << why;
    EXPECT_NE(why.find("chmod 600"), std::string::npos) << why;
    ::chmod(file.c_str(), 0640);
    EXPECT_THROW(dav::readPassword(p), dav::DavError);
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(dav::readPassword(p), "s3cret");
    env.set("PIM_DAV_PASSWORD", "from-env");
    EXPECT_EQ(dav::readPassword(p), "from-env");
    env.unset("PIM_DAV_PASSWORD");
    p.passwordFile = (dir / "none").string();
    why = davFailure([&] { dav::readPassword(p); });
    EXPECT_NE(why.find("set PIM_DAV_PASSWORD"), std::string::npos) << why;
}

TEST(DavProfile, CollectionsAndCacheFollowTheProfile) {
    dav::DavProfile p;
    p.storeUrl = "http://127.0.0.1:5232";
    p.calendarUrl = "alice/calendar";
    p.contactsUrl = "http://127.0.0.1:5232/alice/contacts/";
    p.user = "alice";
    dav::Collections c = p.collections();
    EXPECT_EQ(c.calendarUrl, "http://127.0.0.1:5232/alice/calendar/");
    EXPECT_EQ(c.contactsUrl, "http://127.0.0.1:5232/alice/contacts/");
    dav::DavProfile bare;
    bare.storeUrl = "https://dav.example/cal/";
    EXPECT_EQ(bare.collections().calendarUrl, "https://dav.example/cal/");
    EXPECT_EQ(bare.collections().contactsUrl, "");
    EXPECT_TRUE(dav::isDavUrl("HTTPS://x/"));
    EXPECT_FALSE(dav::isDavUrl("/home/a/store.db"));

    pimtest::Env env;
    env.set("XDG_DATA_HOME", "/tmp/xdg-test");
    std::string one = dav::cachePath(p);
    EXPECT_EQ(one.rfind("/tmp/xdg-test/pimserver/dav/127.0.0.1_5232-alice-", 0), 0u) << one;
    dav::DavProfile other = p;
    other.user = "bob";
    EXPECT_NE(dav::cachePath(other), one);
    EXPECT_EQ(dav::cachePath(p), one);
}

TEST(DavCache, AnExistingStoreTakesTheSyncStateAndStaysReadable) {
    pimtest::TempDir dir;
    std::string path = (dir / "store.db").string();
    RecordKey key;
    {
        auto s = Store::open(path, Store::Options{true, 10000});
        key = s->addAppointment(appt("Before sync", utc(2026, 12, 8, 9)));
        dav::ensureSyncSchema(*s);
        dav::ensureSyncSchema(*s);  // twice is harmless
    }
    auto s = Store::open(path);  // the schema version a reader checks is unchanged
    EXPECT_EQ(subjectOf(*s, key), "Before sync");
    EXPECT_EQ(pimtest::firstValue(path, "PRAGMA user_version"), std::to_string(Store::kSchemaVersion));
    EXPECT_NE(pimtest::firstValue(path, "SELECT count(*) FROM dav_items"), "<no row>");
}

}  // namespace
