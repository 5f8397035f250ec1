// The object model through its interfaces, as the adapter uses it: logon and its
// failures, period queries with recurrence, items, filters in both date formats,
// saving and deleting occurrences, contacts, fault points, registration.
#include "bytes.h"
#include "objects.h"

#include "pimserver/Errors.h"
#include "test_support.h"

#include <sqlite3.h>

extern "C" HRESULT DllGetClassObject(REFCLSID, REFIID, LPVOID*);
extern "C" HRESULT DllCanUnloadNow();
extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

using namespace pim;
using namespace pimtest;
using pim::store::UtcSeconds;
namespace fs = std::filesystem;

namespace {

UtcSeconds utc(int y, int mo, int d, int h = 0, int mi = 0) { return store::zone::toUtc("UTC", {y, mo, d, h, mi, 0}); }

DATE localDate(int y, int mo, int d, int h = 0, int mi = 0)
{
    SYSTEMTIME st{};
    st.wYear = WORD(y), st.wMonth = WORD(mo), st.wDay = WORD(d), st.wHour = WORD(h), st.wMinute = WORD(mi);
    DATE out = 0;
    SystemTimeToVariantTime(&st, &out);
    return out;
}

ComPtr<_AppointmentItem> appointment(IUnknown* d) { return query<_AppointmentItem>(d, IID__AppointmentItem); }

std::vector<server::Recipient> recipientsOf(IUnknown* item)
{
    std::vector<server::Recipient> list;
    EXPECT_EQ(query<server::IPimItemAccess>(item, server::IID_IPimItemAccess)->GetRecipients(&list), S_OK);
    return list;
}

ComPtr<_Application> newApplication()
{
    ComPtr<IClassFactory> f;
    ComPtr<_Application> app;
    EXPECT_EQ(DllGetClassObject(CLSID_OutlookApplication, IID_IClassFactory, f.put_void()), S_OK);
    if (f) {
        EXPECT_EQ(f->CreateInstance(nullptr, IID__Application, app.put_void()), S_OK);
    }
    return app;
}

class OutlookTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        env_.set("PIM_REGISTRY", dir_.str("registry.reg")).set("PIM_STORE", storePath()).set("TZ", "Europe/Berlin");
        env_.set("XDG_DATA_HOME", dir_.str("data")).unset("PIM_STORE_BUSY_TIMEOUT_MS");
        store_ = store::Store::open(storePath(), store::Store::Options{true, 10000});
        app_ = newApplication();
        ASSERT_TRUE(app_);
    }
    void TearDown() override
    {
        app_.reset();
        store_.reset();
        EXPECT_EQ(outlook::g_liveObjects.load(), 0);
    }
    std::string storePath() const { return dir_.str("store.db"); }
    // As a new process: what this one derived reaches the file, `between` runs with nothing open,
    // and both are opened afresh.
    void reopen(const std::function<void()>& between = {})
    {
        app_.reset();
        store_.reset();
        if (between) between();
        app_ = newApplication();
        ASSERT_TRUE(app_);
        store_ = store::Store::open(storePath());
    }

    ComPtr<_NameSpace> logon()
    {
        ComPtr<_NameSpace> ns;
        EXPECT_EQ(app_->GetNamespace(Bstr("MAPI").b, ns.put()), S_OK);
        if (ns) {
            EXPECT_EQ(ns->Logon(missing(), missing(), missing(), missing()), S_OK);
        }
        return ns;
    }
    ComPtr<_Items> items(LONG folder)
    {
        ComPtr<MAPIFolder> f;
        EXPECT_EQ(logon()->GetDefaultFolder(folder, f.put()), S_OK);
        ComPtr<_Items> it;
        EXPECT_EQ(f->get_Items(it.put()), S_OK);
        return it;
    }
    // The period query as the adapter makes it: sort, expand, restrict, sort again.
    HRESULT period(const std::string& filterText, ComPtr<_Items>* out)
    {
        auto it = items(olFolderCalendar);
        Bstr start("[Start]");
        EXPECT_EQ(it->Sort(start.b, boolean(false)), S_OK);
        EXPECT_EQ(it->put_IncludeRecurrences(VARIANT_TRUE), S_OK);
        HRESULT hr = it->Restrict(Bstr(filterText).b, out->put());
        if (SUCCEEDED(hr)) {
            EXPECT_EQ((*out)->Sort(start.b, boolean(false)), S_OK);
        }
        return hr;
    }
    // The index-th item of a collection, or of a period (0 is the first).
    static ComPtr<_AppointmentItem> nth(_Items* w, size_t index)
    {
        ComPtr<IDispatch> d;
        EXPECT_EQ(w->GetFirst(d.put()), S_OK);
        for (size_t i = 0; i < index && d; ++i) EXPECT_EQ(w->GetNext(d.put()), S_OK);
        return appointment(d.get());
    }
    ComPtr<_AppointmentItem> itemAt(const std::string& filterText, size_t index)
    {
        ComPtr<_Items> w;
        EXPECT_EQ(period(filterText, &w), S_OK);
        return w ? nth(w.get(), index) : nullptr;
    }
    ComPtr<_AppointmentItem> byId(_NameSpace* ns, const std::string& id)
    {
        ComPtr<IDispatch> d;
        EXPECT_EQ(ns->GetItemFromID(Bstr(id).b, missing(), d.put()), S_OK);
        return appointment(d.get());
    }
    struct Row {
        std::string subject;
        DATE start, end;
    };
    std::vector<Row> walk(_Items* it, int* skipped = nullptr)
    {
        std::vector<Row> rows;
        ComPtr<IDispatch> d;
        EXPECT_EQ(it->GetFirst(d.put()), S_OK);
        auto next = [&] { EXPECT_EQ(it->GetNext(d.put()), S_OK); };
        for (; d; next()) {
            ComPtr<_AppointmentItem> a;
            HRESULT hr = d->QueryInterface(IID__AppointmentItem, a.put_void());
            if (hr == E_NOINTERFACE) {
                if (skipped) ++*skipped;
                continue;
            }
            EXPECT_EQ(hr, S_OK);
            if (a)
                rows.push_back({text(a.get(), &_AppointmentItem::get_Subject), get(a.get(), &_AppointmentItem::get_Start),
                                get(a.get(), &_AppointmentItem::get_End)});
        }
        return rows;
    }
    std::vector<Row> listing(const std::string& filterText)
    {
        ComPtr<_Items> r;
        EXPECT_EQ(period(filterText, &r), S_OK);
        return r ? walk(r.get()) : std::vector<Row>{};
    }
    // Subjects (null: any) and start times, in order.
    static void expectRows(const std::vector<Row>& rows, const std::vector<std::pair<const char*, DATE>>& want)
    {
        ASSERT_EQ(rows.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            SCOPED_TRACE(i);
            if (want[i].first) {
                EXPECT_EQ(rows[i].subject, want[i].first);
            }
            EXPECT_DOUBLE_EQ(rows[i].start, want[i].second);
        }
    }
    store::RecordKey add(const char* subject, UtcSeconds s, UtcSeconds e, const char* rrule = "")
    {
        store::Appointment a;
        a.subject = subject, a.start = s, a.end = e, a.zone = "Europe/Berlin", a.rrule = rrule;
        return store_->addAppointment(a);
    }

    TempDir dir_;
    Env env_;
    std::shared_ptr<store::Store> store_;
    ComPtr<_Application> app_;
};

}  // namespace

