// Drives pimserver.dll through Windows' COM runtime (Wine's ole32): activation
// by CLSID from the registry, log-on to a store in a temporary folder, an
// appointment written and read back with a recipient, a weekly series across a
// daylight-saving change, a contact found and saved as vCard and .msg, the current user's name.
// Registration is the caller's (run-wine-test.sh uses regsvr32). Exit 0 when
// every check passed; each failure is printed.
#include <Outlook.h>
#include <Redemption.h>

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
#define SECURITY_WIN32
#include <lmcons.h>
#include <secext.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "store.h"
#include "zone.h"

namespace {

int g_failures = 0;

#define CHECK(cond, ...)                                              \
    do {                                                              \
        if (!(cond)) {                                                \
            ++g_failures;                                             \
            std::printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond); \
            std::printf(__VA_ARGS__);                                 \
            std::printf("\n");                                        \
        }                                                             \
    } while (0)
#define CHECK_HR(expr)                                                         \
    do {                                                                       \
        const HRESULT hr_ = (expr);                                            \
        CHECK(SUCCEEDED(hr_), "HRESULT 0x%08lX", static_cast<unsigned long>(hr_)); \
        if (FAILED(hr_)) return;                                               \
    } while (0)

template <class T>
struct Ptr {
    T* p = nullptr;
    ~Ptr() { reset(); }
    void reset() {
        if (p) p->Release();
        p = nullptr;
    }
    T** put() {
        reset();
        return &p;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

struct Bstr {
    BSTR b = nullptr;
    Bstr() = default;
    explicit Bstr(const wchar_t* s) : b(SysAllocString(s)) {}
    ~Bstr() { SysFreeString(b); }
    BSTR* put() {
        SysFreeString(b);
        b = nullptr;
        return &b;
    }
    std::wstring str() const { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }
};

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

VARIANT missing() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

DATE localDate(int y, int m, int d, int h, int min) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(min);
    DATE date = 0;
    SystemTimeToVariantTime(&st, &date);
    return date;
}

SYSTEMTIME fields(DATE d) {
    SYSTEMTIME st{};
    VariantTimeToSystemTime(d, &st);
    return st;
}

// A filter date as the user's short date and a 24-hour time, as the adapter writes it.
std::wstring filterDate(int y, int m, int d) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    char buf[64] = {};
    GetDateFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, buf, sizeof buf);
    return wide(buf) + L" 00:00";
}

std::string g_dir;

void seedWeeklySeries(const std::string& storePath) {
    // Mondays 09:00 in Berlin, across the change of 29 March 2026.
    const char* ics =
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//pimserver wine test//EN\r\n"
        "BEGIN:VEVENT\r\nUID:weekly-wine-check\r\nSUMMARY:Weekly\r\n"
        "DTSTART;TZID=Europe/Berlin:20260316T090000\r\nDTEND;TZID=Europe/Berlin:20260316T100000\r\n"
        "RRULE:FREQ=WEEKLY;COUNT=4\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    try {
        auto store = pim::store::Store::open(storePath, pim::store::Store::Options{true, 10000});
        auto result = store->importIcs(ics);
        CHECK(result.imported == 1, "imported %u", static_cast<unsigned>(result.imported));
        // A vCard 2.1 in Latin-1 goes through the character-set conversion of the Windows build.
        const auto key = store->addContact(
            "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller;J=FCrgen\r\n"
            "FN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:J=FCrgen M=FCller\r\n"
            "N;CHARSET=KOI8-R:\xF0\xC5\xD4\xD2\xCF\xD7\r\nEND:VCARD\r\n");
        auto fields = store->contactFields(key);
        CHECK(fields && fields->lastName == "M\xC3\xBCller" && fields->firstName == "J\xC3\xBCrgen", "Latin-1 names: %s %s",
              fields ? fields->firstName.c_str() : "-", fields ? fields->lastName.c_str() : "-");
    } catch (const std::exception& e) {
        CHECK(false, "store: %s", e.what());
    }
}

