// Time zones on Windows: libical's built-in zone data (shipped beside the DLL
// in zoneinfo\) instead of ICU, and ICU's Windows-name table compiled in.
#include "zone.h"

#include <libical/ical.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace pim::store::zone {
namespace {

struct ZoneName {
    const char* from;
    const char* to;
};
#include "windows_zones.inc"

const char* lookup(const ZoneName* table, size_t n, std::string_view key) {
    for (size_t i = 0; i < n; ++i)
        if (key == table[i].from) return table[i].to;
    return nullptr;
}

std::string canonical(std::string_view id) {
    const char* c = lookup(kZoneAliases, std::size(kZoneAliases), id);
    return c ? std::string(c) : std::string(id);
}

// libical's zone cache is shared by every thread of the process.
std::mutex g_mutex;

void useZoneFilesBesideLibrary() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&useZoneFilesBesideLibrary), &self))
        return;
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    std::wstring dir(path, n);
    dir.erase(dir.find_last_of(L"\\/") + 1);
    dir += L"zoneinfo";
    // libical opens the files with fopen: the path must be in the ANSI code page.
    char ansi[MAX_PATH * 2];
    BOOL lossy = FALSE;
    if (!WideCharToMultiByte(CP_ACP, 0, dir.c_str(), -1, ansi, sizeof ansi, nullptr, &lossy) || lossy) {
        wchar_t shortDir[MAX_PATH];
        DWORD m = GetShortPathNameW(dir.c_str(), shortDir, MAX_PATH);
        if (m == 0 || m >= MAX_PATH) return;
        if (!WideCharToMultiByte(CP_ACP, 0, shortDir, -1, ansi, sizeof ansi, nullptr, &lossy) || lossy) return;
    }
    set_zone_directory(ansi);
}

// Caller holds g_mutex.
icaltimezone* builtinLocked(const std::string& olson) {
    static std::once_flag once;
    std::call_once(once, useZoneFilesBesideLibrary);
    if (olson.empty() || olson.size() > 100) return nullptr;
    icaltimezone* z = icaltimezone_get_builtin_timezone(olson.c_str());
    icalerror_clear_errno();
    return z;
}

bool isSystemZone(std::string_view id) {
    std::lock_guard lock(g_mutex);
    return builtinLocked(canonical(id)) != nullptr;
}

bool isUtc(const std::string& z) { return z == "UTC" || z == "Etc/UTC" || z == "GMT" || z == "Etc/GMT"; }


int64_t wallSeconds(const WallTime& w) {
    return daysFromCivil(w.year, w.month, w.day) * 86400 + w.hour * 3600 + w.minute * 60 + w.second;
}

WallTime utcWall(UtcSeconds utc) {
    int64_t days = floorDiv(utc, 86400);
    int64_t secs = utc - days * 86400;
    WallTime w = civilFromDays(days);
    w.hour = static_cast<int>(secs / 3600);
    w.minute = static_cast<int>(secs / 60 % 60);
    w.second = static_cast<int>(secs % 60);
    return w;
}

// Seconds east of UTC in force at an instant. Caller holds g_mutex.
int64_t offsetAt(icaltimezone* z, UtcSeconds utc) {
    WallTime w = utcWall(utc);
    icaltimetype t = icaltime_null_time();
    t.year = w.year;
    t.month = w.month;
    t.day = w.day;
    t.hour = w.hour;
    t.minute = w.minute;
    t.second = w.second;
    t.zone = icaltimezone_get_utc_timezone();
    int dst = 0;
    return icaltimezone_get_utc_offset_of_utc_time(z, &t, &dst);
}

icaltimezone* zoneOrThrow(const std::string& olson) {
    icaltimezone* z = builtinLocked(canonical(olson));
    if (!z) throw std::runtime_error("cannot open time zone " + olson);
    return z;
}

}  // namespace

std::string resolve(std::string_view tzid) {
    if (tzid.empty()) return {};
    if (isSystemZone(tzid)) return canonical(tzid);
    if (const char* olson = lookup(kWindowsZones, std::size(kWindowsZones), tzid)) return olson;
    // Prefixed names such as "/mozilla.org/20050126_1/America/Argentina/Buenos_Aires".
    std::vector<size_t> slashes;
    for (size_t i = 0; i < tzid.size(); ++i)
        if (tzid[i] == '/') slashes.push_back(i);
    for (size_t take = 3; take >= 1; --take) {
        if (slashes.size() < take) continue;
        std::string_view tail = tzid.substr(slashes[slashes.size() - take] + 1);
        if (isSystemZone(tail)) return canonical(tail);
    }
    return {};
}

std::string local() {
    const char* env = std::getenv("TZ");
    if (env) {
        std::string t = env;
        if (!t.empty() && t[0] == ':') t.erase(0, 1);
        auto pos = t.find("zoneinfo/");
        if (pos != std::string::npos) t = t.substr(pos + 9);
        if (t.empty()) return "UTC";
        std::string zone = resolve(t);
        if (!zone.empty()) return zone;
    }
    // The zone the user chose in Windows, by its registry key name.
    DYNAMIC_TIME_ZONE_INFORMATION info{};
    if (GetDynamicTimeZoneInformation(&info) != TIME_ZONE_ID_INVALID) {
        std::string key;
        for (const wchar_t* p = info.TimeZoneKeyName; *p && key.size() < 128; ++p) key.push_back(static_cast<char>(*p & 0x7F));
        if (const char* olson = lookup(kWindowsZones, std::size(kWindowsZones), key)) return olson;
    }
    return "UTC";
}

UtcSeconds toUtc(const std::string& olson, const WallTime& w) {
    const int64_t local = wallSeconds(w);
    if (isUtc(olson) || olson.empty()) return local;
    std::lock_guard lock(g_mutex);
    icaltimezone* z = zoneOrThrow(olson);
    // No zone changes its offset twice within two days: the offsets a day
    // either side are the only candidates.
    const int64_t before = offsetAt(z, local - 86400);
    const int64_t after = offsetAt(z, local + 86400);
    const UtcSeconds first = local - before;
    if (first + offsetAt(z, first) == local) return first;  // also the earlier of a repeated time
    const UtcSeconds second = local - after;
    if (second + offsetAt(z, second) == local) return second;
    return first;  // skipped by a change: forward by the gap
}

WallTime toWall(const std::string& olson, UtcSeconds utc) {
    if (isUtc(olson) || olson.empty()) return utcWall(utc);
    std::lock_guard lock(g_mutex);
    return utcWall(utc + offsetAt(zoneOrThrow(olson), utc));
}

}  // namespace pim::store::zone
