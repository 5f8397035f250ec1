#include "vcard.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace pim::vcard {

namespace {

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string toUpper(std::string_view s)
{
    std::string r(s);
    for (char& c : r) c = upper(c);
    return r;
}

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

bool icontains(std::string_view hay, std::string_view needle)
{
    if (needle.size() > hay.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i)
        if (iequals(hay.substr(i, needle.size()), needle)) return true;
    return false;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

[[noreturn]] void fail(std::size_t line, const std::string& message) { throw ParseError(line, message); }

// ---- UTF-8 and charsets ---------------------------------------------------------------

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i)
{
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t n;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) { n = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { n = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { n = 4; cp = c & 0x07; }
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool isValidUtf8(std::string_view s)
{
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8SequenceLength(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string sanitizeUtf8(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8SequenceLength(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

void appendUtf8(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Windows-1252, what old desktop exporters write when they name no charset.
std::string fromCp1252(std::string_view s)
{
    static constexpr std::array<std::uint16_t, 32> k80 = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::string out;
    out.reserve(s.size() * 2);
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        appendUtf8(out, (c >= 0x80 && c < 0xA0) ? k80[c - 0x80] : c);
    }
    return out;
}

std::string toUtf8(std::string_view bytes, std::string_view charset, std::size_t line)
{
    if (charset.empty()) return isValidUtf8(bytes) ? std::string(bytes) : fromCp1252(bytes);
    if (iequals(charset, "UTF-8") || iequals(charset, "UTF8")) return sanitizeUtf8(bytes);
    if (iequals(charset, "US-ASCII") || iequals(charset, "ASCII"))
        return isValidUtf8(bytes) ? std::string(bytes) : fromCp1252(bytes);
    if (iequals(charset, "WINDOWS-1252") || iequals(charset, "CP1252")) return fromCp1252(bytes);

    const std::string cs(charset);
    iconv_t cd = iconv_open("UTF-8", cs.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) fail(line, "unknown charset '" + cs + "'");
    std::unique_ptr<void, int (*)(iconv_t)> guard(cd, iconv_close);
    std::string in(bytes);
    std::string out(in.size() * 4 + 16, '\0');
    char* inPtr = in.data();
    std::size_t inLeft = in.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                const std::size_t used = static_cast<std::size_t>(outPtr - out.data());
                out.resize(out.size() * 2);
                outPtr = out.data() + used;
                outLeft = out.size() - used;
                continue;
            }
            fail(line, "value is not valid " + cs + " text");
        }
    }
    out.resize(static_cast<std::size_t>(outPtr - out.data()));
    return out;
}

// ---- transfer encodings -------------------------------------------------------------

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string decodeQuotedPrintable(std::string_view s, std::size_t line)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '=') {
            out += s[i];
            continue;
        }
        if (i + 1 == s.size()) break;  // soft break left at the very end
        const int hi = hexValue(s[i + 1]);
        const int lo = i + 2 < s.size() ? hexValue(s[i + 2]) : -1;
        if (hi < 0 || lo < 0) fail(line, "bad quoted-printable escape '" + std::string(s.substr(i, 3)) + "'");
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

std::string compactBase64(std::string_view s, std::size_t line)
{
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '+' || c == '/' || c == '=';
        if (!ok) fail(line, std::string("character '") + c + "' is not base64");
        out += c;
    }
    return out;
}

// ---- escaping ------------------------------------------------------------------------

std::string escapeNewlines(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
            out += "\\n";
        } else if (s[i] == '\n') {
            out += "\\n";
        } else {
            out += s[i];
        }
    }
    return out;
}

// 2.1 escapes only the semicolon; everything else in its values is literal.
std::string unescape21(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == ';') {
            out += ';';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<std::string_view> splitUnescaped(std::string_view s, char sep)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == sep) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(s.substr(start));
    return parts;
}

enum class Kind { Structured, List, Text, Raw };

