// The object model through its interfaces, as the adapter uses it: logon and its
// failures, period queries with recurrence, items, filters in both date formats,
// saving and deleting occurrences, contacts, fault points, registration.
#include "objects.h"

#include "pimserver/Errors.h"

#include <ComPtr.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern "C" HRESULT DllGetClassObject(REFCLSID, REFIID, LPVOID*);
extern "C" HRESULT DllCanUnloadNow();
extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

using namespace pim;
using pim::store::UtcSeconds;
namespace fs = std::filesystem;

namespace {

UtcSeconds utc(int y, int mo, int d, int h = 0, int mi = 0) { return store::zone::toUtc("UTC", {y, mo, d, h, mi, 0}); }

ULONG refs(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

struct Bstr {
    BSTR b = nullptr;
    explicit Bstr(const char* s) { outlook::newBstr(std::string_view(s), &b); }
    Bstr() = default;
    ~Bstr() { SysFreeString(b); }
    BSTR* out() {
        SysFreeString(b);
        b = nullptr;
        return &b;
    }
    std::string str() const { return outlook::toUtf8(b); }
};

VARIANT missing() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

VARIANT boolean(bool b) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

void setRegistry(const char* key, const char* name, const std::string& value) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), ERROR_SUCCESS);
    RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
}

class OutlookTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("pimom-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        for (const char* v : {"PIM_REGISTRY", "PIM_STORE", "TZ", "XDG_DATA_HOME", "PIM_STORE_BUSY_TIMEOUT_MS"}) {
            const char* old = std::getenv(v);
            saved_.emplace_back(v, old ? std::optional<std::string>(old) : std::nullopt);
        }
        setenv("PIM_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
        setenv("PIM_STORE", storePath().c_str(), 1);
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
        store_ = store::Store::open(storePath(), store::Store::Options{true, 10000});
        ComPtr<IClassFactory> f;
        ASSERT_EQ(DllGetClassObject(CLSID_OutlookApplication, IID_IClassFactory, f.put_void()), S_OK);
        ASSERT_EQ(f->CreateInstance(nullptr, IID__Application, app_.put_void()), S_OK);
    }
    void TearDown() override {
        app_.reset();
        store_.reset();
        EXPECT_EQ(outlook::g_liveObjects.load(), 0);
        for (auto& [name, value] : saved_) {
            if (value) setenv(name, value->c_str(), 1);
            else unsetenv(name);
        }
        tzset();
        fs::remove_all(dir_);
    }
    std::string storePath() const { return (dir_ / "store.db").string(); }

    ComPtr<_NameSpace> logon() {
        ComPtr<_NameSpace> ns;
        Bstr mapi("MAPI");
        EXPECT_EQ(app_->GetNamespace(mapi.b, ns.put()), S_OK);
        EXPECT_EQ(ns->Logon(missing(), missing(), missing(), missing()), S_OK);
        return ns;
    }
    ComPtr<_Items> items(LONG folder) {
        auto ns = logon();
        ComPtr<MAPIFolder> f;
        EXPECT_EQ(ns->GetDefaultFolder(folder, f.put()), S_OK);
        ComPtr<_Items> it;
        EXPECT_EQ(f->get_Items(it.put()), S_OK);
        return it;
    }
    // The period query as the adapter makes it: sort, expand, restrict, sort again.
    HRESULT period(const std::string& filterText, ComPtr<_Items>* out) {
        auto it = items(olFolderCalendar);
        Bstr start("[Start]");
        EXPECT_EQ(it->Sort(start.b, boolean(false)), S_OK);
        EXPECT_EQ(it->put_IncludeRecurrences(VARIANT_TRUE), S_OK);
        Bstr f(filterText.c_str());
        HRESULT hr = it->Restrict(f.b, out->put());
        if (SUCCEEDED(hr)) {
            EXPECT_EQ((*out)->Sort(start.b, boolean(false)), S_OK);
        }
        return hr;
    }
    struct Row {
        std::string subject;
        DATE start, end;
    };
    std::vector<Row> walk(_Items* it, int* skipped = nullptr) {
        std::vector<Row> rows;
        ComPtr<IDispatch> d;
        EXPECT_EQ(it->GetFirst(d.put()), S_OK);
        while (d) {
            ComPtr<_AppointmentItem> a;
            HRESULT hr = d->QueryInterface(IID__AppointmentItem, a.put_void());
            if (hr == E_NOINTERFACE) {
                if (skipped) ++*skipped;
            } else {
                EXPECT_EQ(hr, S_OK);
                Row r;
                Bstr s;
                a->get_Subject(s.out());
                r.subject = s.str();
                a->get_Start(&r.start);
                a->get_End(&r.end);
                rows.push_back(r);
            }
            EXPECT_EQ(it->GetNext(d.put()), S_OK);
        }
        return rows;
    }
    static DATE localDate(int y, int mo, int d, int h = 0, int mi = 0) {
        SYSTEMTIME st{};
        st.wYear = WORD(y);
        st.wMonth = WORD(mo);
        st.wDay = WORD(d);
        st.wHour = WORD(h);
        st.wMinute = WORD(mi);
        DATE out = 0;
        SystemTimeToVariantTime(&st, &out);
        return out;
    }
    store::RecordKey add(const char* subject, UtcSeconds s, UtcSeconds e, const char* rrule = "") {
        store::Appointment a;
        a.subject = subject;
        a.start = s;
        a.end = e;
        a.zone = "Europe/Berlin";
        a.rrule = rrule;
        return store_->addAppointment(a);
    }

    fs::path dir_;
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
    std::shared_ptr<store::Store> store_;
    ComPtr<_Application> app_;
};

}  // namespace

