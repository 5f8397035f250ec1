#include "Outcome.h"

#include <cstdio>

namespace pimctl {

Outcome describe(EPimAdapterResult r) {
  switch (r) {
    case EPimAdapterResult_SUCCESS: return {kExitOk, "ok"};
    case EPimAdapterResult_LIBRARY_NOT_FOUND:
      return {kExitAdapterBase + r, "the PIM application is not installed or cannot be started (is libpimserver.so registered?)"};
    case EPimAdapterResult_NOT_LOGGED_IN: return {kExitAdapterBase + r, "not logged on to the PIM application"};
    case EPimAdapterResult_GET_CAL_DB_FAILED: return {kExitAdapterBase + r, "the calendar cannot be opened"};
    case EPimAdapterResult_GET_CONTACTS_DB_FAILED: return {kExitAdapterBase + r, "the contacts cannot be opened"};
    case EPimAdapterResult_ERROR: return {kExitAdapterBase + r, "the PIM application reported an error (is the store readable?)"};
  }
  return {kExitFailure, "unexpected adapter result " + std::to_string(static_cast<int>(r))};
}

Outcome describe(ECalendarDatabaseResult r) {
  switch (r) {
    case ECalendarDatabaseResult_SUCCESS: return {kExitOk, "ok"};
    case ECalendarDatabaseResult_NO_CORRESPONDING_ENTRY:
      return {kExitCalendarBase + r, "the entry has no appointment in the calendar"};
    case ECalendarDatabaseResult_ENTRY_ALREADY_IN_DATABASE:
      return {kExitCalendarBase + r, "the entry is already in the calendar"};
    case ECalendarDatabaseResult_NO_ITEM_FOUND: return {kExitCalendarBase + r, "no appointment has that id"};
    case ECalendarDatabaseResult_ERROR: return {kExitCalendarBase + r, "the calendar reported an error"};
  }
  return {kExitFailure, "unexpected calendar result " + std::to_string(static_cast<int>(r))};
}

Outcome describe(EContactsDatabaseResult r) {
  switch (r) {
    case EContactsDatabaseResult_SUCCESS: return {kExitOk, "ok"};
    case EContactsDatabaseResult_NO_ITEM_FOUND: return {kExitContactsBase + r, "no such contact"};
    case EContactsDatabaseResult_MULTIPLE_ITEMS_FOUND:
      return {kExitContactsBase + r, "more than one contact has that key; the first was taken"};
    case EContactsDatabaseResult_SAVE_VCARD_FAILED:
      return {kExitContactsBase + r, "the contact could not be written to that file"};
    case EContactsDatabaseResult_ERROR: return {kExitContactsBase + r, "the contacts reported an error"};
    case EContactsDatabaseResult_REDEMPTION_ERROR:
      return {kExitContactsBase + r, "the safe contact library is not available (is libpimserver.so registered?)"};
  }
  return {kExitFailure, "unexpected contacts result " + std::to_string(static_cast<int>(r))};
}

std::string hresultText(HRESULT hr) {
  struct Name {
    HRESULT hr;
    const char* text;
  };
  static const Name kNames[] = {
      {S_OK, "S_OK"},
      {E_NOTIMPL, "E_NOTIMPL"},
      {E_NOINTERFACE, "E_NOINTERFACE"},
      {E_POINTER, "E_POINTER"},
      {E_FAIL, "E_FAIL"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {E_INVALIDARG, "E_INVALIDARG"},
      {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG (class not registered)"},
      {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
      {CO_E_ERRORINDLL, "CO_E_ERRORINDLL (bad library)"},
      {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "library not found"},
      {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
  };
  for (const Name& n : kNames)
    if (n.hr == hr) return n.text;
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

}  // namespace pimctl
