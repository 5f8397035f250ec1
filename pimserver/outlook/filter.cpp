#include "filter.h"

#include "com.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace pim::outlook::filter {
namespace {

constexpr store::UtcSeconds kInf = store::kOpenEnd;

struct PropDef {
    const char* name;
    Type type;
};
const PropDef kCalendarProps[] = {
    {"Start", Type::Time},          {"End", Type::Time},        {"Subject", Type::Text},
    {"Location", Type::Text},       {"Body", Type::Text},       {"AllDayEvent", Type::Bool},
    {"ReminderSet", Type::Bool},    {"ReminderMinutesBeforeStart", Type::Number},
    {"BusyStatus", Type::Number},   {"IsRecurring", Type::Bool}, {"EntryID", Type::Text},
    {"MessageClass", Type::Text},
};
const PropDef kContactProps[] = {
    {"FirstName", Type::Text},   {"LastName", Type::Text},      {"FullName", Type::Text},
    {"CompanyName", Type::Text}, {"JobTitle", Type::Text},      {"Email1Address", Type::Text},
    {"Email2Address", Type::Text}, {"Email3Address", Type::Text}, {"BusinessTelephoneNumber", Type::Text},
    {"HomeTelephoneNumber", Type::Text}, {"MobileTelephoneNumber", Type::Text}, {"Body", Type::Text},
    {"EntryID", Type::Text},     {"MessageClass", Type::Text},
};

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

// ---- tokens ----
struct Token {
    enum Kind { End, Prop, OpTok, Str, Word, LParen, RParen } kind = End;
    std::string text;
    Op op = Op::Eq;
};

class Lexer {
public:
    explicit Lexer(std::string_view s) : s_(s) {}
    Token next() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
        Token t;
        if (i_ >= s_.size()) return t;
        char c = s_[i_];
        if (c == '[') {
            size_t close = s_.find(']', i_);
            if (close == std::string_view::npos) throw Error("unclosed [");
            t.kind = Token::Prop;
            t.text = std::string(s_.substr(i_ + 1, close - i_ - 1));
            i_ = close + 1;
            return t;
        }
        if (c == '(' || c == ')') {
            ++i_;
            t.kind = c == '(' ? Token::LParen : Token::RParen;
            return t;
        }
        if (c == '"' || c == '\'') {
            ++i_;
            t.kind = Token::Str;
            for (;;) {
                if (i_ >= s_.size()) throw Error("unclosed quote");
                if (s_[i_] == c) {
                    if (i_ + 1 < s_.size() && s_[i_ + 1] == c) {
                        t.text.push_back(c);
                        i_ += 2;
                        continue;
                    }
                    ++i_;
                    break;
                }
                t.text.push_back(s_[i_++]);
            }
            return t;
        }
        if (c == '<' || c == '>' || c == '=') {
            t.kind = Token::OpTok;
            auto two = s_.substr(i_, 2);
            if (two == "<=") t.op = Op::Le, i_ += 2;
            else if (two == ">=") t.op = Op::Ge, i_ += 2;
            else if (two == "<>") t.op = Op::Ne, i_ += 2;
            else if (c == '<') t.op = Op::Lt, ++i_;
            else if (c == '>') t.op = Op::Gt, ++i_;
            else t.op = Op::Eq, ++i_;
            return t;
        }
        size_t start = i_;
        while (i_ < s_.size() && !std::isspace(static_cast<unsigned char>(s_[i_])) && std::strchr("[]()<>=\"'", s_[i_]) == nullptr)
            ++i_;
        if (start == i_) throw Error("unexpected character");
        t.kind = Token::Word;
        t.text = std::string(s_.substr(start, i_ - start));
        return t;
    }

private:
    std::string_view s_;
    size_t i_ = 0;
};

class Parser {
public:
    Parser(std::string_view s, bool calendar, const Formats& f) : lex_(s), calendar_(calendar), formats_(f) { advance(); }

    std::unique_ptr<Node> parseAll() {
        auto n = parseOr();
        if (tok_.kind != Token::End) throw Error("unexpected text after the filter");
        return n;
    }

private:
    void advance() { tok_ = lex_.next(); }
    bool isWord(const char* w) const { return tok_.kind == Token::Word && iequals(tok_.text, w); }

