// Helpers for the platform tests: a small COM object and a fixture with COM initialised; reference
// counts and the scratch registry come from tests/support.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "../support/ComTest.h"
#include "../support/Scratch.h"

// A counted object answering IUnknown and IDispatch; its destructor bumps a counter.
class TestObject : public pimtest::Counted<pimtest::NoDispatch<IDispatch>> {
 public:
  explicit TestObject(std::atomic<int>* destroyed = nullptr) : m_destroyed(destroyed) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return Answer(riid, ppv, IID_IDispatch); }

 private:
  ~TestObject() override {
    if (m_destroyed) ++*m_destroyed;
  }
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
