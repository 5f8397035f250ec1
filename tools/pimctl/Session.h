// The adapter as a host holds it: activated by CLSID through the registry, logged on for the
// lifetime of the session, logged off at the end.
#pragma once
#include <string>

#include <ComPtr.h>
#include <VYN_PIM_OUTLOOK.h>

#include "Outcome.h"

namespace pimctl {

// Owns one BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::string& utf8);
  ~Bstr();
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return m_b; }
  BSTR* put();
  std::string utf8() const;

 private:
  BSTR m_b = nullptr;
};

std::string toUtf8(const OLECHAR* s);

class Session {
 public:
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Creates the adapter; on failure says why and returns the exit status to end with.
  Outcome activate();
  // Logs on; the identity the application reports lands in *identity.
  Outcome logon(std::string* identity);
  Outcome calendar(ICalendarDatabase** db);
  Outcome contacts(IContactsDatabase** db);
  IPimAdapter* adapter() const { return m_adapter.get(); }

 private:
  bool m_comInitialised = false;
  bool m_loggedOn = false;
  ComPtr<IPimAdapter> m_adapter;
};

}  // namespace pimctl
