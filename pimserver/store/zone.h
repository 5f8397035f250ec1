// Time zones for the store: every event carries an Olson zone; wall times are
// turned into UTC instants (and back) in that zone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pim::store {

using UtcSeconds = std::int64_t;

struct WallTime {
    int year = 1970, month = 1, day = 1;  // month 1..12
    int hour = 0, minute = 0, second = 0;
    friend bool operator==(const WallTime&, const WallTime&) = default;
};

namespace zone {

/// Olson name for a TZID as calendar programs write it: an Olson name, a Windows
/// name ("W. Europe Standard Time"), or a prefixed Olson name
/// ("/mozilla.org/20050126_1/Europe/Berlin"). Empty when nothing matches.
std::string resolve(std::string_view tzid);

/// The machine's zone as an Olson name (TZ respected); "UTC" when unknown.
std::string local();

/// The instant of a wall time in an Olson zone. A time repeated by a daylight-
/// saving change means its first instance; a time skipped by one moves forward
/// by the gap.
UtcSeconds toUtc(const std::string& olson, const WallTime& wall);

/// The wall time of an instant in an Olson zone.
WallTime toWall(const std::string& olson, UtcSeconds utc);

/// Division rounding towards negative infinity.
inline std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

/// Days since 1970-01-01 of a civil date, and back.
std::int64_t daysFromCivil(int y, int m, int d);
WallTime civilFromDays(std::int64_t days);

}  // namespace zone
}  // namespace pim::store
