// A Windows host of the component, as any host would be: it knows only the contract header and
// reaches the component through the registry with CoCreateInstance.
//
//   pim_winhost e2e OUTDIR KEY   log on, add an appointment with attendees, list a weekly series
//                                across a clock change, find a contact by name and key, export it
//   pim_winhost noserver         the PIM application is not registered: Logon says so
//   pim_winhost unregistered     the component itself is not registered
//
// Exit 0 when everything came out as expected, 1 otherwise (each failure names what went wrong).
#include <VYN_PIM_OUTLOOK.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Fail(const char* what, HRESULT hr = S_OK, long result = -1) {
  ++g_failures;
  fprintf(stderr, "pim_winhost: FAILED %s", what);
  if (hr != S_OK) fprintf(stderr, " (HRESULT 0x%08lX)", static_cast<unsigned long>(hr));
  if (result >= 0) fprintf(stderr, " (result %ld)", result);
  fprintf(stderr, "\n");
}

void Ok(const char* what) { printf("ok   %s\n", what); }

bool Check(bool cond, const char* what, HRESULT hr = S_OK, long result = -1) {
  if (cond) Ok(what);
  else Fail(what, hr, result);
  return cond;
}

template <class T>
class Ptr {
 public:
  Ptr() = default;
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() { reset(); }
  T** put() {
    reset();
    return &p_;
  }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(const wchar_t* s = nullptr) : b_(s ? SysAllocString(s) : nullptr) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }
  BSTR get() const { return b_; }
  BSTR* put() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::wstring str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

 private:
  BSTR b_;
};

DATE Utc(int y, int mo, int d, int h, int mi) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(mo);
  st.wDay = static_cast<WORD>(d);
  st.wHour = static_cast<WORD>(h);
  st.wMinute = static_cast<WORD>(mi);
  DATE date = 0;
  SystemTimeToVariantTime(&st, &date);
  return date;
}

std::string Show(DATE date) {
  SYSTEMTIME st{};
  VariantTimeToSystemTime(date, &st);
  char buf[32];
  snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute);
  return buf;
}

// A minute's difference is the least a wrong zone rule would move a time.
bool Same(DATE a, DATE b) { return a - b < 30.0 / 86400.0 && b - a < 30.0 / 86400.0; }

std::string Slurp(const std::wstring& path) {
  std::string out;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  CloseHandle(h);
  return out;
}

// The PIM application's class, which the component activates as a local server.
const CLSID CLSID_PimApplication = {0x0006F03A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// This process plays the one the PIM application runs in. The PIM server is an in-process DLL here,
// so the host takes its class object from the DLL and publishes it for CLSCTX_LOCAL_SERVER, as a
// running application publishes its class; COM serves a local-server request from the table of
// published class objects before it looks at the registry. Only the component's own process
// (this one) sees the publication: no other process could reach the object model.
class PublishedApplication {
 public:
  PublishedApplication() = default;
  PublishedApplication(const PublishedApplication&) = delete;
  PublishedApplication& operator=(const PublishedApplication&) = delete;
  ~PublishedApplication() { Revoke(); }

  // S_OK when published; the failure otherwise (REGDB_E_CLASSNOTREG: nothing to publish).
  HRESULT Publish() {
    HRESULT hr = CoGetClassObject(CLSID_PimApplication, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory_.put()));
    if (FAILED(hr)) return hr;
    hr = CoRegisterClassObject(CLSID_PimApplication, factory_.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                               &cookie_);
    if (FAILED(hr)) {
      cookie_ = 0;
      factory_.reset();
    }
    return hr;
  }

  // Whether a local-server request now yields the published object itself (no proxy, no registry).
  bool ServedFromTable() const {
    if (!factory_) return false;
    Ptr<IUnknown> served, ours, theirs;
    if (FAILED(CoGetClassObject(CLSID_PimApplication, CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown,
                                reinterpret_cast<void**>(served.put()))))
      return false;
    factory_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ours.put()));
    served->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(theirs.put()));
    return ours && ours.get() == theirs.get();
  }

  HRESULT Revoke() {
    HRESULT hr = S_OK;
    if (cookie_) hr = CoRevokeClassObject(cookie_);
    cookie_ = 0;
    factory_.reset();
    return hr;
  }

 private:
  Ptr<IClassFactory> factory_;
  DWORD cookie_ = 0;
};

HRESULT CreateAdapter(Ptr<IPimAdapter>& adapter) {
  return CoCreateInstance(CLSID_COutlookPimAdapter, nullptr, CLSCTX_INPROC_SERVER, IID_IPimAdapter,
                          reinterpret_cast<void**>(adapter.put()));
}

struct Occurrence {
  std::wstring subject;
  DATE start;
  DATE end;
};

