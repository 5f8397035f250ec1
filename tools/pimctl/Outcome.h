// What pimctl tells the user for each outcome, and the exit status that goes with it.
#pragma once
#include <string>

#include <VYN_PIM_OUTLOOK.h>

namespace pimctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;         // anything not listed below
inline constexpr int kExitUsage = 2;           // bad options, arguments or dates
inline constexpr int kExitNotRegistered = 3;   // the component cannot be activated
inline constexpr int kExitStore = 4;           // a store chore failed
inline constexpr int kExitAdapterBase = 10;    // + EPimAdapterResult
inline constexpr int kExitCalendarBase = 20;   // + ECalendarDatabaseResult
inline constexpr int kExitContactsBase = 30;   // + EContactsDatabaseResult

struct Outcome {
  int exitStatus;
  std::string message;
};

Outcome describe(EPimAdapterResult r);
Outcome describe(ECalendarDatabaseResult r);
Outcome describe(EContactsDatabaseResult r);
// The name of an HRESULT when we know it, else its hexadecimal value.
std::string hresultText(HRESULT hr);

}  // namespace pimctl
