// The full name of the account the process runs as (account_posix.cpp here,
// windows/pimserver/src/account_win.cpp on Windows).
#pragma once

#include <optional>
#include <string>

namespace pim::redemption {

/// The account's full name from the user database (on Windows its display name, else its logon
/// name); nothing when it has none.
std::optional<std::u16string> accountFullName();

}  // namespace pim::redemption