void Calendar(IPimAdapter* adapter) {
  ICalendarDatabase* cal = nullptr;  // the adapter's reference, not ours
  EPimAdapterResult ar = EPimAdapterResult_ERROR;
  HRESULT hr = adapter->GetCalendarDatabase(&cal, &ar);
  if (!Check(SUCCEEDED(hr) && ar == EPimAdapterResult_SUCCESS && cal, "GetCalendarDatabase", hr, ar)) return;

  // A new appointment with two attendees.
  const DATE start = Utc(2026, 10, 21, 12, 0), end = Utc(2026, 10, 21, 13, 30);
  Ptr<ICalendarEntry> entry;
  ECalendarDatabaseResult cr = ECalendarDatabaseResult_ERROR;
  hr = cal->CreateCalendarEntry(entry.put(), &cr);
  if (!Check(SUCCEEDED(hr) && cr == ECalendarDatabaseResult_SUCCESS && entry, "CreateCalendarEntry", hr, cr)) return;
  entry->put_subject(Bstr(L"Review with K\u00f6nig").get());
  entry->put_location(Bstr(L"Room 4").get());
  entry->put_startTime(start);
  entry->put_endTime(end);
  entry->put_eventType(ECalendarEventType_NORMAL);
  entry->put_status(ECalendarEntryStatus_BUSY);
  entry->put_reminderOn(VARIANT_TRUE);
  entry->put_reminderLeadTimeMinutes(15);
  entry->put_notes(Bstr(L"Agenda: the release").get());
  hr = entry->AddAttendee(Bstr(L"Anna Weber").get(), Bstr(L"anna.weber@example.org").get(), EAttendeeType_REQUIRED);
  Check(SUCCEEDED(hr), "AddAttendee (required)", hr);
  hr = entry->AddAttendee(Bstr(L"Jonas Keller").get(), Bstr(L"jonas.keller@example.org").get(), EAttendeeType_OPTIONAL);
  Check(SUCCEEDED(hr), "AddAttendee (optional)", hr);
  hr = cal->AddCalendarEntry(entry.get(), &cr);
  if (!Check(SUCCEEDED(hr) && cr == ECalendarDatabaseResult_SUCCESS, "AddCalendarEntry", hr, cr)) return;
  VARIANT_BOOL valid = VARIANT_FALSE;
  Bstr id;
  entry->get_entryIdIsValid(&valid);
  entry->get_entryId(id.put());
  Check(valid == VARIANT_TRUE && id.str().size() == 48, "the added appointment has a 48-character entry id");

  // Read back by its id.
  Ptr<ICalendarEntry> again;
  hr = cal->GetCalendarEntryById(id.get(), again.put(), &cr);
  if (Check(SUCCEEDED(hr) && cr == ECalendarDatabaseResult_SUCCESS && again, "GetCalendarEntryById", hr, cr)) {
    Bstr subject, location;
    DATE s = 0, e = 0;
    LONG lead = 0;
    again->get_subject(subject.put());
    again->get_location(location.put());
    again->get_startTime(&s);
    again->get_endTime(&e);
    again->get_reminderLeadTimeMinutes(&lead);
    Check(subject.str() == L"Review with K\u00f6nig" && location.str() == L"Room 4", "subject and location read back");
    Check(Same(s, start) && Same(e, end), ("times read back (" + Show(s) + " to " + Show(e) + ")").c_str());
    Check(lead == 15, "reminder lead time read back");
  }

  // Four weeks over the end of summer time in Europe (25 October 2026): a weekly 09:00 local
  // meeting is 07:00Z before and 08:00Z after.
  Ptr<ICalendarEntryList> list;
  hr = cal->GetCalendarEntriesForPeriod(Utc(2026, 10, 12, 0, 0), Utc(2026, 11, 8, 0, 0), list.put(), &cr);
  if (!Check(SUCCEEDED(hr) && cr == ECalendarDatabaseResult_SUCCESS && list, "GetCalendarEntriesForPeriod", hr, cr))
    return;
  UINT count = 0;
  list->get_numElements(&count);
  Ptr<ICalendarEntryListIterator> it;
  hr = list->GetIterator(it.put());
  if (!Check(SUCCEEDED(hr) && it, "GetIterator", hr)) return;
  std::vector<Occurrence> seen;
  // A new iterator stands before the first element: Next moves onto it.
  for (UINT i = 0; i < count; ++i) {
    VARIANT_BOOL more = VARIANT_FALSE;
    if (FAILED(it->Next(&more)) || more != VARIANT_TRUE) break;
    Ptr<ICalendarEntry> current;
    if (FAILED(it->get_current(current.put())) || !current) break;
    Occurrence o{};
    Bstr subject;
    current->get_subject(subject.put());
    o.subject = subject.str();
    current->get_startTime(&o.start);
    current->get_endTime(&o.end);
    seen.push_back(o);
    printf("     %s  %s  %ls\n", Show(o.start).c_str(), Show(o.end).c_str(), o.subject.c_str());
  }
  VARIANT_BOOL past = VARIANT_TRUE;
  it->Next(&past);
  Check(seen.size() == count && past == VARIANT_FALSE, "the iterator walks every element of the list, then stops");
  const DATE want[] = {Utc(2026, 10, 13, 7, 0), Utc(2026, 10, 20, 7, 0), Utc(2026, 10, 27, 8, 0),
                       Utc(2026, 11, 3, 8, 0)};
  size_t weekly = 0, matched = 0;
  bool added = false;
  for (const Occurrence& o : seen) {
    if (o.subject == L"Weekly sync") {
      for (DATE w : want)
        if (Same(o.start, w) && Same(o.end - o.start, 1.0 / 24.0)) ++matched;
      ++weekly;
    }
    if (o.subject == L"Review with K\u00f6nig" && Same(o.start, start) && Same(o.end, end)) added = true;
  }
  Check(weekly == 4 && matched == 4, "four weekly occurrences, 07:00Z before the clock change and 08:00Z after");
  Check(added, "the added appointment is in the period");
}