TEST_F(OutlookTest, PeriodQueryExpandsSeriesInStartOrder) {
    add("weekly standup", utc(2026, 1, 5, 8), utc(2026, 1, 5, 8, 30), "FREQ=WEEKLY");  // Mondays 09:00 CET
    add("review", utc(2026, 3, 24, 13), utc(2026, 3, 24, 14));
    add("before", utc(2026, 3, 20, 8), utc(2026, 3, 20, 9));
    store_->addOther(store::Folder::Calendar, store::Kind::Note,
                     "BEGIN:VCALENDAR\r\nBEGIN:VJOURNAL\r\nUID:n\r\nDTSTART:20260325T100000Z\r\nSUMMARY:note\r\n"
                     "END:VJOURNAL\r\nEND:VCALENDAR\r\n");
    ComPtr<_Items> r;
    // Across the change to summer time (29 March): the standup stays at 09:00 local.
    ASSERT_EQ(period("[Start] <= \"4/6/2026 23:59\" and [End] >= \"3/23/2026 00:00\"", &r), S_OK);
    int skipped = 0;
    auto rows = walk(r.get(), &skipped);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(skipped, 1);  // the note answers E_NOINTERFACE and is passed over
    EXPECT_EQ(rows[0].subject, "weekly standup");
    EXPECT_DOUBLE_EQ(rows[0].start, localDate(2026, 3, 23, 9));
    EXPECT_EQ(rows[1].subject, "review");
    EXPECT_DOUBLE_EQ(rows[1].start, localDate(2026, 3, 24, 14));
    EXPECT_DOUBLE_EQ(rows[2].start, localDate(2026, 3, 30, 9));
    EXPECT_DOUBLE_EQ(rows[3].start, localDate(2026, 4, 6, 9));
    LONG count = 0;
    EXPECT_EQ(r->get_Count(&count), S_OK);
    EXPECT_EQ(count, 5);
    // The original collection is untouched by Restrict; without expansion a series is one item.
    auto plain = items(olFolderCalendar);
    Bstr f("[Start] <= \"4/6/2026 23:59\" and [End] >= \"3/23/2026 00:00\"");
    ComPtr<_Items> once;
    ASSERT_EQ(plain->Restrict(f.b, once.put()), S_OK);
    skipped = 0;
    auto unexpanded = walk(once.get(), &skipped);
    ASSERT_EQ(unexpanded.size(), 1u);  // the series' first instance lies in January
    EXPECT_EQ(unexpanded[0].subject, "review");
    EXPECT_EQ(skipped, 1);
}

TEST_F(OutlookTest, BoundsTouchingThePeriodMatchAndEmptyPeriodsAreEmpty) {
    add("ends at start", utc(2026, 6, 1, 7), utc(2026, 6, 1, 8));  // 09:00-10:00 local
    add("starts at end", utc(2026, 6, 1, 16), utc(2026, 6, 1, 17));
    add("spans", utc(2026, 5, 1), utc(2026, 7, 1));
    ComPtr<_Items> r;
    ASSERT_EQ(period("[Start] <= \"6/1/2026 18:00\" and [End] >= \"6/1/2026 10:00\"", &r), S_OK);
    auto rows = walk(r.get());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].subject, "spans");
    ComPtr<_Items> none;
    ASSERT_EQ(period("[Start] <= \"1/2/2020 10:00\" and [End] >= \"1/1/2020 10:00\"", &none), S_OK);
    ComPtr<IDispatch> d;
    EXPECT_EQ(none->GetFirst(d.put()), S_OK);
    EXPECT_FALSE(d);
    EXPECT_EQ(none->GetNext(d.put()), S_OK);
    EXPECT_FALSE(d);
}

