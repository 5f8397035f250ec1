// CCalendarDatabase: the default calendar folder, with application and folder pointers renewed for
// each calling thread from the marshalling streams the adapter hands over.
//
// Locking: the contract is one caller at a time, but a host that overlaps calls from several threads
// must not tear the thread-bound record. Every interface operation therefore opens with
//     CObjectLock lock(this);
// and keeps it for the whole call, so the pointers the getters return stay this thread's until it
// returns. The object's critical section is re-entrant: CheckAndUpdatePtrsFromStreams and the
// getters take it again on their own and may also be called without it.
#pragma once
#include <ObjectFrame.h>
#include <Outlook.h>
#include <VYN_PIM_OUTLOOK.h>

class CCalendarDatabase : public CObjectRoot, public ICalendarDatabase {
 public:
  typedef ICalendarDatabase InterfaceType;
  static const IID& InterfaceId() { return IID_ICalendarDatabase; }

  CCalendarDatabase();

  STDMETHOD(CreateCalendarEntry)(ICalendarEntry** ppNewEntry, ECalendarDatabaseResult* pResult) override;
  STDMETHOD(AddCalendarEntry)(ICalendarEntry* pEntry, ECalendarDatabaseResult* pResult) override;
  STDMETHOD(RemoveCalendarEntry)(ICalendarEntry* pEntry, ECalendarDatabaseResult* pResult) override;
  STDMETHOD(UpdateCalendarEntry)(ICalendarEntry* pEntry, ECalendarDatabaseResult* pResult) override;
  STDMETHOD(GetCalendarEntriesForPeriod)(DATE Start, DATE End, ICalendarEntryList** ppApptList, ECalendarDatabaseResult* pResult) override;
  STDMETHOD(GetCalendarEntryById)(BSTR entryId, ICalendarEntry** ppNewEntry, ECalendarDatabaseResult* pResult) override;

  virtual IUnknown* GetControllingUnknown() = 0;
  virtual ~CCalendarDatabase();

  // Not part of the interface.
  void SetLocalUserId(BSTR id);
  bool CheckAndUpdatePtrsFromStreams();
  _Application* get_pOutlookApp();
  MAPIFolder* get_pCalendarFolder();

  IUnknown* m_pUnkMarshaler;
  IStream* m_pOutlookAppStream;
  IStream* m_pCalendarFolderStream;
  DWORD m_ptrsThreadId;
  _Application* m_pOutlookAppFromStream;
  MAPIFolder* m_pCalendarFolderFromStream;
  BSTR m_localUserId;

 private:
  // The safe-item class, looked up once per database (that is, per logon) rather than per item.
  HRESULT SafeItemClass(IClassFactory** ppClass);
  IClassFactory* m_pSafeItemClass;
  DWORD m_safeItemClassThreadId;

  bool RebindFromStream(IStream* pKept, REFIID riid, IUnknown** ppFromStream, const char* releaseText);
};
