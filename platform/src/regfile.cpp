// The Windows .reg text format ("Windows Registry Editor Version 5.00").
#include <cstring>
#include <string_view>

#include "internal.h"
#include "registry_internal.h"

namespace pim::reg {

const char* const kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                            "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

std::string fold(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

namespace {

bool same_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

Value* Key::find_value(const std::string& n) {
  for (auto& v : values)
    if (same_folded(v.name, n)) return &v;
  return nullptr;
}

Key* Key::child(const std::string& n) {
  auto it = children.find(fold(n));
  return it == children.end() ? nullptr : it->second.get();
}

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";

int root_of(std::string_view name) {
  static const char* const abbrev[kRootCount] = {"HKCR", "HKCU", "HKLM", "HKU", "HKCC"};
  for (int i = 0; i < kRootCount; ++i)
    if (same_folded(name, kRootNames[i]) || same_folded(name, abbrev[i])) return i;
  return -1;
}

// The non-empty parts of a backslash-separated path, into a vector the caller reuses.
void split_path(std::string_view path, std::vector<std::string_view>& parts) {
  parts.clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
}

// A string value as stored: UTF-16LE with its terminating NUL.
std::vector<unsigned char> utf16_bytes(std::string_view s) {
  std::vector<unsigned char> out;
  bool ascii = true;
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
  if (ascii) {
    // Most of a registry is ASCII: one byte widens to one code unit, no conversion needed.
    out.resize((s.size() + 1) * 2);
    for (size_t i = 0; i < s.size(); ++i) out[2 * i] = static_cast<unsigned char>(s[i]);
    return out;
  }
  std::u16string w = pim::detail::to_u16(s);
  out.reserve((w.size() + 1) * 2);
  for (char16_t c : w) {
    out.push_back(static_cast<unsigned char>(c & 0xFF));
    out.push_back(static_cast<unsigned char>(c >> 8));
  }
  out.insert(out.end(), {0, 0});
  return out;
}

// Reads a quoted string starting at s[i] == '"'; leaves i after the closing quote.
bool read_quoted(std::string_view s, size_t& i, std::string& out) {
  out.clear();
  ++i;
  while (i < s.size()) {
    // Plain characters in one piece up to the next quote or escape.
    size_t stop = i;
    while (stop < s.size() && s[stop] != '"' && s[stop] != '\\') ++stop;
    out.append(s.data() + i, stop - i);
    i = stop;
    if (i >= s.size()) break;
    char c = s[i++];
    if (c == '"') return true;
    if (c == '\\' && i < s.size()) {
      char e = s[i++];
      if (e == 'n') out += '\n';
      else if (e == 'r') out += '\r';
      else if (e == '0') out += '\0';
      else out += e;
    } else {
      out += c;
    }
  }
  return false;
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Up to eight hex digits, already checked to be nothing else.
uint32_t hex_number(std::string_view s) {
  uint32_t v = 0;
  for (char c : s) v = v * 16 + static_cast<uint32_t>(hexval(c));
  return v;
}

bool read_hex_bytes(std::string_view s, std::vector<unsigned char>& out) {
  out.clear();
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= s.size()) break;
    if (i + 1 >= s.size() || hexval(s[i]) < 0 || hexval(s[i + 1]) < 0) return false;
    out.push_back(static_cast<unsigned char>(hexval(s[i]) * 16 + hexval(s[i + 1])));
    i += 2;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i < s.size()) {
      if (s[i] != ',') return false;
      ++i;
    }
  }
  return true;
}

std::string to_utf8_text(const std::string& raw) {
  // UTF-16LE with a byte-order mark, as regedit writes it; otherwise UTF-8 (a BOM is skipped).
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::u16string w;
    for (size_t i = 2; i + 1 < raw.size(); i += 2)
      w += static_cast<char16_t>(static_cast<unsigned char>(raw[i]) | (static_cast<unsigned char>(raw[i + 1]) << 8));
    return pim::detail::to_u8(w);
  }
  if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
  return raw;
}

std::string_view trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// The parse of one file; a registry is read at every process's first access, so the lines are
// looked at in place rather than copied.
class Parser {
 public:
  Parser(Tree& tree, std::string* why) : tree_(tree), why_(why) {}

