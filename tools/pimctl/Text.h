// Text conversions pimctl does often enough to do itself.
#pragma once
#include <cstddef>
#include <string>

namespace pimctl {

// UTF-16 to UTF-8, up to the first NUL or `units` code units: the bytes WideCharToMultiByte gives
// (an unpaired surrogate becomes U+FFFD), without its temporary copy.
std::string utf8Of(const char16_t* s, std::size_t units);

}  // namespace pimctl
