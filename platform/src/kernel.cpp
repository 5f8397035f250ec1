// Threads, last error, critical sections, time and string helpers of the kernel.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "internal.h"

namespace {

thread_local DWORD t_threadId = 0;
thread_local DWORD t_lastError = 0;

// A forked child's only thread must not keep the id of the parent's thread.
void reset_thread_id_in_child() { t_threadId = 0; }
[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, reset_thread_id_in_child);

// A critical section: a futex word (0 free, 1 held, 2 held and maybe waited for), its owner
// and the owner's entry count. Entering one that is free costs one atomic exchange, no call
// into the C library: the component enters one for nearly every call it answers.
struct CritSec {
  std::atomic<int> word{0};
  std::atomic<std::uintptr_t> owner{0};  // 0: nobody
  LONG recursion = 0;               // read and written by the owner only
};
static_assert(sizeof(CritSec) <= sizeof(CRITICAL_SECTION::opaque), "critical section storage");
static_assert(alignof(CritSec) <= alignof(CRITICAL_SECTION), "critical section alignment");
static_assert(sizeof(std::atomic<int>) == sizeof(int), "futex word");

// The calling thread, as its thread pointer: unique among live threads, never 0, read without a call.
std::uintptr_t this_thread_id() { return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer()); }

CritSec& crit_of(LPCRITICAL_SECTION cs) { return *std::launder(reinterpret_cast<CritSec*>(cs->opaque)); }

void futex_wait(std::atomic<int>* word, int expected) {
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
void futex_wake_one(std::atomic<int>* word) {
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void to_systemtime(const struct tm& tm, long nsec, LPSYSTEMTIME st) {
  st->wYear = static_cast<WORD>(tm.tm_year + 1900);
  st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st->wDay = static_cast<WORD>(tm.tm_mday);
  st->wHour = static_cast<WORD>(tm.tm_hour);
  st->wMinute = static_cast<WORD>(tm.tm_min);
  st->wSecond = static_cast<WORD>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
  st->wMilliseconds = static_cast<WORD>(nsec / 1000000);
}

int fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

}  // namespace

// The kernel's thread id: unique among live threads, stable for a thread's life, never 0.
DWORD GetCurrentThreadId(void) {
  if (t_threadId == 0) t_threadId = static_cast<DWORD>(syscall(SYS_gettid));
  return t_threadId;
}

DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }
DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

void Sleep(DWORD dwMilliseconds) {
  struct timespec ts;
  ts.tv_sec = dwMilliseconds / 1000;
  ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { new (lpCriticalSection->opaque) CritSec(); }
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { crit_of(lpCriticalSection).~CritSec(); }

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  CritSec& cs = crit_of(lpCriticalSection);
  const std::uintptr_t self = this_thread_id();
  if (cs.owner.load(std::memory_order_relaxed) == self) {
    ++cs.recursion;
    return;
  }
  int c = 0;
  if (!cs.word.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
    // Contended: mark the word as waited for and sleep until a leave hands it over.
    if (c != 2) c = cs.word.exchange(2, std::memory_order_acquire);
    while (c != 0) {
      futex_wait(&cs.word, 2);
      c = cs.word.exchange(2, std::memory_order_acquire);
    }
  }
  cs.owner.store(self, std::memory_order_relaxed);
  cs.recursion = 1;
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  CritSec& cs = crit_of(lpCriticalSection);
  if (cs.owner.load(std::memory_order_relaxed) != this_thread_id()) return;  // not this thread's to leave
  if (--cs.recursion > 0) return;
  cs.owner.store(0, std::memory_order_relaxed);
  if (cs.word.exchange(0, std::memory_order_release) == 2) futex_wake_one(&cs.word);
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  CritSec& cs = crit_of(lpCriticalSection);
  const std::uintptr_t self = this_thread_id();
  if (cs.owner.load(std::memory_order_relaxed) == self) {
    ++cs.recursion;
    return TRUE;
  }
  int c = 0;
  if (!cs.word.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed)) return FALSE;
  cs.owner.store(self, std::memory_order_relaxed);
  cs.recursion = 1;
  return TRUE;
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  if (!lpSystemTime) return;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  gmtime_r(&ts.tv_sec, &tm);
  to_systemtime(tm, ts.tv_nsec, lpSystemTime);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  if (!lpSystemTime) return;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  to_systemtime(tm, ts.tv_nsec, lpSystemTime);
}

int lstrlenA(LPCSTR lpString) { return lpString ? static_cast<int>(std::strlen(lpString)) : 0; }
int lstrlenW(LPCWSTR lpString) {
  return lpString ? static_cast<int>(std::char_traits<char16_t>::length(lpString)) : 0;
}

int lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 ? 1 : (lpString2 ? -1 : 0);
  auto a = reinterpret_cast<const unsigned char*>(lpString1);
  auto b = reinterpret_cast<const unsigned char*>(lpString2);
  for (;; ++a, ++b) {
    int d = fold(*a) - fold(*b);
    if (d != 0) return d < 0 ? -1 : 1;
    if (*a == 0) return 0;
  }
}
