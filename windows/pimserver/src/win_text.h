// UTF-8 <-> UTF-16 for Windows API calls and errno values for Windows errors.
#pragma once

#include <windows.h>

#include <string>

namespace pim::win {

std::wstring wide(const std::string& utf8);
std::string utf8(const wchar_t* s, size_t n);
inline std::string utf8(const std::wstring& s) { return utf8(s.data(), s.size()); }

/// The errno value closest to a Windows error code.
int errnoOf(DWORD error);

}  // namespace pim::win
