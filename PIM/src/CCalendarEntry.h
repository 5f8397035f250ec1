// CCalendarEntry: the local record of one appointment, with an optional binding to the Outlook
// appointment it was read from or written to. Times are kept in local time and converted to and
// from UTC only by the four time accessors.
#pragma once
#include <vector>

#include <ObjectFrame.h>
#include <Outlook.h>
#include <VYN_PIM_OUTLOOK.h>

// One attendee. The texts belong to the attendee list of the entry that holds the element and are
// freed only by DeleteAttendeeList.
//
// The enumerations of the record are kept as their 32-bit numbers: the host may store any value,
// and a value outside an enumeration's range must not be read back through the enumeration type.
struct CAttendee {
  BSTR m_name;
  BSTR m_emailAddr;
  LONG m_type;  // EAttendeeType
};

class CCalendarEntry : public CObjectRoot, public ICalendarEntry {
 public:
  typedef ICalendarEntry InterfaceType;
  static const IID& InterfaceId() { return IID_ICalendarEntry; }

  CCalendarEntry();

  STDMETHOD(put_subject)(BSTR newVal) override;
  STDMETHOD(get_subject)(BSTR* pSubject) override;
  STDMETHOD(put_startTime)(DATE newVal) override;
  STDMETHOD(get_startTime)(DATE* pStart) override;
  STDMETHOD(put_endTime)(DATE newVal) override;
  STDMETHOD(get_endTime)(DATE* pEnd) override;
  STDMETHOD(put_location)(BSTR newVal) override;
  STDMETHOD(get_location)(BSTR* pLocation) override;
  STDMETHOD(put_eventType)(ECalendarEventType newVal) override;
  STDMETHOD(get_eventType)(ECalendarEventType* pType) override;
  STDMETHOD(put_reminderOn)(VARIANT_BOOL newVal) override;
  STDMETHOD(get_reminderOn)(VARIANT_BOOL* pbReminderOn) override;
  STDMETHOD(put_reminderLeadTimeMinutes)(LONG newVal) override;
  STDMETHOD(get_reminderLeadTimeMinutes)(LONG* pLeadTimeMins) override;
  STDMETHOD(put_status)(ECalendarEntryStatus newVal) override;
  STDMETHOD(get_status)(ECalendarEntryStatus* pStatus) override;
  STDMETHOD(put_notes)(BSTR newVal) override;
  STDMETHOD(get_notes)(BSTR* pNotes) override;
  STDMETHOD(get_entryIdIsValid)(VARIANT_BOOL* pbEntryIdIsValid) override;
  STDMETHOD(get_entryId)(BSTR* psEntryId) override;
  STDMETHOD(AddAttendee)(BSTR AttendeeName, BSTR AttendeeEmailAddr, EAttendeeType type) override;

  virtual IUnknown* GetControllingUnknown() = 0;
  virtual ~CCalendarEntry();

  // Not part of the interface; for the calendar database.

  // The live entry behind pEntry, or null when pEntry is null or not one of this module's
  // entries. Only the pointer value is compared: a foreign object is never called.
  static CCalendarEntry* FromInterface(ICalendarEntry* pEntry);

  // Takes a reference of its own to appt (non-null); a previous binding is dropped.
  void SetUnderlyingOutlookAppointment(_AppointmentItem* appt);
  void SetLocalUserId(BSTR id);
  // Both return 0 on success; 1 to 4 tell which step failed. pSafeItems, when given, is the
  // safe-item class the caller keeps; a failed lookup of it by the caller comes as hrNoSafeItems;
  // with neither, the class is looked up for this item.
  int FillInLocalDataFromOutlook(IClassFactory* pSafeItems = nullptr, HRESULT hrNoSafeItems = S_OK);
  int FillInOutlookApptFromLocalData();
  void DeleteAttendeeList();

  // Between the contract's enumerations and Outlook's numbers (enumeration values as LONG).
  static LONG EntryStatusFromOlStatus(LONG olStatus);
  static LONG OlStatusFromEntryStatus(LONG status);
  static LONG ToOlType(LONG type);
  static LONG FromOlType(LONG olType);

  IUnknown* m_pUnkMarshaler;
  _AppointmentItem* m_OutlookAppt;
  BSTR m_subject;
  DATE m_startTime;
  DATE m_endTime;
  BSTR m_location;
  LONG m_eventType;  // ECalendarEventType
  VARIANT_BOOL m_reminderOn;
  LONG m_reminderLeadTimeMinutes;
  LONG m_status;  // ECalendarEntryStatus
  BSTR m_notes;
  std::vector<CAttendee> m_attendees;
  VARIANT_BOOL m_entryIdIsValid;
  BSTR m_entryId;
  BSTR m_localUserId;

 private:
  // AddAttendee for texts the entry takes over (freed here on failure).
  HRESULT AddAttendeeTaking(BSTR name, BSTR emailAddr, LONG type);
  // Appends an attendee holding both texts (freed here on failure).
  HRESULT AppendAttendee(BSTR name, BSTR emailAddr, LONG type);

  // Links of the module's set of live entries.
  CCalendarEntry* m_pPrevLive;
  CCalendarEntry* m_pNextLive;
};
