// Test helper: installs a trace handler that records what the component traces, and puts the
// previous handler back when it goes.
//
//     pimtest::TraceCapture capture;            // mask 0x1000: component tracing on
//     ... call the component ...
//     EXPECT_TRUE(capture.Contains("Logon() Entered."));
//
//     pimtest::TraceCapture off(0);             // tracing off: counts mask reads and traces
#pragma once
#include <QLT.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace pimtest {

struct TraceRecord {
  std::string file;
  int line = 0;
  std::string className;
  std::string function;
  std::string message;
};

class TraceCapture : public QLT_CError {
 public:
  explicit TraceCapture(unsigned int mask = 0x1000) : m_previous(QLT_CError::m_pcErrorHandlerGlb) {
    setTraceMask(mask);
    QLT_CError::m_pcErrorHandlerGlb = this;
  }
  ~TraceCapture() override { QLT_CError::m_pcErrorHandlerGlb = m_previous; }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  unsigned int getCumulativeTraceMask() override {
    m_maskReads.fetch_add(1, std::memory_order_relaxed);
    return QLT_CError::getCumulativeTraceMask();
  }

  int trace(unsigned int mask, QLT_ETraceDirection, const char* sourceFile, int line, const char* className,
            const char* functionName, const QLT_CString& message) override {
    m_traceCalls.fetch_add(1, std::memory_order_relaxed);
    if ((mask & QLT_CError::getCumulativeTraceMask()) == 0) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(TraceRecord{sourceFile ? sourceFile : "", line, className ? className : "",
                                    functionName ? functionName : "", message.c_str()});
    return 0;
  }

  std::vector<TraceRecord> Records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const TraceRecord& r : Records()) out.push_back(r.message);
    return out;
  }
  // True when some recorded message contains `text`.
  bool Contains(const std::string& text) const {
    for (const TraceRecord& r : Records())
      if (r.message.find(text) != std::string::npos) return true;
    return false;
  }
  // How many recorded messages contain `text`.
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (const TraceRecord& r : Records()) n += r.message.find(text) != std::string::npos;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
  }
  unsigned long MaskReads() const { return m_maskReads.load(); }
  unsigned long TraceCalls() const { return m_traceCalls.load(); }

 private:
  QLT_CError* m_previous;
  mutable std::mutex m_mutex;
  std::vector<TraceRecord> m_records;
  std::atomic<unsigned long> m_maskReads{0};
  std::atomic<unsigned long> m_traceCalls{0};
};

}  // namespace pimtest
