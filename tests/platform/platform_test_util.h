// Helpers for the platform tests: a small COM object and a fixture with COM initialised; reference
// counts and the scratch registry come from tests/support.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "../support/ComTest.h"
#include "../support/Scratch.h"

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

// PIM_REGISTRY at a fresh file in a temporary folder for the object's lifetime.
using TempRegistry = pimtest::ScratchRegistry;