    std::unique_ptr<Node> join(Node::Kind k, std::unique_ptr<Node> a, std::unique_ptr<Node> b) {
        auto n = std::make_unique<Node>();
        n->kind = k;
        n->left = std::move(a);
        n->right = std::move(b);
        return n;
    }
    std::unique_ptr<Node> parseOr() {
        auto n = parseAnd();
        while (isWord("or")) {
            advance();
            n = join(Node::Or, std::move(n), parseAnd());
        }
        return n;
    }
    std::unique_ptr<Node> parseAnd() {
        auto n = parseNot();
        while (isWord("and")) {
            advance();
            n = join(Node::And, std::move(n), parseNot());
        }
        return n;
    }
    // Parsing, evaluation and destruction all recurse over the tree: its depth and size are bounded
    // so that no filter text can exhaust the stack.
    struct Nesting {
        int& depth;
        explicit Nesting(int& d) : depth(d) {
            if (++depth > kMaxNesting) {
                --depth;
                throw Error("filter nested too deeply");
            }
        }
        ~Nesting() { --depth; }
    };
    std::unique_ptr<Node> parseNot() {
        if (isWord("not")) {
            Nesting guard(depth_);
            advance();
            auto n = std::make_unique<Node>();
            n->kind = Node::Not;
            n->left = parseNot();
            return n;
        }
        if (tok_.kind == Token::LParen) {
            Nesting guard(depth_);
            advance();
            auto n = parseOr();
            if (tok_.kind != Token::RParen) throw Error("missing )");
            advance();
            return n;
        }
        return parseCompare();
    }
    std::unique_ptr<Node> parseCompare() {
        if (tok_.kind != Token::Prop) throw Error("expected [Property]");
        if (++comparisons_ > kMaxComparisons) throw Error("filter has too many comparisons");
        auto n = std::make_unique<Node>();
        auto type = propertyType(tok_.text, calendar_, &n->property);
        if (!type) throw Error("unknown property [" + tok_.text + "]");
        n->type = *type;
        advance();
        if (tok_.kind != Token::OpTok) throw Error("expected a comparison operator");
        n->op = tok_.op;
        advance();
        if (tok_.kind != Token::Str && tok_.kind != Token::Word) throw Error("expected a value");
        const std::string v = tok_.text;
        const bool quoted = tok_.kind == Token::Str;
        advance();
        switch (n->type) {
        case Type::Text:
            n->text = v;
            break;
        case Type::Time: {
            auto t = parseLocalDateTime(v, formats_);
            if (!t) throw Error("unreadable date \"" + v + "\"");
            n->time = *t;
            break;
        }
        case Type::Bool:
            if (iequals(v, "true") || v == "-1" || v == "1") n->number = 1;
            else if (iequals(v, "false") || v == "0") n->number = 0;
            else throw Error("unreadable truth value \"" + v + "\"");
            break;
        case Type::Number: {
            char* end = nullptr;
            long long x = std::strtoll(v.c_str(), &end, 10);
            if (v.empty() || *end) throw Error("unreadable number \"" + v + "\"");
            n->number = x;
            break;
        }
        }
        (void)quoted;
        return n;
    }

    static constexpr int kMaxNesting = 100;
    static constexpr int kMaxComparisons = 1000;

    Lexer lex_;
    Token tok_;
    int depth_ = 0;
    int comparisons_ = 0;
    bool calendar_;
    const Formats& formats_;
};

template <class T>
bool compare(const T& a, Op op, const T& b) {
    switch (op) {
    case Op::Eq: return a == b;
    case Op::Ne: return a != b;
    case Op::Lt: return a < b;
    case Op::Le: return a <= b;
    case Op::Gt: return a > b;
    case Op::Ge: return a >= b;
    }
    return false;
}

std::string readRegistryText(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\International", 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    char buf[256];
    DWORD size = sizeof buf - 1, type = 0;
    std::string out;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS && type == REG_SZ) {
        buf[std::min<DWORD>(size, sizeof buf - 1)] = 0;
        out = buf;
    }
    RegCloseKey(key);
    return out;
}

const char* kMonths[] = {"january", "february", "march",     "april",   "may",      "june",
                         "july",    "august",   "september", "october", "november", "december"};

}  // namespace

Formats userFormats() {
    Formats f;
    std::string d = readRegistryText("sShortDate");
    if (!d.empty()) f.shortDate = d;
    std::string am = readRegistryText("s1159"), pm = readRegistryText("s2359");
    if (!am.empty()) f.am = am;
    if (!pm.empty()) f.pm = pm;
    return f;
}

