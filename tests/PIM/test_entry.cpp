// The calendar entry's record: defaults, text and time accessors, the four mappings, the binding.
#include <utility>
#include <vector>

#include "test_calendar_fixture.h"

namespace caltest {
namespace {

using EntryTest = CalendarTest;

TEST_F(EntryTest, FreshEntryReadsItsDefaults) {
  TimeZoneScope tz("Europe/Berlin");
  ComPtr<ICalendarEntry> e = NewEntry();
  BSTR texts[4] = {reinterpret_cast<BSTR>(1), reinterpret_cast<BSTR>(1), reinterpret_cast<BSTR>(1), reinterpret_cast<BSTR>(1)};
  EXPECT_EQ(e->get_subject(&texts[0]), S_OK);
  EXPECT_EQ(e->get_location(&texts[1]), S_OK);
  EXPECT_EQ(e->get_notes(&texts[2]), S_OK);
  EXPECT_EQ(e->get_entryId(&texts[3]), S_OK);
  for (BSTR b : texts) EXPECT_EQ(b, nullptr);

  ECalendarEventType type = ECalendarEventType_ALL_DAY;
  ECalendarEntryStatus status = ECalendarEntryStatus_BUSY;
  LONG lead = 99;
  VARIANT_BOOL reminder = VARIANT_TRUE, valid = VARIANT_TRUE;
  e->get_eventType(&type);
  e->get_status(&status);
  e->get_reminderLeadTimeMinutes(&lead);
  e->get_reminderOn(&reminder);
  e->get_entryIdIsValid(&valid);
  EXPECT_EQ(type, ECalendarEventType_INVALID);
  EXPECT_EQ(status, ECalendarEntryStatus_INVALID);
  EXPECT_EQ(lead, 0);
  EXPECT_EQ(reminder, 0);
  EXPECT_EQ(valid, 0);

  // Start and end are 0.0 local time read back in UTC: 29 December 1899 23:00 in Berlin's winter,
  // which a DATE writes as day -1 plus 23 hours counted forward.
  DATE start = 0, end = 0;
  e->get_startTime(&start);
  e->get_endTime(&end);
  EXPECT_EQ(start, QLT_CTime::ConvertLocalTimeToUTC(0.0, 10));
  EXPECT_NEAR(start, -1.0 - 23.0 / 24, 1e-9);
  EXPECT_EQ(end, start);
  EXPECT_REF(e.get(), 1);
}

TEST_F(EntryTest, TextSettersCopyTheWholeStringAndGettersStopAtTheFirstNul) {
  struct Accessor {
    HRESULT (STDMETHODCALLTYPE ICalendarEntry::*put)(BSTR);
    HRESULT (STDMETHODCALLTYPE ICalendarEntry::*get)(BSTR*);
    BSTR CCalendarEntry::*field;
  };
  const Accessor accessors[] = {
      {&ICalendarEntry::put_subject, &ICalendarEntry::get_subject, &CCalendarEntry::m_subject},
      {&ICalendarEntry::put_location, &ICalendarEntry::get_location, &CCalendarEntry::m_location},
      {&ICalendarEntry::put_notes, &ICalendarEntry::get_notes, &CCalendarEntry::m_notes},
  };
  CCalendarEntry* impl = nullptr;
  ComPtr<ICalendarEntry> e = NewEntry(&impl);
  for (const Accessor& a : accessors) {
    // Null in: an empty, non-null text comes back.
    EXPECT_EQ((e.get()->*a.put)(nullptr), S_OK);
    pimtest::Bstr out;
    EXPECT_EQ((e.get()->*a.get)(out.put()), S_OK);
    ASSERT_NE(out.get(), nullptr);
    EXPECT_EQ(SysStringLen(out.get()), 0u);

    // Embedded NUL: stored whole, handed out up to the NUL.
    const OLECHAR withNul[] = {u'a', u'b', 0, u'c', u'd'};
    BSTR in = SysAllocStringLen(withNul, 5);
    EXPECT_EQ((e.get()->*a.put)(in), S_OK);
    EXPECT_NE(impl->*a.field, in) << "the setter keeps its own copy";
    SysFreeString(in);
    EXPECT_EQ(SysStringLen(impl->*a.field), 5u);
    EXPECT_EQ((e.get()->*a.get)(out.put()), S_OK);
    EXPECT_EQ(Str(out.get()), u"ab");
    EXPECT_EQ((e.get()->*a.get)(nullptr), E_POINTER);
  }
}

TEST_F(EntryTest, GettersGivenNoOutPointerAnswerEPointer) {
  ComPtr<ICalendarEntry> e = NewEntry();
  int i = 0;
  for (HRESULT hr : {e->get_startTime(nullptr), e->get_endTime(nullptr), e->get_eventType(nullptr),
                     e->get_reminderOn(nullptr), e->get_reminderLeadTimeMinutes(nullptr), e->get_status(nullptr),
                     e->get_entryIdIsValid(nullptr), e->get_entryId(nullptr)})
    EXPECT_EQ(hr, E_POINTER) << "getter " << i++;
}

TEST_F(EntryTest, NumbersAreStoredUncheckedAndBooleansMoveSixteenBits) {
  ComPtr<ICalendarEntry> e = NewEntry();
  e->put_status((ECalendarEntryStatus)5);
  e->put_eventType((ECalendarEventType)7);
  e->put_reminderLeadTimeMinutes(-15);
  e->put_reminderOn((VARIANT_BOOL)1);
  // Read as plain 32-bit numbers: 7 is outside the event type's range.
  int32_t status = 0, type = 0;
  LONG lead = 0;
  e->get_status(reinterpret_cast<ECalendarEntryStatus*>(&status));
  e->get_eventType(reinterpret_cast<ECalendarEventType*>(&type));
  e->get_reminderLeadTimeMinutes(&lead);
  EXPECT_EQ(status, 5);
  EXPECT_EQ(type, 7);
  EXPECT_EQ(lead, -15);

  union {
    int32_t whole;
    VARIANT_BOOL low;
  } out;
  out.whole = 0x12345678;
  e->get_reminderOn(&out.low);
  EXPECT_EQ(out.low, 1);
  EXPECT_EQ(out.whole & (int32_t)0xFFFF0000, 0x12340000) << "only 16 bits are written";
}

struct ZoneCase {
  const char* tz;
  double winterOffsetHours;
  double summerOffsetHours;
};

class EntryTimeTest : public CalendarTest, public ::testing::WithParamInterface<ZoneCase> {};

TEST_P(EntryTimeTest, StartAndEndAreKeptInLocalTimeAndReadBackInUtc) {
  TimeZoneScope tz(GetParam().tz);
  CCalendarEntry* impl = nullptr;
  ComPtr<ICalendarEntry> e = NewEntry(&impl);

  const DATE winter = MakeDate(2024, 1, 15, 10, 30);
  const DATE summer = MakeDate(2024, 7, 1, 22, 45);
  e->put_startTime(winter);
  e->put_endTime(summer);
  EXPECT_NEAR(impl->m_startTime, winter + GetParam().winterOffsetHours / 24, 1e-9);
  EXPECT_NEAR(impl->m_endTime, summer + GetParam().summerOffsetHours / 24, 1e-9);
  DATE start = 0, end = 0;
  e->get_startTime(&start);
  e->get_endTime(&end);
  EXPECT_NEAR(start, winter, 1e-9);
  EXPECT_NEAR(end, summer, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Zones, EntryTimeTest,
                         ::testing::Values(ZoneCase{"Europe/Berlin", 1, 2}, ZoneCase{"America/New_York", -5, -4}));

TEST(EntryMappings, EachMappingKeepsItsOwnRuleForUnknownValues) {
  const struct {
    const char* name;
    LONG (*map)(LONG);
    std::vector<std::pair<LONG, LONG>> rows;  // in, out
  } mappings[] = {
      {"EntryStatusFromOlStatus", &CCalendarEntry::EntryStatusFromOlStatus,
       {{0, ECalendarEntryStatus_FREE}, {1, ECalendarEntryStatus_TENTATIVE}, {2, ECalendarEntryStatus_BUSY},
        {3, ECalendarEntryStatus_OUT_OF_OFFICE}, {-1, ECalendarEntryStatus_INVALID}, {4, ECalendarEntryStatus_INVALID}}},
      {"OlStatusFromEntryStatus", &CCalendarEntry::OlStatusFromEntryStatus,
       {{ECalendarEntryStatus_FREE, 0}, {ECalendarEntryStatus_BUSY, 2}, {ECalendarEntryStatus_TENTATIVE, 1},
        {ECalendarEntryStatus_OUT_OF_OFFICE, 3}, {ECalendarEntryStatus_INVALID, 0}, {9, 9}, {-7, -7}}},
      {"ToOlType", &CCalendarEntry::ToOlType,
       {{EAttendeeType_ORGANIZER, 0}, {EAttendeeType_OPTIONAL, 2}, {EAttendeeType_REQUIRED, 1},
        {EAttendeeType_RESOURCE, 3}, {EAttendeeType_INVALID, -1}, {EAttendeeType_DONT_CARE, -1}, {6, -1}}},
      {"FromOlType", &CCalendarEntry::FromOlType,
       {{0, EAttendeeType_ORGANIZER}, {1, EAttendeeType_REQUIRED}, {2, EAttendeeType_OPTIONAL},
        {3, EAttendeeType_RESOURCE}, {4, EAttendeeType_INVALID}, {-1, EAttendeeType_INVALID}}},
  };
  for (const auto& m : mappings)
    for (const auto& [in, out] : m.rows) EXPECT_EQ(m.map(in), out) << m.name << "(" << in << ")";
}

TEST_F(EntryTest, BindingTwiceMovesTheEntrysReferenceAndDestructionReleasesIt) {
  pimtest::TraceCapture trace;
  ComPtr<FakeAppointment> a = ComPtr<FakeAppointment>::attach(new FakeAppointment());
  ComPtr<FakeAppointment> b = ComPtr<FakeAppointment>::attach(new FakeAppointment());
  CCalendarEntry* impl = nullptr;
  ComPtr<ICalendarEntry> e = NewEntry(&impl);

  impl->SetUnderlyingOutlookAppointment(a.get());
  EXPECT_REF(a.get(), 2);
  EXPECT_FALSE(trace.Contains("!!! ERROR !!!"));
  impl->SetUnderlyingOutlookAppointment(b.get());
  EXPECT_REF(a.get(), 1);
  EXPECT_REF(b.get(), 2);
  EXPECT_TRUE(trace.Contains("!!! ERROR !!! m_OutlookAppt != NULL, refsLeft after release: 1"));
  EXPECT_TRUE(trace.Contains("called m_OutlookAppt->AddRef(), refsLeft = 2"));
  // Binding the same appointment again never lets it go in between.
  impl->SetUnderlyingOutlookAppointment(b.get());
  EXPECT_REF(b.get(), 2);

  trace.Clear();
  e.reset();
  EXPECT_REF(b.get(), 1);
  EXPECT_TRUE(trace.Contains("called m_OutlookAppt->Release(), refsLeft = 1"));
  for (const pimtest::TraceRecord& r : trace.Records()) {
    EXPECT_EQ(r.file, "PIM/src/CCalendarEntry");
    EXPECT_EQ(r.className, "CCalendarEntry.cpp");
  }
}

TEST_F(EntryTest, AttendeesAreCopiedAndKeptInCallOrderDuplicatesIncluded) {
  CCalendarEntry* impl = nullptr;
  ComPtr<ICalendarEntry> e = NewEntry(&impl);
  pimtest::Bstr ann(u"Ann"), mail(u"ann@example.org"), bob(u"Bob");
  e->AddAttendee(ann.get(), mail.get(), EAttendeeType_REQUIRED);
  e->AddAttendee(bob.get(), nullptr, EAttendeeType_OPTIONAL);
  e->AddAttendee(ann.get(), nullptr, (EAttendeeType)42);
  ASSERT_EQ(impl->m_attendees.size(), 3u);
  EXPECT_EQ(Str(impl->m_attendees[0].m_name), u"Ann");
  EXPECT_NE(impl->m_attendees[0].m_name, ann.get());
  EXPECT_EQ(Str(impl->m_attendees[0].m_emailAddr), u"ann@example.org");
  EXPECT_EQ(Str(impl->m_attendees[1].m_name), u"Bob");
  EXPECT_EQ(impl->m_attendees[1].m_emailAddr, nullptr);
  EXPECT_EQ(Str(impl->m_attendees[2].m_name), u"Ann");
  EXPECT_EQ(impl->m_attendees[2].m_type, 42);
}

TEST_F(EntryTest, TheModuleKnowsItsLiveEntriesOnly) {
  CCalendarEntry* impl = nullptr;
  ComPtr<ICalendarEntry> e = NewEntry(&impl);
  EXPECT_EQ(CCalendarEntry::FromInterface(e.get()), impl);
  EXPECT_EQ(CCalendarEntry::FromInterface(nullptr), nullptr);
  ComPtr<FakeAppointment> other = ComPtr<FakeAppointment>::attach(new FakeAppointment());
  EXPECT_EQ(CCalendarEntry::FromInterface(reinterpret_cast<ICalendarEntry*>(other.get())), nullptr);
  ICalendarEntry* gone = e.get();
  e.reset();
  EXPECT_EQ(CCalendarEntry::FromInterface(gone), nullptr);
}

}  // namespace
}  // namespace caltest
