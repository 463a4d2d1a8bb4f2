// DbgPrintf, DbgPrintf2 and WriteLogOther: level rules, message ids and
// types, the 4095-character cut, and the catalogue they find installed.
#include "kmsrv/debug.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kmbase/log.h"
#include "kmsrv/messages.h"

namespace {

struct Captured {
  uint32_t id;
  uint16_t type;
  std::u16string line;
};

std::mutex g_mutex;
std::vector<Captured> g_lines;

void Capture(uint32_t id, uint16_t type, const char16_t *line, void *) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.push_back({id, type, line});
}

// Runs first in its own process under ctest, and first in declaration order
// when the binary runs alone: nothing has touched the globals yet.
TEST(DebugGlobals, StartAtTheirInitialValues) {
  EXPECT_EQ(g_nDebugLevel, 0);
  EXPECT_EQ(g_dwFlags, 2u);
}

class Debug : public ::testing::Test {
 protected:
  void SetUp() override {
    g_nDebugLevel = 0;
    kmlog_set_catalogue(nullptr);  // the library installs its own when needed
    kmlog_set_sink_callback(&Capture, nullptr);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
  }
  void TearDown() override {
    kmlog_set_sink_stderr();
    g_nDebugLevel = 0;
  }
};

TEST_F(Debug, LevelZeroLogsAtZeroAndNotAtSix) {
  DbgPrintf(6, u"hidden");
  DbgPrintf(0, u"shown");
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].line, u"shown\r\n");
}

TEST_F(Debug, RaisedLevelLetsLowerAndEqualLevelsThrough) {
  g_nDebugLevel = 6;
  DbgPrintf(6, u"six");
  DbgPrintf(4, u"four");
  DbgPrintf(7, u"seven");
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(g_lines[0].line, u"six\r\n");
  EXPECT_EQ(g_lines[1].line, u"four\r\n");
}

TEST_F(Debug, NegativeLevelIsAlwaysLogged) {
  DbgPrintf(-1, u"a");
  g_nDebugLevel = -5;
  DbgPrintf(-1, u"b");
  DbgPrintf(-100, u"c");
  DbgPrintf(0, u"not this");
  ASSERT_EQ(g_lines.size(), 3u);
  EXPECT_EQ(g_lines[2].line, u"c\r\n");
}

TEST_F(Debug, DbgPrintfLogsMessage65WithDebugTypeAndTheFormattedText) {
  DbgPrintf(0, u"agent %s: rcc=%d (0x%04X)", u"10.0.0.1", 404, 404u);
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].id, 65u);
  EXPECT_EQ(g_lines[0].type, 0x80);
  EXPECT_EQ(g_lines[0].line, u"agent 10.0.0.1: rcc=404 (0x0194)\r\n");
}

void CallDbgPrintf2(int level, const char16_t *format, ...) {
  va_list args;
  va_start(args, format);
  DbgPrintf2(level, format, args);
  va_end(args);
}

TEST_F(Debug, DbgPrintf2TakesAnArgumentList) {
  CallDbgPrintf2(0, u"%s=%u", u"count", 3u);
  CallDbgPrintf2(1, u"filtered");
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].id, 65u);
  EXPECT_EQ(g_lines[0].line, u"count=3\r\n");
}

TEST_F(Debug, WriteLogOtherLogsMessage113WithTheCallersTypeAndNoLevelTest) {
  g_nDebugLevel = -10;
  WriteLogOther(KMLOG_WARNING, u"disk %d%% full", 91);
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].id, 113u);
  EXPECT_EQ(g_lines[0].type, KMLOG_WARNING);
  EXPECT_EQ(g_lines[0].line, u"disk 91% full\r\n");
}

TEST_F(Debug, TextOf4096CharactersOrMoreIsCutTo4095) {
  for (size_t length : {size_t(4095), size_t(4096), size_t(10000)}) {
    const std::u16string text(length, u'a');
    DbgPrintf(0, u"%s", text.c_str());
    WriteLogOther(KMLOG_ERROR, u"%s", text.c_str());
  }
  ASSERT_EQ(g_lines.size(), 6u);
  const std::u16string expected = std::u16string(4095, u'a') + u"\r\n";
  for (const Captured &c : g_lines) EXPECT_EQ(c.line, expected);
}

TEST_F(Debug, UsesTheServerCatalogueUnlessTheHostInstalledOne) {
  DbgPrintf(0, u"abc");
  EXPECT_EQ(kmlog_get_catalogue(), &KmServerMessageText);
  kmlog_set_catalogue(
      [](uint32_t id) -> const char16_t * { return id == 65 ? u"host: %1\r\n" : nullptr; });
  DbgPrintf(0, u"abc");
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(g_lines[0].line, u"abc\r\n");
  EXPECT_EQ(g_lines[1].line, u"host: abc\r\n");
  kmlog_set_catalogue(nullptr);
}

TEST_F(Debug, NullFormatLogsNothing) {
  DbgPrintf(0, nullptr);
  WriteLogOther(KMLOG_ERROR, nullptr);
  EXPECT_TRUE(g_lines.empty());
}

// Threads trace while the host changes the level: only whole lines arrive,
// and each is one the level rule allows at some moment.
TEST_F(Debug, TracingWhileTheLevelChangesIsSafe) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 300; ++i) DbgPrintf(i % 8, u"t%d level %d", t, i % 8);
    });
  }
  for (int i = 0; i < 300; ++i) g_nDebugLevel = i % 8;
  for (auto &th : threads) th.join();
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_LE(g_lines.size(), 900u);
  for (const Captured &c : g_lines) {
    EXPECT_EQ(c.id, 65u);
    EXPECT_EQ(c.line.substr(c.line.size() - 2), u"\r\n");
  }
}

}  // namespace
