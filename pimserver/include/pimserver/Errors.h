// HRESULTs of the PIM server beyond the common ones.
#pragma once

#include <winerror.h>

namespace pim::server {

/// Logon: the profile's file is not a store (another SQLite database, text, empty).
inline constexpr HRESULT kNotAStore = MAPI_E_CORRUPT_STORE;
/// Logon: the store was written by a newer version of the server.
inline constexpr HRESULT kNewerStore = MAPI_E_NO_SUPPORT;
/// Logon: the file cannot be read or written.
inline constexpr HRESULT kStoreAccessDenied = E_ACCESSDENIED;
/// Logon or Save: another process holds the store locked past the busy timeout.
inline constexpr HRESULT kStoreLocked = HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
/// Logon: the profile names a file that does not exist.
inline constexpr HRESULT kStoreMissing = MAPI_E_NOT_FOUND;
/// A store operation failed on the disk.
inline constexpr HRESULT kStoreIo = MAPI_E_DISK_ERROR;
/// Any call on an item after its Delete (or after another process deleted it).
inline constexpr HRESULT kItemDeleted = MAPI_E_OBJECT_DELETED;

}  // namespace pim::server
