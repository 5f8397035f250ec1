// Shared data for the store and object-model benchmarks: a calendar of N
// appointments, a tenth of them weekly series without end, spread over 2025-2026.
#pragma once

#include "store.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>

namespace pimbench {

inline constexpr pim::store::UtcSeconds kWeekStart = 1767571200;  // 2026-01-05 00:00Z
inline constexpr pim::store::UtcSeconds kWeekEnd = kWeekStart + 7 * 86400 - 60;

inline std::string makeIcs(int n) {
    std::mt19937 rng(42);
    const pim::store::UtcSeconds base = 1735689600;  // 2025-01-01
    std::uniform_int_distribution<int> minute(0, 2 * 365 * 24 * 4 - 1);
    std::string ics = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:bench\r\n";
    char buf[512];
    for (int i = 0; i < n; ++i) {
        pim::store::UtcSeconds start = base + static_cast<pim::store::UtcSeconds>(minute(rng)) * 15 * 60;
        time_t s = static_cast<time_t>(start), e = static_cast<time_t>(start + 3600);
        struct tm ts, te;
        gmtime_r(&s, &ts);
        gmtime_r(&e, &te);
        char ds[32], de[32];
        strftime(ds, sizeof ds, "%Y%m%dT%H%M%S", &ts);
        strftime(de, sizeof de, "%Y%m%dT%H%M%S", &te);
        std::snprintf(buf, sizeof buf,
                      "BEGIN:VEVENT\r\nUID:bench-%d\r\nDTSTAMP:20250101T000000Z\r\n"
                      "DTSTART;TZID=Europe/Berlin:%s\r\nDTEND;TZID=Europe/Berlin:%s\r\n"
                      "SUMMARY:Appointment %d\r\nLOCATION:Room %d\r\n%sEND:VEVENT\r\n",
                      i, ds, de, i, i % 50, i % 10 == 0 ? "RRULE:FREQ=WEEKLY\r\n" : "");
        ics += buf;
    }
    ics += "END:VCALENDAR\r\n";
    return ics;
}

inline std::string benchDir() {
    std::string d = (std::filesystem::temp_directory_path() / ("pimbench-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(d);
    return d;
}

// A store of n appointments, built once per process and size.
inline std::string storeOf(int n) {
    static std::map<int, std::string> made;
    auto it = made.find(n);
    if (it != made.end()) return it->second;
    std::string path = benchDir() + "/store-" + std::to_string(n) + ".db";
    std::filesystem::remove(path);
    auto s = pim::store::Store::open(path, pim::store::Store::Options{true, 10000});
    s->importIcs(makeIcs(n));
    made[n] = path;
    return path;
}

}  // namespace pimbench
