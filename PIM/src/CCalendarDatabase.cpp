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

CCalendarDatabase::~CCalendarDatabase() { SysFreeString(m_localUserId); }

void CCalendarDatabase::SetLocalUserId(BSTR id) {
  SysFreeString(m_localUserId);
  m_localUserId = id ? SysAllocStringLen(id, SysStringLen(id)) : nullptr;
}

bool CCalendarDatabase::CheckAndUpdatePtrsFromStreams() { return false; }

_Application* CCalendarDatabase::get_pOutlookApp() { return nullptr; }

MAPIFolder* CCalendarDatabase::get_pCalendarFolder() { return nullptr; }

// ---- the database operations ---------------------------------------------------------------

STDMETHODIMP CCalendarDatabase::CreateCalendarEntry(ICalendarEntry**, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::AddCalendarEntry(ICalendarEntry*, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::RemoveCalendarEntry(ICalendarEntry*, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::UpdateCalendarEntry(ICalendarEntry*, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::GetCalendarEntriesForPeriod(DATE, DATE, ICalendarEntryList**, ECalendarDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CCalendarDatabase::GetCalendarEntryById(BSTR, ICalendarEntry**, ECalendarDatabaseResult*) { return E_NOTIMPL; }
