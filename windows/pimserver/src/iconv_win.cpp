#include <iconv.h>

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct Charset {
    const char* name;
    UINT codePage;
};
// The names mail and vCard writers use; "CPnnnn" and "WINDOWS-nnnn" are read as numbers.
constexpr Charset kCharsets[] = {
    {"ISO-8859-1", 28591},  {"LATIN1", 28591},      {"ISO-8859-2", 28592},   {"ISO-8859-3", 28593},
    {"ISO-8859-4", 28594},  {"ISO-8859-5", 28595},  {"ISO-8859-6", 28596},   {"ISO-8859-7", 28597},
    {"ISO-8859-8", 28598},  {"ISO-8859-9", 28599},  {"ISO-8859-13", 28603},  {"ISO-8859-15", 28605},
    {"KOI8-R", 20866},      {"KOI8-U", 21866},      {"SHIFT_JIS", 932},      {"SJIS", 932},
    {"EUC-JP", 20932},      {"ISO-2022-JP", 50220}, {"GB2312", 936},         {"GBK", 936},
    {"GB18030", 54936},     {"BIG5", 950},          {"EUC-KR", 51949},       {"KS_C_5601-1987", 949},
    {"UTF-16", 1200},       {"UTF-16LE", 1200},     {"UTF-16BE", 1201},      {"UTF-7", 65000},
    {"UTF-8", 65001},       {"US-ASCII", 20127},    {"MACINTOSH", 10000},    {"IBM850", 850},
    {"IBM437", 437},
};

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

UINT codePageOf(std::string_view name) {
    for (const Charset& c : kCharsets)
        if (equalNoCase(name, c.name)) return c.codePage;
    for (std::string_view prefix : {std::string_view("CP"), std::string_view("WINDOWS-")}) {
        if (name.size() > prefix.size() && equalNoCase(name.substr(0, prefix.size()), prefix)) {
            std::string digits(name.substr(prefix.size()));
            char* end = nullptr;
            unsigned long n = std::strtoul(digits.c_str(), &end, 10);
            if (end && *end == '\0' && n > 0 && n < 65536) return static_cast<UINT>(n);
        }
    }
    return 0;
}

struct Converter {
    UINT codePage;
};

}  // namespace

iconv_t iconv_open(const char* tocode, const char* fromcode) {
    UINT cp = fromcode ? codePageOf(fromcode) : 0;
    if (!tocode || !equalNoCase(tocode, "UTF-8") || cp == 0 || (!IsValidCodePage(cp) && cp != 1200 && cp != 1201)) {
        errno = EINVAL;
        return reinterpret_cast<iconv_t>(-1);
    }
    return new Converter{cp};
}

size_t iconv(iconv_t cd, char** inbuf, size_t* inleft, char** outbuf, size_t* outleft) {
    if (!inbuf || !*inbuf || !inleft || *inleft == 0) return 0;
    const UINT cp = static_cast<Converter*>(cd)->codePage;
    std::wstring wide;
    if (cp == 1200 || cp == 1201) {
        if (*inleft % 2) {
            errno = EINVAL;
            return static_cast<size_t>(-1);
        }
        const auto* b = reinterpret_cast<const unsigned char*>(*inbuf);
        for (size_t i = 0; i + 1 < *inleft; i += 2)
            wide.push_back(static_cast<wchar_t>(cp == 1200 ? (b[i] | b[i + 1] << 8) : (b[i] << 8 | b[i + 1])));
    } else {
        // Code pages 50220 and 65000 refuse the flag.
        const DWORD flags = (cp == 50220 || cp == 65000) ? 0 : MB_ERR_INVALID_CHARS;
        int n = MultiByteToWideChar(cp, flags, *inbuf, static_cast<int>(*inleft), nullptr, 0);
        if (n <= 0) {
            errno = EILSEQ;
            return static_cast<size_t>(-1);
        }
        wide.resize(static_cast<size_t>(n));
        MultiByteToWideChar(cp, flags, *inbuf, static_cast<int>(*inleft), wide.data(), n);
    }
    int need = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (need < 0 || (need == 0 && !wide.empty())) {
        errno = EILSEQ;
        return static_cast<size_t>(-1);
    }
    if (static_cast<size_t>(need) > *outleft) {
        errno = E2BIG;
        return static_cast<size_t>(-1);
    }
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), *outbuf, need, nullptr, nullptr);
    *outbuf += need;
    *outleft -= static_cast<size_t>(need);
    *inbuf += *inleft;
    *inleft = 0;
    return 0;
}

int iconv_close(iconv_t cd) {
    delete static_cast<Converter*>(cd);
    return 0;
}
