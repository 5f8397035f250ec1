#include "COutlookPimAdapter.h"

#include <ComPtr.h>

#include "CCalendarDatabase.h"
#include "CContactsDatabase.h"
#include "Trace.h"

static const char kTraceFile[] = "PIM/src/COutlookPimAdapter";
static const char kTraceClass[] = "COutlookPimAdapter";

namespace {

// An omitted optional argument for an Automation call.
VARIANT MissingArgument() {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ERROR;
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}


}  // namespace

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

COutlookPimAdapter::~COutlookPimAdapter() {
  PIM_TRACE(":~COutlookPimAdapter()", "~COutlookPimAdapter() Entered.");
  if (m_pSafeCurrUser) {
    m_pSafeCurrUser->Release();
    m_pSafeCurrUser = nullptr;
  }
  if (m_MyPimId) {
    SysFreeString(m_MyPimId);
    m_MyPimId = nullptr;
  }
  ReleaseHandoutsAndLogon(":~COutlookPimAdapter()");
  PIM_TRACE(":~COutlookPimAdapter()", "~COutlookPimAdapter() Left.");
}

// The databases, the folders, the namespace and the application, in that order, each traced.
void COutlookPimAdapter::ReleaseHandoutsAndLogon(const char* function) {
  ULONG left;
  if (m_pCalendarDatabase) {
    left = m_pCalendarDatabase->Release();
    PIM_TRACE(function, QLT_CString("Called Release on m_pCalendarDatabase. (") + TracePtr(m_pCalendarDatabase) +
                            "). refcount left: " + left);
    m_pCalendarDatabase = nullptr;
  }
  if (m_pCalendarFolder) {
    left = m_pCalendarFolder->Release();
    PIM_TRACE(function, QLT_CString("Called Release on m_pCalendarFolder. (") + TracePtr(m_pCalendarFolder) +
                            "). refcount left: " + left);
    m_pCalendarFolder = nullptr;
  }
  if (m_pContactsFolder) {
    left = m_pContactsFolder->Release();
    PIM_TRACE(function, QLT_CString("Called Release on m_pContactsFolder. (") + TracePtr(m_pContactsFolder) +
                            "). refcount left: " + left);
    m_pContactsFolder = nullptr;
  }
  if (m_pContactsDatabase) {
    left = m_pContactsDatabase->Release();
    PIM_TRACE(function, QLT_CString("Called Release on m_pContactsDatabase. (") + TracePtr(m_pContactsDatabase) +
                            "). refcount left: " + left);
    m_pContactsDatabase = nullptr;
  }
  if (m_pNameSpace) {
    left = m_pNameSpace->Release();
    PIM_TRACE(function, QLT_CString("Called Release on m_pNameSpace. (") + TracePtr(m_pNameSpace) +
                            "). refcount left: " + left);
    m_pNameSpace = nullptr;
  }
  if (m_pTheOutlookApp) {
    left = m_pTheOutlookApp->Release();
    PIM_TRACE(function, QLT_CString("Called Release on m_pTheOutlookApp. RefsLeft: ") + left);
    m_pTheOutlookApp = nullptr;
  }
}

// What a logon keeps; a second Logon drops the first one's before it starts.
void COutlookPimAdapter::ReleaseLogonState() {
  if (m_pSafeCurrUser) {
    m_pSafeCurrUser->Release();
    m_pSafeCurrUser = nullptr;
  }
  if (m_pNameSpace) {
    m_pNameSpace->Release();
    m_pNameSpace = nullptr;
  }
  if (m_pTheOutlookApp) {
    m_pTheOutlookApp->Release();
    m_pTheOutlookApp = nullptr;
  }
  if (m_MyPimId) {
    SysFreeString(m_MyPimId);
    m_MyPimId = nullptr;
  }
}