TEST_F(OutlookTest, PeriodQueryExpandsSeriesInStartOrder)
{
    add("weekly standup", utc(2026, 1, 5, 8), utc(2026, 1, 5, 8, 30), "FREQ=WEEKLY");  // Mondays 09:00 CET
    add("review", utc(2026, 3, 24, 13), utc(2026, 3, 24, 14));
    add("before", utc(2026, 3, 20, 8), utc(2026, 3, 20, 9));
    store_->addOther(store::Folder::Calendar, store::Kind::Note,
                     "BEGIN:VCALENDAR\r\nBEGIN:VJOURNAL\r\nUID:n\r\nDTSTART:20260325T100000Z\r\nSUMMARY:note\r\n"
                     "END:VJOURNAL\r\nEND:VCALENDAR\r\n");
    const std::string f = "[Start] <= \"4/6/2026 23:59\" and [End] >= \"3/23/2026 00:00\"";
    ComPtr<_Items> r;
    // Across the change to summer time (29 March): the standup stays at 09:00 local.
    ASSERT_EQ(period(f, &r), S_OK);
    int skipped = 0;
    expectRows(walk(r.get(), &skipped), {{"weekly standup", localDate(2026, 3, 23, 9)}, {"review", localDate(2026, 3, 24, 14)},
                                         {nullptr, localDate(2026, 3, 30, 9)}, {nullptr, localDate(2026, 4, 6, 9)}});
    EXPECT_EQ(skipped, 1);  // the note answers E_NOINTERFACE and is passed over
    EXPECT_EQ(get(r.get(), &_Items::get_Count), 5);
    // The original collection is untouched by Restrict; without expansion a series is one item.
    ComPtr<_Items> once;
    ASSERT_EQ(items(olFolderCalendar)->Restrict(Bstr(f).b, once.put()), S_OK);
    skipped = 0;
    auto unexpanded = walk(once.get(), &skipped);
    ASSERT_EQ(unexpanded.size(), 1u);  // the series' first instance lies in January
    EXPECT_EQ(unexpanded[0].subject, "review");
    EXPECT_EQ(skipped, 1);
}

