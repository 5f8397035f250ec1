// Helpers for the platform tests: reference-count checks and a small COM object.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

// AddRef then Release, compare with the expected count.
inline ULONG current_refs(IUnknown* p) {
  p->AddRef();
  return p->Release();
}
#define EXPECT_REF(p, n) EXPECT_EQ(current_refs(p), static_cast<ULONG>(n))

// A counted object answering IUnknown and IDispatch; its destructor bumps a counter.
class TestObject : public IDispatch {
 public:
  explicit TestObject(std::atomic<int>* destroyed = nullptr) : m_destroyed(destroyed) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

 private:
  virtual ~TestObject() {
    if (m_destroyed) ++*m_destroyed;
  }
  std::atomic<ULONG> m_refs{1};
  std::atomic<int>* m_destroyed;
};

// Initialises COM on the test's thread for the fixture's lifetime.
class ComTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override { CoUninitialize(); }
};

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// Points PIM_REGISTRY at a fresh file in a temporary folder for the object's lifetime.
class TempRegistry {
 public:
  TempRegistry() {
    char tmpl[] = "/tmp/pimreg-XXXXXX";
    m_dir = mkdtemp(tmpl);
    m_file = m_dir + "/registry.reg";
    const char* old = getenv("PIM_REGISTRY");
    if (old) m_old = old, m_had_old = true;
    setenv("PIM_REGISTRY", m_file.c_str(), 1);
  }
  ~TempRegistry() {
    if (m_had_old)
      setenv("PIM_REGISTRY", m_old.c_str(), 1);
    else
      unsetenv("PIM_REGISTRY");
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
  const std::string& file() const { return m_file; }
  const std::string& dir() const { return m_dir; }
  std::string contents() const {
    std::ifstream in(m_file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void write(const std::string& text) const {
    std::ofstream out(m_file, std::ios::binary | std::ios::trunc);
    out << text;
  }

 private:
  std::string m_dir, m_file, m_old;
  bool m_had_old = false;
};
