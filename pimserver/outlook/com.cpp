#include "com.h"

#include "pimserver/Errors.h"

#include <cmath>
#include <ctime>

#ifndef _WIN32
#include "LocalZone.h"
#endif

namespace pim::outlook {

std::atomic<LONG> g_liveObjects{0};

std::string toUtf8(const OLECHAR* s, size_t n) {
    if (n == 0) return {};
    int len = WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(len > 0 ? len : 0), '\0');
    if (len > 0) WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(n), out.data(), len, nullptr, nullptr);
    return out;
}

std::string toUtf8(BSTR s) { return s ? toUtf8(s, SysStringLen(s)) : std::string(); }

std::u16string toUtf16(std::string_view s) {
    if (s.empty()) return {};
    int len = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(len > 0 ? len : 0), u'\0');
    if (len > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), len);
    return out;
}

HRESULT newBstr(const std::u16string& s, BSTR* out) {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT newBstr(std::string_view utf8, BSTR* out) { return newBstr(toUtf16(utf8), out); }

namespace {
constexpr int64_t kEpochDate = 25569;  // 1970-01-01 as a DATE

#ifdef _WIN32
const std::string& localZone() {
    static const std::string zone = store::zone::local();
    return zone;
}
#endif
}

store::UtcSeconds localDateToUtc(DATE d) {
    double days = std::floor(d);
    int64_t secs = std::llround((d - days) * 86400.0);
    int64_t day = static_cast<int64_t>(days) - kEpochDate;
    if (secs >= 86400) {
        secs -= 86400;
        ++day;
    }
    WallTime w = store::zone::civilFromDays(day);
#ifdef _WIN32
    // Windows' C runtime knows no Olson zone in TZ (nor the Windows zone's rules for past
    // years); the store's zone rules do.
    w.hour = static_cast<int>(secs / 3600);
    w.minute = static_cast<int>(secs / 60 % 60);
    w.second = static_cast<int>(secs % 60);
    return store::zone::toUtc(localZone(), w);
#else
    // The zone table answers wherever one instant shows this local time; mktime settles the rest.
    const int64_t local = day * 86400 + secs;
    long offset;
    if (zones::uniqueOffset(local, &offset)) return static_cast<store::UtcSeconds>(local - offset);
    struct tm tm {};
    tm.tm_year = w.year - 1900;
    tm.tm_mon = w.month - 1;
    tm.tm_mday = w.day;
    tm.tm_hour = static_cast<int>(secs / 3600);
    tm.tm_min = static_cast<int>(secs / 60 % 60);
    tm.tm_sec = static_cast<int>(secs % 60);
    tm.tm_isdst = -1;
    return static_cast<store::UtcSeconds>(mktime(&tm));
#endif
}

DATE utcToLocalDate(store::UtcSeconds t) {
#ifdef _WIN32
    const WallTime w = store::zone::toWall(localZone(), t);
    const int64_t day = store::zone::daysFromCivil(w.year, w.month, w.day) + kEpochDate;
    return static_cast<DATE>(day) + (w.hour * 3600 + w.minute * 60 + w.second) / 86400.0;
#else
    long offset;
    if (zones::offsetAt(t, &offset)) {
        const int64_t local = t + offset;
        const int64_t days = local / 86400 - (local % 86400 < 0);
        return static_cast<DATE>(days + kEpochDate) + static_cast<double>(local - days * 86400) / 86400.0;
    }
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    localtime_r(&tt, &tm);
    int64_t day = store::zone::daysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) + kEpochDate;
    return static_cast<DATE>(day) + (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) / 86400.0;
#endif
}

HRESULT hresultOf(const store::StoreError& e) {
    switch (e.code()) {
    case store::Errc::NotAStore: return server::kNotAStore;
    case store::Errc::NewerVersion: return server::kNewerStore;
    case store::Errc::AccessDenied: return server::kStoreAccessDenied;
    case store::Errc::Locked: return server::kStoreLocked;
    case store::Errc::NotFound: return MAPI_E_NOT_FOUND;
    case store::Errc::Invalid: return E_INVALIDARG;
    case store::Errc::Io:
    case store::Errc::Full: return server::kStoreIo;
    }
    return E_FAIL;
}

}  // namespace pim::outlook
