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

  QLT_CError();
  virtual ~QLT_CError();
  // Bit 0x1000 enables the component's trace points.
  virtual unsigned int getCumulativeTraceMask();
  virtual int trace(unsigned int mask, QLT_ETraceDirection direction, const char* sourceFile, int line,
                    const char* className, const char* functionName, const QLT_CString& message);
};

// A DATE (days since 30 December 1899).
class QLT_API QLT_CTime {
 public:
  explicit QLT_CTime(const double& date);
  // Calendar date and clock time of the DATE, no zone conversion.
  SYSTEMTIME& GetSystemTime(SYSTEMTIME& st) const;
  // Between UTC and the machine's local time, daylight saving included; `flags` is always 10.
  static double ConvertUTCToLocalTime(double utc, int flags);
  static double ConvertLocalTimeToUTC(double local, int flags);

 private:
  double m_date;
};