TEST_F(OutlookTest, BoundsTouchingThePeriodMatchAndEmptyPeriodsAreEmpty)
{
    add("ends at start", utc(2026, 6, 1, 7), utc(2026, 6, 1, 8));  // 09:00-10:00 local
    add("starts at end", utc(2026, 6, 1, 16), utc(2026, 6, 1, 17));
    add("spans", utc(2026, 5, 1), utc(2026, 7, 1));
    auto rows = listing("[Start] <= \"6/1/2026 18:00\" and [End] >= \"6/1/2026 10:00\"");
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

TEST_F(OutlookTest, FiltersUseTheUsersDateFormatAndRefuseWhatTheyCannotRead)
{
    add("x", utc(2026, 12, 7, 12), utc(2026, 12, 7, 13));  // 13:00 local
    setRegistry(HKEY_CURRENT_USER, "Control Panel\\International", "sShortDate", u"dd.MM.yyyy");
    EXPECT_EQ(listing("[Start] <= \"07.12.2026 14:05\" and [End] >= \"07.12.2026 13:30\"").size(), 1u);
    // The same text in the American order is now unreadable.
    ComPtr<_Items> r;
    EXPECT_EQ(period("[Start] <= \"12/7/2026 14:05\"", &r), DISP_E_EXCEPTION);
    for (const char* bad : {"[Nope] = 'x'", "[Start] <= \"99.99.2026 10:00\"", "[Start] <=", "garbage"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(period(bad, &r), DISP_E_EXCEPTION);
        ComPtr<IDispatch> d;
        EXPECT_EQ(items(olFolderCalendar)->Find(Bstr(bad).b, d.put()), DISP_E_EXCEPTION);
    }
    EXPECT_EQ(items(olFolderCalendar)->Sort(Bstr("[Nope]").b, boolean(false)), DISP_E_EXCEPTION);
}

TEST_F(OutlookTest, NewAppointmentSavesAndReadsBack)
{
    auto ns = logon();
    ComPtr<IDispatch> d;
    ASSERT_EQ(app_->CreateItem(olAppointmentItem, d.put()), S_OK);
    EXPECT_EQ(app_->CreateItem(5, d.put()), E_INVALIDARG);
    ASSERT_EQ(app_->CreateItem(olAppointmentItem, d.put()), S_OK);
    auto a = appointment(d.get());
    ASSERT_TRUE(a);
    ComPtr<_ContactItem> notContact;
    EXPECT_EQ(d->QueryInterface(IID__ContactItem, notContact.put_void()), E_NOINTERFACE);
    EXPECT_REF(a.get(), 2);  // d and a
    EXPECT_EQ(text(a.get(), &_AppointmentItem::get_EntryID), "");
    EXPECT_EQ(a->put_Subject(Bstr("Planning \u00e4").b), S_OK);
    EXPECT_EQ(a->put_Start(localDate(2026, 7, 1, 10)), S_OK);
    EXPECT_EQ(a->put_End(localDate(2026, 7, 1, 11, 30)), S_OK);
    EXPECT_EQ(a->put_Location(Bstr("Room 1").b), S_OK);
    EXPECT_EQ(a->put_ReminderMinutesBeforeStart(25), S_OK);
    EXPECT_EQ(a->put_ReminderSet(VARIANT_TRUE), S_OK);
    EXPECT_EQ(a->put_BusyStatus(olOutOfOffice), S_OK);
    EXPECT_EQ(a->put_BusyStatus(7), E_INVALIDARG);
    EXPECT_EQ(a->put_Body(Bstr("line1\nline2").b), S_OK);
    EXPECT_EQ(a->Save(), S_OK);
    const std::string id = text(a.get(), &_AppointmentItem::get_EntryID);
    ASSERT_EQ(id.size(), 48u);

    auto rec = store_->find(id);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->zone, "Europe/Berlin");
    EXPECT_EQ(rec->start, utc(2026, 7, 1, 8));
    EXPECT_EQ(rec->end, utc(2026, 7, 1, 9, 30));

    auto b = byId(ns.get(), id);
    ASSERT_TRUE(b);
    EXPECT_EQ(text(b.get(), &_AppointmentItem::get_Subject), "Planning \u00e4");
    EXPECT_EQ(get(b.get(), &_AppointmentItem::get_ReminderMinutesBeforeStart), 25);
    EXPECT_EQ(get(b.get(), &_AppointmentItem::get_ReminderSet), VARIANT_TRUE);
    EXPECT_EQ(get(b.get(), &_AppointmentItem::get_BusyStatus), olOutOfOffice);
    EXPECT_EQ(get(b.get(), &_AppointmentItem::get_AllDayEvent), VARIANT_FALSE);
    EXPECT_DOUBLE_EQ(get(b.get(), &_AppointmentItem::get_Start), localDate(2026, 7, 1, 10));
    EXPECT_EQ(text(b.get(), &_AppointmentItem::get_Body), "line1\nline2");
    EXPECT_EQ(ns->GetItemFromID(Bstr("00000000FFFF").b, missing(), d.put()), MAPI_E_NOT_FOUND);

    // Delete: later calls on the item fail clearly; the other object sees it gone on its next load.
    EXPECT_EQ(a->Delete(), S_OK);
    Bstr s;
    EXPECT_EQ(a->get_Subject(s.out()), server::kItemDeleted);
    EXPECT_EQ(a->Save(), server::kItemDeleted);
    EXPECT_EQ(a->Delete(), server::kItemDeleted);
    EXPECT_FALSE(store_->find(id));
    EXPECT_EQ(b->Save(), server::kItemDeleted);
}

TEST_F(OutlookTest, UpdatesKeepWhatTheObjectModelDoesNotShowAndAllDayFollowsLocalDays)
{
    store::RecordKey k = store_->addEvent(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:keep\r\nDTSTART;TZID=W. Europe Standard Time:20260707T100000\r\n"
        "DTEND;TZID=W. Europe Standard Time:20260707T110000\r\nSUMMARY:old\r\nX-SECRET:kept\r\n"
        "ATTENDEE;CN=Ann;PARTSTAT=ACCEPTED:mailto:ann@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    auto a = byId(logon().get(), store_->computedEntryId(k));
    ASSERT_TRUE(a);
    a->put_Subject(Bstr("new").b);
    EXPECT_EQ(a->put_AllDayEvent(VARIANT_TRUE), S_OK);
    ASSERT_EQ(a->Save(), S_OK);
    auto rec = store_->get(k);
    for (const char* kept : {"X-SECRET:kept", "PARTSTAT=ACCEPTED", "DTSTART;VALUE=DATE:20260707"})
        EXPECT_NE(rec->data.find(kept), std::string::npos) << kept;
    EXPECT_EQ(rec->start, utc(2026, 7, 6, 22));  // local midnight
    EXPECT_DOUBLE_EQ(get(a.get(), &_AppointmentItem::get_Start), localDate(2026, 7, 7));
    EXPECT_DOUBLE_EQ(get(a.get(), &_AppointmentItem::get_End), localDate(2026, 7, 8));

    // Recipients reach the text through the private interface, at Save.
    std::vector<server::Recipient> list = recipientsOf(a.get());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].address, u"ann@example.com");
    list.push_back({u"Bob", u"bob@example.com", olOptional});
    ASSERT_EQ(query<server::IPimItemAccess>(a.get(), server::IID_IPimItemAccess)->SetRecipients(list), S_OK);
    EXPECT_EQ(store_->get(k)->data.find("bob@example.com"), std::string::npos);
    ASSERT_EQ(a->Save(), S_OK);
    rec = store_->get(k);
    EXPECT_NE(rec->data.find("bob@example.com"), std::string::npos);
    EXPECT_NE(rec->data.find("PARTSTAT=ACCEPTED"), std::string::npos);
}

