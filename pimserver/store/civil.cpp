// Calendar arithmetic shared by the zone rules of every system.
#include "zone.h"

namespace pim::store::zone {

std::int64_t daysFromCivil(int y, int m, int d) {
    // Howard Hinnant's days_from_civil.
    y -= m <= 2;
    const std::int64_t era = floorDiv(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

WallTime civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = floorDiv(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    WallTime w;
    w.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    w.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    w.year = static_cast<int>(yoe + era * 400 + (w.month <= 2));
    return w;
}

}  // namespace pim::store::zone
