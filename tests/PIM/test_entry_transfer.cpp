// Moving an entry's record to and from its appointment, attendees included.
#include <algorithm>

#include "test_calendar_fixture.h"

namespace caltest {
namespace {

class TransferTest : public CalendarTest {
 protected:
  // An appointment (the test's reference) bound to a new entry (the test's reference).
  void Bind() {
    m_appt = ComPtr<FakeAppointment>::attach(new FakeAppointment(&m_store));
    m_entry = NewEntry(&m_impl);
    m_impl->SetUnderlyingOutlookAppointment(m_appt.get());
    pimtest::Bstr me(u"Me");
    m_impl->SetLocalUserId(me.get());
    m_world.log.clear();
  }
  void FillAppointment() {
    m_appt->m_subject = u"Review";
    m_appt->m_location = u"Room 4";
    m_appt->m_body = u"Agenda";
    m_appt->m_start = MakeDate(2024, 5, 6, 9, 0);
    m_appt->m_end = MakeDate(2024, 5, 6, 10, 30);
    m_appt->m_allDay = VARIANT_TRUE;
    m_appt->m_reminderSet = VARIANT_TRUE;
    m_appt->m_reminderMinutes = 15;
    m_appt->m_busy = olOutOfOffice;
    m_appt->m_entryId = u"00000000ABCDEF0000000000000000000000000000000042";
    m_appt->AddRecipient(u"Org", u"org@example.org", olOrganizer);
    m_appt->AddRecipient(u"Req", u"req@example.org", olRequired);
    m_appt->AddRecipient(u"Opt", nullptr, olOptional);
  }
  void AddAttendee(const char16_t* name, const char16_t* mail, EAttendeeType type) {
    pimtest::Bstr n(name), m(mail);
    m_entry->AddAttendee(name ? n.get() : nullptr, mail ? m.get() : nullptr, type);
  }
  std::vector<std::u16string> RecipientNames() const {
    std::vector<std::u16string> out;
    for (FakeRecipient* r : m_appt->m_recipients) out.push_back(r->m_name.value_or(u"<null>"));
    return out;
  }
  void TearDown() override {
    m_entry.reset();
    m_appt.reset();
    CalendarTest::TearDown();
  }

  ComPtr<FakeAppointment> m_appt;
  ComPtr<ICalendarEntry> m_entry;
  CCalendarEntry* m_impl = nullptr;
};

TEST_F(TransferTest, AnUnboundEntryIsLeftAloneBothWays) {
  CCalendarEntry* impl = nullptr;
  ComPtr<ICalendarEntry> e = NewEntry(&impl);
  pimtest::TraceCapture trace;
  EXPECT_EQ(impl->FillInLocalDataFromOutlook(), 0);
  EXPECT_EQ(impl->FillInOutlookApptFromLocalData(), 0);
  EXPECT_TRUE(m_world.log.empty());
  EXPECT_EQ(impl->m_entryIdIsValid, 0);
  EXPECT_TRUE(trace.Contains("FillInOutlookApptFromLocalData Left"));
}

TEST_F(TransferTest, ReadingReplacesTheAttendeesWithTheRecipientsInOrder) {
  Bind();
  FillAppointment();
  AddAttendee(u"Old one", u"old@example.org", EAttendeeType_REQUIRED);
  AddAttendee(u"Old two", nullptr, EAttendeeType_OPTIONAL);

  EXPECT_EQ(m_impl->FillInLocalDataFromOutlook(), 0);
  ASSERT_EQ(m_impl->m_attendees.size(), 3u);
  const char16_t* names[] = {u"Org", u"Req", u"Opt"};
  const EAttendeeType types[] = {EAttendeeType_ORGANIZER, EAttendeeType_REQUIRED, EAttendeeType_OPTIONAL};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Str(m_impl->m_attendees[i].m_name), names[i]);
    EXPECT_EQ(m_impl->m_attendees[i].m_type, types[i]);
  }
  EXPECT_EQ(Str(m_impl->m_attendees[0].m_emailAddr), u"org@example.org");
  EXPECT_EQ(m_impl->m_attendees[2].m_emailAddr, nullptr);

