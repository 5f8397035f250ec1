// What pimctl tells the user for each outcome, and the exit status that goes with it.
#pragma once
#include <string>

#include <VYN_PIM_OUTLOOK.h>

namespace pimctl {

enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,       // anything not listed below
  kExitUsage = 2,         // bad options, arguments or dates
  kExitNotRegistered = 3, // the component cannot be activated
  kExitStore = 4,         // a store chore failed
  kExitAdapterBase = 10,  // + EPimAdapterResult
  kExitCalendarBase = 20, // + ECalendarDatabaseResult
  kExitContactsBase = 30, // + EContactsDatabaseResult
};

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
