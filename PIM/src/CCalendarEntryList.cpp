#include "CCalendarEntryList.h"

#include <new>

#include <QLT.h>

#include "Trace.h"

static const char kTraceFile[] = "PIM/src/CCalendarEntryList";
static const char kTraceClass[] = "CCalendarEntryList";

// ---- CCalendarEntryList --------------------------------------------------------------------

CCalendarEntryList::CCalendarEntryList() : m_pUnkMarshaler(nullptr) {
  PIM_TRACE("CCalendarEntryList constructor", "CCalendarEntryList constructor called.");
}

CCalendarEntryList::~CCalendarEntryList() {
  PIM_TRACE("~CCalendarEntryList", QLT_CString("~CCalendarEntryList() called. List size: ") + (unsigned int)m_EntryList.size());
  const bool tracing = PimTraceOn();  // the count is read for the trace only
  for (ICalendarEntry* pEntry : m_EntryList) {
    if (tracing) {
      pEntry->AddRef();
      ULONG refs = pEntry->Release();
      PIM_TRACE("~CCalendarEntryList", QLT_CString("in ~CCalendarEntryList() about to call Release on: (") +
                                           TracePtr(pEntry) + ") currRefs = " + (LONG)refs);
    }
    pEntry->Release();
  }
  m_EntryList.clear();
}

HRESULT CCalendarEntryList::AddElement(ICalendarEntry* pEntry) {
  try {
    // Doubling: growing by one element per call copied the whole list on every append.
    if (m_EntryList.size() == m_EntryList.capacity()) m_EntryList.reserve(m_EntryList.size() < 16 ? 16 : m_EntryList.size() * 2);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  ULONG refs = pEntry->AddRef();
  m_EntryList.push_back(pEntry);  // capacity reserved above: cannot throw
  PIM_TRACE("AddElement", QLT_CString("AddElement() incremented refcount on pEntry, curr refcount is: ") + (LONG)refs);
  return S_OK;
}

STDMETHODIMP CCalendarEntryList::get_numElements(UINT* pNumEls) {
  if (pNumEls == nullptr) return E_POINTER;
  UINT count = (UINT)m_EntryList.size();
  *pNumEls = count;
  PIM_TRACE("get_numElements", QLT_CString("get_numElements() called, returning: ") + (unsigned int)count);
  return S_OK;
}

STDMETHODIMP CCalendarEntryList::GetIterator(ICalendarEntryListIterator** ppIterator) {
  if (ppIterator == nullptr) return E_INVALIDARG;
  CComObject<CCalendarEntryListIterator>* pIter = nullptr;
  HRESULT hr = CComObject<CCalendarEntryListIterator>::CreateInstance(&pIter);
  if (FAILED(hr)) {
    *ppIterator = nullptr;
    return hr;
  }
  ULONG listRefs = AddRef();
  PIM_TRACE("GetIterator", QLT_CString("in GetIterator() incr refcount on this (") + TracePtr(this) + ") to refcount: " +
                               (LONG)listRefs);
  ULONG iterRefs = pIter->AddRef();
  pIter->m_pList = this;
  *ppIterator = pIter;
  PIM_TRACE("GetIterator", QLT_CString("GetIterator() called, returning (") + TracePtr(pIter) + ") with refcount: " +
                               (LONG)iterRefs);
  return S_OK;
}

ICalendarEntry* CCalendarEntryList::GetNext(Position& position, bool& atStart) {
  const Position end = m_EntryList.size();
  if (atStart) {
    position = 0;  // the end position itself when the list is empty
    atStart = false;
  } else {
    position = (position >= end) ? 0 : position + 1;
  }
  ICalendarEntry* result = (position < end) ? m_EntryList[position] : nullptr;
  PIM_TRACE("GetNext", QLT_CString("GetNext() called, returning (") + TracePtr(result) + ") ");
  return result;
}

// ---- CCalendarEntryListIterator ------------------------------------------------------------

CCalendarEntryListIterator::CCalendarEntryListIterator()
    : m_pUnkMarshaler(nullptr), m_pList(nullptr), m_Position(0), m_pCurrent(nullptr), m_bAtStart(true) {}

CCalendarEntryListIterator::~CCalendarEntryListIterator() {
  if (m_pCurrent) {
    m_pCurrent->Release();
    m_pCurrent = nullptr;
  }
  if (m_pList) {
    CCalendarEntryList* pList = m_pList;
    m_pList = nullptr;
    pList->Release();  // may destroy the list
  }
}

STDMETHODIMP CCalendarEntryListIterator::get_current(ICalendarEntry** ppCurr) {
  if (ppCurr == nullptr) return E_POINTER;
  CObjectLock lock(this);
  if (m_pCurrent) m_pCurrent->AddRef();
  *ppCurr = m_pCurrent;
  return S_OK;
}

STDMETHODIMP CCalendarEntryListIterator::Next(VARIANT_BOOL* pMore) {
  if (pMore == nullptr) return E_POINTER;
  CObjectLock lock(this);
  *pMore = VARIANT_FALSE;
  if (m_pCurrent) {
    m_pCurrent->Release();
    m_pCurrent = nullptr;
  }
  m_pCurrent = m_pList->GetNext(m_Position, m_bAtStart);
  if (m_pCurrent) {
    m_pCurrent->AddRef();
    *pMore = VARIANT_TRUE;
  }
  return S_OK;
}

STDMETHODIMP CCalendarEntryListIterator::Reset() {
  CObjectLock lock(this);
  if (m_pCurrent) m_pCurrent->Release();
  m_pCurrent = nullptr;
  m_bAtStart = true;
  return S_OK;
}