TEST_F(OutlookTest, FiltersUseTheUsersDateFormatAndRefuseWhatTheyCannotRead) {
    add("x", utc(2026, 12, 7, 12), utc(2026, 12, 7, 13));  // 13:00 local
    setRegistry("Control Panel\\International", "sShortDate", "dd.MM.yyyy");
    ComPtr<_Items> r;
    ASSERT_EQ(period("[Start] <= \"07.12.2026 14:05\" and [End] >= \"07.12.2026 13:30\"", &r), S_OK);
    EXPECT_EQ(walk(r.get()).size(), 1u);
    // The same text in the American order is now unreadable.
    EXPECT_EQ(period("[Start] <= \"12/7/2026 14:05\"", &r), DISP_E_EXCEPTION);
    for (const char* bad : {"[Nope] = 'x'", "[Start] <= \"99.99.2026 10:00\"", "[Start] <=", "garbage"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(period(bad, &r), DISP_E_EXCEPTION);
        auto it = items(olFolderCalendar);
        Bstr f(bad);
        ComPtr<IDispatch> d;
        EXPECT_EQ(it->Find(f.b, d.put()), DISP_E_EXCEPTION);
    }
    auto it = items(olFolderCalendar);
    Bstr bad("[Nope]");
    EXPECT_EQ(it->Sort(bad.b, boolean(false)), DISP_E_EXCEPTION);
}

TEST_F(OutlookTest, NewAppointmentSavesAndReadsBack) {
    auto ns = logon();
    ComPtr<IDispatch> d;
    ASSERT_EQ(app_->CreateItem(olAppointmentItem, d.put()), S_OK);
    EXPECT_EQ(app_->CreateItem(5, d.put()), E_INVALIDARG);
    ASSERT_EQ(app_->CreateItem(olAppointmentItem, d.put()), S_OK);
    ComPtr<_AppointmentItem> a;
    ASSERT_EQ(d->QueryInterface(IID__AppointmentItem, a.put_void()), S_OK);
    ComPtr<_ContactItem> notContact;
    EXPECT_EQ(d->QueryInterface(IID__ContactItem, notContact.put_void()), E_NOINTERFACE);
    EXPECT_EQ(refs(a.get()), 2u);  // d and a
    Bstr id;
    EXPECT_EQ(a->get_EntryID(id.out()), S_OK);
    EXPECT_EQ(id.str(), "");
    Bstr subject("Planning \u00e4"), where("Room 1"), body("line1\nline2");
    EXPECT_EQ(a->put_Subject(subject.b), S_OK);
    EXPECT_EQ(a->put_Start(localDate(2026, 7, 1, 10)), S_OK);
    EXPECT_EQ(a->put_End(localDate(2026, 7, 1, 11, 30)), S_OK);
    EXPECT_EQ(a->put_Location(where.b), S_OK);
    EXPECT_EQ(a->put_ReminderMinutesBeforeStart(25), S_OK);
    EXPECT_EQ(a->put_ReminderSet(VARIANT_TRUE), S_OK);
    EXPECT_EQ(a->put_BusyStatus(olOutOfOffice), S_OK);
    EXPECT_EQ(a->put_BusyStatus(7), E_INVALIDARG);
    EXPECT_EQ(a->put_Body(body.b), S_OK);
    EXPECT_EQ(a->Save(), S_OK);
    ASSERT_EQ(a->get_EntryID(id.out()), S_OK);
    ASSERT_EQ(id.str().size(), 48u);

    auto rec = store_->find(id.str());
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->zone, "Europe/Berlin");
    EXPECT_EQ(rec->start, utc(2026, 7, 1, 8));
    EXPECT_EQ(rec->end, utc(2026, 7, 1, 9, 30));

    ComPtr<IDispatch> again;
    VARIANT none = missing();
    ASSERT_EQ(ns->GetItemFromID(id.b, none, again.put()), S_OK);
    ComPtr<_AppointmentItem> b;
    ASSERT_EQ(again->QueryInterface(IID__AppointmentItem, b.put_void()), S_OK);
    Bstr s;
    b->get_Subject(s.out());
    EXPECT_EQ(s.str(), "Planning \u00e4");
    LONG minutes = 0, busy = 0;
    VARIANT_BOOL reminder = 0, allDay = -1;
    b->get_ReminderMinutesBeforeStart(&minutes);
    b->get_ReminderSet(&reminder);
    b->get_BusyStatus(&busy);
    b->get_AllDayEvent(&allDay);
    EXPECT_EQ(minutes, 25);
    EXPECT_EQ(reminder, VARIANT_TRUE);
    EXPECT_EQ(busy, olOutOfOffice);
    EXPECT_EQ(allDay, VARIANT_FALSE);
    DATE st = 0;
    b->get_Start(&st);
    EXPECT_DOUBLE_EQ(st, localDate(2026, 7, 1, 10));
    b->get_Body(s.out());
    EXPECT_EQ(s.str(), "line1\nline2");

    Bstr unknown("00000000FFFF");
    EXPECT_EQ(ns->GetItemFromID(unknown.b, none, again.put()), MAPI_E_NOT_FOUND);

    // Delete: later calls on the item fail clearly; the other object sees it gone on its next load.
    EXPECT_EQ(a->Delete(), S_OK);
    EXPECT_EQ(a->get_Subject(s.out()), server::kItemDeleted);
    EXPECT_EQ(a->Save(), server::kItemDeleted);
    EXPECT_EQ(a->Delete(), server::kItemDeleted);
    EXPECT_FALSE(store_->find(id.str()));
    EXPECT_EQ(b->Save(), server::kItemDeleted);
}

