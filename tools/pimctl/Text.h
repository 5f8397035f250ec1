// Text conversions pimctl does often enough to do itself.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pimctl {

// UTF-16 to UTF-8, up to the first NUL or `units` code units: the bytes WideCharToMultiByte gives
// (an unpaired surrogate becomes U+FFFD), without its temporary copy.
std::string utf8Of(const char16_t* s, std::size_t units);
// The same bytes written at d, which has room for 3 * units; returns how many.
std::size_t utf8Into(const char16_t* s, std::size_t units, char* d);

// Room for many short texts, in a few blocks: a view it hands out stays valid as long as it lives.
// A listing's texts lie here, not in a string of their own each.
class Texts {
 public:
  Texts() = default;
  Texts(const Texts&) = delete;
  Texts& operator=(const Texts&) = delete;
  // Makes sure the next n bytes kept go into one block.
  void reserve(std::size_t n);
  std::string_view keep(std::string_view s);
  // The UTF-8 of a UTF-16 text, as utf8Of gives it.
  std::string_view utf8(const char16_t* s, std::size_t units);

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* at_ = nullptr;
  std::size_t left_ = 0;
};

}  // namespace pimctl
