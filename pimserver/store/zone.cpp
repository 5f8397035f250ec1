#include "zone.h"

#include <unicode/ucal.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace pim::store::zone {
namespace {

std::u16string widen(std::string_view s) { return std::u16string(s.begin(), s.end()); }

std::string narrow(const UChar* s, int32_t n) {
    std::string out;
    out.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) out.push_back(static_cast<char>(s[i] & 0x7F));
    return out;
}

bool isSystemZone(std::string_view id) {
    if (id.empty() || id.size() > 100) return false;
    std::u16string w = widen(id);
    UChar buf[128];
    UBool isSystem = false;
    UErrorCode st = U_ZERO_ERROR;
    ucal_getCanonicalTimeZoneID(w.data(), static_cast<int32_t>(w.size()), buf, 128, &isSystem, &st);
    return U_SUCCESS(st) && isSystem;
}

struct CalDeleter {
    void operator()(UCalendar* c) const { ucal_close(c); }
};
using CalPtr = std::unique_ptr<UCalendar, CalDeleter>;

UCalendar* calendarFor(const std::string& olson) {
    thread_local std::unordered_map<std::string, CalPtr> cache;
    auto it = cache.find(olson);
    if (it != cache.end()) return it->second.get();
    std::u16string w = widen(olson);
    UErrorCode st = U_ZERO_ERROR;
    CalPtr cal(ucal_open(w.data(), static_cast<int32_t>(w.size()), "en_US_POSIX", UCAL_GREGORIAN, &st));
    if (U_FAILURE(st) || !cal) throw std::runtime_error("cannot open time zone " + olson);
    ucal_setGregorianChange(cal.get(), -8.64e15, &st);  // proleptic Gregorian
    ucal_setAttribute(cal.get(), UCAL_REPEATED_WALL_TIME, UCAL_WALLTIME_FIRST);
    ucal_setAttribute(cal.get(), UCAL_SKIPPED_WALL_TIME, UCAL_WALLTIME_LAST);
    return cache.emplace(olson, std::move(cal)).first->second.get();
}

// The stretch of time around an instant in which a zone keeps one UTC offset;
// most conversions fall inside the last one asked for and skip ICU.
struct Segment {
    double from = 0, to = -1;  // [from, to) in seconds
    int64_t offset = 0;        // seconds east of UTC
};

Segment segmentAt(UCalendar* cal, double utc) {
    UErrorCode st = U_ZERO_ERROR;
    Segment seg;
    ucal_setMillis(cal, utc * 1000.0, &st);
    seg.offset = (ucal_get(cal, UCAL_ZONE_OFFSET, &st) + ucal_get(cal, UCAL_DST_OFFSET, &st)) / 1000;
    UDate prev = 0, next = 0;
    seg.from = ucal_getTimeZoneTransitionDate(cal, UCAL_TZ_TRANSITION_PREVIOUS_INCLUSIVE, &prev, &st) ? prev / 1000.0 : -1e300;
    ucal_setMillis(cal, utc * 1000.0, &st);
    seg.to = ucal_getTimeZoneTransitionDate(cal, UCAL_TZ_TRANSITION_NEXT, &next, &st) ? next / 1000.0 : 1e300;
    ucal_setMillis(cal, utc * 1000.0, &st);
    if (U_FAILURE(st)) seg.to = seg.from - 1;  // unusable: never hit
    return seg;
}

Segment& segmentCache(const std::string& olson) {
    thread_local std::unordered_map<std::string, Segment> cache;
    return cache[olson];
}

bool isUtc(const std::string& z) { return z == "UTC" || z == "Etc/UTC" || z == "GMT" || z == "Etc/GMT"; }


}  // namespace

std::string resolve(std::string_view tzid) {
    if (tzid.empty()) return {};
    if (isSystemZone(tzid)) return std::string(tzid);
    if (tzid.size() < 100) {
        std::u16string w = widen(tzid);
        UChar buf[128];
        UErrorCode st = U_ZERO_ERROR;
        int32_t n = ucal_getTimeZoneIDForWindowsID(w.data(), static_cast<int32_t>(w.size()), nullptr, buf, 128, &st);
        if (U_SUCCESS(st) && n > 0) return narrow(buf, n);
    }
    // Prefixed names such as "/mozilla.org/20050126_1/America/Argentina/Buenos_Aires".
    std::vector<size_t> slashes;
    for (size_t i = 0; i < tzid.size(); ++i)
        if (tzid[i] == '/') slashes.push_back(i);
    for (size_t take = 3; take >= 1; --take) {
        if (slashes.size() < take) continue;
        std::string_view tail = tzid.substr(slashes[slashes.size() - take] + 1);
        if (isSystemZone(tail)) return std::string(tail);
    }
    return {};
}

