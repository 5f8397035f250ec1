// Threads, last error, critical sections, time and string helpers of the kernel.
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal.h"

namespace {

thread_local DWORD t_threadId = 0;
thread_local DWORD t_lastError = 0;

// A forked child's only thread must not keep the id of the parent's thread.
void reset_thread_id_in_child() { t_threadId = 0; }
[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, reset_thread_id_in_child);

pthread_mutex_t* mutex_of(LPCRITICAL_SECTION cs) { return reinterpret_cast<pthread_mutex_t*>(cs->opaque); }
static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque), "critical section storage");

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

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex_of(lpCriticalSection), &attr);
  pthread_mutexattr_destroy(&attr);
}
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { pthread_mutex_destroy(mutex_of(lpCriticalSection)); }
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { pthread_mutex_lock(mutex_of(lpCriticalSection)); }
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { pthread_mutex_unlock(mutex_of(lpCriticalSection)); }
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  return pthread_mutex_trylock(mutex_of(lpCriticalSection)) == 0 ? TRUE : FALSE;
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
