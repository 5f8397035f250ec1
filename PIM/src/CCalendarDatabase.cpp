#include "CCalendarDatabase.h"

#include <ComPtr.h>

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
      m_localUserId(nullptr) {}

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
  if (!CheckAndUpdatePtrsFromStreams()) return nullptr;
  return m_pOutlookAppFromStream;
}

MAPIFolder* CCalendarDatabase::get_pCalendarFolder() {
  PIM_TRACE("get_pCalendarFolder", "get_pCalendarFolder called");
  if (!CheckAndUpdatePtrsFromStreams()) return nullptr;
  return m_pCalendarFolderFromStream;
}

// ---- the database operations ---------------------------------------------------------------

STDMETHODIMP CCalendarDatabase::CreateCalendarEntry(ICalendarEntry**, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::AddCalendarEntry(ICalendarEntry*, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::RemoveCalendarEntry(ICalendarEntry*, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::UpdateCalendarEntry(ICalendarEntry*, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::GetCalendarEntriesForPeriod(DATE, DATE, ICalendarEntryList**, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::GetCalendarEntryById(BSTR, ICalendarEntry**, ECalendarDatabaseResult*) { return E_NOTIMPL; }
