// The local time zone as glibc reads it (TZ, the zone files, their rule footer), answered from a
// table of its own so that a conversion costs a comparison instead of a C library call. Whatever
// the table cannot answer for sure (no file, a damaged one, leap seconds, a bare rule string) is
// reported as such, and the caller asks the C library as before: results never differ from it.
// Not for Windows builds.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace pim::zones {

// [from, to): UTC instants that share one offset (local time minus UTC, in seconds).
struct Segment {
  int64_t from;
  int64_t to;
  long offset;
};

// The process's local zone, as TZ names it now; a change of TZ is followed at the next call.
// False when the C library must answer instead (then tzset() has been called for a new TZ).
bool segmentAt(int64_t t, Segment* out);
bool offsetAt(int64_t t, long* offset);
// The offset o for which local - o is the one UTC instant showing the local time `local` (seconds
// since 1970 on the local clock). False when there are two or none (a repeated hour, a gap), or
// when unsure: the caller then resolves it as it always did.
bool uniqueOffset(int64_t local, long* offset);

// One zone's rules. Public for the tests; the functions above keep one per thread.
class Zone {
 public:
  // The zone TZ names (nullptr: TZ unset), found as glibc finds it.
  static Zone forTz(const char* tz);
  static Zone fromFile(const std::string& path);
  // Reads a TZif image; !exact() when anything is unusual.
  static Zone fromBytes(const std::string& bytes);

  bool exact() const { return m_exact; }
  // False only when !exact() or t is too far out for the footer's calendar.
  bool segmentAt(int64_t t, Segment* out) const;
  // The largest difference between two offsets the zone uses.
  long spread() const { return m_maxOffset - m_minOffset; }
  const std::vector<int64_t>& transitions() const { return m_at; }

 private:
  struct Rule {
    enum Kind { Julian1, Julian0, MonthWeekDay } kind = Julian0;
    int month = 0, week = 0, day = 0;
    long secs = 0;    // time of day of the change, local
    long offset = 0;  // the offset in force before the change
  };
  bool parseFooter(const std::string& footer);
  int64_t changeIn(const Rule& r, long long year) const;
  bool footerSegment(int64_t t, Segment* out) const;

  bool m_exact = false;
  std::vector<int64_t> m_at;  // transitions, ascending
  std::vector<long> m_after;  // the offset from m_at[i] on
  long m_before = 0;          // the offset before the first transition
  bool m_footer = false, m_dst = false;
  long m_std = 0, m_dstOffset = 0;
  Rule m_start, m_end;
  long m_minOffset = 0, m_maxOffset = 0;
};

}  // namespace pim::zones