std::optional<store::UtcSeconds> parseLocalDateTime(std::string_view s, const Formats& f) {
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    };
    auto readNumber = [&](size_t maxDigits, int* out) {
        size_t start = i;
        int v = 0;
        while (i < s.size() && i - start < maxDigits && std::isdigit(static_cast<unsigned char>(s[i]))) v = v * 10 + (s[i++] - '0');
        *out = v;
        return i > start;
    };
    int year = -1, month = -1, day = -1;
    const std::string& pic = f.shortDate;
    skipSpace();
    for (size_t p = 0; p < pic.size();) {
        char c = pic[p];
        size_t run = 1;
        while (p + run < pic.size() && pic[p + run] == c) ++run;
        if (c == 'd' && run <= 2) {
            if (!readNumber(2, &day)) return std::nullopt;
        } else if (c == 'd') {  // day name: skip letters
            while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
        } else if (c == 'M' && run <= 2) {
            if (!readNumber(2, &month)) return std::nullopt;
        } else if (c == 'M') {
            size_t start = i;
            while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
            std::string name = lower(s.substr(start, i - start));
            for (int m = 0; m < 12 && name.size() >= 3; ++m)
                if (std::string_view(kMonths[m]).substr(0, name.size()) == name) month = m + 1;
            if (month < 0) return std::nullopt;
        } else if (c == 'y') {
            size_t start = i;
            if (!readNumber(run <= 2 ? 2 : 4, &year)) return std::nullopt;
            if (i - start <= 2) year += year <= 29 ? 2000 : 1900;
        } else if (c == 'g') {
            while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        } else if (c == '\'') {
            size_t close = pic.find('\'', p + 1);
            std::string lit = pic.substr(p + 1, (close == std::string::npos ? pic.size() : close) - p - 1);
            if (s.substr(i, lit.size()) != lit) return std::nullopt;
            i += lit.size();
            p = close == std::string::npos ? pic.size() : close + 1;
            continue;
        } else {
            for (size_t k = 0; k < run; ++k) {
                if (c == ' ') {
                    skipSpace();
                    continue;
                }
                if (i >= s.size() || s[i] != c) return std::nullopt;
                ++i;
            }
        }
        p += run;
    }
    if (year < 0 || month < 1 || month > 12 || day < 1) return std::nullopt;
    {
        static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
    }

    // Time: H:mm[:ss] with an optional AM/PM designator, in the user's or the
    // English spelling; a date alone means midnight.
    int hour = 0, minute = 0, second = 0;
    skipSpace();
    if (i < s.size()) {
        if (!readNumber(2, &hour) || i >= s.size() || (s[i] != ':' && s[i] != '.')) return std::nullopt;
        char sep = s[i++];
        if (!readNumber(2, &minute)) return std::nullopt;
        if (i < s.size() && s[i] == sep) {
            ++i;
            if (!readNumber(2, &second)) return std::nullopt;
        }
        skipSpace();
        if (i < s.size()) {
            std::string rest = lower(s.substr(i));
            while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
            bool pm;
            if (rest == lower(f.pm) || rest == "pm") pm = true;
            else if (rest == lower(f.am) || rest == "am") pm = false;
            else return std::nullopt;
            if (hour < 1 || hour > 12) return std::nullopt;
            hour = hour % 12 + (pm ? 12 : 0);
        }
        if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    }
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    DATE d = 0;
    if (!SystemTimeToVariantTime(&st, &d)) return std::nullopt;
    return localDateToUtc(d);
}

std::optional<Type> propertyType(std::string_view name, bool calendar, std::string* canonical) {
    auto look = [&](const auto& table) -> std::optional<Type> {
        for (const PropDef& p : table)
            if (iequals(p.name, name)) {
                if (canonical) *canonical = p.name;
                return p.type;
            }
        return std::nullopt;
    };
    return calendar ? look(kCalendarProps) : look(kContactProps);
}

std::unique_ptr<Node> parse(std::string_view text, bool calendar, const Formats& formats) {
    Parser p(text, calendar, formats);
    return p.parseAll();
}

bool evaluate(const Node& n, const Getter& get) {
    switch (n.kind) {
    case Node::And: return evaluate(*n.left, get) && evaluate(*n.right, get);
    case Node::Or: return evaluate(*n.left, get) || evaluate(*n.right, get);
    case Node::Not: return !evaluate(*n.left, get);
    case Node::Compare: break;
    }
    std::optional<Value> v = get(n.property);
    if (!v) return false;
    switch (n.type) {
    case Type::Text: return compare(lower(v->text), n.op, lower(n.text));
    case Type::Time: return compare(v->time, n.op, n.time);
    case Type::Bool: return compare(v->number != 0 ? int64_t(1) : int64_t(0), n.op, n.number);
    case Type::Number: return compare(v->number, n.op, n.number);
    }
    return false;
}

Window window(const Node& n) {
    switch (n.kind) {
    case Node::And: {
        Window a = window(*n.left), b = window(*n.right);
        return {std::max(a.lo, b.lo), std::min(a.hi, b.hi)};
    }
    case Node::Or: {
        Window a = window(*n.left), b = window(*n.right);
        return {std::min(a.lo, b.lo), std::max(a.hi, b.hi)};
    }
    case Node::Not: return {-kInf, kInf};
    case Node::Compare: break;
    }
    if (n.type != Type::Time) return {-kInf, kInf};
    switch (n.op) {
    case Op::Le:
    case Op::Lt: return {-kInf, n.time};  // start <= t, and end <= t implies start <= t
    case Op::Ge:
    case Op::Gt: return {n.time, kInf};   // end >= t, and start >= t implies end >= t
    case Op::Eq: return {n.time, n.time};  // start == t or end == t: start <= t <= end
    case Op::Ne: return {-kInf, kInf};
    }
    return {-kInf, kInf};
}

bool exactlyWindow(const Node& n) {
    if (n.kind == Node::And) return exactlyWindow(*n.left) && exactlyWindow(*n.right);
    if (n.kind != Node::Compare || n.type != Type::Time) return false;
    return (n.property == "Start" && n.op == Op::Le) || (n.property == "End" && n.op == Op::Ge);
}

}  // namespace pim::outlook::filter