TEST_F(OutlookTest, UpdatesKeepWhatTheObjectModelDoesNotShowAndAllDayFollowsLocalDays) {
    store::RecordKey k = store_->addEvent(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:keep\r\nDTSTART;TZID=W. Europe Standard Time:20260707T100000\r\n"
        "DTEND;TZID=W. Europe Standard Time:20260707T110000\r\nSUMMARY:old\r\nX-SECRET:kept\r\n"
        "ATTENDEE;CN=Ann;PARTSTAT=ACCEPTED:mailto:ann@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    auto ns = logon();
    Bstr id(store_->computedEntryId(k).c_str());
    ComPtr<IDispatch> d;
    ASSERT_EQ(ns->GetItemFromID(id.b, missing(), d.put()), S_OK);
    ComPtr<_AppointmentItem> a;
    ASSERT_EQ(d->QueryInterface(IID__AppointmentItem, a.put_void()), S_OK);
    Bstr s("new");
    a->put_Subject(s.b);
    EXPECT_EQ(a->put_AllDayEvent(VARIANT_TRUE), S_OK);
    ASSERT_EQ(a->Save(), S_OK);
    auto rec = store_->get(k);
    EXPECT_NE(rec->data.find("X-SECRET:kept"), std::string::npos);
    EXPECT_NE(rec->data.find("PARTSTAT=ACCEPTED"), std::string::npos);
    EXPECT_NE(rec->data.find("DTSTART;VALUE=DATE:20260707"), std::string::npos);
    EXPECT_EQ(rec->start, utc(2026, 7, 6, 22));  // local midnight
    DATE st = 0, en = 0;
    a->get_Start(&st);
    a->get_End(&en);
    EXPECT_DOUBLE_EQ(st, localDate(2026, 7, 7));
    EXPECT_DOUBLE_EQ(en, localDate(2026, 7, 8));

    // Recipients reach the text through the private interface, at Save.
    ComPtr<server::IPimItemAccess> access;
    ASSERT_EQ(d->QueryInterface(server::IID_IPimItemAccess, access.put_void()), S_OK);
    std::vector<server::Recipient> list;
    ASSERT_EQ(access->GetRecipients(&list), S_OK);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].address, u"ann@example.com");
    list.push_back({u"Bob", u"bob@example.com", olOptional});
    ASSERT_EQ(access->SetRecipients(list), S_OK);
    EXPECT_EQ(store_->get(k)->data.find("bob@example.com"), std::string::npos);
    ASSERT_EQ(a->Save(), S_OK);
    rec = store_->get(k);
    EXPECT_NE(rec->data.find("bob@example.com"), std::string::npos);
    EXPECT_NE(rec->data.find("PARTSTAT=ACCEPTED"), std::string::npos);
}

TEST_F(OutlookTest, OccurrencesSaveAsExceptionsAndDeleteAlone) {
    add("daily", utc(2026, 2, 2, 8), utc(2026, 2, 2, 9), "FREQ=DAILY;COUNT=5");
    const char* f = "[Start] <= \"2/8/2026 0:00\" and [End] >= \"2/1/2026 0:00\"";
    ComPtr<_Items> r;
    ASSERT_EQ(period(f, &r), S_OK);
    ComPtr<IDispatch> d;
    ASSERT_EQ(r->GetFirst(d.put()), S_OK);
    ASSERT_EQ(r->GetNext(d.put()), S_OK);  // the second day
    ComPtr<_AppointmentItem> second;
    ASSERT_EQ(d->QueryInterface(IID__AppointmentItem, second.put_void()), S_OK);
    VARIANT_BOOL rec = 0;
    second->get_IsRecurring(&rec);
    EXPECT_EQ(rec, VARIANT_TRUE);
    Bstr s("moved");
    second->put_Subject(s.b);
    second->put_Start(localDate(2026, 2, 3, 15));
    ASSERT_EQ(second->Save(), S_OK);
    ASSERT_EQ(r->GetNext(d.put()), S_OK);  // the third day
    ComPtr<_AppointmentItem> third;
    ASSERT_EQ(d->QueryInterface(IID__AppointmentItem, third.put_void()), S_OK);
    ASSERT_EQ(third->Delete(), S_OK);

    ComPtr<_Items> after;
    ASSERT_EQ(period(f, &after), S_OK);
    auto rows = walk(after.get());
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].subject, "moved");
    EXPECT_DOUBLE_EQ(rows[1].start, localDate(2026, 2, 3, 15));
    EXPECT_DOUBLE_EQ(rows[1].end, localDate(2026, 2, 3, 16));  // the duration moved along
    EXPECT_EQ(rows[2].subject, "daily");
    EXPECT_DOUBLE_EQ(rows[2].start, localDate(2026, 2, 5, 9));
}

TEST_F(OutlookTest, ContactsAreFoundByNameAndListsAreNoContacts) {
    store_->addDistList("BEGIN:VCARD\r\nVERSION:3.0\r\nKIND:group\r\nN:Smith;Ann;;;\r\nFN:Ann Smith\r\nEND:VCARD\r\n");
    store::RecordKey ann = store_->addContact(
        "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Smith;Ann;;;\r\nFN:Ann Smith\r\nORG:Acme\r\nEMAIL:ann@acme.example\r\n"
        "TEL;TYPE=CELL:+49 1\r\nEND:VCARD\r\n");
    store_->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:O\"Neil;Pat;;;\r\nFN:Pat\r\nEND:VCARD\r\n");
    auto it = items(olFolderContacts);
    // The walk meets the list first: it is no contact.
    ComPtr<IDispatch> d;
    ASSERT_EQ(it->GetFirst(d.put()), S_OK);
    ComPtr<_ContactItem> c;
    EXPECT_EQ(d->QueryInterface(IID__ContactItem, c.put_void()), E_NOINTERFACE);
    EXPECT_EQ(d->QueryInterface(IID__AppointmentItem, c.put_void()), E_NOINTERFACE);

    Bstr f("[FirstName] = \"Ann\" and [LastName] = \"Smith\"");
    ASSERT_EQ(it->Find(f.b, d.put()), S_OK);
    ASSERT_TRUE(d);
    ASSERT_EQ(d->QueryInterface(IID__ContactItem, c.put_void()), S_OK);
    Bstr v;
    c->get_EntryID(v.out());
    EXPECT_EQ(v.str(), store_->computedEntryId(ann));
    c->get_Email1Address(v.out());
    EXPECT_EQ(v.str(), "ann@acme.example");
    c->get_CompanyName(v.out());
    EXPECT_EQ(v.str(), "Acme");
    c->get_MobileTelephoneNumber(v.out());
    EXPECT_EQ(v.str(), "+49 1");
    Bstr none("[FirstName] = \"Nobody\" and [LastName] = \"Smith\"");
    ASSERT_EQ(it->Find(none.b, d.put()), S_OK);
    EXPECT_FALSE(d);
    Bstr quoted("[FirstName] = \"Pat\" and [LastName] = \"O\"\"Neil\"");
    ASSERT_EQ(it->Find(quoted.b, d.put()), S_OK);
    EXPECT_TRUE(d);
    // A name with a quote put in unescaped makes an unreadable filter.
    Bstr raw("[FirstName] = \"Pat\" and [LastName] = \"O\"Neil\"");
    EXPECT_EQ(it->Find(raw.b, d.put()), DISP_E_EXCEPTION);

    // Changing a contact keeps its other properties.
    Bstr title("Boss");
    ASSERT_EQ(c->put_JobTitle(title.b), S_OK);
    ASSERT_EQ(c->Save(), S_OK);
    auto rec = store_->get(ann);
    EXPECT_NE(rec->data.find("TITLE:Boss"), std::string::npos);
    EXPECT_NE(rec->data.find("+49 1"), std::string::npos);
}

