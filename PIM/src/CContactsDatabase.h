// CContactsDatabase: the default contacts folder, renewed for each calling thread from the
// marshalling stream the adapter hands over.
//
// Locking: the contract is one caller at a time, but a host that overlaps calls from several threads
// must not tear the thread-bound record. Every interface operation therefore opens with
//     CObjectLock lock(this);
// and keeps it for the whole call, so the folder get_pContactsFolder returns stays this thread's
// until it returns. The object's critical section is re-entrant: CheckAndUpdatePtrsFromStreams takes
// it again on its own and may also be called without it.
#pragma once
#include <ObjectFrame.h>
#include <Outlook.h>
#include <VYN_PIM_OUTLOOK.h>

class CContactsDatabase : public CObjectRoot, public IContactsDatabase {
 public:
  typedef IContactsDatabase InterfaceType;
  static const IID& InterfaceId() { return IID_IContactsDatabase; }

  CContactsDatabase();

  STDMETHOD(GetContactByName)(BSTR FirstName, BSTR LastName, IContactEntry** ppNewEntry, EContactsDatabaseResult* pResult) override;
  STDMETHOD(GetContactByMagicBytes)(ULONG magicBytes, IContactEntry** ppNewEntry, EContactsDatabaseResult* pResult) override;

  virtual IUnknown* GetControllingUnknown() = 0;
  virtual ~CContactsDatabase();

  // Not part of the interface.
  bool CheckAndUpdatePtrsFromStreams();
  MAPIFolder* get_pContactsFolder();

  IUnknown* m_pUnkMarshaler;
  IStream* m_pContactsFolderStream;
  DWORD m_ptrsThreadId;
  MAPIFolder* m_pContactsFolderFromStream;

  // References on m_pContactsFolderStream that the adapter's handover gives: the one the stream was
  // made with and one added after storing it. The destructor gives back all of them.
  static const int kContactsFolderStreamRefs = 2;
};
