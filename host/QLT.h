// The maker's runtime library: tracing, message text and time-zone conversion.
#pragma once
#include <string>
#include <windows.h>

#if defined(_WIN32)
#if defined(QLT_BUILD)
#define QLT_API __declspec(dllexport)
#else
#define QLT_API __declspec(dllimport)
#endif
#else
#define QLT_API __attribute__((visibility("default")))
#endif

enum QLT_ETraceDirection {
  QLT_ETraceDirection_NONE = 0,
  QLT_ETraceDirection_IN = 1,
  QLT_ETraceDirection_OUT = 2
};

// Message text, kept as UTF-8.
class QLT_API QLT_CString {
 public:
  QLT_CString();
  QLT_CString(const char* text);
  // 16-bit text (a BSTR); converted without loss, a null pointer gives the empty text.
  QLT_CString(const unsigned short* text);
  QLT_CString(int value);
  QLT_CString(const QLT_CString& other);
  QLT_CString& operator=(const QLT_CString& other);
  ~QLT_CString();

  QLT_CString operator+(const char* text) const;
  QLT_CString operator+(const QLT_CString& text) const;
  QLT_CString operator+(int value) const;
  QLT_CString operator+(unsigned int value) const;
  QLT_CString operator+(long value) const;
  QLT_CString operator+(unsigned long value) const;
  QLT_CString operator+(double value) const;

  // 16-bit form, NUL-terminated, valid until the string changes or goes.
  const unsigned short* wc_str() const;
  const char* c_str() const;

 private:
  std::string m_text;
  mutable std::u16string m_wide;
};

// The process-wide trace handler. Tests install their own to capture lines.
class QLT_API QLT_CError {
 public:
  static QLT_CError* m_pcErrorHandlerGlb;

  // Starts with the mask read from QLT_TRACE_MASK (hexadecimal) when the library was loaded.
  QLT_CError();
  virtual ~QLT_CError();
  // Bit 0x1000 enables the component's trace points.
  virtual unsigned int getCumulativeTraceMask();
  // Writes one whole line (time, thread id, file, line, class, function, message) when `mask`
  // meets this handler's mask; safe from any number of threads. Returns 0.
  virtual int trace(unsigned int mask, QLT_ETraceDirection direction, const char* sourceFile, int line,
                    const char* className, const char* functionName, const QLT_CString& message);

  void setTraceMask(unsigned int mask);
  // Lines are appended to this file, or go to standard error when null; initially QLT_TRACE_FILE.
  static void setTraceFile(const char* path);

 private:
  unsigned int m_mask;
};

// A DATE (days since 30 December 1899).
class QLT_API QLT_CTime {
 public:
  explicit QLT_CTime(const double& date);
  // Calendar date and clock time of the DATE, no zone conversion, rounded to the millisecond.
  // A negative DATE's fraction counts forward from its day's midnight, as on Windows. A DATE
  // outside years 100..9999 (or not a number) leaves every field 0.
  SYSTEMTIME& GetSystemTime(SYSTEMTIME& st) const;
  // Between UTC and the machine's local time (TZ respected), daylight saving included; `flags`
  // is always 10. A local time that occurs twice is read as the earlier instant (daylight time);
  // one skipped by a forward jump is read with the offset in force before the jump.
  static double ConvertUTCToLocalTime(double utc, int flags);
  static double ConvertLocalTimeToUTC(double local, int flags);

 private:
  double m_date;
};
