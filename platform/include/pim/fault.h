// Named fault points and call counters, for tests of every failure path.
//
// Production code asks at each point whether it should fail:
//     HRESULT hr;
//     if (PIM_FAULT("CoCreateInstance", &hr)) return hr;
// While no test has enabled the mechanism this costs one relaxed load and one branch.
#pragma once
#include <atomic>
#include "platform_api.h"
#include <wtypes.h>  // the platform layer's, or Windows' own on Windows

namespace pim::fault {

PIMPLATFORM_API extern std::atomic<bool> g_enabled;

// Counts the call and tells whether it must fail; *hr then holds the armed HRESULT.
PIMPLATFORM_API bool hit(const char* name, HRESULT* hr);

// Makes the nth call from now (1 = the next one) fail with hr, and the `times - 1` calls after it.
PIMPLATFORM_API void arm(const char* name, HRESULT hr, unsigned nth = 1, unsigned times = 1);
PIMPLATFORM_API void disarm(const char* name);
// Calls counted since the last reset.
PIMPLATFORM_API unsigned long count(const char* name);
// Starts counting (enabled) or stops it; either way every arm and counter is cleared.
PIMPLATFORM_API void enable(bool on);

// Enables fault points for the lifetime of a test and clears them afterwards.
class Scope {
 public:
  Scope() { enable(true); }
  ~Scope() { enable(false); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

}  // namespace pim::fault

#define PIM_FAULT(name, phr) \
  (::pim::fault::g_enabled.load(std::memory_order_relaxed) && ::pim::fault::hit((name), (phr)))
