// QLT tracing: nothing built while the component's bit is clear, what a trace point passes, the
// trace file's lines (whole under many threads), and the mask and file taken from the environment.
#include <QLT.h>
#include <Trace.h>
#include <Scratch.h>
#include <TraceCapture.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

static const char kTraceFile[] = "PIM/src/CTraceTest";
static const char kTraceClass[] = "CTraceTest";

int g_built = 0;
QLT_CString Built(const char* text) {
  ++g_built;
  return QLT_CString(text);
}

TEST(QltTrace, NothingIsBuiltWhileComponentBitIsClear) {
  pimtest::TraceCapture capture(0xEFFF);  // every bit but 0x1000
  g_built = 0;
  PIM_TRACE("Run", Built("text") + 1);
  EXPECT_EQ(g_built, 0);
  EXPECT_EQ(capture.TraceCalls(), 0u);
  EXPECT_EQ(capture.MaskReads(), 1u);
}

TEST(QltTrace, TracePointPassesFileClassFunctionAndMessage) {
  pimtest::TraceCapture capture;
  g_built = 0;
  int line = __LINE__ + 1;
  PIM_TRACE("Run", Built("ABORTING, bad HR: ") + static_cast<LONG>(E_FAIL));
  EXPECT_EQ(g_built, 1);
  auto records = capture.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].file, "PIM/src/CTraceTest");
  EXPECT_EQ(records[0].className, "CTraceTest");
  EXPECT_EQ(records[0].function, "Run");
  EXPECT_EQ(records[0].line, line);
  EXPECT_EQ(records[0].message, "ABORTING, bad HR: -2147467259");
}

class TraceFileTest : public ::testing::Test {
 protected:
  void SetUp() override { QLT_CError::setTraceFile(m_path.c_str()); }
  void TearDown() override { QLT_CError::setTraceFile(nullptr); }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::ifstream in(m_path);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  pimtest::TempDir m_dir;
  const std::string m_path = m_dir.str("trace.log");
};

TEST_F(TraceFileTest, OneLineWithEveryFieldAndLineBreaksEscaped) {
  QLT_CError handler;
  handler.setTraceMask(0x1000);
  handler.trace(0x1000, QLT_ETraceDirection_OUT, "PIM/src/CContactEntry", 77, "CContactEntry", "SaveAsVCard",
                QLT_CString("two\nlines\r"));
  handler.trace(0x0001, QLT_ETraceDirection_OUT, "f", 1, "c", "fn", QLT_CString("not for this mask"));
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string& l = lines[0];
  // 2026-12-06 08:19:53.123 [4242] OUT PIM/src/CContactEntry(77) CContactEntry::SaveAsVCard: ...
  EXPECT_EQ(l.size() > 24 && l[4] == '-' && l[10] == ' ' && l[19] == '.', true) << l;
  EXPECT_NE(l.find(" [" + std::to_string(gettid()) + "] "), std::string::npos) << l;
  EXPECT_NE(l.find("PIM/src/CContactEntry(77) CContactEntry::SaveAsVCard: two\\nlines\\r"), std::string::npos) << l;
}

TEST_F(TraceFileTest, LinesFromManyThreadsStayWhole) {
  QLT_CError handler;
  handler.setTraceMask(0x1000);
  const int kThreads = 8, kLines = 400;
  const std::string payload(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        handler.trace(0x1000, QLT_ETraceDirection_OUT, "file", i, "Class", "Fn",
                      QLT_CString("t") + t + " i" + i + " " + payload.c_str() + " end");
    });
  for (auto& th : threads) th.join();
  auto lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::set<std::string> seen;
  for (const std::string& l : lines) {
    size_t m = l.find("Class::Fn: t");
    ASSERT_NE(m, std::string::npos) << l;
    ASSERT_EQ(l.compare(l.size() - payload.size() - 4, std::string::npos, payload + " end"), 0) << l;
    seen.insert(l.substr(m));
  }
  EXPECT_EQ(seen.size(), lines.size());
}

// The default handler takes its mask and file from the environment at load: run this program
// again with both set, and read what the child wrote.
TEST(QltTraceEnvironment, MaskAndFileComeFromEnvironmentAtLoad) {
  if (getenv("QLT_TEST_CHILD") != nullptr) {
    QLT_CError* h = QLT_CError::m_pcErrorHandlerGlb;
    h->trace(0x1000, QLT_ETraceDirection_OUT, "child", 1, "C", "F", QLT_CString("mask ") + h->getCumulativeTraceMask());
    return;
  }
  pimtest::TempDir dir;
  const std::string file = dir.str("trace.log");
  std::string cmd = "QLT_TEST_CHILD=1 QLT_TRACE_MASK=1a00 QLT_TRACE_FILE=" + file +
                    " /proc/" + std::to_string(getpid()) +
                    "/exe --gtest_filter=QltTraceEnvironment.* >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  EXPECT_NE(line.find("C::F: mask 6656"), std::string::npos) << line;  // 0x1a00
}

}  // namespace
