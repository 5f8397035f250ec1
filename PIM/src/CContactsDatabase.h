// CContactsDatabase: the default contacts folder, renewed for each calling thread from the
// marshalling stream the adapter hands over.
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
};
