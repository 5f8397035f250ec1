// The safe-item library: recipients of an appointment, the current user, contact export.
#pragma once
#include <windows.h>
#include <oaidl.h>

inline const CLSID CLSID_SafeAppointmentItem = {0x620D55B0, 0xF2FB, 0x464E, {0xA2, 0x78, 0xB4, 0x30, 0x8D, 0xB1, 0xDB, 0x2B}};
inline const IID IID_ISafeAppointmentItem = {0x35EFAD55, 0x134A, 0x47BF, {0x91, 0x2A, 0x44, 0xA9, 0xD9, 0xFD, 0x55, 0x6F}};
inline const CLSID CLSID_SafeContactItem = {0x4FD5C4D3, 0x6C15, 0x4EA0, {0x9E, 0xB9, 0xEE, 0xE8, 0xFC, 0x74, 0xA9, 0x1B}};
inline const IID IID_ISafeContactItem = {0x3120A5E4, 0x552D, 0x4EDF, {0x8C, 0x48, 0x70, 0xC5, 0xD5, 0xFF, 0x22, 0xD2}};
inline const CLSID CLSID_SafeCurrentUser = {0x7ED1E9B1, 0xCB57, 0x4FA0, {0x84, 0xE8, 0xFA, 0xE6, 0x53, 0xFE, 0x8E, 0x6B}};
inline const IID IID_ISafeCurrentUser = {0xD7E6FB7C, 0xA22F, 0x4A9D, {0xA8, 0x9D, 0x65, 0x3D, 0x1A, 0xA3, 0x73, 0x24}};
inline const IID IID_ISafeRecipients = {0x0B91D628, 0xAD9C, 0x4BA4, {0x90, 0xE6, 0xBB, 0xB8, 0xE8, 0xE5, 0x39, 0x69}};
inline const IID IID_ISafeRecipient = {0x2104EC4B, 0xC7E5, 0x4542, {0x84, 0x57, 0x36, 0x0C, 0x3A, 0x2A, 0xB2, 0x67}};

struct ISafeRecipient : public IDispatch {
  STDMETHOD(get_Name)(BSTR* pName) PURE;
  STDMETHOD(put_Name)(BSTR Name) PURE;
  STDMETHOD(get_Address)(BSTR* pAddress) PURE;
  STDMETHOD(put_Address)(BSTR Address) PURE;
  // An OlMeetingRecipientType value; any 32-bit value is kept.
  STDMETHOD(get_Type)(LONG* pType) PURE;
  STDMETHOD(put_Type)(LONG Type) PURE;
  STDMETHOD(Resolve)(VARIANT_BOOL ShowDialog, VARIANT_BOOL* pResolved) PURE;
};

struct ISafeRecipients : public IDispatch {
  STDMETHOD(get_Count)(LONG* pCount) PURE;
  // Index is 1-based.
  STDMETHOD(Item)(LONG Index, ISafeRecipient** ppRecipient) PURE;
  // An empty or null name gives a null recipient with success.
  STDMETHOD(Add)(BSTR Name, ISafeRecipient** ppRecipient) PURE;
  STDMETHOD(Remove)(LONG Index) PURE;
};

struct ISafeAppointmentItem : public IDispatch {
  STDMETHOD(get_Item)(IDispatch** ppItem) PURE;
  STDMETHOD(put_Item)(IDispatch* pItem) PURE;
  STDMETHOD(get_Recipients)(ISafeRecipients** ppRecipients) PURE;
};

struct ISafeContactItem : public IDispatch {
  STDMETHOD(get_Item)(IDispatch** ppItem) PURE;
  STDMETHOD(put_Item)(IDispatch* pItem) PURE;
  // Type is an OlSaveAsType in a VT_I4 VARIANT.
  STDMETHOD(SaveAs)(BSTR Path, VARIANT Type) PURE;
};

struct ISafeCurrentUser : public IDispatch {
  // The name may be null.
  STDMETHOD(get_Name)(BSTR* pName) PURE;
  STDMETHOD(Cleanup)() PURE;
};