TEST_F(OutlookTest, LogonFailuresLeaveTheFileAlone) {
    app_.reset();
    auto attempt = [&](const std::string& path) {
        setenv("PIM_STORE", path.c_str(), 1);
        ComPtr<IClassFactory> f;
        DllGetClassObject(CLSID_OutlookApplication, IID_IClassFactory, f.put_void());
        ComPtr<_Application> app;
        f->CreateInstance(nullptr, IID__Application, app.put_void());
        ComPtr<_NameSpace> ns;
        Bstr mapi("MAPI");
        app->GetNamespace(mapi.b, ns.put());
        HRESULT hr = ns->Logon(missing(), missing(), missing(), missing());
        ComPtr<MAPIFolder> folder;
        EXPECT_EQ(ns->GetDefaultFolder(olFolderCalendar, folder.put()), hr);
        return hr;
    };
    std::string text = (dir_ / "notes.txt").string();
    { std::ofstream(text) << std::string(300, 'x'); }
    std::string other = (dir_ / "other.db").string();
    sqlite3* db = nullptr;
    sqlite3_open(other.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    auto size = fs::file_size(other);
    EXPECT_EQ(attempt(text), server::kNotAStore);
    EXPECT_EQ(attempt(other), server::kNotAStore);
    EXPECT_EQ(fs::file_size(other), size);
    EXPECT_EQ(attempt(dir_.string()), server::kStoreAccessDenied);
    EXPECT_EQ(attempt((dir_ / "missing.db").string()), server::kStoreMissing);
    EXPECT_FALSE(fs::exists(dir_ / "missing.db"));

    store_.reset();
    sqlite3* holder = nullptr;
    sqlite3_open(storePath().c_str(), &holder);
    ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    setenv("PIM_STORE_BUSY_TIMEOUT_MS", "100", 1);
    EXPECT_EQ(attempt(storePath()), server::kStoreLocked);
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);

    // Without PIM_STORE: the profile's path, else a default store made on first logon.
    unsetenv("PIM_STORE");
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    EXPECT_EQ(attempt(""), S_OK);
    EXPECT_TRUE(fs::exists(dir_ / "data" / "pimserver" / "store.db"));
    setRegistry("Software\\PimServer\\Profile", "Store", text);
    unsetenv("PIM_STORE");
    EXPECT_EQ(attempt(""), server::kNotAStore);
}

TEST_F(OutlookTest, FaultPointsFailTheNamedOperationAndCount) {
    add("x", utc(2026, 1, 1, 9), utc(2026, 1, 1, 10));
    pim::fault::Scope scope;
    auto it = items(olFolderCalendar);
    EXPECT_EQ(pim::fault::count("MAPIFolder.get_Items"), 1u);
    pim::fault::arm("Items.Restrict", E_OUTOFMEMORY);
    Bstr f("[Start] <= \"1/2/2026 0:00\"");
    ComPtr<_Items> r;
    EXPECT_EQ(it->Restrict(f.b, r.put()), E_OUTOFMEMORY);
    EXPECT_FALSE(r);
    EXPECT_EQ(it->Restrict(f.b, r.put()), S_OK);
    pim::fault::arm("Items.GetNext", E_FAIL, 1);
    ComPtr<IDispatch> d;
    EXPECT_EQ(r->GetFirst(d.put()), S_OK);
    ASSERT_TRUE(d);
    ComPtr<IDispatch> n;
    EXPECT_EQ(r->GetNext(n.put()), E_FAIL);
    EXPECT_FALSE(n);
    pim::fault::arm("AppointmentItem.QueryInterface", E_UNEXPECTED);
    ComPtr<_AppointmentItem> a;
    EXPECT_EQ(d->QueryInterface(IID__AppointmentItem, a.put_void()), E_UNEXPECTED);
    EXPECT_EQ(d->QueryInterface(IID__AppointmentItem, a.put_void()), S_OK);
    pim::fault::arm("AppointmentItem.Save", MAPI_E_DISK_ERROR);
    EXPECT_EQ(a->Save(), MAPI_E_DISK_ERROR);
    EXPECT_EQ(pim::fault::count("AppointmentItem.Save"), 1u);
    EXPECT_EQ(pim::fault::count("Items.Restrict"), 2u);
    EXPECT_EQ(pim::fault::count("Items.GetFirst"), 1u);
}