void Contacts(IPimAdapter* adapter, const std::wstring& outdir, ULONG key) {
  IContactsDatabase* contacts = nullptr;  // the adapter's reference
  EPimAdapterResult ar = EPimAdapterResult_ERROR;
  HRESULT hr = adapter->GetContactsDatabase(&contacts, &ar);
  if (!Check(SUCCEEDED(hr) && ar == EPimAdapterResult_SUCCESS && contacts, "GetContactsDatabase", hr, ar)) return;

  EContactsDatabaseResult r = EContactsDatabaseResult_ERROR;
  Ptr<IContactEntry> byName;
  hr = contacts->GetContactByName(Bstr(L"Erika").get(), Bstr(L"Mustermann").get(), byName.put(), &r);
  if (!Check(SUCCEEDED(hr) && r == EContactsDatabaseResult_SUCCESS && byName, "GetContactByName", hr, r)) return;

  Ptr<IContactEntry> nobody;
  hr = contacts->GetContactByName(Bstr(L"Nobody").get(), Bstr(L"Known").get(), nobody.put(), &r);
  Check(SUCCEEDED(hr) && r == EContactsDatabaseResult_NO_ITEM_FOUND && !nobody, "an unknown name: no item found", hr, r);

  Ptr<IContactEntry> byKey;
  hr = contacts->GetContactByMagicBytes(key, byKey.put(), &r);
  if (!Check(SUCCEEDED(hr) && r == EContactsDatabaseResult_SUCCESS && byKey, "GetContactByMagicBytes", hr, r)) return;

  const std::wstring vcf = outdir + L"\\erika.vcf", vcfByKey = outdir + L"\\erika-by-key.vcf",
                     msg = outdir + L"\\erika.msg";
  hr = byName->SaveAsVCard(Bstr(vcf.c_str()).get(), EContactFileFormat_VCARD, &r);
  Check(SUCCEEDED(hr) && r == EContactsDatabaseResult_SUCCESS, "SaveAsVCard (vCard)", hr, r);
  hr = byKey->SaveAsVCard(Bstr(vcfByKey.c_str()).get(), EContactFileFormat_VCARD, &r);
  Check(SUCCEEDED(hr) && r == EContactsDatabaseResult_SUCCESS, "SaveAsVCard (vCard, found by key)", hr, r);
  hr = byKey->SaveAsVCard(Bstr(msg.c_str()).get(), EContactFileFormat_MSG, &r);
  Check(SUCCEEDED(hr) && r == EContactsDatabaseResult_SUCCESS, "SaveAsVCard (.msg)", hr, r);

  const std::string card = Slurp(vcf), cardByKey = Slurp(vcfByKey), message = Slurp(msg);
  Check(card.rfind("BEGIN:VCARD", 0) == 0 && card.find("Mustermann") != std::string::npos,
        "the vCard file holds the contact");
  Check(!card.empty() && card == cardByKey, "the contact found by key is the one found by name");
  Check(message.size() >= 512 && message.compare(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0,
        "the .msg file is a compound file");

  // An unwritable place is a failure, not a silent success.
  hr = byName->SaveAsVCard(Bstr((outdir + L"\\no such folder\\x.vcf").c_str()).get(), EContactFileFormat_VCARD, &r);
  Check(SUCCEEDED(hr) && r == EContactsDatabaseResult_SAVE_VCARD_FAILED, "an unwritable path: file not written", hr, r);
}

int EndToEnd(const std::wstring& outdir, ULONG key) {
  PublishedApplication app;
  HRESULT hr = app.Publish();
  if (!Check(SUCCEEDED(hr), "the PIM application's class object published for CLSCTX_LOCAL_SERVER", hr)) return 1;
  if (!Check(app.ServedFromTable(), "a CLSCTX_LOCAL_SERVER request yields the published class object")) return 1;
  Ptr<IPimAdapter> adapter;
  hr = CreateAdapter(adapter);
  if (!Check(SUCCEEDED(hr) && adapter, "CoCreateInstance(CLSID_COutlookPimAdapter)", hr)) return 1;
  Bstr id;
  EPimAdapterResult ar = EPimAdapterResult_ERROR;
  hr = adapter->Logon(id.put(), &ar);
  if (!Check(SUCCEEDED(hr) && ar == EPimAdapterResult_SUCCESS, "Logon", hr, ar)) return 1;
  printf("     logged on as \"%ls\"\n", id.str().c_str());
  Check(!id.str().empty(), "Logon names the logged-on identity");
  Calendar(adapter.get());
  Contacts(adapter.get(), outdir, key);
  hr = adapter->Logoff(&ar);
  Check(SUCCEEDED(hr) && ar == EPimAdapterResult_SUCCESS, "Logoff", hr, ar);
  adapter.reset();
  hr = app.Revoke();
  Check(SUCCEEDED(hr), "the PIM application's class object revoked", hr);
  Ptr<IUnknown> gone;
  hr = CoGetClassObject(CLSID_PimApplication, CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown,
                        reinterpret_cast<void**>(gone.put()));
  Check(FAILED(hr) && !gone, "after revoking, a CLSCTX_LOCAL_SERVER request finds no class object", hr);
  CoFreeUnusedLibraries();
  return g_failures == 0 ? 0 : 1;
}

int NoServer() {
  // The same step as end to end: with the PIM server unregistered there is nothing to publish.
  PublishedApplication app;
  HRESULT hr = app.Publish();
  if (!Check(hr == REGDB_E_CLASSNOTREG, "the PIM application's class is not registered: nothing published", hr))
    return 1;
  Ptr<IPimAdapter> adapter;
  hr = CreateAdapter(adapter);
  if (!Check(SUCCEEDED(hr) && adapter, "CoCreateInstance(CLSID_COutlookPimAdapter)", hr)) return 1;
  Bstr id(L"untouched");
  BSTR raw = id.get();
  EPimAdapterResult ar = EPimAdapterResult_ERROR;
  hr = adapter->Logon(&raw, &ar);
  if (Check(SUCCEEDED(hr) && ar == EPimAdapterResult_LIBRARY_NOT_FOUND, "Logon without the PIM application", hr, ar))
    printf("     the adapter reports: application not found\n");
  Check(raw == id.get() && id.str() == L"untouched", "Logon leaves the identity untouched");
  VARIANT_BOOL available = VARIANT_TRUE;
  EPimDatabaseVersion version = EPimDatabaseVersion_OUTLOOK_2000;
  hr = adapter->CheckForPimDatabase(EPimDatabase_CALENDAR, &version, &available);
  Check(SUCCEEDED(hr) && available == VARIANT_FALSE, "CheckForPimDatabase: not available", hr);
  return g_failures == 0 ? 0 : 1;
}

int Unregistered() {
  Ptr<IPimAdapter> adapter;
  HRESULT hr = CreateAdapter(adapter);
  Check(hr == REGDB_E_CLASSNOTREG && !adapter, "CoCreateInstance: class not registered", hr);
  return g_failures == 0 ? 0 : 1;
}

int Usage() {
  fprintf(stderr, "usage: pim_winhost e2e OUTDIR KEY | noserver | unregistered\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) return Usage();
  const std::wstring mode = argv[1];
  if (mode == L"e2e" && argc != 4) return Usage();
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    fprintf(stderr, "pim_winhost: CoInitializeEx failed (HRESULT 0x%08lX)\n", static_cast<unsigned long>(hr));
    return 1;
  }
  int rc;
  if (mode == L"e2e") {
    wchar_t* end = nullptr;
    unsigned long key = wcstoul(argv[3], &end, 0);
    rc = (end == argv[3] || *end) ? Usage() : EndToEnd(argv[2], static_cast<ULONG>(key));
  } else if (mode == L"noserver") {
    rc = NoServer();
  } else if (mode == L"unregistered") {
    rc = Unregistered();
  } else {
    rc = Usage();
  }
  CoUninitialize();
  if (rc == 1) fprintf(stderr, "pim_winhost %ls: %d check(s) failed\n", mode.c_str(), g_failures);
  return rc;
}
