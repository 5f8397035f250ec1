// pimctl's own text work, on its own: UTF-16 to UTF-8, attendees from item texts, the agenda table.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
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

// Random items: names in any case, lines of every length, folds anywhere, both line ends, nested
// components. The attendees expected are the generated lines of the first event, outside its
// components.
TEST(PimctlText, AttendeesOfRandomTextsAreTheFirstEventsOwn) {
  std::mt19937 rng(29);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  auto anyCase = [&](std::string t) {
    for (char& c : t)
      if (pick(3) == 0) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  auto word = [&](size_t max) {
    std::string w(pick(max + 1), 'x');
    for (char& c : w) c = "abcXYZ .@-9"[pick(11)];
    return w;
  };
  static const char* const kRoles[] = {"REQ-PARTICIPANT", "CHAIR", "OPT-PARTICIPANT", "NON-PARTICIPANT"};
  static const char* const kTypes[] = {"required", "organizer", "optional", "resource"};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    std::vector<std::string> expected;
    int depth = 0;  // as the generator wrote it
    auto line = [&](const std::string& l) {
      std::vector<size_t> cuts(pick(3));
      for (size_t& c : cuts) c = pick(l.size() + 1);
      std::sort(cuts.rbegin(), cuts.rend());  // the last first: the earlier places stay where they were
      std::string folded = l;
      for (size_t c : cuts) folded.insert(c, pick(2) ? "\r\n " : "\n\t");
      text += folded + (pick(4) ? "\r\n" : "\n");
    };
    for (int n = static_cast<int>(pick(14)); n > 0; --n) {
      switch (pick(6)) {
        case 0:
          line(anyCase("BEGIN:") + (depth == 0 && pick(2) ? anyCase("VEVENT") : anyCase("VALARM")));
          if (depth > 0 || text.find("VEVENT") != std::string::npos || text.find("vevent") != std::string::npos) ++depth;
          break;
        case 1:
          line(anyCase("END:") + "VX");
          if (depth > 0) --depth;
          break;
        case 2: case 3: {
          const std::string cn = word(12), address = word(30);
          const size_t role = pick(5);
          std::string l = anyCase("ATTENDEE");
          if (pick(2)) l += pick(2) ? ";" + anyCase("CN") + "=" + cn : ";" + anyCase("CN") + "=\"" + cn + ";:\"";
          if (role < 4) l += ";" + anyCase("ROLE") + "=" + anyCase(kRoles[role]);
          l += ":" + std::string(pick(2) ? "mailto:" : "") + address;
          line(l);
          break;
        }
        default: line(anyCase("SUMMARY:") + word(40)); break;
      }
    }
    // The expectation from a plain reading: unfold every line, then follow the events.
    std::vector<std::string> logical;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t eol = text.find('\n', pos);
      if (eol == std::string::npos) eol = text.size();
      std::string piece = text.substr(pos, eol - pos);
      if (!piece.empty() && piece.back() == '\r') piece.pop_back();
      if (!logical.empty() && !piece.empty() && (piece[0] == ' ' || piece[0] == '\t') && pos > 0)
        logical.back() += piece.substr(1);
      else
        logical.push_back(piece);
      pos = eol + 1;
    }
    auto upper = [](std::string t) {
      for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return t;
    };
    int level = 0;
    for (const std::string& l : logical) {
      const std::string u = upper(l);
      if (u.rfind("BEGIN:", 0) == 0) {
        if (level > 0) ++level;
        else if (u == "BEGIN:VEVENT") level = 1;
      } else if (u.rfind("END:", 0) == 0) {
        if (level == 1) break;
        if (level > 1) --level;
      } else if (level == 1 && u.rfind("ATTENDEE", 0) == 0) {
        std::string cn, type = "required";
        size_t colon = l.find(':', 8);
        size_t at = l.find(";CN=\"");
        if (at == std::string::npos) at = u.find(";CN=\"");
        if (at != std::string::npos) {
          const size_t close = l.find('"', at + 5);
          cn = l.substr(at + 5, close - at - 5);
          colon = l.find(':', close);
        } else if ((at = u.find(";CN=")) != std::string::npos) {
          cn = l.substr(at + 4, l.find_first_of(";:", at + 4) - at - 4);
        }
        for (size_t r = 1; r < 4; ++r)
          if (u.find(std::string(";ROLE=") + kRoles[r], 0) != std::string::npos && u.find(std::string(";ROLE=") + kRoles[r]) < colon)
            type = kTypes[r];
        std::string address = l.substr(colon + 1);
        if (address.rfind("mailto:", 0) == 0 || address.rfind("MAILTO:", 0) == 0) address = address.substr(7);
        expected.push_back(cn + "|" + address + "|" + type);
      }
    }
    ASSERT_EQ(shown(attendeesIn(text)), expected) << round << "\n" << text;
  }
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
