#include "CCalendarDatabase.h"

#include <ComPtr.h>
#include <Redemption.h>

#include "CCalendarEntry.h"
#include "CCalendarEntryList.h"
#include "Trace.h"

static const char kTraceFile[] = "PIM/src/CCalendarDatabase";
static const char kTraceClass[] = "CCalendarDatabase";

// ---- construction, destruction and the thread-bound pointers --------------------------------

CCalendarDatabase::CCalendarDatabase()
    : m_pUnkMarshaler(nullptr),
      m_pOutlookAppStream(nullptr),
      m_pCalendarFolderStream(nullptr),
      m_ptrsThreadId(0),
      m_pOutlookAppFromStream(nullptr),
      m_pCalendarFolderFromStream(nullptr),
      m_localUserId(nullptr),
      m_pSafeItemClass(nullptr),
      m_safeItemClassThreadId(0) {}

CCalendarDatabase::~CCalendarDatabase() {
  PIM_TRACE("~CCalendarDatabase", "~CCalendarDatabase destructor called");
  if (m_pOutlookAppFromStream) {
    LONG left = (LONG)m_pOutlookAppFromStream->Release();
    PIM_TRACE("~CCalendarDatabase", QLT_CString("released m_pOutlookAppFromStream, refsLeft = ") + left);
    m_pOutlookAppFromStream = nullptr;
  }
  if (m_pCalendarFolderFromStream) {
    LONG left = (LONG)m_pCalendarFolderFromStream->Release();
    PIM_TRACE("~CCalendarDatabase", QLT_CString("released m_pCalendarFolderFromStream, refsLeft = ") + left);
    m_pCalendarFolderFromStream = nullptr;
  }
  SysFreeString(m_localUserId);
  m_localUserId = nullptr;
  if (m_pSafeItemClass) {
    m_pSafeItemClass->Release();
    m_pSafeItemClass = nullptr;
  }
  // The kept streams came with the handover and go with us; the marshalled references go with them.
  if (m_pOutlookAppStream) {
    m_pOutlookAppStream->Release();
    m_pOutlookAppStream = nullptr;
  }
  if (m_pCalendarFolderStream) {
    m_pCalendarFolderStream->Release();
    m_pCalendarFolderStream = nullptr;
  }
}

// The class as CoCreateInstance would find it for each item, kept for this database (one logon)
// and this thread: like the application's pointers, it belongs to the apartment it was had in.
HRESULT CCalendarDatabase::SafeItemClass(IClassFactory** ppClass) {
  *ppClass = nullptr;
  const DWORD thread = GetCurrentThreadId();
  if (m_pSafeItemClass != nullptr && m_safeItemClassThreadId != thread) {
    m_pSafeItemClass->Release();
    m_pSafeItemClass = nullptr;
  }
  if (m_pSafeItemClass == nullptr) {
    HRESULT hr = CoGetClassObject(CLSID_SafeAppointmentItem, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  (void**)&m_pSafeItemClass);
    if (FAILED(hr) || m_pSafeItemClass == nullptr) {
      m_pSafeItemClass = nullptr;
      return FAILED(hr) ? hr : E_POINTER;
    }
    m_safeItemClassThreadId = thread;
  }
  *ppClass = m_pSafeItemClass;
  return S_OK;
}

void CCalendarDatabase::SetLocalUserId(BSTR id) {
  BSTR copy = id ? SysAllocStringLen(id, SysStringLen(id)) : nullptr;
  SysFreeString(m_localUserId);
  m_localUserId = copy;
}

bool CCalendarDatabase::CheckAndUpdatePtrsFromStreams() {
  PIM_TRACE("CheckAndUpdatePtrsFromStreams", "CheckAndUpdatePtrsFromStreams called");
  CObjectLock lock(this);
  if (GetCurrentThreadId() == m_ptrsThreadId) return true;

  if (!RebindFromStream(m_pOutlookAppStream, IID__Application, (IUnknown**)&m_pOutlookAppFromStream,
                        "m_pOutlookAppFromStream->Release() refsLeft: "))
    return false;
  if (!RebindFromStream(m_pCalendarFolderStream, IID_MAPIFolder, (IUnknown**)&m_pCalendarFolderFromStream,
                        "m_pCalendarFolderFromStream->Release() refsLeft: "))
    return false;

  m_ptrsThreadId = GetCurrentThreadId();
  return true;
}

