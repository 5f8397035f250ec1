// Helpers shared by the platform sources; not installed.
#pragma once
#include <new>
#include <string>
#include <string_view>
#include <windows.h>

namespace pim::detail {

// Runs f and turns an escaping exception into an HRESULT: nothing crosses an exported function.
template <class F>
HRESULT guard(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// Same for the Win32-style functions that answer with an error code.
template <class F>
LSTATUS guard_win32(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_INVALID_FUNCTION;
  }
}

// Strict UTF-8 <-> UTF-16. Invalid input becomes U+FFFD unless `strict`, where it fails (returns false).
bool utf8_to_utf16(std::string_view in, std::u16string& out, bool strict = false);
bool utf16_to_utf8(std::u16string_view in, std::string& out, bool strict = false);
std::u16string to_u16(std::string_view s);
std::string to_u8(std::u16string_view s);
std::u16string_view u16_view(const char16_t* s);  // null gives an empty view

}  // namespace pim::detail

namespace pim::detail {
bool parse_guid(std::u16string_view s, GUID& out);
std::string guid_to_string(const GUID& g);
}  // namespace pim::detail
