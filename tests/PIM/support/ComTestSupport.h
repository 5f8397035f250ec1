// Small helpers for the component's tests: reference counts, apartments, fault points, BSTRs.
//
//     EXPECT_REF(pFolder, 1);                 // AddRef then Release, compared at the caller's line
//     pimtest::Apartment com;                 // CoInitializeEx for this thread, undone at scope end
//     pimtest::FaultScope faults;             // fault points on, cleared at scope end
//     pim::fault::arm("IStream::Clone", E_OUTOFMEMORY);
//     pimtest::Bstr name(u"Jane");            // owns a BSTR; Utf8(b) reads one back
#pragma once
#include <QLT.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <pim/fault.h>
#include <windows.h>

#include <string>

#include "../../support/ComTest.h"

namespace pimtest {

// Initialises COM (free-threaded) on the calling thread for the scope's lifetime.
class Apartment {
 public:
  Apartment() : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~Apartment() {
    if (SUCCEEDED(m_hr)) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  HRESULT hr() const { return m_hr; }

 private:
  HRESULT m_hr;
};

// Fault points and their call counters are live for the scope and cleared afterwards.
using FaultScope = pim::fault::Scope;

// An owned BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const char16_t* text) : m_b(SysAllocString(reinterpret_cast<const OLECHAR*>(text))) {}
  ~Bstr() { SysFreeString(m_b); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return m_b; }
  // For an out parameter; frees what was held.
  BSTR* put() {
    SysFreeString(m_b);
    m_b = nullptr;
    return &m_b;
  }
  BSTR release() {
    BSTR b = m_b;
    m_b = nullptr;
    return b;
  }

 private:
  BSTR m_b = nullptr;
};

// A BSTR's text as UTF-8 (null gives ""), by the runtime library's conversion (qlt_tests check it).
inline std::string Utf8(const OLECHAR* s) { return QLT_CString(reinterpret_cast<const unsigned short*>(s)).c_str(); }

}  // namespace pimtest

namespace pimtest {
// Calls of a named fault point counted since the FaultScope began.
inline unsigned long FaultCount(const char* name) { return pim::fault::count(name); }
}  // namespace pimtest