Kind kindOf(std::string_view name)
{
    static constexpr std::string_view kStructured[] = {"N", "ADR", "ORG"};
    static constexpr std::string_view kList[] = {"CATEGORIES", "NICKNAME"};
    static constexpr std::string_view kText[] = {"FN",   "NOTE",  "TITLE",     "ROLE",  "EMAIL", "TEL",
                                                 "LABEL", "MAILER", "SORT-STRING", "CLASS", "NAME"};
    for (auto n : kStructured) if (name == n) return Kind::Structured;
    for (auto n : kList) if (name == n) return Kind::List;
    for (auto n : kText) if (name == n) return Kind::Text;
    return Kind::Raw;
}

// A decoded 2.1 value in the 3.0 escaped form.
std::string from21(std::string_view name, std::string_view value)
{
    switch (kindOf(name)) {
    case Kind::Structured: {
        std::string out;
        bool first = true;
        for (auto part : splitUnescaped(value, ';')) {
            if (!first) out += ';';
            first = false;
            out += escapeText(unescape21(part));
        }
        return out;
    }
    case Kind::List: {
        std::string out;
        for (char c : unescape21(value)) {
            if (c == '\\' || c == ';') out += '\\';
            out += c;
        }
        return escapeNewlines(out);
    }
    case Kind::Text:
        return escapeText(unescape21(value));
    case Kind::Raw:
        break;
    }
    return escapeNewlines(value);
}

// ---- logical lines -------------------------------------------------------------------

struct Line {
    std::string text;
    std::size_t number;
};

// The part of a content line before its value separator (quotes respected).
std::string_view headOf(std::string_view line)
{
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        else if (line[i] == ':' && !quoted) return line.substr(0, i);
    }
    return line;
}

bool isQuotedPrintableHead(std::string_view head) { return icontains(head, "QUOTED-PRINTABLE"); }

bool isBase64Head(std::string_view head) { return icontains(head, "BASE64") || icontains(head, "ENCODING=B"); }

bool isVersion21(std::string_view version) { return version == "2.1" || version == "2.0" || version == "1.0"; }

std::vector<Line> logicalLines(std::string_view text)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

    std::vector<std::string_view> physical;
    for (std::size_t i = 0; i <= text.size();) {
        std::size_t end = text.find_first_of("\r\n", i);
        if (end == std::string_view::npos) {
            if (i < text.size()) physical.push_back(text.substr(i));
            break;
        }
        physical.push_back(text.substr(i, end - i));
        i = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }

    std::vector<Line> lines;
    bool softBreak = false;  // quoted-printable line ending in '='
    bool base64 = false;     // 2.1 base64 value that may go on unindented
    bool quotedPrintable = false;
    // Only 2.1 continues base64 on unindented lines; in 3.0 and 4.0 such a line is the first
    // piece of the next property, folded before its colon.
    bool unindentedBase64 = true;
    for (std::size_t i = 0; i < physical.size(); ++i) {
        std::string_view p = physical[i];
        if (!lines.empty()) {
            Line& cur = lines.back();
            if (softBreak && !iequals(trim(p), "END:VCARD")) {
                cur.text.pop_back();
                cur.text.append(p);
                softBreak = !cur.text.empty() && cur.text.back() == '=';
                continue;
            }
            if (!p.empty() && (p[0] == ' ' || p[0] == '\t')) {
                cur.text.append(p.substr(1));
                softBreak = quotedPrintable && !cur.text.empty() && cur.text.back() == '=';
                continue;
            }
            if (base64 && unindentedBase64 && !trim(p).empty() && p.find(':') == std::string_view::npos) {
                cur.text.append(trim(p));
                continue;
            }
        }
        softBreak = false;
        if (trim(p).empty()) {
            base64 = false;
            quotedPrintable = false;
            continue;
        }
        lines.push_back({std::string(p), i + 1});
        const std::string_view head = headOf(lines.back().text);
        if (iequals(trim(p), "BEGIN:VCARD")) unindentedBase64 = true;
        else if (head.size() < p.size() && iequals(trim(head), "VERSION"))
            unindentedBase64 = isVersion21(trim(std::string_view(lines.back().text).substr(head.size() + 1)));
        quotedPrintable = isQuotedPrintableHead(head);
        base64 = isBase64Head(head);
        softBreak = quotedPrintable && lines.back().text.back() == '=';
    }
    return lines;
}

