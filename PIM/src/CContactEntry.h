// CContactEntry: a contact handed out by a search, bound to its item in the PIM application, and
// exported to a file through the safe contact item.
#pragma once
#include <ObjectFrame.h>
#include <Outlook.h>
#include <VYN_PIM_OUTLOOK.h>

class CContactEntry : public CObjectRoot, public IContactEntry {
 public:
  typedef IContactEntry InterfaceType;
  static const IID& InterfaceId() { return IID_IContactEntry; }

  CContactEntry();

  STDMETHOD(SaveAsVCard)(BSTR filename, EContactFileFormat format, EContactsDatabaseResult* pResult) override;

  virtual IUnknown* GetControllingUnknown() = 0;
  virtual ~CContactEntry();

  // Not part of the interface. Takes a reference of its own; the caller keeps its one.
  void SetUnderlyingOutlookContact(_ContactItem* pContact);

  IUnknown* m_pUnkMarshaler;
  _ContactItem* m_OutlookContact;
};
