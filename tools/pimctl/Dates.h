// Dates as pimctl reads and shows them. The component speaks UTC DATE values (days since
// 30 December 1899); people type local dates.
#pragma once
#include <ctime>
#include <optional>
#include <string>

#include <windows.h>

namespace pimctl {

DATE dateFromTime(std::time_t t);
std::time_t timeFromDate(DATE d);

// ISO 8601 ("2026-12-07", "2026-12-07T14:05", "2026-12-07 14:05:30", with "Z" or "+01:00"), or the
// user's short date format (sShortDate) optionally followed by " H:mm". Without a zone the text is
// local time. On failure returns nothing and says why in *error.
std::optional<DATE> parseDate(const std::string& text, const std::string& shortDateFormat, std::string* error);

// The user's short date picture from HKCU\Control Panel\International, "M/d/yyyy" when unset.
std::string userShortDateFormat();

// "2026-12-07 14:05" in local time, or in UTC with a trailing "Z".
std::string formatDate(DATE utc, bool inUtc);
// formatDate's text written at p, which has room for kDateRoom characters; returns its end.
constexpr std::size_t kDateRoom = 32;
char* putDate(char* p, DATE utc, bool inUtc);
// While one lives on this thread, TZ is taken to stay as it is: dates shown one after another
// skip looking at it again.
class SameZone {
 public:
  SameZone();
  ~SameZone();
  SameZone(const SameZone&) = delete;
  SameZone& operator=(const SameZone&) = delete;
};
// ISO 8601 with offset, for JSON: "2026-12-07T14:05:00+01:00" or "...Z".
std::string isoDate(DATE utc, bool inUtc);

// Local midnight at the start of the day / ISO week (Monday) / month holding t, as UTC DATEs.
struct Period {
  DATE start;
  DATE end;
};
enum class Span { Day, Week, Month };
Period periodAround(std::time_t t, Span span);

}  // namespace pimctl