TEST_F(OutlookTest, OccurrencesSaveAsExceptionsAndDeleteAlone)
{
    add("daily", utc(2026, 2, 2, 8), utc(2026, 2, 2, 9), "FREQ=DAILY;COUNT=5");
    const char* f = "[Start] <= \"2/8/2026 0:00\" and [End] >= \"2/1/2026 0:00\"";
    ComPtr<_Items> r;
    ASSERT_EQ(period(f, &r), S_OK);
    auto second = nth(r.get(), 1);  // the second day
    ASSERT_TRUE(second);
    EXPECT_EQ(get(second.get(), &_AppointmentItem::get_IsRecurring), VARIANT_TRUE);
    second->put_Subject(Bstr("moved").b);
    second->put_Start(localDate(2026, 2, 3, 15));
    ASSERT_EQ(second->Save(), S_OK);
    auto third = nth(r.get(), 2);  // the third day, from the same listing
    ASSERT_TRUE(third);
    ASSERT_EQ(third->Delete(), S_OK);

    auto rows = listing(f);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].subject, "moved");
    EXPECT_DOUBLE_EQ(rows[1].start, localDate(2026, 2, 3, 15));
    EXPECT_DOUBLE_EQ(rows[1].end, localDate(2026, 2, 3, 16));  // the duration moved along
    EXPECT_EQ(rows[2].subject, "daily");
    EXPECT_DOUBLE_EQ(rows[2].start, localDate(2026, 2, 5, 9));
}