// ---- content lines -------------------------------------------------------------------

bool isNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// RFC 6868 caret escapes of 4.0 parameter values.
std::string uncaret(std::string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '^' && i + 1 < s.size()) {
            const char n = s[i + 1];
            if (n == 'n' || n == 'N') { out += '\n'; ++i; continue; }
            if (n == '^') { out += '^'; ++i; continue; }
            if (n == '\'') { out += '"'; ++i; continue; }
        }
        out += s[i];
    }
    return out;
}

struct RawProperty {
    Property prop;
    std::size_t line;
    bool binary = false;
};

void addParam(std::vector<Param>& params, std::string name, std::vector<std::string> values)
{
    for (Param& p : params) {
        if (p.name == name) {
            p.values.insert(p.values.end(), values.begin(), values.end());
            return;
        }
    }
    params.push_back({std::move(name), std::move(values)});
}

std::vector<Param> parseParams(std::string_view head, std::size_t line, bool v4)
{
    std::vector<Param> params;
    std::size_t i = 0;
    while (i < head.size()) {
        // head[i] is the ';' before a parameter
        ++i;
        std::size_t nameEnd = i;
        while (nameEnd < head.size() && isNameChar(head[nameEnd])) ++nameEnd;
        std::string name = toUpper(head.substr(i, nameEnd - i));
        if (name.empty()) fail(line, "empty parameter name");
        std::vector<std::string> values;
        if (nameEnd < head.size() && head[nameEnd] == '=') {
            i = nameEnd + 1;
            while (true) {
                std::string value;
                if (i < head.size() && head[i] == '"') {
                    const std::size_t close = head.find('"', i + 1);
                    if (close == std::string_view::npos) fail(line, "unterminated quoted parameter value");
                    value = std::string(head.substr(i + 1, close - i - 1));
                    i = close + 1;
                } else {
                    const std::size_t end = std::min(head.find_first_of(",;", i), head.size());
                    value = std::string(head.substr(i, end - i));
                    i = end;
                }
                values.push_back(v4 ? uncaret(value) : value);
                if (i < head.size() && head[i] == ',') {
                    ++i;
                    continue;
                }
                break;
            }
            if (i < head.size() && head[i] != ';') fail(line, "unexpected text after parameter value");
        } else if (nameEnd == head.size() || head[nameEnd] == ';') {
            // 2.1 bare parameter: an encoding, or else a type.
            i = nameEnd;
            if (name == "QUOTED-PRINTABLE" || name == "BASE64" || name == "8BIT" || name == "7BIT") {
                values.push_back(name);
                name = "ENCODING";
            } else {
                values.push_back(name);
                name = "TYPE";
            }
        } else {
            fail(line, std::string("bad character '") + head[nameEnd] + "' in parameter name");
        }
        addParam(params, std::move(name), std::move(values));
    }
    return params;
}

