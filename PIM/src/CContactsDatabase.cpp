#include "CContactsDatabase.h"

#include <ComPtr.h>

#include "CContactEntry.h"
#include "Trace.h"

static const char kTraceFile[] = "PIM/src/CContactsDatabase";
static const char kTraceClass[] = "CContactsDatabase";

// ---- construction, destruction and the thread-bound pointer ---------------------------------

CContactsDatabase::CContactsDatabase()
    : m_pUnkMarshaler(nullptr), m_pContactsFolderStream(nullptr), m_ptrsThreadId(0), m_pContactsFolderFromStream(nullptr) {}

CContactsDatabase::~CContactsDatabase() {
  PIM_TRACE("~CContactsDatabase", "CContactsDatabase destructor called");
  if (m_pContactsFolderStream) {
    // The handover leaves two references here: the one the stream was made with and the adapter's.
    for (int i = 0; i < kContactsFolderStreamRefs; ++i) {
      LONG left = (LONG)m_pContactsFolderStream->Release();
      PIM_TRACE("~CContactsDatabase",
                QLT_CString("in ~CContactsDatabase after m_pContactsFolderStream->Release(), refsLeft =") + left);
    }
    m_pContactsFolderStream = nullptr;
  }
  if (m_pContactsFolderFromStream) {
    LONG left = (LONG)m_pContactsFolderFromStream->Release();
    PIM_TRACE("~CContactsDatabase", QLT_CString("m_pContactsFolderFromStream->Release() refsLeft: ") + left);
    m_pContactsFolderFromStream = nullptr;
  }
}

bool CContactsDatabase::CheckAndUpdatePtrsFromStreams() {
  CObjectLock lock(this);
  if (GetCurrentThreadId() == m_ptrsThreadId) {
    PIM_TRACE("CheckAndUpdatePtrsFromStreams",
              "CheckAndUpdatePtrsFromStreams called, not regenerating ptrs (current ones are valid for this thread)");
    return true;
  }
  PIM_TRACE("CheckAndUpdatePtrsFromStreams", "CheckAndUpdatePtrsFromStreams called, regenerating ptrs from streams");

  // Unmarshal from a clone, so the kept stream keeps its data and its position for the next thread.
  IStream* pClone = nullptr;
  HRESULT hr = m_pContactsFolderStream ? m_pContactsFolderStream->Clone(&pClone) : E_POINTER;
  if (FAILED(hr)) {
    PIM_TRACE("CheckAndUpdatePtrsFromStreams", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return false;
  }
  if (m_pContactsFolderFromStream) {
    LONG left = (LONG)m_pContactsFolderFromStream->Release();
    PIM_TRACE("CheckAndUpdatePtrsFromStreams", QLT_CString("m_pContactsFolderFromStream->Release() refsLeft: ") + left);
    m_pContactsFolderFromStream = nullptr;
  }
  hr = CoGetInterfaceAndReleaseStream(pClone, IID_MAPIFolder, (void**)&m_pContactsFolderFromStream);
  if (FAILED(hr)) {
    m_pContactsFolderFromStream = nullptr;
    PIM_TRACE("CheckAndUpdatePtrsFromStreams", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    return false;
  }

  m_ptrsThreadId = GetCurrentThreadId();
  return true;
}

MAPIFolder* CContactsDatabase::get_pContactsFolder() {
  CObjectLock lock(this);
  if (!CheckAndUpdatePtrsFromStreams()) return nullptr;
  return m_pContactsFolderFromStream;
}

// ---- the searches ----------------------------------------------------------------------------

// Ends a search with ERROR; the owning pointers then release the collection and the folder.
#define FAIL_SEARCH(function, hr)                                           \
  do {                                                                      \
    *pResult = EContactsDatabaseResult_ERROR;                               \
    PIM_TRACE((function), QLT_CString("ABORTING, bad HR: ") + (LONG)(hr)); \
    return S_OK;                                                            \
  } while (0)

// A name as the quoted value of a find filter. A double quote is doubled so that the name is
// matched literally and cannot end the value early and rewrite the filter. Null is the empty name.
static BSTR QuotedFilterValue(BSTR name) {
  UINT len = 0, quotes = 0;
  if (name != nullptr)
    for (; name[len] != 0; ++len)
      if (name[len] == OLECHAR('"')) ++quotes;
  BSTR value = SysAllocStringLen(nullptr, len + quotes);
  if (value == nullptr) return nullptr;
  UINT out = 0;
  for (UINT i = 0; i < len; ++i) {
    value[out++] = name[i];
    if (name[i] == OLECHAR('"')) value[out++] = name[i];
  }
  value[out] = 0;
  return value;
}

// [FirstName] = "first" and [LastName] = "last"; null when memory runs out.
static BSTR BuildNameFilter(BSTR FirstName, BSTR LastName) {
  BSTR first = QuotedFilterValue(FirstName);
  BSTR last = QuotedFilterValue(LastName);
  BSTR filter = nullptr;
  if (first != nullptr && last != nullptr) {
    QLT_CString text = QLT_CString("[FirstName] = \"") + QLT_CString((const unsigned short*)first) + "\"" + " and " +
                       "[LastName] = \"" + QLT_CString((const unsigned short*)last) + "\"";
    filter = SysAllocString(reinterpret_cast<const OLECHAR*>(text.wc_str()));
  }
  SysFreeString(first);
  SysFreeString(last);
  return filter;
}

STDMETHODIMP CContactsDatabase::GetContactByName(BSTR FirstName, BSTR LastName, IContactEntry** ppNewEntry,
                                                 EContactsDatabaseResult* pResult) {
  CObjectLock lock(this);
  if (ppNewEntry == nullptr || pResult == nullptr) return E_POINTER;

  ComPtr<MAPIFolder> folder(get_pContactsFolder());
  if (!folder) {
    // The thread-bound check has traced why.
    *pResult = EContactsDatabaseResult_ERROR;
    return S_OK;
  }
  ComPtr<_Items> items;
  HRESULT hr = folder->get_Items(items.put());
  if (SUCCEEDED(hr) && !items) hr = E_POINTER;
  if (FAILED(hr)) FAIL_SEARCH("GetContactByName", hr);

  BSTR filter = BuildNameFilter(FirstName, LastName);
  if (filter == nullptr) FAIL_SEARCH("GetContactByName", E_OUTOFMEMORY);
  ComPtr<IDispatch> item;
  hr = items->Find(filter, item.put());
  SysFreeString(filter);
  if (FAILED(hr)) FAIL_SEARCH("GetContactByName", hr);

  if (!item) {
    *ppNewEntry = nullptr;
    *pResult = EContactsDatabaseResult_NO_ITEM_FOUND;
    return S_OK;
  }

  ComPtr<_ContactItem> contact;
  hr = item.query(IID__ContactItem, &contact);
  item.reset();
  if (SUCCEEDED(hr) && !contact) hr = E_NOINTERFACE;
  if (FAILED(hr)) FAIL_SEARCH("GetContactByName", hr);

  CComObject<CContactEntry>* pEntry = nullptr;
  hr = CComObject<CContactEntry>::CreateInstance(&pEntry);
  if (FAILED(hr)) FAIL_SEARCH("GetContactByName", hr);
  pEntry->AddRef();
  pEntry->SetUnderlyingOutlookContact(contact.get());
  contact.reset();

  *ppNewEntry = pEntry;
  *pResult = EContactsDatabaseResult_SUCCESS;
  return S_OK;
}

// The 8-character key: the bytes of magicBytes from the least significant on, each as two
// upper-case hexadecimal digits, high half first (0x0A0B0C0D gives "0D0C0B0A").
static void MakeSearchKey(ULONG magicBytes, char key[8]) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 4; ++i) {
    unsigned int b = (magicBytes >> (8 * i)) & 0xFFu;
    key[2 * i] = kHex[b >> 4];
    key[2 * i + 1] = kHex[b & 0xFu];
  }
}

