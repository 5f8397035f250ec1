// Small helpers for the component's tests: reference counts, apartments, fault points, BSTRs.
//
//     EXPECT_REF(pFolder, 1);                 // AddRef then Release, compared at the caller's line
//     pimtest::Apartment com;                 // CoInitializeEx for this thread, undone at scope end
//     pimtest::FaultScope faults;             // fault points on, cleared at scope end
//     pim::fault::arm("IStream::Clone", E_OUTOFMEMORY);
//     pimtest::Bstr name(u"Jane");            // owns a BSTR; Utf8(b) reads one back
#pragma once
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <pim/fault.h>
#include <windows.h>

#include <string>

namespace pimtest {

// The object's current count: AddRef then Release.
inline ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

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

// A BSTR's text as UTF-8 (null gives "").
inline std::string Utf8(const OLECHAR* s) {
  std::string out;
  if (s == nullptr) return out;
  for (const OLECHAR* p = s; *p; ++p) {
    char32_t c = *p;
    if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace pimtest

// AddRef then Release, compared with the expected count at the caller's line.
#define EXPECT_REF(p, n) EXPECT_EQ(::pimtest::RefCount(p), static_cast<ULONG>(n)) << "count of " #p

namespace pimtest {
// Calls of a named fault point counted since the FaultScope began.
inline unsigned long FaultCount(const char* name) { return pim::fault::count(name); }
}  // namespace pimtest