RawProperty parseLine(const Line& l, bool v4)
{
    const std::string_view head = headOf(l.text);
    if (head.size() == l.text.size()) fail(l.number, "missing ':' in '" + l.text.substr(0, 40) + "'");
    std::string_view value = std::string_view(l.text).substr(head.size() + 1);

    RawProperty raw;
    raw.line = l.number;
    std::size_t nameEnd = 0;
    while (nameEnd < head.size() && head[nameEnd] != ';') ++nameEnd;
    std::string_view groupAndName = trim(head.substr(0, nameEnd));
    const std::size_t dot = groupAndName.rfind('.');
    std::string_view group = dot == std::string_view::npos ? std::string_view() : groupAndName.substr(0, dot);
    std::string_view name = dot == std::string_view::npos ? groupAndName : groupAndName.substr(dot + 1);
    if (name.empty()) fail(l.number, "missing property name");
    for (char c : name)
        if (!isNameChar(c)) fail(l.number, "bad property name '" + std::string(groupAndName) + "'");
    for (char c : group)
        if (!isNameChar(c) && c != '.') fail(l.number, "bad group name '" + std::string(group) + "'");
    raw.prop.group = std::string(group);
    raw.prop.name = toUpper(name);
    std::vector<Param> params = parseParams(head.substr(nameEnd), l.number, v4);

    // Transfer encoding and charset are undone here; the card keeps UTF-8 only.
    std::string charset;
    bool qp = false;
    std::vector<Param> kept;
    for (Param& p : params) {
        if (p.name == "CHARSET") {
            charset = p.values.front();
            continue;
        }
        if (p.name == "ENCODING") {
            const std::string enc = toUpper(p.values.front());
            if (enc == "QUOTED-PRINTABLE") { qp = true; continue; }
            if (enc == "8BIT" || enc == "7BIT") continue;
            if (enc == "BASE64" || enc == "B") {
                raw.binary = true;
                kept.push_back({"ENCODING", {"b"}});
                continue;
            }
            fail(l.number, "unknown encoding '" + p.values.front() + "'");
        }
        kept.push_back(std::move(p));
    }
    raw.prop.params = std::move(kept);
    if (raw.binary) {
        raw.prop.value = compactBase64(value, l.number);
    } else {
        const std::string bytes = qp ? decodeQuotedPrintable(value, l.number) : std::string(value);
        raw.prop.value = toUtf8(bytes, charset, l.number);
    }
    return raw;
}

}  // namespace

ParseError::ParseError(std::size_t line, const std::string& message)
    : std::runtime_error("vCard line " + std::to_string(line) + ": " + message), line_(line)
{
}

// ---- Property and Card ---------------------------------------------------------------

const Param* Property::param(std::string_view n) const
{
    for (const Param& p : params)
        if (iequals(p.name, n)) return &p;
    return nullptr;
}

bool Property::hasType(std::string_view type) const
{
    for (const Param& p : params) {
        if (!iequals(p.name, "TYPE")) continue;
        for (const std::string& v : p.values)
            for (auto part : splitUnescaped(v, ','))
                if (iequals(trim(part), type)) return true;
    }
    return false;
}

bool Property::isBinary() const
{
    const Param* p = param("ENCODING");
    return p && (iequals(p->values.front(), "b") || iequals(p->values.front(), "BASE64"));
}

std::string Property::text() const { return unescapeText(value); }

std::vector<std::string> Property::components() const
{
    std::vector<std::string> out;
    for (auto part : splitUnescaped(value, ';')) out.push_back(unescapeText(part));
    return out;
}

const Property* Card::find(std::string_view name) const
{
    for (const Property& p : properties)
        if (iequals(p.name, name)) return &p;
    return nullptr;
}

Property* Card::find(std::string_view name)
{
    return const_cast<Property*>(static_cast<const Card*>(this)->find(name));
}

std::vector<const Property*> Card::findAll(std::string_view name) const
{
    std::vector<const Property*> out;
    for (const Property& p : properties)
        if (iequals(p.name, name)) out.push_back(&p);
    return out;
}

namespace {
std::string component(const Property* p, std::size_t i)
{
    if (!p) return {};
    auto parts = p->components();
    return i < parts.size() ? parts[i] : std::string();
}
}  // namespace

std::string Card::givenName() const { return component(find("N"), 1); }
std::string Card::familyName() const { return component(find("N"), 0); }
std::string Card::organization() const { return component(find("ORG"), 0); }

std::string Card::formattedName() const
{
    if (const Property* fn = find("FN")) return fn->text();
    const std::string given = givenName();
    const std::string family = familyName();
    if (given.empty()) return family;
    if (family.empty()) return given;
    return given + " " + family;
}

std::vector<std::string> Card::emails() const
{
    std::vector<const Property*> all = findAll("EMAIL");
    std::stable_partition(all.begin(), all.end(), [](const Property* p) {
        const Param* pref = p->param("PREF");
        return p->hasType("pref") || (pref && pref->values.front() == "1");
    });
    std::vector<std::string> out;
    for (const Property* p : all) out.push_back(p->text());
    return out;
}

Property& Card::add(std::string_view name, std::string_view text)
{
    properties.push_back({"", toUpper(name), {}, escapeText(text)});
    return properties.back();
}