// Offset of the key window: 128 in entry ids longer than 128 characters, 40 otherwise. Only the
// low 8 bits of each character are compared, case-sensitively.
static bool EntryIdMatchesKey(BSTR entryId, const char key[8], UINT* pOffset) {
  UINT len = SysStringLen(entryId);
  UINT offset = (len > 128) ? 128 : 40;
  *pOffset = offset;
  if (len < offset + 8) return false;
  for (UINT k = 0; k < 8; ++k)
    if ((char)(entryId[offset + k] & 0xFF) != key[k]) return false;
  return true;
}

STDMETHODIMP CContactsDatabase::GetContactByMagicBytes(ULONG magicBytes, IContactEntry** ppNewEntry,
                                                       EContactsDatabaseResult* pResult) {
  CObjectLock lock(this);
  PIM_TRACE("GetContactByMagicBytes", "GetContactByMagicBytes called");
  if (ppNewEntry == nullptr || pResult == nullptr) return E_POINTER;

  char key[8];
  MakeSearchKey(magicBytes, key);

  ComPtr<MAPIFolder> folder(get_pContactsFolder());
  if (!folder) {
    *pResult = EContactsDatabaseResult_ERROR;
    return S_OK;
  }
  ComPtr<_Items> items;
  HRESULT hr = folder->get_Items(items.put());
  if (SUCCEEDED(hr) && !items) hr = E_POINTER;
  if (FAILED(hr)) FAIL_SEARCH("GetContactByMagicBytes", hr);

  ComPtr<IDispatch> item;
  hr = items->GetFirst(item.put());
  if (FAILED(hr)) FAIL_SEARCH("GetContactByMagicBytes", hr);

  // Every item is looked at: a second match must be reported, not hidden behind the first.
  unsigned int matches = 0;
  while (item) {
    ComPtr<_ContactItem> contact;
    HRESULT hrQuery = item.query(IID__ContactItem, &contact);
    item.reset();
    if (SUCCEEDED(hrQuery) && contact) {
      BSTR entryId = nullptr;
      hr = contact->get_EntryID(&entryId);
      if (FAILED(hr)) {
        SysFreeString(entryId);
        FAIL_SEARCH("GetContactByMagicBytes", hr);
      }
      UINT offset = 0;
      bool match = EntryIdMatchesKey(entryId, key, &offset);
      SysFreeString(entryId);
      if (match) {
        PIM_TRACE("GetContactByMagicBytes",
                  QLT_CString("A match was found, offset (relate to entry id len) = ") + (LONG)offset);
        if (++matches == 1) {
          CComObject<CContactEntry>* pEntry = nullptr;
          hr = CComObject<CContactEntry>::CreateInstance(&pEntry);
          if (FAILED(hr)) FAIL_SEARCH("GetContactByMagicBytes", hr);
          pEntry->AddRef();
          pEntry->SetUnderlyingOutlookContact(contact.get());
          *ppNewEntry = pEntry;
          *pResult = EContactsDatabaseResult_SUCCESS;
        }
      }
    }
    contact.reset();
    hr = items->GetNext(item.put());
    if (FAILED(hr)) FAIL_SEARCH("GetContactByMagicBytes", hr);
  }

  if (matches == 0)
    *pResult = EContactsDatabaseResult_NO_ITEM_FOUND;
  else if (matches > 1)
    *pResult = EContactsDatabaseResult_MULTIPLE_ITEMS_FOUND;
  return S_OK;
}

#undef FAIL_SEARCH
