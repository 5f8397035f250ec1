// COutlookPimAdapter: the component's creatable class. Owns the logon to the PIM application and
// hands out one calendar database and one contacts database.
#pragma once
#include <ObjectFrame.h>
#include <Outlook.h>
#include <Redemption.h>
#include <VYN_PIM_OUTLOOK.h>

class CCalendarDatabase;
class CContactsDatabase;

class COutlookPimAdapter : public CObjectRoot, public IPimAdapter {
 public:
  typedef IPimAdapter InterfaceType;
  static const IID& InterfaceId() { return IID_IPimAdapter; }

  COutlookPimAdapter();

  STDMETHOD(CheckForPimDatabase)(EPimDatabase dbToCheckFor, EPimDatabaseVersion* pVersion, VARIANT_BOOL* pbAvailable) override;
  STDMETHOD(Logon)(BSTR* pMyPimId, EPimAdapterResult* pResult) override;
  STDMETHOD(Logoff)(EPimAdapterResult* pResult) override;
  STDMETHOD(GetCalendarDatabase)(ICalendarDatabase** ppCalDB, EPimAdapterResult* pResult) override;
  STDMETHOD(GetContactsDatabase)(IContactsDatabase** ppContactsDB, EPimAdapterResult* pResult) override;
  STDMETHOD(SetMyPimId)(BSTR MyPimId, EPimAdapterResult* pResult) override;
  STDMETHOD(Test)(BSTR str) override;

  virtual IUnknown* GetControllingUnknown() = 0;
  virtual ~COutlookPimAdapter();

  _Application* m_pTheOutlookApp;
  _NameSpace* m_pNameSpace;
  MAPIFolder* m_pCalendarFolder;
  MAPIFolder* m_pContactsFolder;
  CCalendarDatabase* m_pCalendarDatabase;
  CContactsDatabase* m_pContactsDatabase;
  BSTR m_MyPimId;
  ISafeCurrentUser* m_pSafeCurrUser;
  IUnknown* m_pUnkMarshaler;

 private:
  void ReleaseLogonState();
  void ReleaseHandoutsAndLogon(const char* function);
  void DropCalendarDatabase();
  void DropContactsDatabase();
};

// 8-bit ANSI text to a new BSTR, or null when allocation fails; length -1 means NUL-terminated.
// The caller frees the result with SysFreeString.
BSTR BstrFromAnsiString(const char* text, int length);