  // One logical line (continuations joined); false when it cannot be read.
  bool line(size_t no, std::string_view line) {
    std::string_view t = trim(line);
    if (t.empty() || t[0] == ';') return true;
    if (!header_) {
      if (t != kHeader && t != "REGEDIT4") return fail(no, "not a registry file");
      header_ = true;
      return true;
    }
    if (t[0] == '[') return key(no, t);
    return value(no, t);
  }

  bool header() const { return header_; }

  bool fail(size_t line, const std::string& reason) {
    if (why_) *why_ = "line " + std::to_string(line) + ": " + reason;
    return false;
  }

 private:
  bool key(size_t no, std::string_view t) {
    size_t close = t.rfind(']');
    if (close == std::string_view::npos) return fail(no, "unterminated key");
    std::string_view path = t.substr(1, close - 1);
    bool remove = !path.empty() && path[0] == '-';
    if (remove) path.remove_prefix(1);
    seen_key_ = true;
    split_path(path, parts_);
    if (parts_.empty()) return fail(no, "empty key");
    int root = root_of(parts_[0]);
    if (root < 0) return fail(no, "unknown root " + std::string(parts_[0]));
    Key* k = &tree_.roots[root];
    if (remove) {
      Key* parent = k;
      for (size_t i = 1; parent && i + 1 < parts_.size(); ++i) parent = parent->child(std::string(parts_[i]));
      if (parent && parts_.size() > 1) parent->children.erase(fold(std::string(parts_.back())));
      current_ = nullptr;
      return true;
    }
    for (size_t i = 1; i < parts_.size(); ++i) {
      folded_.assign(parts_[i]);
      for (char& c : folded_)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      auto& slot = k->children[folded_];
      if (!slot) {
        slot = std::make_unique<Key>();
        slot->name = parts_[i];
      }
      k = slot.get();
    }
    current_ = k;
    return true;
  }

  // A value line: @=... or "name"=...
  bool value(size_t no, std::string_view t) {
    size_t i = 0;
    std::string name;
    if (t[0] == '@') {
      i = 1;
    } else if (t[0] == '"') {
      if (!read_quoted(t, i, name)) return fail(no, "unterminated value name");
    } else {
      return fail(no, "unexpected text");
    }
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
    if (i >= t.size() || t[i] != '=') return fail(no, "missing '='");
    ++i;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
    if (!current_) {
      // Values of a deleted key ("[-...]") are skipped; values before any key are an error.
      if (!seen_key_) return fail(no, "value outside a key");
      return true;
    }
    std::string_view data = t.substr(i);
    if (data == "-") {
      std::erase_if(current_->values, [&](const Value& x) { return same_folded(x.name, name); });
      return true;
    }
    Value v;
    if (!data.empty() && data[0] == '"') {
      size_t j = 0;
      if (!read_quoted(data, j, text_) || !trim(data.substr(j)).empty()) return fail(no, "bad string value");
      v.type = REG_SZ;
      v.data = utf16_bytes(text_);
    } else if (data.substr(0, 6) == "dword:") {
      std::string_view hex = trim(data.substr(6));
      if (hex.empty() || hex.size() > 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return fail(no, "bad dword");
      uint32_t d = hex_number(hex);
      v.type = REG_DWORD;
      v.data = {static_cast<unsigned char>(d), static_cast<unsigned char>(d >> 8),
                static_cast<unsigned char>(d >> 16), static_cast<unsigned char>(d >> 24)};
    } else if (data.substr(0, 4) == "hex:" || data.substr(0, 4) == "hex(") {
      size_t colon = data.find(':');
      v.type = REG_BINARY;
      if (data[3] == '(') {
        size_t close = data.find(')');
        if (close == std::string_view::npos || close + 1 != colon || close == 4) return fail(no, "bad hex type");
        std::string_view type = data.substr(4, close - 4);
        if (type.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos || type.size() > 8)
          return fail(no, "bad hex type");
        v.type = hex_number(type);
      }
      if (!read_hex_bytes(data.substr(colon + 1), v.data)) return fail(no, "bad hex data");
    } else {
      return fail(no, "unknown value form");
    }
    if (Value* existing = current_->find_value(name)) {
      existing->name = std::move(name);  // the last spelling wins, as a later line overrides
      existing->type = v.type;
      existing->data = std::move(v.data);
    } else {
      v.name = std::move(name);
      current_->values.push_back(std::move(v));
    }
    return true;
  }

  Tree& tree_;
  std::string* why_;
  bool header_ = false;
  bool seen_key_ = false;
  Key* current_ = nullptr;
  std::vector<std::string_view> parts_;
  std::string folded_;
  std::string text_;
};

}  // namespace

