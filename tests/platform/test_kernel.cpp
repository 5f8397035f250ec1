#include <pim/fault.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform_test_util.h"

namespace {

// Runs f(i) on n threads at once and waits for them.
template <class F>
void onThreads(int n, F f) {
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) threads.emplace_back(f, i);
  for (auto& t : threads) t.join();
}

TEST(Kernel, ThreadIdsAreStableNonZeroAndDistinct) {
  DWORD self = GetCurrentThreadId();
  EXPECT_NE(self, 0u);
  EXPECT_EQ(self, GetCurrentThreadId());
  std::vector<DWORD> ids(8);
  std::atomic<int> ready{0};
  onThreads(8, [&](int i) {
    ids[i] = GetCurrentThreadId();
    ++ready;
    while (ready < 8) std::this_thread::yield();  // all alive at once
  });
  std::set<DWORD> unique(ids.begin(), ids.end());
  unique.insert(self);
  EXPECT_EQ(unique.size(), 9u);
  EXPECT_EQ(unique.count(0u), 0u);
}

TEST(Kernel, LastErrorIsPerThread) {
  SetLastError(1234);
  std::thread([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(5);
  }).join();
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Kernel, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));  // same thread enters again
  BOOL other = TRUE;
  std::thread([&] { other = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  long counter = 0;
  onThreads(4, [&](int) {
    for (int k = 0; k < 10000; ++k) {
      EnterCriticalSection(&cs);
      ++counter;
      LeaveCriticalSection(&cs);
    }
  });
  EXPECT_EQ(counter, 40000);
  DeleteCriticalSection(&cs);
}

// Threads that wait for a section entered twice get it only after the owner's second leave (a
// leave by another thread does not count), and every one of them is woken in turn.
TEST(Kernel, CriticalSectionWaitersGetItOnlyAfterTheLastLeave) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  std::atomic<int> inside{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      EnterCriticalSection(&cs);
      EnterCriticalSection(&cs);
      inside.fetch_add(1);
      LeaveCriticalSection(&cs);
      LeaveCriticalSection(&cs);
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  LeaveCriticalSection(&cs);
  std::thread([&] { LeaveCriticalSection(&cs); }).join();  // not that thread's: changes nothing
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(inside.load(), 0) << "a waiter got in while the section was still entered once";
  BOOL other = TRUE;
  std::thread([&] { other = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other);
  LeaveCriticalSection(&cs);
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(inside.load(), 3);
  EXPECT_TRUE(TryEnterCriticalSection(&cs)) << "the section is free again";
  LeaveCriticalSection(&cs);
  DeleteCriticalSection(&cs);
}

TEST(Kernel, InterlockedReturnsTheNewValue) {
  LONG v = 0;
  onThreads(4, [&](int) {
    for (int k = 0; k < 10000; ++k) InterlockedIncrement(&v);
  });
  EXPECT_EQ(v, 40000);
  EXPECT_EQ(InterlockedDecrement(&v), 39999);
  EXPECT_EQ(InterlockedCompareExchange(&v, 7, 39999), 39999);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(InterlockedCompareExchange(&v, 9, 1), 7);
  EXPECT_EQ(v, 7);
}

TEST(Kernel, StringHelpers) {
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrlenW(u"abc"), 3);
  EXPECT_EQ(lstrcmpiA("HeLLo", "hello"), 0);
  EXPECT_LT(lstrcmpiA("abc", "ABD"), 0);
  EXPECT_GT(lstrcmpiA("abcd", "ABC"), 0);
}

TEST(Kernel, SystemTimeIsPlausible) {
  SYSTEMTIME st{};
  GetSystemTime(&st);
  EXPECT_GE(st.wYear, 2024);
  EXPECT_GE(st.wMonth, 1);
  EXPECT_LE(st.wMonth, 12);
  EXPECT_LE(st.wDayOfWeek, 6);
}

TEST(FaultPoints, ArmNthAndTimesThenCount) {
  pim::fault::Scope faults;
  HRESULT hr = S_OK;
  pim::fault::arm("point", E_FAIL, 2, 2);
  EXPECT_FALSE(PIM_FAULT("point", &hr));
  EXPECT_TRUE(PIM_FAULT("point", &hr));
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_TRUE(PIM_FAULT("point", &hr));
  EXPECT_FALSE(PIM_FAULT("point", &hr));
  EXPECT_EQ(pim::fault::count("point"), 4u);
  pim::fault::arm("point", E_ABORT);
  pim::fault::disarm("point");
  EXPECT_FALSE(PIM_FAULT("point", &hr));
  EXPECT_EQ(pim::fault::count("never"), 0u);
}

TEST(FaultPoints, CountsAreThreadSafeAndClearedByEnable) {
  pim::fault::Scope faults;
  onThreads(4, [](int) {
    HRESULT hr;
    for (int k = 0; k < 1000; ++k) (void)PIM_FAULT("busy", &hr);
  });
  EXPECT_EQ(pim::fault::count("busy"), 4000u);
  pim::fault::enable(true);
  EXPECT_EQ(pim::fault::count("busy"), 0u);
}

TEST(FaultPoints, DisabledPointsAreNotCounted) {
  pim::fault::enable(false);
  HRESULT hr;
  EXPECT_FALSE(PIM_FAULT("quiet", &hr));
  EXPECT_EQ(pim::fault::count("quiet"), 0u);
}

}  // namespace