namespace {
std::string joinComponents(const std::vector<std::string>& components)
{
    std::string value;
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (i) value += ';';
        value += escapeText(components[i]);
    }
    return value;
}
}  // namespace

Property& Card::addStructured(std::string_view name, const std::vector<std::string>& components)
{
    properties.push_back({"", toUpper(name), {}, joinComponents(components)});
    return properties.back();
}

Property& Card::set(std::string_view name, std::string_view text)
{
    if (Property* p = find(name)) {
        p->value = escapeText(text);
        return *p;
    }
    return add(name, text);
}

Property& Card::setStructured(std::string_view name, const std::vector<std::string>& components)
{
    if (Property* p = find(name)) {
        p->value = joinComponents(components);
        return *p;
    }
    return addStructured(name, components);
}

std::size_t Card::remove(std::string_view name)
{
    const std::size_t before = properties.size();
    std::erase_if(properties, [&](const Property& p) { return iequals(p.name, name); });
    return before - properties.size();
}

std::string escapeText(std::string_view plain)
{
    std::string out;
    out.reserve(plain.size() + 8);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        const char c = plain[i];
        switch (c) {
        case '\\': out += "\\\\"; break;
        case ';': out += "\\;"; break;
        case ',': out += "\\,"; break;
        case '\r':
            if (i + 1 < plain.size() && plain[i + 1] == '\n') ++i;
            out += "\\n";
            break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

std::string unescapeText(std::string_view escaped)
{
    std::string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\' || i + 1 == escaped.size()) {
            out += escaped[i];
            continue;
        }
        const char n = escaped[++i];
        switch (n) {
        case 'n':
        case 'N': out += '\n'; break;
        case '\\':
        case ';':
        case ',':
        case ':': out += n; break;
        default:
            out += '\\';
            out += n;
        }
    }
    return out;
}

// ---- reading -------------------------------------------------------------------------

std::vector<Card> parseCards(std::string_view text)
{
    std::vector<Card> cards;
    const std::vector<Line> lines = logicalLines(text);

    bool inCard = false;
    std::size_t cardStart = 0;
    std::size_t nested = 0;
    Card card;
    std::vector<RawProperty> raws;
    for (const Line& l : lines) {
        const std::string_view head = headOf(l.text);
        const std::string_view name = trim(head);
        const std::string_view value =
            head.size() < l.text.size() ? trim(std::string_view(l.text).substr(head.size() + 1)) : std::string_view();
        if (iequals(name, "BEGIN")) {
            if (!iequals(value, "VCARD")) fail(l.number, "unexpected BEGIN:" + std::string(value));
            if (inCard) {
                // A 2.1 AGENT may embed a whole card; it is not kept.
                ++nested;
                continue;
            }
            inCard = true;
            cardStart = l.number;
            card = Card{};
            raws.clear();
            continue;
        }
        if (iequals(name, "END")) {
            if (!iequals(value, "VCARD")) fail(l.number, "unexpected END:" + std::string(value));
            if (!inCard) fail(l.number, "END:VCARD without BEGIN:VCARD");
            if (nested) {
                --nested;
                continue;
            }
            const bool v21 = isVersion21(card.version);
            for (RawProperty& r : raws) {
                if (v21 && !r.binary) r.prop.value = from21(r.prop.name, r.prop.value);
                else if (!r.binary) r.prop.value = escapeNewlines(r.prop.value);
                card.properties.push_back(std::move(r.prop));
            }
            cards.push_back(std::move(card));
            card = Card{};
            inCard = false;
            continue;
        }
        if (!inCard) fail(l.number, "content outside BEGIN:VCARD ... END:VCARD");
        if (nested) continue;
        if (iequals(name, "VERSION")) {
            card.version = std::string(value);
            continue;
        }
        raws.push_back(parseLine(l, card.version == "4.0"));
    }
    if (inCard) fail(cardStart, "card has no END:VCARD");
    return cards;
}

// ---- writing -------------------------------------------------------------------------