TEST_F(OutlookTest, ReferenceCountsAreRealAndObjectsGoAway) {
    auto ns = logon();
    EXPECT_EQ(refs(ns.get()), 2u);  // ours and the application's
    ComPtr<_NameSpace> same;
    Bstr mapi("MAPI"), other("XYZ");
    ASSERT_EQ(app_->GetNamespace(mapi.b, same.put()), S_OK);
    EXPECT_EQ(same.get(), ns.get());
    EXPECT_EQ(refs(ns.get()), 3u);
    EXPECT_EQ(app_->GetNamespace(other.b, same.put()), E_INVALIDARG);
    ComPtr<MAPIFolder> folder;
    EXPECT_EQ(ns->GetDefaultFolder(3, folder.put()), E_INVALIDARG);
    ASSERT_EQ(ns->GetDefaultFolder(olFolderCalendar, folder.put()), S_OK);
    EXPECT_EQ(refs(folder.get()), 1u);
    ComPtr<IUnknown> unk;
    ASSERT_EQ(folder->QueryInterface(IID_IUnknown, unk.put_void()), S_OK);
    EXPECT_EQ(refs(folder.get()), 2u);
    unk.reset();
    EXPECT_EQ(ns->Logoff(), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
}

TEST_F(OutlookTest, RegistrationWritesAndRemovesTheApplicationClass) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Outlook.Application", &clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_OutlookApplication));
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{0006F03A-0000-0000-C000-000000000046}\\LocalServer32", 0,
                            KEY_READ, &k),
              ERROR_SUCCESS);
    char path[1024] = {};
    DWORD size = sizeof path - 1, type = 0;
    ASSERT_EQ(RegQueryValueExA(k, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_TRUE(fs::exists(path)) << path;
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_NE(CLSIDFromProgID(u"Outlook.Application", &clsid), S_OK);
    EXPECT_NE(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{0006F03A-0000-0000-C000-000000000046}", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    EXPECT_EQ(DllUnregisterServer(), S_OK);  // twice is fine
}

// What an item shows comes from the version listed: a change through another item, an occurrence
// saved on its own and a new entry id all show in the next listing. A year of a daily series with
// no end is answered in full; a century stops at the collection's limit, from its first instance.
TEST_F(OutlookTest, ListingsShowEachStoredVersionAndLongPeriodsStopAtTheLimit) {
    store::RecordKey k = store_->addEvent(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:daily\r\nDTSTART;TZID=Europe/Berlin:20270101T090000\r\n"
        "DTEND;TZID=Europe/Berlin:20270101T093000\r\nSUMMARY:daily\r\nRRULE:FREQ=DAILY\r\n"
        "ATTENDEE;CN=\"Lima, Ana\";ROLE=OPT-PARTICIPANT:mailto:ana@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    const std::string year = "[Start] <= \"12/31/2027 23:59\" and [End] >= \"1/1/2027 00:00\"";
    const std::string week = "[Start] <= \"1/7/2027 23:59\" and [End] >= \"1/1/2027 00:00\"";
    ComPtr<_Items> r;
    ASSERT_EQ(period(year, &r), S_OK);
    auto rows = walk(r.get());
    ASSERT_EQ(rows.size(), 365u);
    EXPECT_DOUBLE_EQ(rows.front().start, localDate(2027, 1, 1, 9));
    EXPECT_DOUBLE_EQ(rows.back().start, localDate(2027, 12, 31, 9));
    EXPECT_EQ(rows.back().subject, "daily");

    auto itemAt = [&](size_t index) {
        ComPtr<_Items> w;
        EXPECT_EQ(period(week, &w), S_OK);
        ComPtr<IDispatch> d;
        EXPECT_EQ(w->GetFirst(d.put()), S_OK);
        for (size_t i = 0; i < index && d; ++i) EXPECT_EQ(w->GetNext(d.put()), S_OK);
        ComPtr<_AppointmentItem> a;
        if (d) {
            EXPECT_EQ(d->QueryInterface(IID__AppointmentItem, a.put_void()), S_OK);
        }
        return a;
    };
    auto subject = [](_AppointmentItem* a) {
        Bstr s;
        a->get_Subject(s.out());
        return s.str();
    };
    // Recipients of an occurrence, read from the listing.
    {
        auto a = itemAt(1);
        ComPtr<server::IPimItemAccess> access;
        ASSERT_EQ(a->QueryInterface(server::IID_IPimItemAccess, access.put_void()), S_OK);
        std::vector<server::Recipient> list;
        ASSERT_EQ(access->GetRecipients(&list), S_OK);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].name, u"Lima, Ana");
        EXPECT_EQ(list[0].type, olOptional);
    }
    {
        auto ns = logon();
        Bstr id(store_->computedEntryId(k).c_str());
        ComPtr<IDispatch> d;
        ASSERT_EQ(ns->GetItemFromID(id.b, missing(), d.put()), S_OK);
        ComPtr<_AppointmentItem> series;
        ASSERT_EQ(d->QueryInterface(IID__AppointmentItem, series.put_void()), S_OK);
        Bstr renamed("renamed");
        ASSERT_EQ(series->put_Subject(renamed.b), S_OK);
        ASSERT_EQ(series->Save(), S_OK);
    }
    EXPECT_EQ(subject(itemAt(0).get()), "renamed");
    {
        auto third = itemAt(2);
        Bstr moved("moved one");
        ASSERT_EQ(third->put_Subject(moved.b), S_OK);
        ASSERT_EQ(third->Save(), S_OK);
    }
    EXPECT_EQ(subject(itemAt(1).get()), "renamed");
    EXPECT_EQ(subject(itemAt(2).get()), "moved one");
    EXPECT_EQ(subject(itemAt(3).get()), "renamed");
    store_->setEntryId(k, "MY-OWN-ID");
    {
        Bstr id;
        ASSERT_EQ(itemAt(1)->get_EntryID(id.out()), S_OK);
        EXPECT_EQ(id.str(), "MY-OWN-ID");
    }

    add("evening", utc(2027, 1, 1, 17), utc(2027, 1, 1, 18), "FREQ=DAILY");  // two a day: 73,000 a century
    ComPtr<_Items> century;
    ASSERT_EQ(period("[Start] <= \"12/31/2126 23:59\" and [End] >= \"1/1/2027 00:00\"", &century), S_OK);
    LONG count = 0;
    ASSERT_EQ(century->get_Count(&count), S_OK);
    EXPECT_EQ(count, static_cast<LONG>(outlook::Items::kMaxOccurrences));
    ComPtr<IDispatch> d;
    ASSERT_EQ(century->GetFirst(d.put()), S_OK);
    ComPtr<_AppointmentItem> first;
    ASSERT_EQ(d->QueryInterface(IID__AppointmentItem, first.put_void()), S_OK);
    DATE st = 0;
    first->get_Start(&st);
    EXPECT_DOUBLE_EQ(st, localDate(2027, 1, 1, 9));
}

// A second process lists from what the first derived and kept in the file: the same subjects,
// times and recipients; a change made after that is what it shows, never the kept version.
TEST_F(OutlookTest, AnotherProcessListsWhatTheFirstKeptAndNeverAnOlderVersion) {
    store::RecordKey k = store_->addEvent(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:weekly\r\nDTSTART;TZID=Europe/Berlin:20270104T090000\r\n"
        "DTEND;TZID=Europe/Berlin:20270104T093000\r\nSUMMARY:Weekly\r\nLOCATION:Room 1\r\nRRULE:FREQ=WEEKLY\r\n"
        "ATTENDEE;CN=\"Lima, Ana\";ROLE=OPT-PARTICIPANT:mailto:ana@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    add("single", utc(2027, 1, 5, 10), utc(2027, 1, 5, 11));
    const std::string week = "[Start] <= \"1/10/2027 23:59\" and [End] >= \"1/4/2027 00:00\"";
    auto listing = [&] {
        ComPtr<_Items> r;
        EXPECT_EQ(period(week, &r), S_OK);
        return walk(r.get());
    };
    auto first = listing();
    ASSERT_EQ(first.size(), 2u);
    // The first process ends: what it derived reaches the file.
    app_.reset();
    store_.reset();
    uint64_t version = 0;
    {
        auto later = store::Store::open(storePath());
        version = later->get(k)->version;
        EXPECT_TRUE(later->derived(k, version, INT64_MIN));
        EXPECT_TRUE(later->derived(k, version, store::Store::kSeriesSlot));
    }
    ComPtr<IClassFactory> f;
    ASSERT_EQ(DllGetClassObject(CLSID_OutlookApplication, IID_IClassFactory, f.put_void()), S_OK);
    ASSERT_EQ(f->CreateInstance(nullptr, IID__Application, app_.put_void()), S_OK);
    store_ = store::Store::open(storePath());
    auto second = listing();
    ASSERT_EQ(second.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(second[i].subject, first[i].subject);
        EXPECT_DOUBLE_EQ(second[i].start, first[i].start);
        EXPECT_DOUBLE_EQ(second[i].end, first[i].end);
    }
    {
        ComPtr<_Items> r;
        ASSERT_EQ(period(week, &r), S_OK);
        ComPtr<IDispatch> d;
        ASSERT_EQ(r->GetFirst(d.put()), S_OK);
        ComPtr<server::IPimItemAccess> access;
        ASSERT_EQ(d->QueryInterface(server::IID_IPimItemAccess, access.put_void()), S_OK);
        std::vector<server::Recipient> list;
        ASSERT_EQ(access->GetRecipients(&list), S_OK);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].name, u"Lima, Ana");
        EXPECT_EQ(list[0].address, u"ana@example.com");
        EXPECT_EQ(list[0].type, olOptional);
        ComPtr<_AppointmentItem> a;
        ASSERT_EQ(d->QueryInterface(IID__AppointmentItem, a.put_void()), S_OK);
        Bstr location;
        ASSERT_EQ(a->get_Location(location.out()), S_OK);
        EXPECT_EQ(location.str(), "Room 1");
    }
    // Another process renames the series: both listings show the new name at once.
    {
        auto other = store::Store::open(storePath());
        std::string text = other->get(k)->data;
        text.replace(text.find("SUMMARY:Weekly"), 14, "SUMMARY:Renamed");
        other->updateEvent(k, text);
    }
    auto third = listing();
    ASSERT_EQ(third.size(), 2u);
    EXPECT_EQ(third[0].subject, "Renamed");
    EXPECT_EQ(third[1].subject, "single");
}

