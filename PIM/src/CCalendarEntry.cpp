#include "CCalendarEntry.h"

#include <new>

#include <ComPtr.h>
#include <QLT.h>
#include <Redemption.h>

#include "Trace.h"

static const char kTraceFile[] = "PIM/src/CCalendarEntry";
static const char kTraceClass[] = "CCalendarEntry.cpp";

// ---- the module's set of live entries ---------------------------------------------------------
//
// The database is handed ICalendarEntry pointers by the host and must not take a foreign object
// for one of ours; asking the object itself would mean answering an interface it must not answer.
// So every entry registers itself while it lives, and the database looks pointers up here.

namespace {

class CLiveEntries {
 public:
  CLiveEntries() { InitializeCriticalSection(&m_cs); }
  ~CLiveEntries() { DeleteCriticalSection(&m_cs); }
  CRITICAL_SECTION m_cs;
  CCalendarEntry* m_pFirst = nullptr;
};

CLiveEntries& LiveEntries() {
  static CLiveEntries s_live;
  return s_live;
}

// Text compare up to the terminating NUL; null reads as the empty text.
bool SameText(const OLECHAR* a, const OLECHAR* b) {
  static const OLECHAR kEmpty[] = {0};
  if (a == nullptr) a = kEmpty;
  if (b == nullptr) b = kEmpty;
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// The setters' copy: the whole BSTR by its length, embedded NULs included; null gives "".
void CopyByLength(BSTR* field, BSTR value) {
  SysFreeString(*field);
  *field = nullptr;
  *field = SysAllocStringLen(value, SysStringLen(value));
}

}  // namespace

CCalendarEntry* CCalendarEntry::FromInterface(ICalendarEntry* pEntry) {
  if (pEntry == nullptr) return nullptr;
  CLiveEntries& live = LiveEntries();
  CCalendarEntry* found = nullptr;
  EnterCriticalSection(&live.m_cs);
  for (CCalendarEntry* p = live.m_pFirst; p != nullptr; p = p->m_pNextLive) {
    if (static_cast<ICalendarEntry*>(p) == pEntry) {
      found = p;
      break;
    }
  }
  LeaveCriticalSection(&live.m_cs);
  return found;
}

// ---- construction and destruction ------------------------------------------------------------

CCalendarEntry::CCalendarEntry()
    : m_pUnkMarshaler(nullptr),
      m_OutlookAppt(nullptr),
      m_subject(nullptr),
      m_startTime(0.0),
      m_endTime(0.0),
      m_location(nullptr),
      m_eventType(ECalendarEventType_INVALID),
      m_reminderOn(0),
      m_reminderLeadTimeMinutes(0),
      m_status(ECalendarEntryStatus_INVALID),
      m_notes(nullptr),
      m_entryIdIsValid(0),
      m_entryId(nullptr),
      m_localUserId(nullptr),
      m_pPrevLive(nullptr),
      m_pNextLive(nullptr) {
  CLiveEntries& live = LiveEntries();
  EnterCriticalSection(&live.m_cs);
  m_pNextLive = live.m_pFirst;
  if (m_pNextLive) m_pNextLive->m_pPrevLive = this;
  live.m_pFirst = this;
  LeaveCriticalSection(&live.m_cs);

  PIM_TRACE("CCalendarEntry", "CCalendarEntry constructor called");
}

CCalendarEntry::~CCalendarEntry() {
  // Leave the set first: from here on the database must not find this entry.
  CLiveEntries& live = LiveEntries();
  EnterCriticalSection(&live.m_cs);
  if (m_pPrevLive)
    m_pPrevLive->m_pNextLive = m_pNextLive;
  else
    live.m_pFirst = m_pNextLive;
  if (m_pNextLive) m_pNextLive->m_pPrevLive = m_pPrevLive;
  m_pPrevLive = m_pNextLive = nullptr;
  LeaveCriticalSection(&live.m_cs);

  PIM_TRACE("~CCalendarEntry", "~CCalendarEntry called");
  SysFreeString(m_subject);
  m_subject = nullptr;
  DeleteAttendeeList();
  if (m_OutlookAppt) {
    ULONG refs = m_OutlookAppt->Release();
    PIM_TRACE("~CCalendarEntry", QLT_CString("called m_OutlookAppt->Release(), refsLeft = ") + (LONG)refs);
    m_OutlookAppt = nullptr;
  }
  SysFreeString(m_localUserId);
  SysFreeString(m_entryId);
  SysFreeString(m_notes);
  SysFreeString(m_location);
}

// ---- ICalendarEntry ------------------------------------------------------------------------

STDMETHODIMP CCalendarEntry::put_subject(BSTR newVal) {
  PIM_TRACE("put_subject", "put_subject called");
  CObjectLock lock(this);
  CopyByLength(&m_subject, newVal);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_subject(BSTR* pSubject) {
  PIM_TRACE("get_subject", "get_subject called");
  if (pSubject == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *pSubject = SysAllocString(m_subject);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::put_startTime(DATE newVal) {
  PIM_TRACE("put_startTime", "put_startTime called.");
  CObjectLock lock(this);
  m_startTime = QLT_CTime::ConvertUTCToLocalTime(newVal, 10);
  PIM_TRACE("put_startTime", QLT_CString("@@@ ConvertUTCToLocalTime returned: ") + m_startTime + " given input of: " + newVal);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_startTime(DATE* pStart) {
  PIM_TRACE("get_startTime", "get_startTime called.");
  if (pStart == nullptr) return E_POINTER;
  CObjectLock lock(this);
  DATE utc = QLT_CTime::ConvertLocalTimeToUTC(m_startTime, 10);
  *pStart = utc;
  PIM_TRACE("get_startTime", QLT_CString("@@@ ConvertLocalTimeToUTC returned: ") + utc + " given input of: " + m_startTime);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::put_endTime(DATE newVal) {
  PIM_TRACE("put_endTime", "put_endTime called.");
  CObjectLock lock(this);
  m_endTime = QLT_CTime::ConvertUTCToLocalTime(newVal, 10);
  PIM_TRACE("put_endTime", QLT_CString("@@@ ConvertUTCToLocalTime returned: ") + m_endTime + " given input of: " + newVal);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_endTime(DATE* pEnd) {
  PIM_TRACE("get_endTime", "get_endTime called.");
  if (pEnd == nullptr) return E_POINTER;
  CObjectLock lock(this);
  DATE utc = QLT_CTime::ConvertLocalTimeToUTC(m_endTime, 10);
  *pEnd = utc;
  PIM_TRACE("get_endTime", QLT_CString("@@@ ConvertLocalTimeToUTC returned: ") + utc + " given input of: " + m_endTime);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::put_location(BSTR newVal) {
  PIM_TRACE("put_location", "put_location called");
  CObjectLock lock(this);
  CopyByLength(&m_location, newVal);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_location(BSTR* pLocation) {
  PIM_TRACE("get_location", "get_location called");
  if (pLocation == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *pLocation = SysAllocString(m_location);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::put_eventType(ECalendarEventType newVal) {
  PIM_TRACE("put_eventType", "put_eventType called");
  CObjectLock lock(this);
  m_eventType = newVal;
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_eventType(ECalendarEventType* pType) {
  PIM_TRACE("get_eventType", "get_eventType called");
  if (pType == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *pType = (ECalendarEventType)m_eventType;
  return S_OK;
}

STDMETHODIMP CCalendarEntry::put_reminderOn(VARIANT_BOOL newVal) {
  PIM_TRACE("put_reminderOn", "put_reminderOn called");
  CObjectLock lock(this);
  m_reminderOn = newVal;
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_reminderOn(VARIANT_BOOL* pbReminderOn) {
  PIM_TRACE("get_reminderOn", "get_reminderOn called");
  if (pbReminderOn == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *pbReminderOn = m_reminderOn;
  return S_OK;
}

STDMETHODIMP CCalendarEntry::put_reminderLeadTimeMinutes(LONG newVal) {
  PIM_TRACE("put_reminderLeadTimeMinutes", "put_reminderLeadTimeMinutes called");
  CObjectLock lock(this);
  m_reminderLeadTimeMinutes = newVal;
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_reminderLeadTimeMinutes(LONG* pLeadTimeMins) {
  PIM_TRACE("get_reminderLeadTimeMinutes", "get_reminderLeadTimeMinutes called");
  if (pLeadTimeMins == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *pLeadTimeMins = m_reminderLeadTimeMinutes;
  return S_OK;
}

STDMETHODIMP CCalendarEntry::put_status(ECalendarEntryStatus newVal) {
  PIM_TRACE("put_status", "put_status called");
  CObjectLock lock(this);
  m_status = newVal;
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_status(ECalendarEntryStatus* pStatus) {
  PIM_TRACE("get_status", "get_status called");
  if (pStatus == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *pStatus = (ECalendarEntryStatus)m_status;
  return S_OK;
}

STDMETHODIMP CCalendarEntry::put_notes(BSTR newVal) {
  PIM_TRACE("put_notes", "put_notes called");
  CObjectLock lock(this);
  CopyByLength(&m_notes, newVal);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_notes(BSTR* pNotes) {
  PIM_TRACE("get_notes", "get_notes called");
  if (pNotes == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *pNotes = SysAllocString(m_notes);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_entryIdIsValid(VARIANT_BOOL* pbEntryIdIsValid) {
  PIM_TRACE("get_entryIdIsValid", "get_entryIdIsValid called");
  if (pbEntryIdIsValid == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *pbEntryIdIsValid = m_entryIdIsValid;
  return S_OK;
}

STDMETHODIMP CCalendarEntry::get_entryId(BSTR* psEntryId) {
  PIM_TRACE("get_entryId", "get_entryId called");
  if (psEntryId == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *psEntryId = SysAllocString(m_entryId);
  return S_OK;
}

STDMETHODIMP CCalendarEntry::AddAttendee(BSTR AttendeeName, BSTR AttendeeEmailAddr, EAttendeeType type) {
  PIM_TRACE("AddAttendee", "AddAttendee called");
  return AppendAttendee(SysAllocString(AttendeeName), SysAllocString(AttendeeEmailAddr), type);
}

namespace {

// What AddAttendee's copy would hold: the same string unless a NUL inside cuts the copy short.
BSTR TakeAsCopy(BSTR s) {
  if (s == nullptr || (int)SysStringLen(s) == lstrlenW(s)) return s;
  BSTR copy = SysAllocString(s);
  SysFreeString(s);
  return copy;
}

}  // namespace

HRESULT CCalendarEntry::AddAttendeeTaking(BSTR name, BSTR emailAddr, LONG type) {
  PIM_TRACE("AddAttendee", "AddAttendee called");
  return AppendAttendee(TakeAsCopy(name), TakeAsCopy(emailAddr), type);
}

HRESULT CCalendarEntry::AppendAttendee(BSTR name, BSTR emailAddr, LONG type) {
  CObjectLock lock(this);
  CAttendee a;
  a.m_name = name;
  a.m_emailAddr = emailAddr;
  a.m_type = type;
  try {
    m_attendees.push_back(a);
  } catch (const std::bad_alloc&) {
    SysFreeString(a.m_name);
    SysFreeString(a.m_emailAddr);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// ---- for the calendar database -------------------------------------------------------------

void CCalendarEntry::SetUnderlyingOutlookAppointment(_AppointmentItem* appt) {
  PIM_TRACE("SetUnderlyingOutlookAppointment", "SetUnderlyingOutlookAppointment called");
  CObjectLock lock(this);
  if (m_OutlookAppt) {
    ULONG refs = m_OutlookAppt->Release();
    PIM_TRACE("SetUnderlyingOutlookAppointment",
              QLT_CString("!!! ERROR !!! m_OutlookAppt != NULL, refsLeft after release: ") + (LONG)refs);
  }
  m_OutlookAppt = appt;
  ULONG refs = m_OutlookAppt->AddRef();
  PIM_TRACE("SetUnderlyingOutlookAppointment", QLT_CString("called m_OutlookAppt->AddRef(), refsLeft = ") + (LONG)refs);
}

void CCalendarEntry::SetLocalUserId(BSTR id) {
  CObjectLock lock(this);
  CopyByLength(&m_localUserId, id);
}

void CCalendarEntry::DeleteAttendeeList() {
  PIM_TRACE("DeleteAttendeeList", "DeleteAttendeeList called");
  for (CAttendee& a : m_attendees) {
    if (a.m_name) SysFreeString(a.m_name);
    a.m_name = nullptr;
    if (a.m_emailAddr) SysFreeString(a.m_emailAddr);
    a.m_emailAddr = nullptr;
  }
  m_attendees.clear();
}

LONG CCalendarEntry::EntryStatusFromOlStatus(LONG olStatus) {
  PIM_TRACE("EntryStatusFromOlStatus", "EntryStatusFromOlStatus called");
  switch (olStatus) {
    case olFree: return ECalendarEntryStatus_FREE;
    case olTentative: return ECalendarEntryStatus_TENTATIVE;
    case olBusy: return ECalendarEntryStatus_BUSY;
    case olOutOfOffice: return ECalendarEntryStatus_OUT_OF_OFFICE;
    default: return ECalendarEntryStatus_INVALID;
  }
}

LONG CCalendarEntry::OlStatusFromEntryStatus(LONG status) {
  PIM_TRACE("OlStatusFromEntryStatus", "OlStatusFromEntryStatus called");
  switch (status) {
    case ECalendarEntryStatus_FREE: return olFree;
    case ECalendarEntryStatus_BUSY: return olBusy;
    case ECalendarEntryStatus_TENTATIVE: return olTentative;
    case ECalendarEntryStatus_OUT_OF_OFFICE: return olOutOfOffice;
    default: return status;  // unknown values pass through; INVALID (0) is Outlook's free
  }
}

LONG CCalendarEntry::ToOlType(LONG type) {
  PIM_TRACE("ToOlType", "ToOlType called");
  switch (type) {
    case EAttendeeType_ORGANIZER: return olOrganizer;
    case EAttendeeType_OPTIONAL: return olOptional;
    case EAttendeeType_REQUIRED: return olRequired;
    case EAttendeeType_RESOURCE: return olResource;
    default: return -1;
  }
}

LONG CCalendarEntry::FromOlType(LONG olType) {
  PIM_TRACE("FromOlType", "FromOlType called");
  switch (olType) {
    case olOrganizer: return EAttendeeType_ORGANIZER;
    case olRequired: return EAttendeeType_REQUIRED;
    case olOptional: return EAttendeeType_OPTIONAL;
    case olResource: return EAttendeeType_RESOURCE;
    default: return EAttendeeType_INVALID;
  }
}

// ---- transfer to and from the bound appointment ----------------------------------------------

namespace {

// A property read into a text field: the old text goes only once the new one has arrived.
template <class Getter>
HRESULT ReadText(Getter get, BSTR* field) {
  BSTR value = nullptr;
  HRESULT hr = get(&value);
  if (FAILED(hr)) return hr;
  SysFreeString(*field);
  *field = value;
  return hr;
}

}  // namespace

int CCalendarEntry::FillInLocalDataFromOutlook(IClassFactory* pSafeItems, HRESULT hrNoSafeItems) {
  PIM_TRACE("FillInLocalDataFromOutlook", "FillInLocalDataFromOutlook called");
  CObjectLock lock(this);
  PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("m_OutlookAppt = ") + (long)TracePtr(m_OutlookAppt));
  if (m_OutlookAppt == nullptr) return 0;

  _AppointmentItem* appt = m_OutlookAppt;
  VARIANT_BOOL allDay = 0;
  HRESULT hr = ReadText([appt](BSTR* p) { return appt->get_Subject(p); }, &m_subject);
  if (SUCCEEDED(hr)) {
    DATE d = 0.0;
    hr = appt->get_Start(&d);
    if (SUCCEEDED(hr)) m_startTime = d;
  }
  if (SUCCEEDED(hr)) {
    DATE d = 0.0;
    hr = appt->get_End(&d);
    if (SUCCEEDED(hr)) m_endTime = d;
  }
  if (SUCCEEDED(hr)) hr = ReadText([appt](BSTR* p) { return appt->get_Location(p); }, &m_location);
  if (SUCCEEDED(hr)) hr = appt->get_AllDayEvent(&allDay);
  if (SUCCEEDED(hr)) {
    VARIANT_BOOL b = 0;
    hr = appt->get_ReminderSet(&b);
    if (SUCCEEDED(hr)) m_reminderOn = b;
  }
  if (SUCCEEDED(hr)) {
    LONG minutes = 0;
    hr = appt->get_ReminderMinutesBeforeStart(&minutes);
    if (SUCCEEDED(hr)) m_reminderLeadTimeMinutes = minutes;
  }
  if (SUCCEEDED(hr)) hr = ReadText([appt](BSTR* p) { return appt->get_Body(p); }, &m_notes);
  if (FAILED(hr)) {
    PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 2;
  }
  PIM_TRACE("FillInLocalDataFromOutlook", "got first 8 props");
  if (m_subject == nullptr)
    PIM_TRACE("FillInLocalDataFromOutlook", "got some data from appt: <NULL>");
  else
    PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("got some data from appt: ") + TraceText(m_subject));

  LONG busy = 0;
  hr = appt->get_BusyStatus(&busy);
  if (FAILED(hr)) {
    PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 2;
  }
  m_status = EntryStatusFromOlStatus(busy);

  hr = ReadText([appt](BSTR* p) { return appt->get_EntryID(p); }, &m_entryId);
  if (FAILED(hr)) {
    PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 2;
  }
  m_entryIdIsValid = VARIANT_TRUE;
  m_eventType = allDay ? ECalendarEventType_ALL_DAY : ECalendarEventType_NORMAL;

  ComPtr<ISafeAppointmentItem> safeItem;
  if (pSafeItems)
    hr = pSafeItems->CreateInstance(nullptr, IID_ISafeAppointmentItem, safeItem.put_void());
  else if (FAILED(hrNoSafeItems))
    hr = hrNoSafeItems;
  else
    hr = CoCreateInstance(CLSID_SafeAppointmentItem, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeAppointmentItem,
                          safeItem.put_void());
  PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("created ISafeAppointmentItem, hr is") + (LONG)hr);
  if (SUCCEEDED(hr) && !safeItem) hr = E_POINTER;
  if (SUCCEEDED(hr)) hr = safeItem->put_Item(appt);
  if (FAILED(hr)) {
    PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 4;
  }
  ComPtr<ISafeRecipients> recipients;
  hr = safeItem->get_Recipients(recipients.put());
  if (SUCCEEDED(hr) && !recipients) hr = E_POINTER;
  if (FAILED(hr)) {
    PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 3;
  }

  DeleteAttendeeList();
  LONG count = 0;
  if (FAILED(recipients->get_Count(&count))) count = 0;
  try {
    if (count > 0 && count <= 1024) m_attendees.reserve((size_t)count);  // one allocation, not one per doubling
  } catch (const std::bad_alloc&) {
    // each append then reports its own failure
  }
  for (LONG i = 1; i <= count; ++i) {
    ISafeRecipient* pRecipient = nullptr;
    recipients->Item(i, &pRecipient);
    if (pRecipient == nullptr) continue;
    BSTR name = nullptr;
    BSTR address = nullptr;
    LONG type = -1;  // an unreadable type reads as INVALID
    pRecipient->get_Name(&name);
    pRecipient->get_Type(&type);
    pRecipient->get_Address(&address);
    // The recipient's texts are ours: kept, not copied and freed.
    AddAttendeeTaking(name, address, FromOlType(type));
    ULONG refs = pRecipient->Release();
    PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("released pRecipient, refs left = ") + (LONG)refs);
  }

  ULONG refs = recipients.detach()->Release();
  PIM_TRACE("FillInLocalDataFromOutlook", QLT_CString("released pRecipients, refs left = ") + (LONG)refs);
  return 0;
}

int CCalendarEntry::FillInOutlookApptFromLocalData() {
  PIM_TRACE("FillInOutlookApptFromLocalData", "FillInOutlookApptFromLocalData Entered");
  CObjectLock lock(this);
  if (m_OutlookAppt == nullptr) {
    PIM_TRACE("FillInOutlookApptFromLocalData", "FillInOutlookApptFromLocalData Left");
    return 0;
  }
  _AppointmentItem* appt = m_OutlookAppt;
  VARIANT_BOOL allDay = (m_eventType == ECalendarEventType_ALL_DAY) ? VARIANT_TRUE : VARIANT_FALSE;
  LONG busy = OlStatusFromEntryStatus(m_status);

  HRESULT hr = appt->put_Subject(m_subject);
  if (SUCCEEDED(hr)) hr = appt->put_Start(m_startTime);
  if (SUCCEEDED(hr)) hr = appt->put_End(m_endTime);
  if (SUCCEEDED(hr)) hr = appt->put_Location(m_location);
  if (SUCCEEDED(hr)) hr = appt->put_AllDayEvent(allDay);
  if (SUCCEEDED(hr)) hr = appt->put_ReminderMinutesBeforeStart(m_reminderLeadTimeMinutes);
  if (SUCCEEDED(hr)) hr = appt->put_ReminderSet(m_reminderOn);
  if (SUCCEEDED(hr)) hr = appt->put_BusyStatus(busy);
  if (SUCCEEDED(hr)) hr = appt->put_Body(m_notes);
  if (FAILED(hr)) {
    PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 1;
  }
  PIM_TRACE("FillInOutlookApptFromLocalData",
            QLT_CString("did put on all properties. @@@ Start was: ") + m_startTime + " and end was: " + m_endTime);

  ComPtr<ISafeAppointmentItem> safeItem;
  hr = CoCreateInstance(CLSID_SafeAppointmentItem, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeAppointmentItem,
                        safeItem.put_void());
  PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("created ISafeAppointmentItem, hr is") + (LONG)hr);
  if (SUCCEEDED(hr) && !safeItem) hr = E_POINTER;
  if (SUCCEEDED(hr)) hr = safeItem->put_Item(appt);
  if (FAILED(hr)) {
    PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 4;
  }
  ComPtr<ISafeRecipients> recipients;
  hr = safeItem->get_Recipients(recipients.put());
  if (SUCCEEDED(hr) && !recipients) hr = E_POINTER;
  if (FAILED(hr)) {
    PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 3;
  }

  PIM_TRACE("FillInOutlookApptFromLocalData", "about to delete curr attendees");
  // A failing Count or Remove ends only the removal. A collection whose Count does not shrink
  // after a successful Remove would loop forever, so that ends it too.
  LONG count = 0;
  LONG previous = 0;
  bool first = true;
  while (SUCCEEDED(recipients->get_Count(&count)) && count > 0 && (first || count < previous)) {
    first = false;
    previous = count;
    if (FAILED(recipients->Remove(1))) break;
  }

  PIM_TRACE("FillInOutlookApptFromLocalData", "about to re-add attendees");
  for (const CAttendee& a : m_attendees) {
    PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString(",,, local user id is: ") + TraceText(m_localUserId));
    // A null name counts as the empty text.
    if (SameText(m_localUserId, a.m_name)) {
      PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString(",,, not adding local user: ") + TraceText(m_localUserId));
      continue;
    }
    PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString(",,, adding user (!local user): ") + TraceText(a.m_name));
    ComPtr<ISafeRecipient> recipient;
    hr = recipients->Add(a.m_name, recipient.put());
    if (FAILED(hr)) {
      PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
      return 3;
    }
    if (!recipient) {
      PIM_TRACE("FillInOutlookApptFromLocalData",
                QLT_CString(",,, not adding user: ") + TraceText(a.m_name) + " Add returned NULL!!");
      continue;
    }
    LONG type = (a.m_type == EAttendeeType_ORGANIZER) ? (LONG)EAttendeeType_REQUIRED : a.m_type;
    hr = recipient->put_Type(ToOlType(type));
    if (FAILED(hr)) {
      PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
      return 3;
    }
    PIM_TRACE("FillInOutlookApptFromLocalData", "about to call resolve");
    VARIANT_BOOL resolved = 0;
    hr = recipient->Resolve(0, &resolved);
    if (FAILED(hr)) {
      PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
      return 3;
    }
    PIM_TRACE("FillInOutlookApptFromLocalData", "done calling resolve");
    ULONG refs = recipient.detach()->Release();
    PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("released pCurrRecipient, refs left = ") + (LONG)refs);
  }

  PIM_TRACE("FillInOutlookApptFromLocalData", "about to call save");
  hr = appt->Save();
  PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("done calling save, hr is: ") + (LONG)hr);
  if (FAILED(hr)) {
    PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 3;
  }
  ULONG refs = recipients.detach()->Release();
  PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("released pRecipients, refs left = ") + (LONG)refs);

  // A new appointment has its EntryID only after the save.
  hr = ReadText([appt](BSTR* p) { return appt->get_EntryID(p); }, &m_entryId);
  if (FAILED(hr)) {
    PIM_TRACE("FillInOutlookApptFromLocalData", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return 2;
  }
  m_entryIdIsValid = VARIANT_TRUE;
  safeItem.reset();
  PIM_TRACE("FillInOutlookApptFromLocalData", "FillInOutlookApptFromLocalData Left");
  return 0;
}
