#include "com.h"

#include "pimserver/Errors.h"

#include <cmath>
#include <ctime>

namespace pim::outlook {

std::atomic<LONG> g_liveObjects{0};

std::string toUtf8(const OLECHAR* s, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string toUtf8(BSTR s) { return s ? toUtf8(s, SysStringLen(s)) : std::string(); }

std::u16string toUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        uint32_t c;
        size_t len;
        if (b < 0x80) c = b, len = 1;
        else if ((b & 0xE0) == 0xC0) c = b & 0x1F, len = 2;
        else if ((b & 0xF0) == 0xE0) c = b & 0x0F, len = 3;
        else if ((b & 0xF8) == 0xF0) c = b & 0x07, len = 4;
        else c = 0xFFFD, len = 1;
        if (i + len > s.size()) {
            c = 0xFFFD;
            len = s.size() - i;
        } else {
            for (size_t k = 1; k < len; ++k) {
                unsigned char n = static_cast<unsigned char>(s[i + k]);
                if ((n & 0xC0) != 0x80) {
                    c = 0xFFFD;
                    len = k;
                    break;
                }
                c = (c << 6) | (n & 0x3F);
            }
        }
        i += len;
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c));
        }
    }
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
    struct tm tm {};
    tm.tm_year = w.year - 1900;
    tm.tm_mon = w.month - 1;
    tm.tm_mday = w.day;
    tm.tm_hour = static_cast<int>(secs / 3600);
    tm.tm_min = static_cast<int>(secs / 60 % 60);
    tm.tm_sec = static_cast<int>(secs % 60);
    tm.tm_isdst = -1;
    return static_cast<store::UtcSeconds>(mktime(&tm));
}

DATE utcToLocalDate(store::UtcSeconds t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    localtime_r(&tt, &tm);
    int64_t day = store::zone::daysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) + kEpochDate;
    return static_cast<DATE>(day) + (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) / 86400.0;
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
