// Shared between the COM runtime sources.
#pragma once
#include <windows.h>

namespace pim::detail {

bool apartment_initialized();

// The registry half of CoGetClassObject: InprocServer32 or LocalServer32, dlopen, DllGetClassObject.
HRESULT class_object_from_registry(REFCLSID clsid, DWORD context, REFIID riid, void** ppv);

}  // namespace pim::detail
