#include "Attendees.h"

#include <string>

namespace pimctl {
namespace {

// iCalendar names are ASCII: the C library's toupper was a call per byte.
char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (upperAscii(s[i]) != prefix[i]) return false;
  return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && startsWithNoCase(a, b); }

// One ATTENDEE line (unfolded): its CN, its ROLE and its value.
AttendeeSpec attendeeOf(std::string_view line) {
  AttendeeSpec a;
  a.type = EAttendeeType_REQUIRED;
  size_t i = line.find_first_of(";:");
  while (i != std::string_view::npos && i < line.size() && line[i] == ';') {
    size_t eq = line.find('=', i + 1);
    if (eq == std::string_view::npos) return a;
    std::string_view name = line.substr(i + 1, eq - i - 1);
    std::string_view value;
    size_t j = eq + 1;
    if (j < line.size() && line[j] == '"') {
      size_t close = line.find('"', j + 1);
      if (close == std::string_view::npos) return a;
      value = line.substr(j + 1, close - j - 1);
      j = close + 1;
    } else {
      size_t stop = line.find_first_of(";:", j);
      if (stop == std::string_view::npos) stop = line.size();
      value = line.substr(j, stop - j);
      j = stop;
    }
    if (equalsNoCase(name, "CN")) {
      a.name = value;
    } else if (equalsNoCase(name, "ROLE")) {
      if (equalsNoCase(value, "CHAIR")) a.type = EAttendeeType_ORGANIZER;
      else if (equalsNoCase(value, "OPT-PARTICIPANT")) a.type = EAttendeeType_OPTIONAL;
      else if (equalsNoCase(value, "NON-PARTICIPANT")) a.type = EAttendeeType_RESOURCE;
    }
    i = j < line.size() ? j : std::string_view::npos;
    if (i != std::string_view::npos && line[i] != ';' && line[i] != ':') i = line.find_first_of(";:", i);
  }
  if (i == std::string_view::npos || i >= line.size()) return a;
  std::string_view addr = line.substr(i + 1);
  if (addr.substr(0, 7) == "mailto:" || addr.substr(0, 7) == "MAILTO:") addr.remove_prefix(7);
  a.address = addr;
  return a;
}

// Whether a logical line starting with this byte can matter: BEGIN, END, ATTENDEE, or an empty
// first piece whose continuation brings the name.
bool mayMatter(char c) {
  switch (c) {
    case 'A': case 'a': case 'B': case 'b': case 'E': case 'e': case '\r': case '\n': return true;
    default: return false;
  }
}

}  // namespace

// Read line by line: a full parse per listed appointment cost more than the rest of the agenda.
// A line that cannot matter is stepped over without unfolding it; its continuations, which start
// with a space or a tab, are stepped over the same way.
std::vector<AttendeeSpec> attendeesOf(std::string_view ical) {
  std::vector<AttendeeSpec> out;
  int depth = 0;  // 1: inside the first VEVENT, deeper: inside one of its components
  std::string line;
  const size_t size = ical.size();
  const char* text = ical.data();
  size_t pos = 0;
  while (pos < size) {
    if (!mayMatter(text[pos])) {
      size_t eol = ical.find('\n', pos);
      pos = eol == std::string_view::npos ? size : eol + 1;
      continue;
    }
    // One logical line: a line break followed by a space or a tab continues it. An unfolded
    // line, nearly every one, is looked at where it lies.
    std::string_view l;
    bool folded = false;
    line.clear();
    while (pos < size) {
      size_t eol = ical.find('\n', pos);
      size_t stop = eol == std::string_view::npos ? size : eol;
      size_t len = stop - pos;
      if (len > 0 && text[pos + len - 1] == '\r') --len;
      std::string_view piece = ical.substr(pos, len);
      pos = eol == std::string_view::npos ? size : eol + 1;
      bool more = pos < size && (text[pos] == ' ' || text[pos] == '\t');
      if (!folded && !more) {
        l = piece;
        break;
      }
      folded = true;
      line.append(piece);
      if (!more) break;
      ++pos;
    }
    if (folded) l = line;
    if (startsWithNoCase(l, "BEGIN:")) {
      if (depth > 0) ++depth;
      else if (equalsNoCase(l.substr(6), "VEVENT")) depth = 1;
    } else if (startsWithNoCase(l, "END:")) {
      if (depth == 1) break;
      if (depth > 1) --depth;
    } else if (depth == 1 && startsWithNoCase(l, "ATTENDEE") && l.size() > 8 && (l[8] == ';' || l[8] == ':')) {
      if (out.empty()) out.reserve(4);  // grown a step at a time, a short list moved three times
      out.push_back(attendeeOf(l));
    }
  }
  return out;
}

}  // namespace pimctl