bool parse_reg(const std::string& raw, Tree& out, std::string* why) {
  const std::string text = to_utf8_text(raw);
  Tree tree;
  Parser parser(tree, why);
  // Physical lines, joined into logical lines at a trailing backslash.
  size_t lineno = 0, pos = 0;
  std::string pending;
  size_t pending_line = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string_view line(text.data() + pos, nl - pos);
    ++lineno;
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view t = trim(line);
    bool cont = !t.empty() && t.back() == '\\' && t[0] != '[' &&
                (!pending.empty() || t.find('=') != std::string_view::npos);
    if (pending.empty()) pending_line = lineno;
    if (cont) {
      pending.append(t.substr(0, t.size() - 1));
      continue;
    }
    bool ok;
    if (pending.empty()) {
      ok = parser.line(pending_line, line);
    } else {
      pending.append(t);
      ok = parser.line(pending_line, pending);
      pending.clear();
    }
    if (!ok) return false;
  }
  if (!parser.header() && !trim(text).empty()) return parser.fail(1, "not a registry file");
  out = std::move(tree);
  return true;
}

namespace {

std::string quote(const std::string& s) {
  std::string r = "\"";
  // Line breaks and NULs in names as the reader's escapes: written raw they would end the line.
  for (char c : s) {
    if (c == '\n') r += "\\n";
    else if (c == '\r') r += "\\r";
    else if (c == '\0') r += "\\0";
    else {
      if (c == '\\' || c == '"') r += '\\';
      r += c;
    }
  }
  return r + "\"";
}

// A REG_SZ that is one NUL-terminated string without line breaks reads back as itself in quotes.
bool plain_string(const Value& v, std::string& out) {
  if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2) return false;
  std::u16string w;
  for (size_t i = 0; i < v.data.size(); i += 2) w += static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
  if (w.back() != 0) return false;
  w.pop_back();
  for (char16_t c : w)
    if (c == 0 || c == u'\n' || c == u'\r') return false;
  std::string strict;
  if (!pim::detail::utf16_to_utf8(w, strict, true)) return false;
  out = strict;
  return true;
}

void write_hex(std::string& out, const std::string& prefix, const std::vector<unsigned char>& data) {
  static const char digits[] = "0123456789abcdef";
  out += prefix;
  size_t col = prefix.size();
  for (size_t i = 0; i < data.size(); ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
    col += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++col;
      if (col > 76) {
        out += "\\\n  ";
        col = 2;
      }
    }
  }
  out += '\n';
}

void write_key(std::string& out, const Key& k, const std::string& path, bool emit_header) {
  if (emit_header) out += "\n[" + path + "]\n";
  for (const Value& v : k.values) {
    std::string prefix = v.name.empty() ? "@=" : quote(v.name) + "=";
    std::string s;
    if (plain_string(v, s)) {
      out += prefix + quote(s) + "\n";
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
      char buf[16];
      uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
      snprintf(buf, sizeof buf, "dword:%08x", d);
      out += prefix + buf + "\n";
    } else if (v.type == REG_BINARY) {
      write_hex(out, prefix + "hex:", v.data);
    } else {
      char buf[24];
      snprintf(buf, sizeof buf, "hex(%x):", v.type);
      write_hex(out, prefix + buf, v.data);
    }
  }
  for (const auto& [folded, child] : k.children) write_key(out, *child, path + "\\" + child->name, true);
}

}  // namespace

std::string write_reg(const Tree& tree) {
  std::string out = std::string(kHeader) + "\n";
  for (int r = 0; r < kRootCount; ++r) {
    const Key& root = tree.roots[r];
    write_key(out, root, kRootNames[r], !root.values.empty());
  }
  return out;
}

}  // namespace pim::reg