  EXPECT_EQ(Str(m_impl->m_subject), u"Review");
  EXPECT_EQ(Str(m_impl->m_location), u"Room 4");
  EXPECT_EQ(Str(m_impl->m_notes), u"Agenda");
  EXPECT_EQ(m_impl->m_startTime, m_appt->m_start) << "kept in local time, unconverted";
  EXPECT_EQ(m_impl->m_endTime, m_appt->m_end);
  EXPECT_EQ(m_impl->m_eventType, ECalendarEventType_ALL_DAY);
  EXPECT_EQ(m_impl->m_reminderOn, VARIANT_TRUE);
  EXPECT_EQ(m_impl->m_reminderLeadTimeMinutes, 15);
  EXPECT_EQ(m_impl->m_status, ECalendarEntryStatus_OUT_OF_OFFICE);
  EXPECT_EQ(Str(m_impl->m_entryId), u"00000000ABCDEF0000000000000000000000000000000042");
  EXPECT_EQ(m_impl->m_entryIdIsValid, VARIANT_TRUE);

  // Only the entry's reference stays on the appointment; the recipients are the appointment's alone.
  EXPECT_REF(m_appt.get(), 2);
  for (FakeRecipient* r : m_appt->m_recipients) EXPECT_REF(r, 1);

  m_appt->m_allDay = 0;
  EXPECT_EQ(m_impl->FillInLocalDataFromOutlook(), 0);
  EXPECT_EQ(m_impl->m_eventType, ECalendarEventType_NORMAL);
  EXPECT_EQ(m_impl->m_attendees.size(), 3u) << "read again, not appended";
}

// The recipients' texts are kept as AddAttendee would copy them: up to a NUL inside, empty as empty.
TEST_F(TransferTest, ReadRecipientTextsMatchAddAttendeesCopy) {
  Bind();
  m_appt->AddRecipient(u"Ann", u"", olRequired);
  m_appt->m_recipients.back()->m_name = std::u16string(u"Ann\0hidden", 10);
  m_appt->AddRecipient(nullptr, u"b@example.org", olOptional);

  EXPECT_EQ(m_impl->FillInLocalDataFromOutlook(), 0);
  ASSERT_EQ(m_impl->m_attendees.size(), 2u);
  EXPECT_EQ(Str(m_impl->m_attendees[0].m_name), u"Ann");
  EXPECT_EQ(Str(m_impl->m_attendees[0].m_emailAddr), u"");
  EXPECT_EQ(m_impl->m_attendees[1].m_name, nullptr);
  EXPECT_EQ(Str(m_impl->m_attendees[1].m_emailAddr), u"b@example.org");
}

TEST_F(TransferTest, ReadFailuresGiveTheirCodesAndReleaseWhatWasTaken) {
  const struct {
    const char* call;
    int code;
  } rows[] = {
      {"Appt.get_Subject", 2}, {"Appt.get_Start", 2}, {"Appt.get_End", 2}, {"Appt.get_Location", 2},
      {"Appt.get_AllDayEvent", 2}, {"Appt.get_ReminderSet", 2}, {"Appt.get_ReminderMinutesBeforeStart", 2},
      {"Appt.get_Body", 2}, {"Appt.get_BusyStatus", 2}, {"Appt.get_EntryID", 2}, {"Safe.Create", 4},
      {"Safe.put_Item", 4}, {"Safe.get_Recipients", 3},
  };
  const int baseline = LiveFakes().load();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.call);
    Bind();
    FillAppointment();
    AddAttendee(u"Kept", nullptr, EAttendeeType_REQUIRED);
    pimtest::TraceCapture trace;
    m_world.Fail(row.call, E_ACCESSDENIED);
    EXPECT_EQ(m_impl->FillInLocalDataFromOutlook(), row.code);
    EXPECT_TRUE(trace.Contains("local check ABORTING, bad HR: " + std::to_string((LONG)E_ACCESSDENIED)));
    // The attendee list is left as it was, and the entry holds its one reference only.
    ASSERT_EQ(m_impl->m_attendees.size(), 1u);
    EXPECT_EQ(Str(m_impl->m_attendees[0].m_name), u"Kept");
    EXPECT_REF(m_appt.get(), 2);
    m_world.failures.clear();
    m_entry.reset();
    m_appt.reset();
    EXPECT_EQ(LiveFakes().load(), baseline);
  }
}

TEST_F(TransferTest, AReadStopsAtTheFailingPropertyAndKeepsWhatItReadBefore) {
  Bind();
  FillAppointment();
  m_world.Fail("Appt.get_Location", E_FAIL);
  EXPECT_EQ(m_impl->FillInLocalDataFromOutlook(), 2);
  EXPECT_EQ(Str(m_impl->m_subject), u"Review");
  EXPECT_EQ(m_impl->m_endTime, m_appt->m_end);
  EXPECT_EQ(m_impl->m_location, nullptr);
  EXPECT_EQ(m_impl->m_entryIdIsValid, 0);
}

