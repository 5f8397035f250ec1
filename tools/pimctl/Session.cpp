#include "Session.h"

#include <windows.h>

#include <cstdint>
#include <string>

#include "Text.h"

namespace pimctl {

Bstr::Bstr(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  m_b = SysAllocStringLen(nullptr, static_cast<UINT>(n));
  if (m_b && n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), m_b, n);
}

Bstr::~Bstr() { SysFreeString(m_b); }

BSTR* Bstr::put() {
  SysFreeString(m_b);
  m_b = nullptr;
  return &m_b;
}

std::string Bstr::utf8() const { return utf8Of(m_b, SysStringLen(m_b)); }

std::string toUtf8(const OLECHAR* s) { return utf8Of(s, SIZE_MAX); }

Session::~Session() {
  if (m_loggedOn) {
    EPimAdapterResult r = EPimAdapterResult_SUCCESS;
    m_adapter->Logoff(&r);
  }
  m_adapter.reset();
  if (m_comInitialised) CoUninitialize();
}

Outcome Session::activate() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) return {kExitFailure, "the COM runtime cannot start: " + hresultText(hr)};
  m_comInitialised = true;
  hr = CoCreateInstance(CLSID_COutlookPimAdapter, nullptr, CLSCTX_INPROC_SERVER, IID_IPimAdapter, m_adapter.put_void());
  if (FAILED(hr))
    return {kExitNotRegistered, "the adapter cannot be created (" + hresultText(hr) +
                                    "); register it with: regsvr libVYN_PIM_OUTLOOK.so"};
  return {kExitOk, "ok"};
}

Outcome Session::logon(std::string* identity) {
  Bstr id;
  EPimAdapterResult r = EPimAdapterResult_ERROR;
  HRESULT hr = m_adapter->Logon(id.put(), &r);
  if (FAILED(hr)) return {kExitFailure, "Logon failed: " + hresultText(hr)};
  if (r != EPimAdapterResult_SUCCESS) return describe(r);
  m_loggedOn = true;
  if (identity) *identity = id.utf8();
  return {kExitOk, "ok"};
}

Outcome Session::calendar(ICalendarDatabase** db) {
  EPimAdapterResult r = EPimAdapterResult_ERROR;
  HRESULT hr = m_adapter->GetCalendarDatabase(db, &r);
  if (FAILED(hr)) return {kExitFailure, "GetCalendarDatabase failed: " + hresultText(hr)};
  return describe(r);
}

Outcome Session::contacts(IContactsDatabase** db) {
  EPimAdapterResult r = EPimAdapterResult_ERROR;
  HRESULT hr = m_adapter->GetContactsDatabase(db, &r);
  if (FAILED(hr)) return {kExitFailure, "GetContactsDatabase failed: " + hresultText(hr)};
  return describe(r);
}

}  // namespace pimctl
