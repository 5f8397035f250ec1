// What libpimserver.so's exports need of the safe-item classes.
#pragma once

#include "safe_items.h"

#include <windows.h>

#include <string>

namespace pim::redemption {

/// True for the three safe-item class ids.
bool isSafeItemClass(REFCLSID clsid);

/// For DllGetClassObject: the class object of a safe-item class;
/// CLASS_E_CLASSNOTAVAILABLE for any other class id.
HRESULT getClassObject(REFCLSID clsid, REFIID riid, void** ppv);

/// Objects alive plus LockServer locks; DllCanUnloadNow answers S_OK only at 0.
LONG lockCount();

/// Links items given to put_Item; the server installs its own at load. Until
/// then every item is refused with E_INVALIDARG. Not owned; must outlive the objects.
void setItemLinker(ItemLinker* linker);

/// Writes HKCR\CLSID\{clsid} (name) and its InprocServer32 (libraryPath,
/// ThreadingModel "Both") for one safe-item class, or for all three.
HRESULT registerClass(REFCLSID clsid, const std::string& libraryPath);
HRESULT registerAll(const std::string& libraryPath);
/// Removes one class's key (absent already is success), or all three.
HRESULT unregisterClass(REFCLSID clsid);
HRESULT unregisterAll();

}  // namespace pim::redemption