TEST_F(TransferTest, WritingPutsThePropertiesInOrderAndSavesOnTheAppointment) {
  Bind();
  pimtest::Bstr subject(u"Plan"), notes(u"Body text");
  m_entry->put_subject(subject.get());
  m_entry->put_notes(notes.get());
  m_impl->m_startTime = MakeDate(2024, 2, 1, 8, 0);
  m_impl->m_endTime = MakeDate(2024, 2, 1, 9, 0);
  m_impl->m_eventType = ECalendarEventType_INVALID;
  m_impl->m_status = ECalendarEntryStatus_INVALID;
  m_impl->m_reminderLeadTimeMinutes = 10;
  m_impl->m_reminderOn = VARIANT_TRUE;
  pimtest::TraceCapture trace;

  EXPECT_EQ(m_impl->FillInOutlookApptFromLocalData(), 0);
  const std::vector<std::string> puts(m_world.log.begin(), m_world.log.begin() + 9);
  EXPECT_EQ(puts, (std::vector<std::string>{"Appt.put_Subject", "Appt.put_Start", "Appt.put_End", "Appt.put_Location",
                                            "Appt.put_AllDayEvent", "Appt.put_ReminderMinutesBeforeStart",
                                            "Appt.put_ReminderSet", "Appt.put_BusyStatus", "Appt.put_Body"}));
  EXPECT_EQ(m_world.log.back(), "Appt.get_EntryID");
  EXPECT_EQ(m_appt->m_saves, 1);
  EXPECT_EQ(Narrow(m_appt->m_subject), "Plan");
  EXPECT_EQ(Narrow(m_appt->m_body), "Body text");
  EXPECT_FALSE(m_appt->m_location.has_value()) << "a null field is passed as null";
  EXPECT_EQ(m_appt->m_start, m_impl->m_startTime);
  EXPECT_EQ(m_appt->m_allDay, 0) << "INVALID writes a normal appointment";
  EXPECT_EQ(m_appt->m_busy, 0) << "INVALID writes Outlook's free";
  EXPECT_EQ(m_appt->m_reminderMinutes, 10);
  EXPECT_EQ(m_appt->m_reminderSet, VARIANT_TRUE);
  // The EntryID assigned at the save is read back.
  ASSERT_TRUE(m_appt->m_entryId.has_value());
  EXPECT_EQ(Str(m_impl->m_entryId), *m_appt->m_entryId);
  EXPECT_EQ(m_impl->m_entryIdIsValid, VARIANT_TRUE);
  EXPECT_TRUE(trace.Contains("FillInOutlookApptFromLocalData Left"));
  EXPECT_REF(m_appt.get(), 3);  // test, entry, store
}

TEST_F(TransferTest, WritingRewritesTheRecipientsLessTheLocalUserByNameOnly) {
  Bind();
  m_appt->AddRecipient(u"Stale", u"stale@example.org", olRequired);
  m_appt->AddRecipient(u"Also stale", nullptr, olOptional);
  AddAttendee(u"Me", u"me@example.org", EAttendeeType_REQUIRED);            // the local user: left out
  AddAttendee(u"me", u"me2@example.org", EAttendeeType_OPTIONAL);           // differs in case: written
  AddAttendee(u"Boss", u"boss@example.org", EAttendeeType_ORGANIZER);       // written as required
  AddAttendee(u"Any", nullptr, EAttendeeType_DONT_CARE);                    // -1
  AddAttendee(u"Nobody", nullptr, EAttendeeType_INVALID);                   // -1
  AddAttendee(u"Room", u"room@example.org", EAttendeeType_RESOURCE);
  AddAttendee(u"Boss", nullptr, EAttendeeType_OPTIONAL);                    // once per time listed
  pimtest::TraceCapture trace;

  EXPECT_EQ(m_impl->FillInOutlookApptFromLocalData(), 0);
  EXPECT_EQ(RecipientNames(), (std::vector<std::u16string>{u"me", u"Boss", u"Any", u"Nobody", u"Room", u"Boss"}));
  const LONG types[] = {olOptional, olRequired, -1, -1, olResource, olOptional};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(m_appt->m_recipients[i]->m_type, types[i]) << i;
    EXPECT_TRUE(m_appt->m_recipients[i]->m_resolved);
    EXPECT_FALSE(m_appt->m_recipients[i]->m_address.has_value()) << "no e-mail address is written";
    EXPECT_REF(m_appt->m_recipients[i], 1);
  }
  EXPECT_EQ(m_world.Count("Recipient.put_Address"), 0u);
  EXPECT_EQ(m_world.Count("Recipients.Remove"), 2u);
  EXPECT_TRUE(trace.Contains(",,, not adding local user: Me"));
  EXPECT_TRUE(trace.Contains(",,, adding user (!local user): me"));
  // The recipients are changed before the save.
  const auto& log = m_world.log;
  const size_t save = std::find(log.begin(), log.end(), "Appt.Save") - log.begin();
  const size_t lastResolve = log.rend() - std::find(log.rbegin(), log.rend(), "Recipient.Resolve") - 1;
  EXPECT_LT(lastResolve, save);
}