// Writing an appointment keeps its views and compiled series at once (the first listing after an
// import reads no iCalendar text): the same bytes a reader derives itself, for the master and
// each override, and those of the new version after a change.
TEST_F(OutlookTest, ViewsKeptWhenWrittenAreWhatAReaderDerives) {
    store_->importIcs(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n"
        "BEGIN:VEVENT\r\nUID:series\r\nDTSTART;TZID=Europe/Berlin:20270104T090000\r\n"
        "DTEND;TZID=Europe/Berlin:20270104T093000\r\nSUMMARY:Series\r\nRRULE:FREQ=WEEKLY\r\n"
        "ORGANIZER;CN=Eva:mailto:eva@example.com\r\n"
        "ATTENDEE;CN=\"Lima, Ana\";ROLE=OPT-PARTICIPANT:mailto:ana@example.com\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:series\r\nRECURRENCE-ID;TZID=Europe/Berlin:20270111T090000\r\n"
        "DTSTART;TZID=Europe/Berlin:20270111T100000\r\nDTEND;TZID=Europe/Berlin:20270111T103000\r\n"
        "SUMMARY:Moved\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:day\r\nDTSTART;VALUE=DATE:20270105\r\nDTEND;VALUE=DATE:20270106\r\n"
        "SUMMARY:Offsite\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT30M\r\nEND:VALARM\r\nEND:VEVENT\r\n"
        "END:VCALENDAR\r\n");
    std::vector<store::RecordKey> keys = store_->keys(store::Folder::Calendar);
    ASSERT_EQ(keys.size(), 2u);
    const store::UtcSeconds moved = utc(2027, 1, 11, 8);  // the override's RECURRENCE-ID
    const std::int64_t kMaster = INT64_MIN;
    struct Kept {
        std::optional<std::string> series, master, override;
    };
    auto kept = [&](store::Store& s, store::RecordKey k) {
        uint64_t v = s.get(k)->version;
        return Kept{s.derived(k, v, store::Store::kSeriesSlot), s.derived(k, v, kMaster), s.derived(k, v, moved)};
    };
    auto reopen = [&] {
        app_.reset();
        store_.reset();
        ComPtr<IClassFactory> f;
        ASSERT_EQ(DllGetClassObject(CLSID_OutlookApplication, IID_IClassFactory, f.put_void()), S_OK);
        ASSERT_EQ(f->CreateInstance(nullptr, IID__Application, app_.put_void()), S_OK);
        store_ = store::Store::open(storePath());
    };
    const std::string weeks = "[Start] <= \"1/20/2027 23:59\" and [End] >= \"1/1/2027 00:00\"";
    // What a reader derives from the stored text, with nothing kept: the listing reads every view.
    auto readerDerives = [&] {
        reopen();
        sqlite3* raw = nullptr;
        EXPECT_EQ(sqlite3_open(storePath().c_str(), &raw), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(raw, "DELETE FROM item_derived", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
        ComPtr<_Items> r;
        EXPECT_EQ(period(weeks, &r), S_OK);
        std::vector<Row> rows = walk(r.get());
        reopen();  // the reader's rows reach the file
        return rows;
    };
    auto check = [&](const char* when) -> std::vector<Row> {
        SCOPED_TRACE(when);
        std::vector<Kept> atWrite;
        for (store::RecordKey k : keys) atWrite.push_back(kept(*store_, k));
        EXPECT_TRUE(atWrite[0].series && atWrite[0].master && atWrite[0].override);
        EXPECT_FALSE(atWrite[1].series);  // a single appointment needs none
        EXPECT_TRUE(atWrite[1].master);
        ComPtr<_Items> r;
        EXPECT_EQ(period(weeks, &r), S_OK);
        std::vector<Row> listed = walk(r.get());
        std::vector<Row> derived = readerDerives();
        EXPECT_EQ(listed.size(), derived.size());
        for (size_t i = 0; i < std::min(listed.size(), derived.size()); ++i) EXPECT_EQ(listed[i].subject, derived[i].subject);
        for (size_t i = 0; i < keys.size(); ++i) {
            Kept byReader = kept(*store_, keys[i]);
            EXPECT_EQ(atWrite[i].series, byReader.series);
            EXPECT_EQ(atWrite[i].master, byReader.master);
            EXPECT_EQ(atWrite[i].override, byReader.override);
        }
        return listed;
    };
    std::vector<Row> before = check("imported");
    ASSERT_GE(before.size(), 4u);
    EXPECT_EQ(before[0].subject, "Series");
    EXPECT_EQ(before[1].subject, "Offsite");
    EXPECT_EQ(before[2].subject, "Moved");

    std::string text = store_->get(keys[0])->data;
    text.replace(text.find("SUMMARY:Series"), 14, "SUMMARY:Renamed");
    store_->updateEvent(keys[0], text);
    std::vector<Row> after = check("changed");
    EXPECT_EQ(after[0].subject, "Renamed");
    EXPECT_EQ(after[2].subject, "Moved");
}