TEST_F(OutlookTest, ContactsAreFoundByNameAndListsAreNoContacts)
{
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

    ASSERT_EQ(it->Find(Bstr("[FirstName] = \"Ann\" and [LastName] = \"Smith\"").b, d.put()), S_OK);
    c = query<_ContactItem>(d.get(), IID__ContactItem);
    ASSERT_TRUE(c);
    EXPECT_EQ(text(c.get(), &_ContactItem::get_EntryID), store_->computedEntryId(ann));
    EXPECT_EQ(text(c.get(), &_ContactItem::get_Email1Address), "ann@acme.example");
    EXPECT_EQ(text(c.get(), &_ContactItem::get_CompanyName), "Acme");
    EXPECT_EQ(text(c.get(), &_ContactItem::get_MobileTelephoneNumber), "+49 1");
    ASSERT_EQ(it->Find(Bstr("[FirstName] = \"Nobody\" and [LastName] = \"Smith\"").b, d.put()), S_OK);
    EXPECT_FALSE(d);
    ASSERT_EQ(it->Find(Bstr("[FirstName] = \"Pat\" and [LastName] = \"O\"\"Neil\"").b, d.put()), S_OK);
    EXPECT_TRUE(d);
    // A name with a quote put in unescaped makes an unreadable filter.
    EXPECT_EQ(it->Find(Bstr("[FirstName] = \"Pat\" and [LastName] = \"O\"Neil\"").b, d.put()), DISP_E_EXCEPTION);

    // Changing a contact keeps its other properties.
    ASSERT_EQ(c->put_JobTitle(Bstr("Boss").b), S_OK);
    ASSERT_EQ(c->Save(), S_OK);
    auto rec = store_->get(ann);
    EXPECT_NE(rec->data.find("TITLE:Boss"), std::string::npos);
    EXPECT_NE(rec->data.find("+49 1"), std::string::npos);
}

TEST_F(OutlookTest, LogonFailuresLeaveTheFileAlone)
{
    app_.reset();
    auto attempt = [&](const std::string& path) {
        env_.set("PIM_STORE", path);
        auto app = newApplication();
        ComPtr<_NameSpace> ns;
        app->GetNamespace(Bstr("MAPI").b, ns.put());
        HRESULT hr = ns->Logon(missing(), missing(), missing(), missing());
        ComPtr<MAPIFolder> folder;
        EXPECT_EQ(ns->GetDefaultFolder(olFolderCalendar, folder.put()), hr);
        return hr;
    };
    const std::string text = dir_.str("notes.txt"), other = dir_.str("other.db");
    writeFile(text, std::string(300, 'x'));
    ASSERT_EQ(sql(other, "CREATE TABLE t(x)"), SQLITE_OK);
    auto size = fs::file_size(other);
    EXPECT_EQ(attempt(text), server::kNotAStore);
    EXPECT_EQ(attempt(other), server::kNotAStore);
    EXPECT_EQ(fs::file_size(other), size);
    EXPECT_EQ(attempt(dir_.path().string()), server::kStoreAccessDenied);
    EXPECT_EQ(attempt(dir_.str("missing.db")), server::kStoreMissing);
    EXPECT_FALSE(fs::exists(dir_ / "missing.db"));

    store_.reset();
    sqlite3* holder = nullptr;
    sqlite3_open(storePath().c_str(), &holder);
    ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    env_.set("PIM_STORE_BUSY_TIMEOUT_MS", "100");
    EXPECT_EQ(attempt(storePath()), server::kStoreLocked);
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);

    // Without PIM_STORE: the profile's path, else a default store made on first logon.
    EXPECT_EQ(attempt(""), S_OK);
    EXPECT_TRUE(fs::exists(dir_ / "data" / "pimserver" / "store.db"));
    setRegistry(HKEY_CURRENT_USER, "Software\\PimServer\\Profile", "Store", utf16(text));
    EXPECT_EQ(attempt(""), server::kNotAStore);
}

