// The process-wide trace handler: mask from QLT_TRACE_MASK, lines to QLT_TRACE_FILE or stderr.
#include <QLT.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>

#if defined(_WIN32)
// MinGW's win32 thread model has no std::mutex; the trace lock is a critical section there.
namespace {
class TraceMutex {
 public:
  TraceMutex() { InitializeCriticalSection(&cs_); }
  TraceMutex(const TraceMutex&) = delete;
  TraceMutex& operator=(const TraceMutex&) = delete;
  void lock() { EnterCriticalSection(&cs_); }
  void unlock() { LeaveCriticalSection(&cs_); }

 private:
  CRITICAL_SECTION cs_;
};
template <class M>
class TraceLock {
 public:
  explicit TraceLock(M& m) : m_(m) { m_.lock(); }
  ~TraceLock() { m_.unlock(); }

 private:
  M& m_;
};
}  // namespace
#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif
#else
namespace {
using TraceMutex = std::mutex;
template <class M>
using TraceLock = std::lock_guard<M>;
}  // namespace
#endif

namespace {

unsigned int ParseMask(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(text, &end, 16);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  // A mask that cannot be read turns tracing off rather than guessing.
  if (errno != 0 || end == text || *end != '\0' || v > 0xFFFFFFFFul) return 0;
  return static_cast<unsigned int>(v);
}

const unsigned int g_loadMask = ParseMask(getenv("QLT_TRACE_MASK"));

// Where lines go. The file is opened on the first line, appended to, and each line is written
// with one write() under the mutex, so lines from threads (and processes) never interleave.
struct Sink {
  TraceMutex mutex;
  std::string path;
  int fd = -1;
  bool opened = false;

  Sink() {
    if (const char* p = getenv("QLT_TRACE_FILE"); p && *p) path = p;
  }
  void CloseLocked() {
    if (fd >= 0 && fd != STDERR_FILENO) close(fd);
    fd = -1;
    opened = false;
  }

  void Write(const std::string& line) {
    TraceLock<TraceMutex> lock(mutex);
    if (!opened) {
      opened = true;
      fd = STDERR_FILENO;
      if (!path.empty()) {
        int f = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (f >= 0) {
          fd = f;
        } else {
          std::string msg = "QLT: cannot open trace file " + path + ": " + strerror(errno) + "; tracing to stderr\n";
          (void)!write(STDERR_FILENO, msg.data(), msg.size());
        }
      }
    }
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = write(fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
};

// Never destroyed: a trace from another library's teardown must still find it.
Sink& TheSink() {
  static Sink* sink = new Sink;
  return *sink;
}

// Line breaks inside a message would split the line; they are written as \n and \r.
void AppendEscaped(std::string& out, const char* s) {
  for (; s && *s; ++s) {
    if (*s == '\n') out += "\\n";
    else if (*s == '\r') out += "\\r";
    else out += *s;
  }
}

QLT_CError g_defaultHandler;

}  // namespace

QLT_CError* QLT_CError::m_pcErrorHandlerGlb = &g_defaultHandler;

QLT_CError::QLT_CError() : m_mask(g_loadMask) {}
QLT_CError::~QLT_CError() = default;

unsigned int QLT_CError::getCumulativeTraceMask() { return m_mask; }

void QLT_CError::setTraceMask(unsigned int mask) { m_mask = mask; }

void QLT_CError::setTraceFile(const char* path) {
  Sink& sink = TheSink();
  TraceLock<TraceMutex> lock(sink.mutex);
  sink.CloseLocked();
  sink.path = path ? path : "";
}

int QLT_CError::trace(unsigned int mask, QLT_ETraceDirection direction, const char* sourceFile, int line,
                      const char* className, const char* functionName, const QLT_CString& message) {
  if ((mask & getCumulativeTraceMask()) == 0) return 0;

  char stamp[64];
#if defined(_WIN32)
  SYSTEMTIME st;
  GetLocalTime(&st);
  snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", st.wYear, st.wMonth, st.wDay, st.wHour,
           st.wMinute, st.wSecond, st.wMilliseconds);
  const long tid = static_cast<long>(GetCurrentThreadId());
#else
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm tm;
  localtime_r(&now.tv_sec, &tm);
  snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, now.tv_nsec / 1000000);
  const long tid = static_cast<long>(gettid());
#endif
  char head[64];
  snprintf(head, sizeof head, " [%ld] %s ", tid,
           direction == QLT_ETraceDirection_IN ? "IN " : direction == QLT_ETraceDirection_OUT ? "OUT" : "---");

  std::string text;
  text.reserve(128);
  text += stamp;
  text += head;
  AppendEscaped(text, sourceFile ? sourceFile : "?");
  text += '(';
  text += std::to_string(line);
  text += ") ";
  AppendEscaped(text, className ? className : "?");
  text += "::";
  AppendEscaped(text, functionName ? functionName : "?");
  text += ": ";
  AppendEscaped(text, message.c_str());
  text += '\n';
  TheSink().Write(text);
  return 0;
}
