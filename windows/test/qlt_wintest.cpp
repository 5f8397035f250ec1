// The runtime library's Windows code paths under a real Win32 API: zone conversion by the system's
// rules (run with the machine's zone at Europe/Berlin) and the trace file.
#include <QLT.h>
#include <oleauto.h>
#include <stdio.h>

#include <string>

namespace {

int g_failures = 0;

void Check(bool cond, const std::string& what) {
  printf("%s %s\n", cond ? "ok  " : "FAILED", what.c_str());
  if (!cond) ++g_failures;
}

double Date(int y, int mo, int d, int h, int mi) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(mo);
  st.wDay = static_cast<WORD>(d);
  st.wHour = static_cast<WORD>(h);
  st.wMinute = static_cast<WORD>(mi);
  DATE date = 0;
  SystemTimeToVariantTime(&st, &date);
  return date;
}

bool Near(double a, double b) { return a - b < 1.0 / 86400000.0 && b - a < 1.0 / 86400000.0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: qlt_wintest TRACEFILE\n");
    return 2;
  }
  TIME_ZONE_INFORMATION tz;
  GetTimeZoneInformation(&tz);
  if (tz.Bias != -60) {
    fprintf(stderr, "qlt_wintest: the machine's zone must be Central European (bias %ld)\n", static_cast<long>(tz.Bias));
    return 1;
  }
  const double h = 1.0 / 24.0;
  Check(Near(QLT_CTime::ConvertUTCToLocalTime(Date(2026, 10, 20, 7, 0), 10), Date(2026, 10, 20, 9, 0)),
        "UTC to local in summer time");
  Check(Near(QLT_CTime::ConvertUTCToLocalTime(Date(2026, 10, 27, 8, 0), 10), Date(2026, 10, 27, 9, 0)),
        "UTC to local in winter time");
  Check(Near(QLT_CTime::ConvertLocalTimeToUTC(Date(2026, 10, 25, 2, 30), 10), Date(2026, 10, 25, 0, 30)),
        "a repeated local time is the earlier instant");
  Check(Near(QLT_CTime::ConvertLocalTimeToUTC(Date(2026, 3, 29, 2, 30), 10), Date(2026, 3, 29, 1, 30)),
        "a skipped local time takes the offset before the jump");
  bool roundTrip = true;
  // The second pass through the repeated hour reads back as the first: left out.
  const double repeatFrom = Date(2026, 10, 25, 1, 0), repeatTo = Date(2026, 10, 25, 2, 0);
  for (double u = Date(2026, 10, 1, 0, 0); u < Date(2026, 11, 1, 0, 0); u += h / 4)
    if (u < repeatFrom - h / 8 || u > repeatTo - h / 8)
      roundTrip = roundTrip && Near(QLT_CTime::ConvertLocalTimeToUTC(QLT_CTime::ConvertUTCToLocalTime(u, 10), 10), u);
  Check(roundTrip, "every quarter hour of October round-trips, but for the repeated hour");

  QLT_CError::setTraceFile(argv[1]);
  QLT_CError* handler = QLT_CError::m_pcErrorHandlerGlb;
  handler->setTraceMask(0x1000);
  handler->trace(0x1000, QLT_ETraceDirection_IN, "qlt_wintest", 1, "Test", "main", QLT_CString("first line"));
  handler->trace(0x0001, QLT_ETraceDirection_IN, "qlt_wintest", 2, "Test", "main", QLT_CString("masked out"));
  handler->trace(0x1000, QLT_ETraceDirection_OUT, "qlt_wintest", 3, "Test", "main", QLT_CString("multi\nline"));
  QLT_CError::setTraceFile(nullptr);
  std::string text;
  if (FILE* f = fopen(argv[1], "rb")) {
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
  }
  Check(text.find("Test::main: first line") != std::string::npos && text.find("masked out") == std::string::npos &&
            text.find("Test::main: multi\\nline") != std::string::npos,
        "trace lines reach the trace file, masked ones do not");
  return g_failures == 0 ? 0 : 1;
}
