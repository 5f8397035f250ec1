// The part of the PIM application's object model that the adapter calls (early-bound members).
#pragma once
#include <windows.h>
#include <oaidl.h>

// Application class, activated as a local server.
inline const CLSID CLSID_OutlookApplication = {0x0006F03A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline const IID IID__Application = {0x00063001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline const IID IID__NameSpace = {0x00063002, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline const IID IID_MAPIFolder = {0x00063006, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline const IID IID__Items = {0x00063041, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline const IID IID__AppointmentItem = {0x00063033, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline const IID IID__ContactItem = {0x00063021, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

enum OlDefaultFolders { olFolderCalendar = 9, olFolderContacts = 10 };
enum OlItemType { olMailItem = 0, olAppointmentItem = 1, olContactItem = 2 };
enum OlSaveAsType { olMSG = 3, olVCard = 6 };
enum OlBusyStatus { olFree = 0, olTentative = 1, olBusy = 2, olOutOfOffice = 3 };
enum OlMeetingRecipientType { olOrganizer = 0, olRequired = 1, olOptional = 2, olResource = 3 };

struct _NameSpace;
struct MAPIFolder;
struct _Items;

struct _Application : public IDispatch {
  STDMETHOD(GetNamespace)(BSTR Type, _NameSpace** ppNameSpace) PURE;
  // ItemType is an OlItemType; the new item is unsaved.
  STDMETHOD(CreateItem)(LONG ItemType, IDispatch** ppItem) PURE;
};

struct _NameSpace : public IDispatch {
  STDMETHOD(Logon)(VARIANT Profile, VARIANT Password, VARIANT ShowDialog, VARIANT NewSession) PURE;
  STDMETHOD(Logoff)() PURE;
  // FolderType is an OlDefaultFolders value.
  STDMETHOD(GetDefaultFolder)(LONG FolderType, MAPIFolder** ppFolder) PURE;
  STDMETHOD(GetItemFromID)(BSTR EntryIDItem, VARIANT EntryIDStore, IDispatch** ppItem) PURE;
};

struct MAPIFolder : public IDispatch {
  STDMETHOD(get_Items)(_Items** ppItems) PURE;
  STDMETHOD(get_Name)(BSTR* pName) PURE;
};

struct _Items : public IDispatch {
  STDMETHOD(get_Count)(LONG* pCount) PURE;
  STDMETHOD(get_IncludeRecurrences)(VARIANT_BOOL* pInclude) PURE;
  STDMETHOD(put_IncludeRecurrences)(VARIANT_BOOL Include) PURE;
  // The first matching item, or null with success when none matches.
  STDMETHOD(Find)(BSTR Filter, IDispatch** ppItem) PURE;
  STDMETHOD(GetFirst)(IDispatch** ppItem) PURE;
  STDMETHOD(GetNext)(IDispatch** ppItem) PURE;
  STDMETHOD(Restrict)(BSTR Filter, _Items** ppItems) PURE;
  STDMETHOD(Sort)(BSTR Property, VARIANT Descending) PURE;
};

// Times are local.
struct _AppointmentItem : public IDispatch {
  STDMETHOD(get_EntryID)(BSTR* pEntryID) PURE;
  STDMETHOD(get_Subject)(BSTR* pSubject) PURE;
  STDMETHOD(put_Subject)(BSTR Subject) PURE;
  STDMETHOD(get_Start)(DATE* pStart) PURE;
  STDMETHOD(put_Start)(DATE Start) PURE;
  STDMETHOD(get_End)(DATE* pEnd) PURE;
  STDMETHOD(put_End)(DATE End) PURE;
  STDMETHOD(get_Location)(BSTR* pLocation) PURE;
  STDMETHOD(put_Location)(BSTR Location) PURE;
  STDMETHOD(get_AllDayEvent)(VARIANT_BOOL* pAllDay) PURE;
  STDMETHOD(put_AllDayEvent)(VARIANT_BOOL AllDay) PURE;
  STDMETHOD(get_ReminderSet)(VARIANT_BOOL* pSet) PURE;
  STDMETHOD(put_ReminderSet)(VARIANT_BOOL Set) PURE;
  STDMETHOD(get_ReminderMinutesBeforeStart)(LONG* pMinutes) PURE;
  STDMETHOD(put_ReminderMinutesBeforeStart)(LONG Minutes) PURE;
  // An OlBusyStatus value.
  STDMETHOD(get_BusyStatus)(LONG* pStatus) PURE;
  STDMETHOD(put_BusyStatus)(LONG Status) PURE;
  STDMETHOD(get_Body)(BSTR* pBody) PURE;
  STDMETHOD(put_Body)(BSTR Body) PURE;
  STDMETHOD(get_IsRecurring)(VARIANT_BOOL* pRecurring) PURE;
  STDMETHOD(Save)() PURE;
  STDMETHOD(Delete)() PURE;
};

struct _ContactItem : public IDispatch {
  STDMETHOD(get_EntryID)(BSTR* pEntryID) PURE;
  STDMETHOD(get_FirstName)(BSTR* p) PURE;
  STDMETHOD(put_FirstName)(BSTR v) PURE;
  STDMETHOD(get_LastName)(BSTR* p) PURE;
  STDMETHOD(put_LastName)(BSTR v) PURE;
  STDMETHOD(get_FullName)(BSTR* p) PURE;
  STDMETHOD(put_FullName)(BSTR v) PURE;
  STDMETHOD(get_CompanyName)(BSTR* p) PURE;
  STDMETHOD(put_CompanyName)(BSTR v) PURE;
  STDMETHOD(get_JobTitle)(BSTR* p) PURE;
  STDMETHOD(put_JobTitle)(BSTR v) PURE;
  STDMETHOD(get_Email1Address)(BSTR* p) PURE;
  STDMETHOD(put_Email1Address)(BSTR v) PURE;
  STDMETHOD(get_Email2Address)(BSTR* p) PURE;
  STDMETHOD(put_Email2Address)(BSTR v) PURE;
  STDMETHOD(get_Email3Address)(BSTR* p) PURE;
  STDMETHOD(put_Email3Address)(BSTR v) PURE;
  STDMETHOD(get_BusinessTelephoneNumber)(BSTR* p) PURE;
  STDMETHOD(put_BusinessTelephoneNumber)(BSTR v) PURE;
  STDMETHOD(get_HomeTelephoneNumber)(BSTR* p) PURE;
  STDMETHOD(put_HomeTelephoneNumber)(BSTR v) PURE;
  STDMETHOD(get_MobileTelephoneNumber)(BSTR* p) PURE;
  STDMETHOD(put_MobileTelephoneNumber)(BSTR v) PURE;
  STDMETHOD(get_Body)(BSTR* p) PURE;
  STDMETHOD(put_Body)(BSTR v) PURE;
  STDMETHOD(Save)() PURE;
  STDMETHOD(Delete)() PURE;
};
