// The Windows .reg text format ("Windows Registry Editor Version 5.00").
#include <cstring>

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

Value* Key::find_value(const std::string& n) {
  std::string f = fold(n);
  for (auto& v : values)
    if (fold(v.name) == f) return &v;
  return nullptr;
}

Key* Key::child(const std::string& n) {
  auto it = children.find(fold(n));
  return it == children.end() ? nullptr : it->second.get();
}

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";

int root_of(const std::string& name) {
  static const char* const abbrev[kRootCount] = {"HKCR", "HKCU", "HKLM", "HKU", "HKCC"};
  std::string f = fold(name);
  for (int i = 0; i < kRootCount; ++i)
    if (f == fold(kRootNames[i]) || f == fold(abbrev[i])) return i;
  return -1;
}

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::vector<unsigned char> utf16_bytes(const std::u16string& s, bool terminate) {
  std::vector<unsigned char> out;
  out.reserve((s.size() + 1) * 2);
  for (char16_t c : s) {
    out.push_back(static_cast<unsigned char>(c & 0xFF));
    out.push_back(static_cast<unsigned char>(c >> 8));
  }
  if (terminate) out.insert(out.end(), {0, 0});
  return out;
}

// Reads a quoted string starting at s[i] == '"'; leaves i after the closing quote.
bool read_quoted(const std::string& s, size_t& i, std::string& out) {
  out.clear();
  ++i;
  while (i < s.size()) {
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

bool read_hex_bytes(const std::string& s, std::vector<unsigned char>& out) {
  out.clear();
  size_t i = 0;
  auto hexval = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
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

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

}  // namespace

bool parse_reg(const std::string& raw, Tree& out, std::string* why) {
  auto fail = [&](size_t line, const std::string& reason) {
    if (why) *why = "line " + std::to_string(line) + ": " + reason;
    return false;
  };
  std::string text = to_utf8_text(raw);
  // Physical lines, then logical lines joined at a trailing backslash.
  std::vector<std::pair<size_t, std::string>> lines;
  size_t lineno = 0, pos = 0;
  std::string pending;
  size_t pending_line = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    ++lineno;
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = trim(line);
    bool cont = !t.empty() && t.back() == '\\' && t[0] != '[' && (!pending.empty() || t.find('=') != std::string::npos);
    if (pending.empty()) pending_line = lineno;
    if (cont) {
      pending += t.substr(0, t.size() - 1);
      continue;
    }
    pending += pending.empty() ? line : t;
    lines.emplace_back(pending_line, pending);
    pending.clear();
  }
  bool header = false;
  Tree tree;
  Key* current = nullptr;
  bool seen_key = false;
  for (auto& [no, line] : lines) {
    std::string t = trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (!header) {
      if (t != kHeader && t != "REGEDIT4") return fail(no, "not a registry file");
      header = true;
      continue;
    }
    if (t[0] == '[') {
      size_t close = t.rfind(']');
      if (close == std::string::npos) return fail(no, "unterminated key");
      std::string path = t.substr(1, close - 1);
      bool remove = !path.empty() && path[0] == '-';
      if (remove) path.erase(0, 1);
      seen_key = true;
      auto parts = split_path(path);
      if (parts.empty()) return fail(no, "empty key");
      int root = root_of(parts[0]);
      if (root < 0) return fail(no, "unknown root " + parts[0]);
      Key* k = &tree.roots[root];
      if (remove) {
        Key* parent = k;
        for (size_t i = 1; parent && i + 1 < parts.size(); ++i) parent = parent->child(parts[i]);
        if (parent && parts.size() > 1) parent->children.erase(fold(parts.back()));
        current = nullptr;
        continue;
      }
      for (size_t i = 1; i < parts.size(); ++i) {
        auto& slot = k->children[fold(parts[i])];
        if (!slot) {
          slot = std::make_unique<Key>();
          slot->name = parts[i];
        }
        k = slot.get();
      }
      current = k;
      continue;
    }
    // A value line: @=... or "name"=...
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
    if (!current) {
      // Values of a deleted key ("[-...]") are skipped; values before any key are an error.
      if (!seen_key) return fail(no, "value outside a key");
      continue;
    }
    std::string data = t.substr(i);
    Value v;
    v.name = name;
    if (data == "-") {
      std::string f = fold(name);
      std::erase_if(current->values, [&](const Value& x) { return fold(x.name) == f; });
      continue;
    }
    if (!data.empty() && data[0] == '"') {
      size_t j = 0;
      std::string s;
      if (!read_quoted(data, j, s) || trim(data.substr(j)).size()) return fail(no, "bad string value");
      v.type = REG_SZ;
      v.data = utf16_bytes(pim::detail::to_u16(s), true);
    } else if (data.compare(0, 6, "dword:") == 0) {
      std::string hex = trim(data.substr(6));
      if (hex.empty() || hex.size() > 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return fail(no, "bad dword");
      uint32_t d = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
      v.type = REG_DWORD;
      v.data = {static_cast<unsigned char>(d), static_cast<unsigned char>(d >> 8),
                static_cast<unsigned char>(d >> 16), static_cast<unsigned char>(d >> 24)};
    } else if (data.compare(0, 4, "hex:") == 0 || data.compare(0, 4, "hex(") == 0) {
      size_t colon = data.find(':');
      v.type = REG_BINARY;
      if (data[3] == '(') {
        size_t close = data.find(')');
        if (close == std::string::npos || close + 1 != colon || close == 4) return fail(no, "bad hex type");
        std::string type = data.substr(4, close - 4);
        if (type.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos || type.size() > 8)
          return fail(no, "bad hex type");
        v.type = static_cast<DWORD>(std::stoul(type, nullptr, 16));
      }
      if (!read_hex_bytes(data.substr(colon + 1), v.data)) return fail(no, "bad hex data");
    } else {
      return fail(no, "unknown value form");
    }
    if (Value* existing = current->find_value(name))
      *existing = std::move(v);
    else
      current->values.push_back(std::move(v));
  }
  if (!header && !trim(text).empty()) return fail(1, "not a registry file");
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
