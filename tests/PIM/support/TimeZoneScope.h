// The machine's time zone (TZ) for one scope, restored at its end.
#pragma once
#include <stdlib.h>
#include <time.h>

#include <string>

namespace pimtest {

class TimeZoneScope {
 public:
  explicit TimeZoneScope(const char* tz) {
    const char* old = getenv("TZ");
    m_had = old != nullptr;
    if (m_had) m_old = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TimeZoneScope() {
    if (m_had)
      setenv("TZ", m_old.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  TimeZoneScope(const TimeZoneScope&) = delete;
  TimeZoneScope& operator=(const TimeZoneScope&) = delete;

 private:
  bool m_had;
  std::string m_old;
};

}  // namespace pimtest