namespace {

std::string paramValue(std::string_view v)
{
    std::string clean;
    bool quote = false;
    for (char c : v) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || u < 0x20 || u == 0x7F) continue;  // not representable in 3.0
        if (c == ';' || c == ':' || c == ',') quote = true;
        clean += c;
    }
    clean = sanitizeUtf8(clean);
    return quote ? "\"" + clean + "\"" : clean;
}

// 4.0 puts photos into data: URIs; 3.0 readers expect inline base64.
bool splitDataUri(const Property& p, std::string& mediaType, std::string& data)
{
    if (p.name != "PHOTO" && p.name != "LOGO" && p.name != "SOUND" && p.name != "KEY") return false;
    if (p.param("ENCODING") || p.value.compare(0, 5, "data:") != 0) return false;
    const std::size_t comma = p.value.find(',');
    if (comma == std::string::npos) return false;
    const std::string_view meta = std::string_view(p.value).substr(5, comma - 5);
    if (meta.size() < 7 || !iequals(meta.substr(meta.size() - 7), ";base64")) return false;
    // Only real base64 becomes ENCODING=b: anything else would make the card unreadable in 3.0.
    const std::string_view payload = std::string_view(p.value).substr(comma + 1);
    for (char c : payload)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
              c == '='))
            return false;
    mediaType = std::string(meta.substr(0, meta.size() - 7));
    data = std::string(payload);
    return true;
}

std::string contentLine(const Property& p)
{
    std::string line;
    if (!p.group.empty()) line += p.group + ".";
    line += toUpper(p.name);

    std::string mediaType, data;
    const bool fromUri = splitDataUri(p, mediaType, data);
    bool hasType = false;
    for (const Param& param : p.params) {
        const std::string name = toUpper(param.name);
        if (name == "CHARSET") continue;
        if (fromUri && name == "VALUE") continue;
        if (name == "TYPE") hasType = true;
        line += ";" + name + "=";
        for (std::size_t i = 0; i < param.values.size(); ++i) {
            if (i) line += ',';
            if (name == "ENCODING" && (iequals(param.values[i], "b") || iequals(param.values[i], "BASE64")))
                line += "b";
            else
                line += paramValue(param.values[i]);
        }
    }
    if (fromUri) {
        if (!hasType && !mediaType.empty()) {
            const std::size_t slash = mediaType.find('/');
            line += ";TYPE=" + paramValue(toUpper(slash == std::string::npos ? mediaType : mediaType.substr(slash + 1)));
        }
        line += ";ENCODING=b:" + data;
    } else {
        line += ":" + sanitizeUtf8(escapeNewlines(p.value));
    }
    return line;
}

// Folds at 75 octets; a continuation line's leading blank counts toward them.
void appendFolded(std::string& out, std::string_view line)
{
    constexpr std::size_t kMax = 75;
    std::size_t pos = 0;
    std::size_t room = kMax;
    while (line.size() - pos > room) {
        std::size_t cut = pos + room;
        while (cut > pos && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        out.append(line.substr(pos, cut - pos));
        out += "\r\n ";
        pos = cut;
        room = kMax - 1;
    }
    out.append(line.substr(pos));
    out += "\r\n";
}

}  // namespace

std::string writeCard(const Card& card)
{
    std::string out = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    if (!card.find("FN")) {
        std::string fn = card.formattedName();
        if (fn.empty()) fn = card.organization();
        if (fn.empty()) {
            const auto mails = card.emails();
            if (!mails.empty()) fn = mails.front();
        }
        appendFolded(out, "FN:" + sanitizeUtf8(escapeText(fn)));
    }
    if (!card.find("N")) out += "N:;;;;\r\n";
    for (const Property& p : card.properties) {
        if (iequals(p.name, "BEGIN") || iequals(p.name, "END") || iequals(p.name, "VERSION")) continue;
        appendFolded(out, contentLine(p));
    }
    out += "END:VCARD\r\n";
    return out;
}

std::string writeCards(const std::vector<Card>& cards)
{
    std::string out;
    for (const Card& c : cards) out += writeCard(c);
    return out;
}

}  // namespace pim::vcard
