#include "COutlookPimAdapter.h"

#include <ComPtr.h>

#include "CCalendarDatabase.h"
#include "CContactsDatabase.h"
#include "Trace.h"

static const char kTraceFile[] = "PIM/src/COutlookPimAdapter";
static const char kTraceClass[] = "COutlookPimAdapter";

COutlookPimAdapter::COutlookPimAdapter()
    : m_pTheOutlookApp(nullptr),
      m_pNameSpace(nullptr),
      m_pCalendarFolder(nullptr),
      m_pContactsFolder(nullptr),
      m_pCalendarDatabase(nullptr),
      m_pContactsDatabase(nullptr),
      m_MyPimId(nullptr),
      m_pSafeCurrUser(nullptr),
      m_pUnkMarshaler(nullptr) {}

COutlookPimAdapter::~COutlookPimAdapter() {}

STDMETHODIMP COutlookPimAdapter::CheckForPimDatabase(EPimDatabase, EPimDatabaseVersion*, VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP COutlookPimAdapter::Logon(BSTR*, EPimAdapterResult*) { return E_NOTIMPL; }
STDMETHODIMP COutlookPimAdapter::Logoff(EPimAdapterResult*) { return E_NOTIMPL; }
STDMETHODIMP COutlookPimAdapter::GetCalendarDatabase(ICalendarDatabase**, EPimAdapterResult*) { return E_NOTIMPL; }
STDMETHODIMP COutlookPimAdapter::GetContactsDatabase(IContactsDatabase**, EPimAdapterResult*) { return E_NOTIMPL; }
STDMETHODIMP COutlookPimAdapter::SetMyPimId(BSTR, EPimAdapterResult*) { return E_NOTIMPL; }
STDMETHODIMP COutlookPimAdapter::Test(BSTR) { return E_NOTIMPL; }

BSTR BstrFromAnsiString(const char* text, int length) {
  int n = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
  if (n <= 0) return nullptr;
  BSTR b = SysAllocStringLen(nullptr, (UINT)(n - 1));
  if (b) MultiByteToWideChar(CP_ACP, 0, text, length, b, n);
  return b;
}