TEST_F(TransferTest, AnAttendeeWithoutANameCountsAsTheEmptyText) {
  Bind();
  AddAttendee(nullptr, u"x@example.org", EAttendeeType_REQUIRED);
  pimtest::TraceCapture trace;
  // Local user "Me": the nameless attendee is someone else; adding it gives no recipient.
  EXPECT_EQ(m_impl->FillInOutlookApptFromLocalData(), 0);
  EXPECT_TRUE(m_appt->m_recipients.empty());
  EXPECT_TRUE(trace.Contains(",,, not adding user:  Add returned NULL!!"));
  // Local user empty: the nameless attendee is the local user.
  m_impl->SetLocalUserId(nullptr);
  trace.Clear();
  m_world.log.clear();
  EXPECT_EQ(m_impl->FillInOutlookApptFromLocalData(), 0);
  EXPECT_EQ(m_world.Count("Recipients.Add"), 0u);
  EXPECT_TRUE(trace.Contains(",,, not adding local user: "));
}

TEST_F(TransferTest, WriteFailuresGiveTheirCodesAndReleaseWhatWasTaken) {
  const struct {
    const char* call;
    int code;
    bool saved;
  } rows[] = {
      {"Appt.put_Subject", 1, false}, {"Appt.put_Start", 1, false}, {"Appt.put_End", 1, false},
      {"Appt.put_Location", 1, false}, {"Appt.put_AllDayEvent", 1, false},
      {"Appt.put_ReminderMinutesBeforeStart", 1, false}, {"Appt.put_ReminderSet", 1, false},
      {"Appt.put_BusyStatus", 1, false}, {"Appt.put_Body", 1, false}, {"Safe.Create", 4, false},
      {"Safe.put_Item", 4, false}, {"Safe.get_Recipients", 3, false}, {"Recipients.Add", 3, false},
      {"Recipient.put_Type", 3, false}, {"Recipient.Resolve", 3, false}, {"Appt.Save", 3, false},
      {"Appt.get_EntryID", 2, true},
  };
  const int baseline = LiveFakes().load();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.call);
    Bind();
    m_appt->AddRecipient(u"Old", nullptr, olRequired);
    AddAttendee(u"New", nullptr, EAttendeeType_REQUIRED);
    pimtest::TraceCapture trace;
    m_world.Fail(row.call, E_ACCESSDENIED);
    EXPECT_EQ(m_impl->FillInOutlookApptFromLocalData(), row.code);
    EXPECT_TRUE(trace.Contains("local check ABORTING, bad HR: " + std::to_string((LONG)E_ACCESSDENIED)));
    EXPECT_FALSE(trace.Contains("FillInOutlookApptFromLocalData Left"));
    EXPECT_EQ(m_appt->m_saves, row.saved ? 1 : 0);
    EXPECT_EQ(m_impl->m_entryIdIsValid, 0);
    for (FakeRecipient* r : m_appt->m_recipients) EXPECT_REF(r, 1);
    m_world.failures.clear();
    m_entry.reset();
    EXPECT_REF(m_appt.get(), row.saved ? 2 : 1);  // the store keeps a saved one
    m_appt.reset();
    m_store.Clear();
    EXPECT_EQ(LiveFakes().load(), baseline);
  }
}

TEST_F(TransferTest, AFailingRemovalEndsOnlyTheRemoval) {
  for (const char* call : {"Recipients.get_Count", "Recipients.Remove"}) {
    SCOPED_TRACE(call);
    Bind();
    m_appt->AddRecipient(u"Old", nullptr, olRequired);
    AddAttendee(u"New", nullptr, EAttendeeType_REQUIRED);
    m_world.Fail(call, E_FAIL);
    EXPECT_EQ(m_impl->FillInOutlookApptFromLocalData(), 0);
    EXPECT_EQ(RecipientNames(), (std::vector<std::u16string>{u"Old", u"New"}));
    m_world.failures.clear();
    m_entry.reset();
    m_appt.reset();
    m_store.Clear();
  }
}

}  // namespace
}  // namespace caltest