void checkZones() {
    // Wine takes the zone from TZ (Europe/Berlin, set by the runner) and names it as Windows does.
    // Wine names the first Windows zone with Berlin's rules; any such zone will do.
    const std::string local = pim::store::zone::local();
    for (pim::store::UtcSeconds t : {1767225600LL, 1783036800LL})  // 2026-01-01, 2026-07-03
        CHECK(pim::store::zone::toWall(local, t) == pim::store::zone::toWall("Europe/Berlin", t), "local zone %s",
              local.c_str());
    CHECK(pim::store::zone::resolve("W. Europe Standard Time") == "Europe/Berlin", "Windows name");
    pim::store::WallTime w{2026, 3, 29, 2, 30, 0};  // skipped by the change: one hour forward
    const auto utc = pim::store::zone::toUtc("Europe/Berlin", w);
    CHECK(utc == 1774747800, "skipped wall time -> %lld", static_cast<long long>(utc));
    pim::store::WallTime r{2026, 10, 25, 2, 30, 0};  // repeated: the first one (summer time)
    CHECK(pim::store::zone::toUtc("Europe/Berlin", r) == 1792888200, "repeated wall time");
    CHECK(pim::store::zone::toWall("America/New_York", 1774747800).hour == 21, "New York wall time");
}

void checkApplication() {
    Ptr<_Application> app;
    // The object model is an in-process server here (see run-wine-test.sh).
    CHECK_HR(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_INPROC_SERVER, IID__Application, app.putVoid()));
    Ptr<_NameSpace> ns;
    Bstr mapi(L"MAPI");
    CHECK_HR(app->GetNamespace(mapi.b, ns.put()));
    CHECK_HR(ns->Logon(missing(), missing(), missing(), missing()));
    Ptr<MAPIFolder> calendar;
    CHECK_HR(ns->GetDefaultFolder(olFolderCalendar, calendar.put()));

    // A contact, for the appointment's recipient to resolve to.
    {
        Ptr<IDispatch> citem;
        CHECK_HR(app->CreateItem(olContactItem, citem.put()));
        Ptr<_ContactItem> contact;
        CHECK_HR(citem->QueryInterface(IID__ContactItem, contact.putVoid()));
        Bstr first(L"Grace"), last(L"Hopper"), mail(L"grace@example.org");
        CHECK_HR(contact->put_FirstName(first.b));
        CHECK_HR(contact->put_LastName(last.b));
        CHECK_HR(contact->put_Email1Address(mail.b));
        CHECK_HR(contact->Save());
    }

    // An appointment, written and read back by its entry id.
    Ptr<IDispatch> item;
    CHECK_HR(app->CreateItem(olAppointmentItem, item.put()));
    Ptr<_AppointmentItem> appt;
    CHECK_HR(item->QueryInterface(IID__AppointmentItem, appt.putVoid()));
    Bstr subject(L"Review \u00e9t\u00e9");
    const DATE start = localDate(2026, 12, 7, 14, 0), end = localDate(2026, 12, 7, 15, 30);
    CHECK_HR(appt->put_Subject(subject.b));
    CHECK_HR(appt->put_Start(start));
    CHECK_HR(appt->put_End(end));
    {
        Ptr<ISafeAppointmentItem> safe;
        CHECK_HR(CoCreateInstance(CLSID_SafeAppointmentItem, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeAppointmentItem,
                                  safe.putVoid()));
        CHECK_HR(safe->put_Item(appt.p));
        Ptr<ISafeRecipients> recipients;
        CHECK_HR(safe->get_Recipients(recipients.put()));
        Ptr<ISafeRecipient> r;
        Bstr who(L"grace@example.org");
        CHECK_HR(recipients->Add(who.b, r.put()));
        CHECK(r, "Add gave no recipient");
        if (!r) return;
        CHECK_HR(r->put_Type(olRequired));
        VARIANT_BOOL resolved = VARIANT_FALSE;
        CHECK_HR(r->Resolve(VARIANT_FALSE, &resolved));
        CHECK(resolved == VARIANT_TRUE, "grace@example.org not resolved");
    }
    CHECK_HR(appt->Save());
    Bstr id;
    CHECK_HR(appt->get_EntryID(id.put()));
    CHECK(id.str().size() == 48, "entry id %ls", id.str().c_str());

    Ptr<IDispatch> again;
    VARIANT noStore = missing();
    CHECK_HR(ns->GetItemFromID(id.b, noStore, again.put()));
    Ptr<_AppointmentItem> back;
    CHECK_HR(again->QueryInterface(IID__AppointmentItem, back.putVoid()));
    Bstr backSubject;
    DATE backStart = 0;
    CHECK_HR(back->get_Subject(backSubject.put()));
    CHECK_HR(back->get_Start(&backStart));
    CHECK(backSubject.str() == subject.str(), "subject %ls", backSubject.str().c_str());
    CHECK(std::fabs(backStart - start) < 1.0 / 86400, "start %f, wrote %f", backStart, start);
    {
        Ptr<ISafeAppointmentItem> safe;
        CHECK_HR(CoCreateInstance(CLSID_SafeAppointmentItem, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeAppointmentItem,
                                  safe.putVoid()));
        CHECK_HR(safe->put_Item(back.p));
        Ptr<ISafeRecipients> recipients;
        CHECK_HR(safe->get_Recipients(recipients.put()));
        LONG count = 0;
        CHECK_HR(recipients->get_Count(&count));
        CHECK(count == 1, "recipients %ld", static_cast<long>(count));
        if (count == 1) {
            Ptr<ISafeRecipient> r;
            CHECK_HR(recipients->Item(1, r.put()));
            Bstr address;
            LONG type = -1;
            CHECK_HR(r->get_Address(address.put()));
            CHECK_HR(r->get_Type(&type));
            CHECK(address.str() == L"grace@example.org", "address %ls", address.str().c_str());
            CHECK(type == olRequired, "type %ld", static_cast<long>(type));
        }
    }

    // The weekly series: four Mondays at 09:00 local time, before and after the change.
    Ptr<_Items> all;
    CHECK_HR(calendar->get_Items(all.put()));
    Bstr byStart(L"[Start]");
    VARIANT ascending;
    VariantInit(&ascending);
    ascending.vt = VT_BOOL;
    ascending.boolVal = VARIANT_FALSE;
    CHECK_HR(all->Sort(byStart.b, ascending));
    CHECK_HR(all->put_IncludeRecurrences(VARIANT_TRUE));
    Bstr filter((L"[Start] < '" + filterDate(2026, 4, 14) + L"' AND [End] > '" + filterDate(2026, 3, 15) + L"'").c_str());
    Ptr<_Items> period;
    CHECK_HR(all->Restrict(filter.b, period.put()));
    std::vector<DATE> starts;
    Ptr<IDispatch> it;
    CHECK_HR(period->GetFirst(it.put()));
    while (it) {
        Ptr<_AppointmentItem> occ;
        if (SUCCEEDED(it->QueryInterface(IID__AppointmentItem, occ.putVoid()))) {
            DATE s = 0;
            if (SUCCEEDED(occ->get_Start(&s))) starts.push_back(s);
        }
        CHECK_HR(period->GetNext(it.put()));
    }
    CHECK(starts.size() == 4, "%u occurrences for filter %ls", static_cast<unsigned>(starts.size()), filter.str().c_str());
    for (size_t i = 0; i < starts.size(); ++i) {
        SYSTEMTIME st = fields(starts[i]);
        CHECK(st.wHour == 9 && st.wMinute == 0 && st.wDayOfWeek == 1, "occurrence %u at %04u-%02u-%02u %02u:%02u",
              static_cast<unsigned>(i), st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute);
    }

    // The contact of the start, found by name and saved through the safe contact.
    Ptr<MAPIFolder> contacts;
    CHECK_HR(ns->GetDefaultFolder(olFolderContacts, contacts.put()));
    Ptr<_Items> people;
    CHECK_HR(contacts->get_Items(people.put()));
    Bstr byName(L"[FirstName] = 'Grace' and [LastName] = 'Hopper'");
    Ptr<IDispatch> found;
    CHECK_HR(people->Find(byName.b, found.put()));
    CHECK(found, "contact not found");
    if (!found) return;
    Ptr<ISafeContactItem> safeContact;
    CHECK_HR(CoCreateInstance(CLSID_SafeContactItem, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeContactItem,
                              safeContact.putVoid()));
    CHECK_HR(safeContact->put_Item(found.p));
    for (int type : {static_cast<int>(olVCard), static_cast<int>(olMSG)}) {
        const std::string path = g_dir + (type == olVCard ? "\\grace hopper.vcf" : "\\grace hopper.msg");
        Bstr bpath(wide(path).c_str());
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = type;
        CHECK_HR(safeContact->SaveAs(bpath.b, v));
        std::ifstream in(path, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (type == olVCard)
            CHECK(data.find("BEGIN:VCARD") == 0 && data.find("Hopper") != std::string::npos, "vCard: %s", data.c_str());
        else
            CHECK(data.size() > 512 && data.compare(0, 4, "\xD0\xCF\x11\xE0") == 0, ".msg of %u bytes",
                  static_cast<unsigned>(data.size()));
    }
    // A path that cannot be written is a failure, not a silent success.
    Bstr bad(L"Z:\\no such folder\\x.vcf");
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = olVCard;
    CHECK(FAILED(safeContact->SaveAs(bad.b, v)), "SaveAs to a missing folder succeeded");

    Ptr<ISafeCurrentUser> user;
    CHECK_HR(CoCreateInstance(CLSID_SafeCurrentUser, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeCurrentUser, user.putVoid()));
    Bstr name;
    CHECK_HR(user->get_Name(name.put()));
    // No profile UserName here: the account's display name, else (Wine has none) its logon name.
    wchar_t display[512] = {}, logon[UNLEN + 1] = {};
    ULONG displaySize = 512;
    DWORD logonSize = UNLEN + 1;
    const bool hasDisplay = GetUserNameExW(NameDisplay, display, &displaySize) && displaySize > 0;
    CHECK(GetUserNameW(logon, &logonSize), "GetUserNameW");
    const std::wstring expected = hasDisplay ? std::wstring(display, displaySize) : std::wstring(logon);
    CHECK(!name.str().empty() && name.str() == expected, "the current user is \"%ls\", the account \"%ls\"",
          name.str().c_str(), expected.c_str());
    std::printf("current user: %ls\n", name.str().c_str());
    CHECK_HR(ns->Logoff());
}

}  // namespace

int main() {
    // Wine hands the Unix TZ (an Olson name) to Windows programs, where the C
    // runtime would misread it; Windows' own zone is what a Windows program uses.
    _putenv("TZ=");
    _tzset();

    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    // Wine reuses process ids from run to run: the tick count keeps each run's store its own.
    g_dir = std::string(tmp) + "pimserver-wine-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(GetTickCount());
    CreateDirectoryA(g_dir.c_str(), nullptr);
    const std::string store = g_dir + "\\store.db";
    _putenv(("PIM_STORE=" + store).c_str());

    checkZones();
    seedWeeklySeries(store);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        std::printf("FAIL CoInitializeEx 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    // In-process only: a CLSCTX_LOCAL_SERVER request would have Wine start a surrogate
    // (dllhost.exe) that outlives the test; the end-to-end host covers that activation.
    checkApplication();
    CoUninitialize();
    std::printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "passed", g_failures);
    // A failed run leaves its store to look at.
    std::error_code ignored;
    if (!g_failures) std::filesystem::remove_all(g_dir, ignored);
    else std::printf("store and files kept in %s\n", g_dir.c_str());
    return g_failures ? 1 : 0;
}
