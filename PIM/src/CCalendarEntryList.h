// CCalendarEntryList: the entries a period query found, in start order, fixed once handed out;
// CCalendarEntryListIterator walks it and cycles back to the first entry after reporting the end.
#pragma once
#include <stddef.h>

#include <vector>

#include <ObjectFrame.h>
#include <VYN_PIM_OUTLOOK.h>

class CCalendarEntryList : public CObjectRoot, public ICalendarEntryList {
 public:
  typedef ICalendarEntryList InterfaceType;
  static const IID& InterfaceId() { return IID_ICalendarEntryList; }

  CCalendarEntryList();

  STDMETHOD(get_numElements)(UINT* pNumEls) override;
  STDMETHOD(GetIterator)(ICalendarEntryListIterator** ppIterator) override;

  virtual IUnknown* GetControllingUnknown() = 0;
  virtual ~CCalendarEntryList();

  // Not part of the interface. Appends pEntry (non-null) with a reference of the list's own;
  // only before the list is handed out. E_OUTOFMEMORY leaves the list and pEntry as they were.
  HRESULT AddElement(ICalendarEntry* pEntry);

  // A position is an index into m_EntryList; the end position is the index one past the last
  // element, and the position after it is the first element again.
  typedef size_t Position;
  // Advances position (to the first element when atStart) and returns the element there, or
  // null at the end position. Adds no reference.
  ICalendarEntry* GetNext(Position& position, bool& atStart);

  IUnknown* m_pUnkMarshaler;
  std::vector<ICalendarEntry*> m_EntryList;
};

class CCalendarEntryListIterator : public CObjectRoot, public ICalendarEntryListIterator {
 public:
  typedef ICalendarEntryListIterator InterfaceType;
  static const IID& InterfaceId() { return IID_ICalendarEntryListIterator; }

  CCalendarEntryListIterator();

  STDMETHOD(get_current)(ICalendarEntry** ppCurr) override;
  STDMETHOD(Next)(VARIANT_BOOL* pMore) override;
  STDMETHOD(Reset)() override;

  // This class has its destructor before GetControllingUnknown.
  virtual ~CCalendarEntryListIterator();
  virtual IUnknown* GetControllingUnknown() = 0;

  IUnknown* m_pUnkMarshaler;
  CCalendarEntryList* m_pList;
  CCalendarEntryList::Position m_Position;
  ICalendarEntry* m_pCurrent;
  bool m_bAtStart;
};
