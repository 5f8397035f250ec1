// Fuzzes LoadTypeLib on a library file of this platform's compact format (a file that starts as an
// ELF library goes through the resource reader instead), then everything a registrar does with what
// it read: the attributes, the documentation of the library and of each type, RegisterTypeLib and
// UnRegisterTypeLib, against a scratch registry that is emptied after each input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <oleauto.h>
#include <windows.h>

#include "scratch.h"

namespace {

const HKEY kRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG};

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::isolate();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file = fuzz::scratchPath("library.tlb");
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
  }
  ITypeLib* tl = reinterpret_cast<ITypeLib*>(0x1);
  HRESULT hr = LoadTypeLib(u16(file).c_str(), &tl);
  if (FAILED(hr)) {
    if (tl) std::abort();  // a failure leaves no pointer behind
    return 0;
  }
  TLIBATTR* attr = nullptr;
  if (FAILED(tl->GetLibAttr(&attr)) || !attr) std::abort();
  const UINT count = tl->GetTypeInfoCount();
  for (INT i = -1; i <= static_cast<INT>(count); ++i) {
    BSTR name = nullptr, doc = nullptr, help = nullptr;
    DWORD context = 0;
    HRESULT d = tl->GetDocumentation(i, &name, &doc, &context, &help);
    if ((i == static_cast<INT>(count)) != (d == TYPE_E_ELEMENTNOTFOUND)) std::abort();
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(help);
    TYPEKIND kind;
    if (i >= 0 && i < static_cast<INT>(count) && FAILED(tl->GetTypeInfoType(i, &kind))) std::abort();
  }
  if (SUCCEEDED(RegisterTypeLib(tl, u16(file).c_str(), nullptr)))
    UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
  tl->ReleaseTLibAttr(attr);
  if (tl->Release() != 0) std::abort();
  for (HKEY root : kRoots) RegDeleteTreeA(root, nullptr);
  return 0;
}
