// The contract of VYN_PIM_OUTLOOK: seven interfaces, ten enumerations and their identifiers.
// A host program includes only this header.
#pragma once
#include <objbase.h>
#include <oleauto.h>

// {4B628249-5DC2-473F-AEBF-CC494413275E}
inline const GUID LIBID_VYN_PIM_OUTLOOKLib = {0x4B628249, 0x5DC2, 0x473F, {0xAE, 0xBF, 0xCC, 0x49, 0x44, 0x13, 0x27, 0x5E}};
// {9D9625A6-B9D2-418A-A628-F0D137E8B60D}
inline const CLSID CLSID_COutlookPimAdapter = {0x9D9625A6, 0xB9D2, 0x418A, {0xA6, 0x28, 0xF0, 0xD1, 0x37, 0xE8, 0xB6, 0x0D}};
inline const IID IID_IPimAdapter = {0x2DFEDFF5, 0xD5B1, 0x4BAB, {0x96, 0x4F, 0xCD, 0xED, 0xCB, 0x36, 0xCC, 0xF0}};
inline const IID IID_ICalendarDatabase = {0x8F94C639, 0x7876, 0x4204, {0xA5, 0x5C, 0x5E, 0x45, 0x4B, 0x2F, 0xE6, 0xBC}};
inline const IID IID_ICalendarEntry = {0x02051CDF, 0x9322, 0x48A4, {0x97, 0x4D, 0xDD, 0xF8, 0x98, 0xF6, 0xB4, 0xAE}};
inline const IID IID_ICalendarEntryList = {0x586FE225, 0x58D9, 0x454D, {0xAD, 0x18, 0x3F, 0x01, 0x94, 0x54, 0xD5, 0xF2}};
inline const IID IID_ICalendarEntryListIterator = {0x2DC32106, 0xCEA9, 0x4DE8, {0xBB, 0x09, 0x52, 0x02, 0x04, 0x08, 0xE5, 0x67}};
inline const IID IID_IContactsDatabase = {0x125A5B27, 0x2817, 0x471C, {0x96, 0x6B, 0xAF, 0xCE, 0x78, 0x17, 0x39, 0x88}};
inline const IID IID_IContactEntry = {0x4E6E0A0C, 0xEF3C, 0x49DA, {0xB5, 0x4E, 0x4D, 0xFF, 0xE2, 0x39, 0xC9, 0xEE}};

#define VYN_PIM_OUTLOOK_PROGID "VYN_PIM_OUTLOOK.OutlookPimAdapter.1"
#define VYN_PIM_OUTLOOK_VERSION_INDEPENDENT_PROGID "VYN_PIM_OUTLOOK.OutlookPimAdapter"

typedef enum EPimDatabase {
  EPimDatabase_NONE = 0,
  EPimDatabase_CALENDAR = 2,
  EPimDatabase_CONTACTS = 4,
  EPimDatabase_TASKS = 8
} EPimDatabase;

typedef enum EPimDatabaseVersion {
  EPimDatabaseVersion_OUTLOOK_97 = 0,
  EPimDatabaseVersion_OUTLOOK_98 = 1,
  EPimDatabaseVersion_OUTLOOK_2000 = 2
} EPimDatabaseVersion;

typedef enum EPimAdapterResult {
  EPimAdapterResult_SUCCESS = 0,
  EPimAdapterResult_LIBRARY_NOT_FOUND = 1,
  EPimAdapterResult_NOT_LOGGED_IN = 2,
  EPimAdapterResult_GET_CAL_DB_FAILED = 3,
  EPimAdapterResult_GET_CONTACTS_DB_FAILED = 4,
  EPimAdapterResult_ERROR = 5
} EPimAdapterResult;

typedef enum ECalendarDatabaseResult {
  ECalendarDatabaseResult_SUCCESS = 0,
  ECalendarDatabaseResult_NO_CORRESPONDING_ENTRY = 1,
  ECalendarDatabaseResult_ENTRY_ALREADY_IN_DATABASE = 2,
  ECalendarDatabaseResult_NO_ITEM_FOUND = 3,
  ECalendarDatabaseResult_ERROR = 4
} ECalendarDatabaseResult;

typedef enum ECalendarEventType {
  ECalendarEventType_INVALID = 0,
  ECalendarEventType_NORMAL = 1,
  ECalendarEventType_ALL_DAY = 2
} ECalendarEventType;

typedef enum ECalendarEntryStatus {
  ECalendarEntryStatus_INVALID = 0,
  ECalendarEntryStatus_FREE = 1,
  ECalendarEntryStatus_BUSY = 2,
  ECalendarEntryStatus_TENTATIVE = 3,
  ECalendarEntryStatus_OUT_OF_OFFICE = 4
} ECalendarEntryStatus;

typedef enum EAttendeeType {
  EAttendeeType_INVALID = 0,
  EAttendeeType_DONT_CARE = 1,
  EAttendeeType_ORGANIZER = 2,
  EAttendeeType_OPTIONAL = 3,
  EAttendeeType_REQUIRED = 4,
  EAttendeeType_RESOURCE = 5
} EAttendeeType;

typedef enum EContactFileFormat {
  EContactFileFormat_INVALID = 0,
  EContactFileFormat_VCARD = 1,
  EContactFileFormat_MSG = 2
} EContactFileFormat;