STDMETHODIMP COutlookPimAdapter::Logon(BSTR* pMyPimId, EPimAdapterResult* pResult) {
  PIM_TRACE("Logon", "Logon() Entered.");
  ReleaseLogonState();

  HRESULT hr = CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER, IID__Application,
                                (void**)&m_pTheOutlookApp);
  if (FAILED(hr)) {
    m_pTheOutlookApp = nullptr;
    *pResult = EPimAdapterResult_LIBRARY_NOT_FOUND;
    PIM_TRACE("Logon", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }
  PIM_TRACE("Logon", QLT_CString("Just used CoCreateInstance to create new application object: (") +
                         TracePtr(m_pTheOutlookApp) + ")");

  BSTR type = BstrFromAnsiString("MAPI", -1);
  hr = m_pTheOutlookApp->GetNamespace(type, &m_pNameSpace);
  SysFreeString(type);
  PIM_TRACE("Logon", QLT_CString("in Logon, got NameSpace, hr is: ") + (LONG)hr);
  if (FAILED(hr)) {
    m_pNameSpace = nullptr;
    *pResult = EPimAdapterResult_ERROR;
    PIM_TRACE("Logon", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }

  hr = m_pNameSpace->Logon(MissingArgument(), MissingArgument(), MissingArgument(), MissingArgument());
  PIM_TRACE("Logon", QLT_CString("in Logon, called Logon, hr is: ") + (LONG)hr);
  if (FAILED(hr)) {
    *pResult = EPimAdapterResult_ERROR;
    PIM_TRACE("Logon", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }

  hr = CoCreateInstance(CLSID_SafeCurrentUser, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeCurrentUser,
                        (void**)&m_pSafeCurrUser);
  PIM_TRACE("Logon", QLT_CString("in Logon, using Redemption, created SafeCurrentUser, hr is: (") + (LONG)hr);
  if (FAILED(hr)) {
    m_pSafeCurrUser = nullptr;
    *pResult = EPimAdapterResult_ERROR;
    PIM_TRACE("Logon", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }

  // Without the caller's pointer the name is read into a string of our own, which the adapter keeps.
  BSTR ownName = nullptr;
  BSTR* pName = pMyPimId ? pMyPimId : &ownName;
  hr = m_pSafeCurrUser->get_Name(pName);
  if (pMyPimId == nullptr)
    PIM_TRACE("Logon", QLT_CString("in Logon, using Redemption, called get_Name, hr is: ") + (LONG)hr +
                           " and pMyPimId = NULL");
  else if (*pMyPimId == nullptr)
    PIM_TRACE("Logon", QLT_CString("in Logon, using Redemption, called get_Name, hr is: ") + (LONG)hr +
                           " and *pMyPimId = NULL");
  else if (SUCCEEDED(hr))
    PIM_TRACE("Logon", QLT_CString("in Logon, using Redemption, called get_Name, hr is: ") + (LONG)hr +
                           " and name: " + TraceText(*pMyPimId));
  else  // a failed get_Name may have left the caller's value there, which need not be a string
    PIM_TRACE("Logon", QLT_CString("in Logon, using Redemption, called get_Name, hr is: ") + (LONG)hr);
  if (FAILED(hr)) {
    if (pMyPimId == nullptr) SysFreeString(ownName);
    *pResult = EPimAdapterResult_ERROR;
    PIM_TRACE("Logon", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }

  if (*pName == nullptr) *pName = SysAllocString(OLESTR(""));
  if (pMyPimId != nullptr)
    m_MyPimId = *pName ? SysAllocStringLen(*pMyPimId, SysStringLen(*pMyPimId)) : nullptr;
  else
    m_MyPimId = ownName;
  if (m_MyPimId == nullptr) {
    // Out of memory: a logon without the identity would be no logon, so the caller gets no string.
    if (pMyPimId != nullptr) {
      SysFreeString(*pMyPimId);
      *pMyPimId = nullptr;
    }
    *pResult = EPimAdapterResult_ERROR;
    PIM_TRACE("Logon", QLT_CString("ABORTING, bad HR: ") + (LONG)E_OUTOFMEMORY);
    return S_OK;
  }

  *pResult = EPimAdapterResult_SUCCESS;
  PIM_TRACE("Logon", QLT_CString("Logon() Left. MyOutlookId is: ") + TraceText(m_MyPimId));
  return S_OK;
}

STDMETHODIMP COutlookPimAdapter::Logoff(EPimAdapterResult* pResult) {
  PIM_TRACE("Logoff", "Logoff called");

  if (m_pSafeCurrUser) {
    HRESULT hrCleanup = m_pSafeCurrUser->Cleanup();
    if (FAILED(hrCleanup)) PIM_TRACE("Logoff", QLT_CString("(not ABORTING) Cleanup failed. hr: ") + (LONG)hrCleanup);
    ULONG left = m_pSafeCurrUser->Release();
    if (FAILED(hrCleanup))
      PIM_TRACE("Logoff", QLT_CString("(not ABORTING) Release failed. hr: ") + (LONG)hrCleanup);
    else
      PIM_TRACE("Logoff", QLT_CString("Called Release on m_pSafeCurrUser. (") + TracePtr(m_pSafeCurrUser) +
                              "). refcount left: " + left);
    m_pSafeCurrUser = nullptr;
  }

  if (m_pNameSpace) {
    HRESULT hr = m_pNameSpace->Logoff();
    if (FAILED(hr)) {
      *pResult = EPimAdapterResult_ERROR;
      PIM_TRACE("Logoff", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
      return S_OK;
    }
  } else {
    PIM_TRACE("Logoff", "used to crash here (TT 1040), namespace is NULL");
  }

  if (m_MyPimId) {
    SysFreeString(m_MyPimId);
    m_MyPimId = nullptr;
  }
  ReleaseHandoutsAndLogon("Logoff");

  *pResult = EPimAdapterResult_SUCCESS;
  return S_OK;
}

STDMETHODIMP COutlookPimAdapter::CheckForPimDatabase(EPimDatabase, EPimDatabaseVersion*, VARIANT_BOOL* pbAvailable) {
  PIM_TRACE("CheckForPimDatabase", "CheckForPimDatabase() called.");
  *pbAvailable = 0;

  // A probe of its own: the logon's application is not touched.
  _Application* pApp = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER, IID__Application, (void**)&pApp);
  if (SUCCEEDED(hr) && pApp != nullptr) {
    *pbAvailable = -1;
    ULONG left = pApp->Release();
    PIM_TRACE("CheckForPimDatabase", QLT_CString("Called Release on m_pTheOutlookApp. RefsLeft: ") + left +
                                         " pbAvail = " + (int)*pbAvailable);
  } else {
    PIM_TRACE("CheckForPimDatabase", QLT_CString("CoCreateInstance failed with hr: ") + (LONG)hr +
                                         " pbAvail = " + (int)*pbAvailable);
  }
  return S_OK;
}

STDMETHODIMP COutlookPimAdapter::GetCalendarDatabase(ICalendarDatabase** ppCalDB, EPimAdapterResult* pResult) {
  PIM_TRACE("GetCalendarDatabase", "GetCalendarDatabase Entered");

  // Nothing to fetch from and nothing to marshal without a logon.
  if (m_pNameSpace == nullptr || m_pTheOutlookApp == nullptr) {
    *pResult = EPimAdapterResult_NOT_LOGGED_IN;
    PIM_TRACE("GetCalendarDatabase", "ABORTING, not logged in");
    return S_OK;
  }

  if (m_pCalendarDatabase == nullptr) {
    CComObject<CCalendarDatabase>* pDb = nullptr;
    HRESULT hr = CComObject<CCalendarDatabase>::CreateInstance(&pDb);
    if (FAILED(hr)) {
      m_pCalendarDatabase = nullptr;
      *pResult = EPimAdapterResult_ERROR;
      PIM_TRACE("GetCalendarDatabase", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
      return S_OK;
    }
    m_pCalendarDatabase = pDb;
    m_pCalendarDatabase->AddRef();
    PIM_TRACE("GetCalendarDatabase", QLT_CString("Just used CreateInstance to create new m_pCalendarDatabase: (") +
                                         TracePtr(m_pCalendarDatabase) + ")");

    m_pCalendarDatabase->SetLocalUserId(m_MyPimId);

    // A failed attempt may have left its folder here.
    if (m_pCalendarFolder) {
      ULONG left = m_pCalendarFolder->Release();
      PIM_TRACE("GetCalendarDatabase", QLT_CString("Called Release on m_pCalendarFolder. (") +
                                           TracePtr(m_pCalendarFolder) + "). refcount left: " + left);
      m_pCalendarFolder = nullptr;
    }
    hr = m_pNameSpace->GetDefaultFolder(olFolderCalendar, &m_pCalendarFolder);
    if (FAILED(hr)) {
      m_pCalendarFolder = nullptr;
      DropCalendarDatabase();
      *pResult = EPimAdapterResult_GET_CAL_DB_FAILED;
      PIM_TRACE("GetCalendarDatabase", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
      return S_OK;
    }

    m_pCalendarFolder->AddRef();
    ULONG count = m_pCalendarFolder->Release();
    PIM_TRACE("GetCalendarDatabase", QLT_CString("Just got default calendar folder, initial refcount: ") + count);

    IStream* pIOutlookAppStream = nullptr;
    hr = CoMarshalInterThreadInterfaceInStream(IID__Application, m_pTheOutlookApp, &pIOutlookAppStream);
    PIM_TRACE("GetCalendarDatabase", QLT_CString("back from CoMarshal... m_pTheOutlookApp: ") +
                                         TracePtr(m_pTheOutlookApp) + ", returned pIOutlookAppStream: " +
                                         TracePtr(pIOutlookAppStream) + " and hr: " + (LONG)hr);
    if (FAILED(hr)) {
      DropCalendarDatabase();
      *pResult = EPimAdapterResult_ERROR;
      PIM_TRACE("GetCalendarDatabase", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
      return S_OK;
    }

    IStream* pICalendarFolderStream = nullptr;
    hr = CoMarshalInterThreadInterfaceInStream(IID_MAPIFolder, m_pCalendarFolder, &pICalendarFolderStream);
    PIM_TRACE("GetCalendarDatabase", QLT_CString("back from CoMarshal... m_pCalendarFolder: ") +
                                         TracePtr(m_pCalendarFolder) + ", returned pICalendarFolderStream: " +
                                         TracePtr(pICalendarFolderStream) + " and hr: " + (LONG)hr);
    if (FAILED(hr)) {
      pIOutlookAppStream->Release();  // nobody else will have it; its marshalled reference goes with it
      DropCalendarDatabase();
      *pResult = EPimAdapterResult_ERROR;
      PIM_TRACE("GetCalendarDatabase", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
      return S_OK;
    }

    // The database owns both streams from here on.
    m_pCalendarDatabase->m_pOutlookAppStream = pIOutlookAppStream;
    m_pCalendarDatabase->m_pCalendarFolderStream = pICalendarFolderStream;

    m_pCalendarFolder->AddRef();
    count = m_pCalendarFolder->Release();
    PIM_TRACE("GetCalendarDatabase", QLT_CString("After setting folder stream, refcount is: ") + count);
  }

  *ppCalDB = m_pCalendarDatabase;
  PIM_TRACE("GetCalendarDatabase", "GetCalendarDatabase Left");
  *pResult = EPimAdapterResult_SUCCESS;
  return S_OK;
}

void COutlookPimAdapter::DropCalendarDatabase() {
  CCalendarDatabase* p = m_pCalendarDatabase;
  m_pCalendarDatabase = nullptr;
  if (p) p->Release();
}

void COutlookPimAdapter::DropContactsDatabase() {
  CContactsDatabase* p = m_pContactsDatabase;
  m_pContactsDatabase = nullptr;
  if (p) p->Release();
}

STDMETHODIMP COutlookPimAdapter::GetContactsDatabase(IContactsDatabase** ppContactsDB, EPimAdapterResult* pResult) {
  PIM_TRACE("GetContactsDatabase", "GetContactsDatabase called");
  *ppContactsDB = nullptr;

  if (m_pNameSpace == nullptr) {
    *pResult = EPimAdapterResult_NOT_LOGGED_IN;
    PIM_TRACE("GetContactsDatabase", "ABORTING, not logged in");
    return S_OK;
  }

  if (m_pContactsDatabase) {
    *ppContactsDB = m_pContactsDatabase;
    *pResult = EPimAdapterResult_SUCCESS;
    return S_OK;
  }

  CComObject<CContactsDatabase>* pDb = nullptr;
  HRESULT hr = CComObject<CContactsDatabase>::CreateInstance(&pDb);
  if (FAILED(hr)) {
    *pResult = EPimAdapterResult_GET_CONTACTS_DB_FAILED;
    PIM_TRACE("GetContactsDatabase", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }
  m_pContactsDatabase = pDb;
  m_pContactsDatabase->AddRef();
  PIM_TRACE("GetContactsDatabase", QLT_CString("Just used CreateInstance to create new m_pContactsDatabase: (") +
                                       TracePtr(m_pContactsDatabase) + ")");

  // A failed attempt may have left its folder here.
  if (m_pContactsFolder) {
    ULONG left = m_pContactsFolder->Release();
    PIM_TRACE("GetContactsDatabase", QLT_CString("Called Release on m_pContactsFolder. (") +
                                         TracePtr(m_pContactsFolder) + "). refcount left: " + left);
    m_pContactsFolder = nullptr;
  }
  hr = m_pNameSpace->GetDefaultFolder(olFolderContacts, &m_pContactsFolder);
  if (FAILED(hr)) {
    m_pContactsFolder = nullptr;
    DropContactsDatabase();
    *pResult = EPimAdapterResult_GET_CONTACTS_DB_FAILED;
    PIM_TRACE("GetContactsDatabase", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }

  IStream* pStream = nullptr;
  hr = CoMarshalInterThreadInterfaceInStream(IID_MAPIFolder, m_pContactsFolder, &pStream);
  if (FAILED(hr)) {
    DropContactsDatabase();
    *pResult = EPimAdapterResult_GET_CONTACTS_DB_FAILED;
    PIM_TRACE("GetContactsDatabase", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
    return S_OK;
  }

  // The database holds both references and gives both back when it goes.
  m_pContactsDatabase->m_pContactsFolderStream = pStream;
  pStream->AddRef();

  *ppContactsDB = m_pContactsDatabase;
  *pResult = EPimAdapterResult_SUCCESS;
  return S_OK;
}

STDMETHODIMP COutlookPimAdapter::SetMyPimId(BSTR MyPimId, EPimAdapterResult* pResult) {
  PIM_TRACE("SetMyPimId", QLT_CString("SetMyPimId called with new PimId:") + TraceText(MyPimId));
  BSTR copy = SysAllocStringLen(MyPimId, SysStringLen(MyPimId));
  if (m_MyPimId) SysFreeString(m_MyPimId);
  m_MyPimId = copy;
  *pResult = EPimAdapterResult_SUCCESS;
  return S_OK;
}

STDMETHODIMP COutlookPimAdapter::Test(BSTR str) {
  PIM_TRACE("Test", "Test called");
  if (m_pNameSpace == nullptr) return S_OK;
  VARIANT store;
  VariantInit(&store);
  ComPtr<IDispatch> item;
  m_pNameSpace->GetItemFromID(str, store, item.put());
  return S_OK;
}

BSTR BstrFromAnsiString(const char* text, int length) {
  int n = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
  if (n <= 0) return nullptr;
  // With length -1 the count includes the terminator, which the BSTR brings of its own.
  UINT chars = (UINT)(length == -1 ? n - 1 : n);
  BSTR b = SysAllocStringLen(nullptr, chars);
  if (b) MultiByteToWideChar(CP_ACP, 0, text, length, b, n);
  return b;
}
