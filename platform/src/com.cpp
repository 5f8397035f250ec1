// COM runtime: task memory, apartments, the class table and activation.
#include <pim/fault.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "com_internal.h"
#include "internal.h"

using namespace pim::detail;

// ---- task memory ----

LPVOID CoTaskMemAlloc(SIZE_T cb) {
  HRESULT hr;
  if (PIM_FAULT("allocation", &hr)) return nullptr;
  return std::malloc(cb ? cb : 1);
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  HRESULT hr;
  if (PIM_FAULT("allocation", &hr)) return nullptr;
  if (!pv) return std::malloc(cb ? cb : 1);
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb);
}

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

// ---- apartments ----

namespace {

struct Apartment {
  unsigned inits = 0;
  DWORD model = 0;  // COINIT_APARTMENTTHREADED or COINIT_MULTITHREADED
};
thread_local Apartment t_apartment;

}  // namespace

namespace pim::detail {
bool apartment_initialized() { return t_apartment.inits > 0; }
}  // namespace pim::detail

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved) return E_INVALIDARG;
  DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  if (t_apartment.inits > 0) {
    if (t_apartment.model != model) return RPC_E_CHANGED_MODE;
    ++t_apartment.inits;
    return S_FALSE;
  }
  t_apartment.model = model;
  t_apartment.inits = 1;
  return S_OK;
}

HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize(void) {
  if (t_apartment.inits > 0) --t_apartment.inits;
}

// ---- class table ----

namespace {

struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* object;  // one reference, owned by the table
  DWORD context;
  DWORD flags;
};

struct ClassTable {
  std::mutex mutex;
  std::vector<Registration> rows;
  DWORD next_cookie = 1;
};

ClassTable& class_table() {
  static ClassTable* t = new ClassTable;
  return *t;
}

// Returns a referenced class object registered for clsid in one of the contexts, or null.
IUnknown* find_registered(REFCLSID clsid, DWORD context) {
  ClassTable& t = class_table();
  std::lock_guard lock(t.mutex);
  for (auto it = t.rows.begin(); it != t.rows.end(); ++it) {
    if (it->clsid == clsid && (it->context & context)) {
      IUnknown* obj = it->object;
      if (it->flags == REGCLS_SINGLEUSE) {
        t.rows.erase(it);  // the table's reference passes to the caller
        return obj;
      }
      obj->AddRef();
      return obj;
    }
  }
  return nullptr;
}

}  // namespace

HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags, LPDWORD lpdwRegister) {
  if (!pUnk || !lpdwRegister) return E_INVALIDARG;
  *lpdwRegister = 0;
  if (!apartment_initialized()) return CO_E_NOTINITIALIZED;
  return guard([&] {
    ClassTable& t = class_table();
    std::lock_guard lock(t.mutex);
    DWORD cookie = t.next_cookie++;
    if (t.next_cookie == 0) t.next_cookie = 1;
    t.rows.push_back(Registration{cookie, rclsid, pUnk, dwClsContext ? dwClsContext : DWORD{CLSCTX_INPROC_SERVER}, flags});
    pUnk->AddRef();
    *lpdwRegister = cookie;
    return S_OK;
  });
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
  IUnknown* obj = nullptr;
  {
    ClassTable& t = class_table();
    std::lock_guard lock(t.mutex);
    for (auto it = t.rows.begin(); it != t.rows.end(); ++it) {
      if (it->cookie == dwRegister) {
        obj = it->object;
        t.rows.erase(it);
        break;
      }
    }
  }
  if (!obj) return E_INVALIDARG;
  obj->Release();
  return S_OK;
}

// ---- activation ----

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  (void)pvReserved;
  if (!(dwClsContext & CLSCTX_ALL)) return E_INVALIDARG;
  if (!apartment_initialized()) return CO_E_NOTINITIALIZED;
  HRESULT fault;
  if (PIM_FAULT("CoGetClassObject", &fault)) return fault;
  if (IUnknown* obj = find_registered(rclsid, dwClsContext)) {
    HRESULT hr = obj->QueryInterface(riid, ppv);
    obj->Release();
    return hr;
  }
  return class_object_from_registry(rclsid, dwClsContext, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  HRESULT hr;
  if (PIM_FAULT("CoCreateInstance", &hr)) return hr;
  IClassFactory* factory = nullptr;
  hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}