typedef enum EContactsDatabaseResult {
  EContactsDatabaseResult_SUCCESS = 0,
  EContactsDatabaseResult_NO_ITEM_FOUND = 1,
  EContactsDatabaseResult_MULTIPLE_ITEMS_FOUND = 2,
  EContactsDatabaseResult_SAVE_VCARD_FAILED = 3,
  EContactsDatabaseResult_ERROR = 4,
  EContactsDatabaseResult_REDEMPTION_ERROR = 5
} EContactsDatabaseResult;

static_assert(sizeof(EPimDatabase) == 4 && sizeof(EContactsDatabaseResult) == 4, "enumerations are 32-bit");

struct ICalendarDatabase;
struct ICalendarEntry;
struct ICalendarEntryList;
struct ICalendarEntryListIterator;
struct IContactsDatabase;
struct IContactEntry;

struct IPimAdapter : public IUnknown {
  STDMETHOD(CheckForPimDatabase)(EPimDatabase dbToCheckFor, EPimDatabaseVersion* pVersion, VARIANT_BOOL* pbAvailable) PURE;
  STDMETHOD(Logon)(BSTR* pMyPimId, EPimAdapterResult* pResult) PURE;
  STDMETHOD(Logoff)(EPimAdapterResult* pResult) PURE;
  STDMETHOD(GetCalendarDatabase)(ICalendarDatabase** ppCalDB, EPimAdapterResult* pResult) PURE;
  STDMETHOD(GetContactsDatabase)(IContactsDatabase** ppContactsDB, EPimAdapterResult* pResult) PURE;
  STDMETHOD(SetMyPimId)(BSTR MyPimId, EPimAdapterResult* pResult) PURE;
  STDMETHOD(Test)(BSTR str) PURE;
};

struct ICalendarDatabase : public IUnknown {
  STDMETHOD(CreateCalendarEntry)(ICalendarEntry** ppNewEntry, ECalendarDatabaseResult* pResult) PURE;
  STDMETHOD(AddCalendarEntry)(ICalendarEntry* pEntry, ECalendarDatabaseResult* pResult) PURE;
  STDMETHOD(RemoveCalendarEntry)(ICalendarEntry* pEntry, ECalendarDatabaseResult* pResult) PURE;
  STDMETHOD(UpdateCalendarEntry)(ICalendarEntry* pEntry, ECalendarDatabaseResult* pResult) PURE;
  STDMETHOD(GetCalendarEntriesForPeriod)(DATE Start, DATE End, ICalendarEntryList** ppApptList, ECalendarDatabaseResult* pResult) PURE;
  STDMETHOD(GetCalendarEntryById)(BSTR entryId, ICalendarEntry** ppNewEntry, ECalendarDatabaseResult* pResult) PURE;
};

struct ICalendarEntry : public IUnknown {
  STDMETHOD(put_subject)(BSTR newVal) PURE;
  STDMETHOD(get_subject)(BSTR* pSubject) PURE;
  STDMETHOD(put_startTime)(DATE newVal) PURE;
  STDMETHOD(get_startTime)(DATE* pStart) PURE;
  STDMETHOD(put_endTime)(DATE newVal) PURE;
  STDMETHOD(get_endTime)(DATE* pEnd) PURE;
  STDMETHOD(put_location)(BSTR newVal) PURE;
  STDMETHOD(get_location)(BSTR* pLocation) PURE;
  STDMETHOD(put_eventType)(ECalendarEventType newVal) PURE;
  STDMETHOD(get_eventType)(ECalendarEventType* pType) PURE;
  STDMETHOD(put_reminderOn)(VARIANT_BOOL newVal) PURE;
  STDMETHOD(get_reminderOn)(VARIANT_BOOL* pbReminderOn) PURE;
  STDMETHOD(put_reminderLeadTimeMinutes)(LONG newVal) PURE;
  STDMETHOD(get_reminderLeadTimeMinutes)(LONG* pLeadTimeMins) PURE;
  STDMETHOD(put_status)(ECalendarEntryStatus newVal) PURE;
  STDMETHOD(get_status)(ECalendarEntryStatus* pStatus) PURE;
  STDMETHOD(put_notes)(BSTR newVal) PURE;
  STDMETHOD(get_notes)(BSTR* pNotes) PURE;
  STDMETHOD(get_entryIdIsValid)(VARIANT_BOOL* pbEntryIdIsValid) PURE;
  STDMETHOD(get_entryId)(BSTR* psEntryId) PURE;
  STDMETHOD(AddAttendee)(BSTR AttendeeName, BSTR AttendeeEmailAddr, EAttendeeType type) PURE;
};

struct ICalendarEntryList : public IUnknown {
  STDMETHOD(get_numElements)(UINT* pNumEls) PURE;
  STDMETHOD(GetIterator)(ICalendarEntryListIterator** ppIterator) PURE;
};

struct ICalendarEntryListIterator : public IUnknown {
  STDMETHOD(get_current)(ICalendarEntry** ppCurr) PURE;
  STDMETHOD(Next)(VARIANT_BOOL* pMore) PURE;
  STDMETHOD(Reset)() PURE;
};

struct IContactsDatabase : public IUnknown {
  STDMETHOD(GetContactByName)(BSTR FirstName, BSTR LastName, IContactEntry** ppNewEntry, EContactsDatabaseResult* pResult) PURE;
  STDMETHOD(GetContactByMagicBytes)(ULONG magicBytes, IContactEntry** ppNewEntry, EContactsDatabaseResult* pResult) PURE;
};

struct IContactEntry : public IUnknown {
  STDMETHOD(SaveAsVCard)(BSTR filename, EContactFileFormat format, EContactsDatabaseResult* pResult) PURE;
};
