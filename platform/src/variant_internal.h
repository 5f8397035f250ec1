// Shared between the VARIANT sources.
#pragma once
#include <windows.h>

namespace pim::detail {
bool valid_vartype(VARTYPE vt);
}