TEST_F(OutlookTest, FaultPointsFailTheNamedOperationAndCount)
{
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
    ComPtr<IDispatch> d, n;
    EXPECT_EQ(r->GetFirst(d.put()), S_OK);
    ASSERT_TRUE(d);
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

TEST_F(OutlookTest, ReferenceCountsAreRealAndObjectsGoAway)
{
    auto ns = logon();
    EXPECT_REF(ns.get(), 2);  // ours and the application's
    ComPtr<_NameSpace> same;
    ASSERT_EQ(app_->GetNamespace(Bstr("MAPI").b, same.put()), S_OK);
    EXPECT_EQ(same.get(), ns.get());
    EXPECT_REF(ns.get(), 3);
    EXPECT_EQ(app_->GetNamespace(Bstr("XYZ").b, same.put()), E_INVALIDARG);
    ComPtr<MAPIFolder> folder;
    EXPECT_EQ(ns->GetDefaultFolder(3, folder.put()), E_INVALIDARG);
    ASSERT_EQ(ns->GetDefaultFolder(olFolderCalendar, folder.put()), S_OK);
    EXPECT_REF(folder.get(), 1);
    auto unk = query<IUnknown>(folder.get(), IID_IUnknown);
    EXPECT_REF(folder.get(), 2);
    unk.reset();
    EXPECT_EQ(ns->Logoff(), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
}

TEST_F(OutlookTest, RegistrationWritesAndRemovesTheApplicationClass)
{
    const char* key = "CLSID\\{0006F03A-0000-0000-C000-000000000046}";
    ASSERT_EQ(DllRegisterServer(), S_OK);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Outlook.Application", &clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_OutlookApplication));
    const std::string path = utf8(classesDefault(utf16(key) + u"\\LocalServer32"));
    EXPECT_TRUE(fs::exists(path)) << path;
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_NE(CLSIDFromProgID(u"Outlook.Application", &clsid), S_OK);
    EXPECT_EQ(classesDefault(utf16(key)), u"<no key>");
    EXPECT_EQ(DllUnregisterServer(), S_OK);  // twice is fine
}

// What an item shows comes from the version listed: a change through another item, an occurrence
// saved on its own and a new entry id all show in the next listing. A year of a daily series with
// no end is answered in full; a century stops at the collection's limit, from its first instance.
TEST_F(OutlookTest, ListingsShowEachStoredVersionAndLongPeriodsStopAtTheLimit)
{
    store::RecordKey k = store_->addEvent(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:daily\r\nDTSTART;TZID=Europe/Berlin:20270101T090000\r\n"
        "DTEND;TZID=Europe/Berlin:20270101T093000\r\nSUMMARY:daily\r\nRRULE:FREQ=DAILY\r\n"
        "ATTENDEE;CN=\"Lima, Ana\";ROLE=OPT-PARTICIPANT:mailto:ana@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    auto rows = listing("[Start] <= \"12/31/2027 23:59\" and [End] >= \"1/1/2027 00:00\"");
    ASSERT_EQ(rows.size(), 365u);
    EXPECT_DOUBLE_EQ(rows.front().start, localDate(2027, 1, 1, 9));
    EXPECT_DOUBLE_EQ(rows.back().start, localDate(2027, 12, 31, 9));
    EXPECT_EQ(rows.back().subject, "daily");

    const std::string week = "[Start] <= \"1/7/2027 23:59\" and [End] >= \"1/1/2027 00:00\"";
    auto subjectAt = [&](size_t i) { return text(itemAt(week, i).get(), &_AppointmentItem::get_Subject); };
    // Recipients of an occurrence, read from the listing.
    auto list = recipientsOf(itemAt(week, 1).get());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, u"Lima, Ana");
    EXPECT_EQ(list[0].type, olOptional);

    auto series = byId(logon().get(), store_->computedEntryId(k));
    ASSERT_TRUE(series);
    ASSERT_EQ(series->put_Subject(Bstr("renamed").b), S_OK);
    ASSERT_EQ(series->Save(), S_OK);
    EXPECT_EQ(subjectAt(0), "renamed");
    auto third = itemAt(week, 2);
    ASSERT_EQ(third->put_Subject(Bstr("moved one").b), S_OK);
    ASSERT_EQ(third->Save(), S_OK);
    EXPECT_EQ(subjectAt(1), "renamed");
    EXPECT_EQ(subjectAt(2), "moved one");
    EXPECT_EQ(subjectAt(3), "renamed");
    store_->setEntryId(k, "MY-OWN-ID");
    EXPECT_EQ(text(itemAt(week, 1).get(), &_AppointmentItem::get_EntryID), "MY-OWN-ID");

    add("evening", utc(2027, 1, 1, 17), utc(2027, 1, 1, 18), "FREQ=DAILY");  // two a day: 73,000 a century
    ComPtr<_Items> century;
    ASSERT_EQ(period("[Start] <= \"12/31/2126 23:59\" and [End] >= \"1/1/2027 00:00\"", &century), S_OK);
    EXPECT_EQ(get(century.get(), &_Items::get_Count), static_cast<LONG>(outlook::Items::kMaxOccurrences));
    auto first = nth(century.get(), 0);
    ASSERT_TRUE(first);
    EXPECT_DOUBLE_EQ(get(first.get(), &_AppointmentItem::get_Start), localDate(2027, 1, 1, 9));
}

// A second process lists from what the first derived and kept in the file: the same subjects,
// times and recipients; a change made after that is what it shows, never the kept version.
TEST_F(OutlookTest, AnotherProcessListsWhatTheFirstKeptAndNeverAnOlderVersion)
{
    store::RecordKey k = store_->addEvent(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:weekly\r\nDTSTART;TZID=Europe/Berlin:20270104T090000\r\n"
        "DTEND;TZID=Europe/Berlin:20270104T093000\r\nSUMMARY:Weekly\r\nLOCATION:Room 1\r\nRRULE:FREQ=WEEKLY\r\n"
        "ATTENDEE;CN=\"Lima, Ana\";ROLE=OPT-PARTICIPANT:mailto:ana@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    add("single", utc(2027, 1, 5, 10), utc(2027, 1, 5, 11));
    const std::string week = "[Start] <= \"1/10/2027 23:59\" and [End] >= \"1/4/2027 00:00\"";
    auto first = listing(week);
    ASSERT_EQ(first.size(), 2u);
    // The first process ends: what it derived reaches the file.
    reopen([&] {
        auto later = store::Store::open(storePath());
        uint64_t version = later->get(k)->version;
        EXPECT_TRUE(later->derived(k, version, INT64_MIN));
        EXPECT_TRUE(later->derived(k, version, store::Store::kSeriesSlot));
    });
    auto second = listing(week);
    ASSERT_EQ(second.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(second[i].subject, first[i].subject);
        EXPECT_DOUBLE_EQ(second[i].start, first[i].start);
        EXPECT_DOUBLE_EQ(second[i].end, first[i].end);
    }
    auto a = itemAt(week, 0);
    auto list = recipientsOf(a.get());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, u"Lima, Ana");
    EXPECT_EQ(list[0].address, u"ana@example.com");
    EXPECT_EQ(list[0].type, olOptional);
    EXPECT_EQ(text(a.get(), &_AppointmentItem::get_Location), "Room 1");
    // Another process renames the series: both listings show the new name at once.
    {
        auto other = store::Store::open(storePath());
        std::string text = other->get(k)->data;
        text.replace(text.find("SUMMARY:Weekly"), 14, "SUMMARY:Renamed");
        other->updateEvent(k, text);
    }
    auto third = listing(week);
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
    const std::string weeks = "[Start] <= \"1/20/2027 23:59\" and [End] >= \"1/1/2027 00:00\"";
    // What a reader derives from the stored text, with nothing kept: the listing reads every view.
    auto readerDerives = [&] {
        reopen();
        EXPECT_EQ(sql(storePath(), "DELETE FROM item_derived"), SQLITE_OK);
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

// A view read from the bytes kept in the file answers every getter as the view parsed from the
// text does; kept bytes that are cut short are not used.
TEST_F(OutlookTest, KeptViewAnswersEveryGetterAsTheTextDoes)
{
    store::RecordKey k = store_->addEvent(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:full\r\nDTSTART;TZID=Europe/Berlin:20270104T090000\r\n"
        "DTEND;TZID=Europe/Berlin:20270104T093000\r\nSUMMARY:R\xC3\xBC""ckblick\r\nLOCATION:Raum 7\r\n"
        "DESCRIPTION:Zeile eins\\nZeile zwei\r\nX-MICROSOFT-CDO-BUSYSTATUS:OOF\r\n"
        "ORGANIZER;CN=Eva:mailto:eva@example.com\r\n"
        "ATTENDEE;CN=\"Lima, Ana\";ROLE=OPT-PARTICIPANT:mailto:ana@example.com\r\n"
        "ATTENDEE;CN=Ben Okafor:mailto:ben@example.com\r\n"
        "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT10M\r\nEND:VALARM\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    const std::string week = "[Start] <= \"1/10/2027 23:59\" and [End] >= \"1/4/2027 00:00\"";
    struct Seen {
        std::string subject, location, body, entryId;
        VARIANT_BOOL allDay, reminder;
        LONG minutes, busy;
        std::vector<server::Recipient> recipients;
    };
    auto seen = [&] {
        auto a = itemAt(week, 0);
        EXPECT_TRUE(a);
        Seen s{};
        if (!a) return s;
        s.subject = text(a.get(), &_AppointmentItem::get_Subject);
        s.location = text(a.get(), &_AppointmentItem::get_Location);
        s.body = text(a.get(), &_AppointmentItem::get_Body);
        s.entryId = text(a.get(), &_AppointmentItem::get_EntryID);
        s.allDay = get(a.get(), &_AppointmentItem::get_AllDayEvent);
        s.reminder = get(a.get(), &_AppointmentItem::get_ReminderSet);
        s.minutes = get(a.get(), &_AppointmentItem::get_ReminderMinutesBeforeStart);
        s.busy = get(a.get(), &_AppointmentItem::get_BusyStatus);
        s.recipients = recipientsOf(a.get());
        return s;
    };
    auto rewriteKept = [&](const char* sql, const std::string* bytes) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(storePath().c_str(), &raw), SQLITE_OK);
        sqlite3_stmt* q = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(raw, sql, -1, &q, nullptr), SQLITE_OK);
        if (bytes) sqlite3_bind_blob(q, 1, bytes->data(), static_cast<int>(bytes->size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(q, 2, k);
        EXPECT_EQ(sqlite3_step(q), SQLITE_DONE);
        sqlite3_finalize(q);
        sqlite3_close(raw);
    };
    const uint64_t version = store_->get(k)->version;
    const std::optional<std::string> kept = store_->derived(k, version, INT64_MIN);
    ASSERT_TRUE(kept && kept->size() > 8);

    reopen();
    const Seen fromKept = seen();
    reopen();
    rewriteKept("DELETE FROM item_derived WHERE key = ?2", nullptr);
    reopen();
    const Seen fromText = seen();
    // The row again, holding the master's view without its last bytes.
    std::string cut = *kept;
    cut.resize(cut.size() - 3);
    store::bytes::Writer w;
    w.num<uint32_t>(1).num<int64_t>(INT64_MIN).text(std::string_view(cut));
    const std::string row = w.take();
    reopen();
    rewriteKept("UPDATE item_derived SET bytes = ?1 WHERE key = ?2", &row);
    reopen();
    EXPECT_EQ(store_->derived(k, version, INT64_MIN), cut) << "the damaged bytes are what the file keeps";
    const Seen fromCut = seen();

    for (const Seen* s : {&fromKept, &fromText, &fromCut}) {
        SCOPED_TRACE(s == &fromKept ? "kept" : s == &fromText ? "text" : "cut short");
        EXPECT_EQ(s->subject, "R\xC3\xBC""ckblick");
        EXPECT_EQ(s->location, "Raum 7");
        EXPECT_EQ(s->body, "Zeile eins\nZeile zwei");
        EXPECT_EQ(s->entryId, store_->get(k)->entryId);
        EXPECT_EQ(s->allDay, VARIANT_FALSE);
        EXPECT_EQ(s->reminder, VARIANT_TRUE);
        EXPECT_EQ(s->minutes, 10);
        EXPECT_EQ(s->busy, olOutOfOffice);
        ASSERT_EQ(s->recipients.size(), 3u);
        const server::Recipient expected[] = {{u"Eva", u"eva@example.com", olOrganizer},
                                              {u"Lima, Ana", u"ana@example.com", olOptional},
                                              {u"Ben Okafor", u"ben@example.com", olRequired}};
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(s->recipients[i].name, expected[i].name) << i;
            EXPECT_EQ(s->recipients[i].address, expected[i].address) << i;
            EXPECT_EQ(s->recipients[i].type, expected[i].type) << i;
        }
    }
}