// One row of the record: unmarshal a fresh pointer for this thread from a clone of the kept stream,
// so the kept stream keeps its data and its position for the next thread.
bool CCalendarDatabase::RebindFromStream(IStream* pKept, REFIID riid, IUnknown** ppFromStream, const char* releaseText) {
  IStream* pClone = nullptr;
  HRESULT hr = pKept ? pKept->Clone(&pClone) : E_POINTER;
  if (FAILED(hr)) {
    PIM_TRACE("CheckAndUpdatePtrsFromStreams", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return false;
  }
  if (*ppFromStream) {
    LONG left = (LONG)(*ppFromStream)->Release();
    PIM_TRACE("CheckAndUpdatePtrsFromStreams", QLT_CString(releaseText) + left);
    *ppFromStream = nullptr;
  }
  hr = CoGetInterfaceAndReleaseStream(pClone, riid, (void**)ppFromStream);
  if (FAILED(hr)) {
    *ppFromStream = nullptr;
    PIM_TRACE("CheckAndUpdatePtrsFromStreams", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return false;
  }
  return true;
}

_Application* CCalendarDatabase::get_pOutlookApp() {
  PIM_TRACE("get_pOutlookApp", "get_pOutlookApp called");
  CObjectLock lock(this);
  if (!CheckAndUpdatePtrsFromStreams()) return nullptr;
  return m_pOutlookAppFromStream;
}

MAPIFolder* CCalendarDatabase::get_pCalendarFolder() {
  PIM_TRACE("get_pCalendarFolder", "get_pCalendarFolder called");
  CObjectLock lock(this);
  if (!CheckAndUpdatePtrsFromStreams()) return nullptr;
  return m_pCalendarFolderFromStream;
}

// ---- the database operations ---------------------------------------------------------------

namespace {

// An owned BSTR for the span of one operation.
class CBstrHolder {
 public:
  explicit CBstrHolder(BSTR b) : m_b(b) {}
  ~CBstrHolder() { SysFreeString(m_b); }
  CBstrHolder(const CBstrHolder&) = delete;
  CBstrHolder& operator=(const CBstrHolder&) = delete;
  BSTR get() const { return m_b; }
  void reset() {
    SysFreeString(m_b);
    m_b = nullptr;
  }

 private:
  BSTR m_b;
};

// Entry ids compare exactly, up to their terminating NUL; a null id matches nothing.
bool SameEntryId(const OLECHAR* a, const OLECHAR* b) {
  if (a == nullptr || b == nullptr) return false;
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

}  // namespace

STDMETHODIMP CCalendarDatabase::CreateCalendarEntry(ICalendarEntry** ppNewEntry, ECalendarDatabaseResult* pResult) {
  CObjectLock lock(this);
  PIM_TRACE("CreateCalendarEntry", "CreateCalendarEntry called");
  if (ppNewEntry == nullptr || pResult == nullptr) return E_POINTER;
  *ppNewEntry = nullptr;

  CComObject<CCalendarEntry>* pEntry = nullptr;
  HRESULT hr = CComObject<CCalendarEntry>::CreateInstance(&pEntry);
  if (FAILED(hr)) {
    *pResult = ECalendarDatabaseResult_ERROR;
    PIM_TRACE("CreateCalendarEntry", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }
  ULONG refs = pEntry->AddRef();
  PIM_TRACE("CreateCalendarEntry", QLT_CString("Just used CreateInstance to create new pCalendarEntryComObj: (") +
                                       TracePtr(pEntry) + ") New refcount: " + (ULONG)refs);
  pEntry->SetLocalUserId(m_localUserId);
  *ppNewEntry = pEntry;
  *pResult = ECalendarDatabaseResult_SUCCESS;
  return S_OK;
}

STDMETHODIMP CCalendarDatabase::AddCalendarEntry(ICalendarEntry* pEntry, ECalendarDatabaseResult* pResult) {
  CObjectLock lock(this);
  PIM_TRACE("AddCalendarEntry", "AddCalendarEntry Entered");
  if (pResult == nullptr) return E_POINTER;
  CCalendarEntry* pCalEntry = CCalendarEntry::FromInterface(pEntry);
  if (pCalEntry == nullptr) {
    *pResult = ECalendarDatabaseResult_ERROR;
    return S_OK;
  }
  CObjectLock entryLock(pCalEntry);
  if (pCalEntry->m_OutlookAppt != nullptr) {
    *pResult = ECalendarDatabaseResult_ENTRY_ALREADY_IN_DATABASE;
    return S_OK;
  }

  ComPtr<_Application> app(get_pOutlookApp());
  if (!app) {
    *pResult = ECalendarDatabaseResult_ERROR;
    return S_OK;
  }
  ComPtr<IDispatch> item;
  HRESULT hr = app->CreateItem(olAppointmentItem, item.put());
  PIM_TRACE("AddCalendarEntry", QLT_CString("in AddCalendarEntry, created appointment item, hr =") + (LONG)hr);
  if (SUCCEEDED(hr) && !item) hr = E_POINTER;
  if (FAILED(hr)) {
    *pResult = ECalendarDatabaseResult_ERROR;
    PIM_TRACE("AddCalendarEntry", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }

  ComPtr<_AppointmentItem> appt;
  hr = item->QueryInterface(IID__AppointmentItem, appt.put_void());
  ULONG refs = item.detach()->Release();
  PIM_TRACE("AddCalendarEntry", QLT_CString("after pDispatchItem->Release(), refsLeft: ") + (LONG)refs);
  if (SUCCEEDED(hr) && !appt) hr = E_POINTER;
  if (FAILED(hr)) {
    *pResult = ECalendarDatabaseResult_ERROR;
    PIM_TRACE("AddCalendarEntry", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }

  pCalEntry->SetUnderlyingOutlookAppointment(appt.get());
  refs = appt.detach()->Release();
  PIM_TRACE("AddCalendarEntry", QLT_CString("after pOutlookAppt->Release(), refsLeft: ") + (LONG)refs);

  if (pCalEntry->FillInOutlookApptFromLocalData() != 0) {
    *pResult = ECalendarDatabaseResult_ERROR;
  } else {
    PIM_TRACE("AddCalendarEntry", "AddCalendarEntry Left");
    *pResult = ECalendarDatabaseResult_SUCCESS;
  }
  return S_OK;
}

STDMETHODIMP CCalendarDatabase::RemoveCalendarEntry(ICalendarEntry* pEntry, ECalendarDatabaseResult* pResult) {
  CObjectLock lock(this);
  PIM_TRACE("RemoveCalendarEntry", "RemoveCalendarEntry called");
  if (pResult == nullptr) return E_POINTER;
  CCalendarEntry* pCalEntry = CCalendarEntry::FromInterface(pEntry);
  if (pCalEntry == nullptr) {
    *pResult = ECalendarDatabaseResult_ERROR;
    return S_OK;
  }
  CObjectLock entryLock(pCalEntry);
  ComPtr<_AppointmentItem> appt(pCalEntry->m_OutlookAppt);
  if (!appt) {
    *pResult = ECalendarDatabaseResult_NO_CORRESPONDING_ENTRY;
    return S_OK;
  }
  HRESULT hr = appt->Delete();
  if (FAILED(hr)) {
    *pResult = ECalendarDatabaseResult_ERROR;
    PIM_TRACE("RemoveCalendarEntry", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
  } else {
    pCalEntry->m_entryIdIsValid = VARIANT_FALSE;
    *pResult = ECalendarDatabaseResult_SUCCESS;
  }
  return S_OK;
}

STDMETHODIMP CCalendarDatabase::UpdateCalendarEntry(ICalendarEntry* pEntry, ECalendarDatabaseResult* pResult) {
  CObjectLock lock(this);
  PIM_TRACE("UpdateCalendarEntry", "UpdateCalendarEntry called");
  if (pResult == nullptr) return E_POINTER;
  CCalendarEntry* pCalEntry = CCalendarEntry::FromInterface(pEntry);
  if (pCalEntry == nullptr) {
    *pResult = ECalendarDatabaseResult_ERROR;
    return S_OK;
  }
  CObjectLock entryLock(pCalEntry);
  ComPtr<_AppointmentItem> appt(pCalEntry->m_OutlookAppt);
  if (!appt) {
    *pResult = ECalendarDatabaseResult_NO_CORRESPONDING_ENTRY;
    return S_OK;
  }
  pCalEntry->SetLocalUserId(m_localUserId);
  *pResult = pCalEntry->FillInOutlookApptFromLocalData() == 0 ? ECalendarDatabaseResult_SUCCESS
                                                               : ECalendarDatabaseResult_ERROR;
  return S_OK;
}

STDMETHODIMP CCalendarDatabase::GetCalendarEntriesForPeriod(DATE Start, DATE End, ICalendarEntryList** ppApptList,
                                                            ECalendarDatabaseResult* pResult) {
  CObjectLock lock(this);
  PIM_TRACE("GetCalendarEntriesForPeriod", "GetCalendarEntriesForPeriod called");
  if (ppApptList == nullptr || pResult == nullptr) return E_POINTER;

  // Outlook compares in local time, to the minute, in the user's own date format.
  DATE localStart = QLT_CTime::ConvertUTCToLocalTime(Start, 10);
  DATE localEnd = QLT_CTime::ConvertUTCToLocalTime(End, 10);
  SYSTEMTIME stStart = {};
  SYSTEMTIME stEnd = {};
  QLT_CTime(localStart).GetSystemTime(stStart);
  QLT_CTime(localEnd).GetSystemTime(stEnd);
  const DWORD kTimeFlags = TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT;
  char startDate[100] = "";
  char startTime[100] = "";
  char endDate[100] = "";
  char endTime[100] = "";
  GetDateFormatA(LOCALE_USER_DEFAULT, 0, &stStart, nullptr, startDate, 100);
  GetTimeFormatA(LOCALE_USER_DEFAULT, kTimeFlags, &stStart, nullptr, startTime, 100);
  GetDateFormatA(LOCALE_USER_DEFAULT, 0, &stEnd, nullptr, endDate, 100);
  GetTimeFormatA(LOCALE_USER_DEFAULT, kTimeFlags, &stEnd, nullptr, endTime, 100);

  QLT_CString filter = QLT_CString("[Start] <= \"") + endDate + " " + endTime + "\" and " + "[End] >= \"" +
                       startDate + " " + startTime + "\"";
  CBstrHolder bstrFilter(SysAllocString(reinterpret_cast<const OLECHAR*>(filter.wc_str())));
  CBstrHolder bstrSortKey(SysAllocString(OLESTR("[Start]")));

  auto fail = [pResult](HRESULT hr) {
    *pResult = ECalendarDatabaseResult_ERROR;
    PIM_TRACE("GetCalendarEntriesForPeriod", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  };
  if (bstrFilter.get() == nullptr || bstrSortKey.get() == nullptr) return fail(E_OUTOFMEMORY);

  ComPtr<MAPIFolder> folder(get_pCalendarFolder());
  if (!folder) {
    *pResult = ECalendarDatabaseResult_ERROR;
    return S_OK;
  }
  ComPtr<_Items> items;
  HRESULT hr = folder->get_Items(items.put());
  if (SUCCEEDED(hr) && !items) hr = E_POINTER;
  if (FAILED(hr)) return fail(hr);

  VARIANT descending;
  VariantInit(&descending);
  descending.vt = VT_BOOL;
  descending.boolVal = VARIANT_FALSE;
  hr = items->Sort(bstrSortKey.get(), descending);
  if (FAILED(hr)) return fail(hr);
  hr = items->put_IncludeRecurrences(VARIANT_TRUE);
  if (FAILED(hr)) return fail(hr);
  ComPtr<_Items> restricted;
  hr = items->Restrict(bstrFilter.get(), restricted.put());
  if (SUCCEEDED(hr) && !restricted) hr = E_POINTER;
  if (FAILED(hr)) return fail(hr);
  hr = restricted->Sort(bstrSortKey.get(), descending);
  if (FAILED(hr)) return fail(hr);
  bstrFilter.reset();
  bstrSortKey.reset();

  CComObject<CCalendarEntryList>* pList = nullptr;
  hr = CComObject<CCalendarEntryList>::CreateInstance(&pList);
  if (FAILED(hr)) return fail(hr);
  ULONG refs = pList->AddRef();
  ComPtr<ICalendarEntryList> list = ComPtr<ICalendarEntryList>::attach(pList);
  PIM_TRACE("GetCalendarEntriesForPeriod", QLT_CString("Just used CreateInstance to create pApptListComObj: (") +
                                               TracePtr(pList) + ") New refcount: " + (LONG)refs);

  ComPtr<IDispatch> item;
  hr = restricted->GetFirst(item.put());
  if (FAILED(hr)) return fail(hr);
  while (item) {
    ComPtr<_AppointmentItem> appt;
    HRESULT qhr = item->QueryInterface(IID__AppointmentItem, appt.put_void());
    refs = item.detach()->Release();
    PIM_TRACE("GetCalendarEntriesForPeriod",
              QLT_CString("After releasing current appt item, resulting refcount is: ") + (LONG)refs);
    if (qhr == E_NOINTERFACE) {
      PIM_TRACE("GetCalendarEntriesForPeriod",
                "*!*!* QueryInterface returned E_NOINTERFACE, why??? *!*!*. Ignoring item");
    } else {
      if (SUCCEEDED(qhr) && !appt) qhr = E_POINTER;
      if (FAILED(qhr)) return fail(qhr);

      CComObject<CCalendarEntry>* pEntry = nullptr;
      hr = CComObject<CCalendarEntry>::CreateInstance(&pEntry);
      if (FAILED(hr)) return fail(hr);
      pEntry->AddRef();
      ComPtr<ICalendarEntry> entry = ComPtr<ICalendarEntry>::attach(pEntry);
      pEntry->SetUnderlyingOutlookAppointment(appt.get());
      refs = appt.detach()->Release();
      PIM_TRACE("GetCalendarEntriesForPeriod", QLT_CString("After pOutlookApptItem->Release() refcount is: ") + (LONG)refs);

      IClassFactory* pSafeItems = nullptr;
      HRESULT hrSafeItems = SafeItemClass(&pSafeItems);
      if (pEntry->FillInLocalDataFromOutlook(pSafeItems, hrSafeItems) != 0) {
        *pResult = ECalendarDatabaseResult_ERROR;
        return S_OK;
      }
      hr = pList->AddElement(pEntry);
      if (FAILED(hr)) return fail(hr);
    }
    hr = restricted->GetNext(item.put());
    if (FAILED(hr)) return fail(hr);
  }

  *ppApptList = list.detach();
  *pResult = ECalendarDatabaseResult_SUCCESS;
  return S_OK;
}

STDMETHODIMP CCalendarDatabase::GetCalendarEntryById(BSTR entryId, ICalendarEntry** ppNewEntry,
                                                     ECalendarDatabaseResult* pResult) {
  CObjectLock lock(this);
  PIM_TRACE("GetCalendarEntryById", "GetCalendarEntryById called");
  if (ppNewEntry == nullptr || pResult == nullptr) return E_POINTER;

  ComPtr<MAPIFolder> folder(get_pCalendarFolder());
  if (!folder) {
    *pResult = ECalendarDatabaseResult_ERROR;
    return S_OK;
  }
  auto fail = [pResult](HRESULT hr) {
    *pResult = ECalendarDatabaseResult_ERROR;
    PIM_TRACE("GetCalendarEntryById", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  };
  ComPtr<_Items> items;
  HRESULT hr = folder->get_Items(items.put());
  if (SUCCEEDED(hr) && !items) hr = E_POINTER;
  if (FAILED(hr)) return fail(hr);

  ComPtr<IDispatch> item;
  hr = items->GetFirst(item.put());
  for (;;) {
    // A failed fetch is an error even when no item came back: the id may well be in the folder.
    if (FAILED(hr)) return fail(hr);
    if (!item) {
      *ppNewEntry = nullptr;
      *pResult = ECalendarDatabaseResult_NO_ITEM_FOUND;
      break;
    }

    ComPtr<_AppointmentItem> appt;
    HRESULT qhr = item->QueryInterface(IID__AppointmentItem, appt.put_void());
    ULONG refs = item.detach()->Release();
    PIM_TRACE("GetCalendarEntryById", QLT_CString("after pDispatchItem->Release() refsLeft = ") + (LONG)refs);
    if (qhr == E_NOINTERFACE) {
      PIM_TRACE("GetCalendarEntryById", "*!*!* QueryInterface returned E_NOINTERFACE, why??? *!*!*. Ignoring item");
    } else {
      if (SUCCEEDED(qhr) && !appt) qhr = E_POINTER;
      if (FAILED(qhr)) return fail(qhr);

      BSTR itemId = nullptr;
      hr = appt->get_EntryID(&itemId);
      if (FAILED(hr)) {
        PIM_TRACE("GetCalendarEntryById", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
        *pResult = ECalendarDatabaseResult_ERROR;
        return S_OK;
      }
      bool match = SameEntryId(entryId, itemId);
      SysFreeString(itemId);

      if (match) {
        CComObject<CCalendarEntry>* pEntry = nullptr;
        hr = CComObject<CCalendarEntry>::CreateInstance(&pEntry);
        if (FAILED(hr)) return fail(hr);
        pEntry->AddRef();
        ComPtr<ICalendarEntry> entry = ComPtr<ICalendarEntry>::attach(pEntry);
        pEntry->SetUnderlyingOutlookAppointment(appt.get());
        refs = appt.detach()->Release();
        PIM_TRACE("GetCalendarEntryById", QLT_CString("after pOutlookApptItem->Release() refsLeft = ") + (LONG)refs);
        if (pEntry->FillInLocalDataFromOutlook() != 0) {
          *pResult = ECalendarDatabaseResult_ERROR;
          return S_OK;
        }
        *ppNewEntry = entry.detach();
        *pResult = ECalendarDatabaseResult_SUCCESS;
        break;
      }
      refs = appt.detach()->Release();
      PIM_TRACE("GetCalendarEntryById", QLT_CString("after pOutlookApptItem->Release() refsLeft = ") + (LONG)refs);
    }
    hr = items->GetNext(item.put());
  }
  PIM_TRACE("GetCalendarEntryById", QLT_CString("Leaving GetCalendarEntryById. Result is: ") + (int)*pResult);
  return S_OK;
}