std::string local() {
    static std::mutex mu;
    static std::string lastTz = "\x01";
    static std::string lastZone;
    const char* env = std::getenv("TZ");
    std::string tz = env ? env : "";
    std::lock_guard<std::mutex> lock(mu);
    if (tz == lastTz) return lastZone;
    std::string zone;
    if (env) {
        std::string t = tz;
        if (!t.empty() && t[0] == ':') t.erase(0, 1);
        auto pos = t.find("zoneinfo/");
        if (pos != std::string::npos) t = t.substr(pos + 9);
        if (t.empty()) zone = "UTC";
        else zone = resolve(t);
    }
    if (zone.empty()) {
        UChar buf[128];
        UErrorCode st = U_ZERO_ERROR;
        int32_t n = ucal_getDefaultTimeZone(buf, 128, &st);
        if (U_SUCCESS(st) && n > 0) zone = narrow(buf, n);
        if (zone.empty() || zone == "Etc/Unknown" || !isSystemZone(zone)) zone = "UTC";
    }
    lastTz = tz;
    lastZone = zone;
    return zone;
}

UtcSeconds toUtc(const std::string& olson, const WallTime& w) {
    if (isUtc(olson) || olson.empty())
        return daysFromCivil(w.year, w.month, w.day) * 86400 + w.hour * 3600 + w.minute * 60 + w.second;
    const int64_t local = daysFromCivil(w.year, w.month, w.day) * 86400 + w.hour * 3600 + w.minute * 60 + w.second;
    Segment& seg = segmentCache(olson);
    {
        // Away from a transition a wall time has exactly one instant.
        double guess = static_cast<double>(local - seg.offset);
        if (guess >= seg.from + 2 * 86400 && guess < seg.to - 2 * 86400) return local - seg.offset;
    }
    UCalendar* cal = calendarFor(olson);
    UErrorCode st = U_ZERO_ERROR;
    ucal_clear(cal);
    ucal_setDateTime(cal, w.year, w.month - 1, w.day, w.hour, w.minute, w.second, &st);
    UDate ms = ucal_getMillis(cal, &st);
    if (U_FAILURE(st)) throw std::runtime_error("time conversion failed in " + olson);
    UtcSeconds result = static_cast<UtcSeconds>(std::floor(ms / 1000.0));
    seg = segmentAt(cal, static_cast<double>(result));
    return result;
}

WallTime toWall(const std::string& olson, UtcSeconds utc) {
    if (isUtc(olson) || olson.empty()) {
        int64_t days = floorDiv(utc, 86400);
        int64_t secs = utc - days * 86400;
        WallTime w = civilFromDays(days);
        w.hour = static_cast<int>(secs / 3600);
        w.minute = static_cast<int>(secs / 60 % 60);
        w.second = static_cast<int>(secs % 60);
        return w;
    }
    Segment& seg = segmentCache(olson);
    if (static_cast<double>(utc) < seg.from || static_cast<double>(utc) >= seg.to)
        seg = segmentAt(calendarFor(olson), static_cast<double>(utc));
    if (static_cast<double>(utc) >= seg.from && static_cast<double>(utc) < seg.to) return toWall("UTC", utc + seg.offset);
    UCalendar* cal = calendarFor(olson);
    UErrorCode st = U_ZERO_ERROR;
    ucal_setMillis(cal, static_cast<UDate>(utc) * 1000.0, &st);
    WallTime w;
    w.year = ucal_get(cal, UCAL_EXTENDED_YEAR, &st);
    w.month = ucal_get(cal, UCAL_MONTH, &st) + 1;
    w.day = ucal_get(cal, UCAL_DATE, &st);
    w.hour = ucal_get(cal, UCAL_HOUR_OF_DAY, &st);
    w.minute = ucal_get(cal, UCAL_MINUTE, &st);
    w.second = ucal_get(cal, UCAL_SECOND, &st);
    if (U_FAILURE(st)) throw std::runtime_error("time conversion failed in " + olson);
    return w;
}

}  // namespace pim::store::zone
