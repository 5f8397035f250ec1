// pimctl's own text work, on its own: UTF-16 to UTF-8, attendees from item texts, the agenda table.
#include <gtest/gtest.h>
#include <windows.h>

#include <random>
#include <string>
#include <vector>

#include "Attendees.h"
#include "Entries.h"
#include "Text.h"

namespace {

using pimctl::Attendee;

// The bytes the Windows API gives for the text up to its first NUL.
std::string viaWindows(const std::u16string& s) {
  const std::u16string upToNul(s.c_str());
  if (upToNul.empty()) return {};
  std::string out(upToNul.size() * 3, '\0');
  int n = WideCharToMultiByte(CP_UTF8, 0, upToNul.data(), static_cast<int>(upToNul.size()), out.data(),
                              static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(PimctlText, Utf8OfGivesTheBytesOfTheWindowsConversion) {
  EXPECT_EQ(pimctl::utf8Of(u"Caf\u00e9 \u20ac \U0001F600", 12), "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(pimctl::utf8Of(u"ab\xD800" u"c", 4), "ab\xEF\xBF\xBD" "c");  // a lone high surrogate
  EXPECT_EQ(pimctl::utf8Of(nullptr, 3), "");
  // Random texts of every kind of unit, NULs inside, pairs cut by the end or by a NUL.
  const char16_t kinds[] = {u'a', u'Z', u' ', 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF, 0};
  std::mt19937 rng(17);
  pimctl::Texts texts;
  for (int round = 0; round < 20000; ++round) {
    std::u16string s(rng() % 23, u'x');
    for (char16_t& c : s) c = rng() % 3 == 0 ? kinds[rng() % std::size(kinds)] : static_cast<char16_t>(u'A' + rng() % 26);
    if (rng() % 4 == 0) std::replace(s.begin(), s.end(), char16_t(0), u'q');
    ASSERT_EQ(pimctl::utf8Of(s.data(), s.size()), viaWindows(s)) << round;
    ASSERT_EQ(texts.utf8(s.data(), s.size()), viaWindows(s)) << round;
  }
}

TEST(PimctlText, KeptTextsStayWhereTheyLieAcrossBlocks) {
  // Many texts, a few longer than a block, every one still whole after all the others.
  pimctl::Texts texts;
  std::vector<std::string> made;
  std::vector<std::string_view> kept;
  std::mt19937 rng(5);
  for (int i = 0; i < 3000; ++i) {
    made.emplace_back(i % 700 == 0 ? 20000 + i : rng() % 90, static_cast<char>('a' + i % 26));
    kept.push_back(i % 2 ? texts.keep(made.back()) : texts.utf8(std::u16string(made.back().begin(), made.back().end()).c_str(), made.back().size()));
  }
  for (size_t i = 0; i < made.size(); ++i) ASSERT_EQ(kept[i], made[i]) << i;
}

std::vector<std::string> shown(const std::vector<Attendee>& list) {
  std::vector<std::string> out;
  for (const Attendee& a : list)
    out.push_back(std::string(a.name) + "|" + std::string(a.address) + "|" + pimctl::attendeeTypeName(a.type));
  return out;
}

std::vector<Attendee> attendeesIn(std::string_view ical) {
  static pimctl::Texts texts;
  return pimctl::attendeesOf(ical, texts);
}

TEST(PimctlText, AttendeesOfFoldedLowercaseAndOddTexts) {
  using V = std::vector<std::string>;
  // Folds anywhere, a name split by one, line feeds alone, lowercase names, no final line break.
  EXPECT_EQ(shown(attendeesIn("BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nATTEN\r\n DEE;CN=\"Ann, A\";ROLE=chair:MAILTO:\r\n\ta@x\r\n"
                                      "attendee;cn=Bob;role=opt-participant:mailto:b@x\nATTENDEE:c@x")),
            (V{"Ann, A|a@x|organizer", "Bob|b@x|optional", "|c@x|required"}));
  // An empty line whose continuation opens the event; a line opening with a space; an alarm's
  // attendee and a second event's are not the appointment's.
  EXPECT_EQ(shown(attendeesIn(" ATTENDEE:no@x\r\n\r\n BEGIN:VEVENT\r\nX-A:1\r\nATTENDEE;ROLE=NON-PARTICIPANT;CN=R:r@x\r\n"
                                      "BEGIN:VALARM\r\nATTENDEE:alarm@x\r\nEND:VALARM\r\nEnd:VEVENT\r\n"
                                      "BEGIN:VEVENT\r\nATTENDEE:other@x\r\nEND:VEVENT\r\n")),
            (V{"R|r@x|resource"}));
  // The only attendee named on the continuation of an empty line, and a text with none.
  EXPECT_EQ(shown(attendeesIn("BEGIN:VEVENT\r\nSUMMARY:a\r\n\r\n ATTENDEE:e@x\r\nEND:VEVENT\r\n")), (V{"|e@x|required"}));
  EXPECT_EQ(shown(attendeesIn("BEGIN:VEVENT\nSUMMARY:ATTENDEE:x\nX:\n ATTENDEE:y\nEND:VEVENT")), V{});
  // Names that only start like the ones looked for, and nothing before the first event.
  EXPECT_EQ(shown(attendeesIn("ATTENDEE:before@x\r\nBEGIN:VEVENTS\r\nBEGIN:VEVENT\r\nATTENDEES:x\r\n"
                                      "ATTENDEE;CN=\"unclosed:u@x\r\nEND\r\nATTENDEE;CN=Z:z@x\r\n")),
            (V{"||required", "Z|z@x|required"}));
}

TEST(PimctlText, TableKeepsItsColumnsAndItsCommas) {
  std::vector<pimctl::EntryView> entries(3);
  entries[0].subject = "Caf\xC3\xA9";  // four columns, five bytes
  entries[0].location = "Room 1";
  entries[0].status = ECalendarEntryStatus_BUSY;
  entries[0].attendees = {{"", "", EAttendeeType_REQUIRED}, {"Ann", "a@x", EAttendeeType_REQUIRED}};
  const std::string longSubject(45, 's');
  entries[1].subject = longSubject;  // past the widest column: only its own row moves
  entries[1].start = entries[1].end = 46000.5;
  entries[1].attendees = {{"Ann", "", EAttendeeType_REQUIRED}, {"", "", EAttendeeType_REQUIRED}, {"", "b@x", EAttendeeType_OPTIONAL}};
  entries[2].subject = "x";
  entries[2].status = ECalendarEntryStatus_OUT_OF_OFFICE;
  EXPECT_EQ(pimctl::table(entries, true),
            "START              END                SUBJECT                                   LOCATION  STATUS  ATTENDEES\n"
            "1899-12-30 00:00Z  1899-12-30 00:00Z  Caf\xC3\xA9                                      Room 1    busy    Ann\n"
            "2025-12-09 12:00Z  2025-12-09 12:00Z  " + std::string(45, 's') + "            -       Ann, , b@x\n"
            "1899-12-30 00:00Z  1899-12-30 00:00Z  x                                                   oof     \n");
}

}  // namespace
