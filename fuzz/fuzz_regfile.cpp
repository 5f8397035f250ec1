// Fuzzes the reader of the registry file (the Windows .reg text, UTF-8 or UTF-16 with a byte-order
// mark). Whatever it reads, the writer must write so that it reads back as the same tree: the
// registry rewrites its file on every change, and a file it cannot read back loses every key.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "registry_internal.h"

namespace {

using pim::reg::Key;

bool sameKey(const Key& a, const Key& b) {
  if (a.name != b.name || a.values.size() != b.values.size() || a.children.size() != b.children.size()) return false;
  for (size_t i = 0; i < a.values.size(); ++i) {
    const auto &x = a.values[i], &y = b.values[i];
    if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
  }
  for (auto i = a.children.begin(), j = b.children.begin(); i != a.children.end(); ++i, ++j)
    if (i->first != j->first || !sameKey(*i->second, *j->second)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  pim::reg::Tree tree;
  std::string why;
  if (!pim::reg::parse_reg(text, tree, &why)) {
    if (why.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  const std::string written = pim::reg::write_reg(tree);
  pim::reg::Tree again;
  if (!pim::reg::parse_reg(written, again, &why)) {
    fprintf(stderr, "the registry's own file does not read back: %s\n%s\n", why.c_str(), written.c_str());
    std::abort();
  }
  for (int r = 0; r < pim::reg::kRootCount; ++r)
    if (!sameKey(tree.roots[r], again.roots[r])) {
      fprintf(stderr, "the registry's own file reads back differently:\n%s\n", written.c_str());
      std::abort();
    }
  if (pim::reg::write_reg(again) != written) std::abort();
  return 0;
}
