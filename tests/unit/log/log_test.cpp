// kmlog: inserts by number, fallback lines, cutting, and the sinks.
#include "kmbase/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kmbase/text.h"
#include "support/temp_dir.h"

namespace {

// A small catalogue of our own; the server catalogue lives in libkmsrv.
const char16_t *TestCatalogue(uint32_t id) {
  switch (id) {
    case 1:
      return u"Started\r\n";
    case 2:
      return u"%2 object has child %1\r\n";
    case 3:
      return u"[%1|%2|%3]\r\n";
    case 4:
      return u"100% done %0 %%, %1\r\n";
    case 5:
      return u"%1\r\n";
    case 6:
      return u"%9-%1\r\n";
    default:
      return nullptr;
  }
}

struct Captured {
  uint32_t id;
  uint16_t type;
  std::u16string line;
};

std::mutex g_capturedMutex;
std::vector<Captured> g_captured;

void Capture(uint32_t id, uint16_t type, const char16_t *line, void *context) {
  std::lock_guard<std::mutex> lock(g_capturedMutex);
  g_captured.push_back({id, type, line});
  if (context != nullptr) ++*static_cast<int *>(context);
}

class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    kmlog_set_catalogue(&TestCatalogue);
    std::lock_guard<std::mutex> lock(g_capturedMutex);
    g_captured.clear();
  }
  void TearDown() override {
    kmlog_set_sink_stderr();
    kmlog_set_catalogue(nullptr);
  }
};

std::u16string Line(uint32_t id, const char *letters, ...) {
  char16_t buf[256];
  va_list args;
  va_start(args, letters);
  const size_t n = kmlog_vbuild_line(buf, 256, id, letters, args);
  va_end(args);
  EXPECT_EQ(n, km_strlen16(buf));
  return buf;
}

TEST_F(Log, InsertsArePlacedByNumberNotByPosition) {
  EXPECT_EQ(Line(2, "ds", 7, u"node"), u"node object has child 7\r\n");
  EXPECT_EQ(Line(6, "sssssssss", u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9"), u"9-1\r\n");
  EXPECT_EQ(Line(1, nullptr), u"Started\r\n");
}

TEST_F(Log, LettersSelectStringDecimalAndHex) {
  EXPECT_EQ(Line(3, "sdx", u"abc", -5, 0xBEEFu), u"[abc|-5|beef]\r\n");
  EXPECT_EQ(Line(3, "sdx", static_cast<const char16_t *>(nullptr), INT32_MIN, 0xFFFFFFFFu),
            u"[(null)|-2147483648|ffffffff]\r\n");
}

TEST_F(Log, MissingInsertsAndOtherPercentSequencesStayAsWritten) {
  EXPECT_EQ(Line(3, "s", u"a"), u"[a|%2|%3]\r\n");
  // An unknown letter ends the reading: its insert and those after are missing.
  EXPECT_EQ(Line(3, "sqs", u"a", 1, u"c"), u"[a|%2|%3]\r\n");
  EXPECT_EQ(Line(4, "s", u"x"), u"100% done %0 %%, x\r\n");
}

TEST_F(Log, UnknownIdOrNoCatalogueGivesFallbackLineWithInserts) {
  EXPECT_EQ(Line(99, "sd", u"abc", 5),
            u"Message 99 is not in the log catalogue; inserts: abc, 5\r\n");
  kmlog_set_catalogue(nullptr);
  EXPECT_EQ(Line(1, ""), u"Message 1 is not in the log catalogue\r\n");
  EXPECT_EQ(kmlog_get_catalogue(), nullptr);
}

TEST_F(Log, CatalogueIfNoneKeepsAnInstalledCatalogue) {
  auto other = [](uint32_t) -> const char16_t * { return u"other\r\n"; };
  EXPECT_FALSE(kmlog_set_catalogue_if_none(other));
  EXPECT_EQ(kmlog_get_catalogue(), &TestCatalogue);
  EXPECT_TRUE(kmlog_set_catalogue_if_none(&TestCatalogue));
  kmlog_set_catalogue(nullptr);
  EXPECT_TRUE(kmlog_set_catalogue_if_none(other));
  EXPECT_EQ(Line(1, ""), u"other\r\n");
}

TEST_F(Log, BuildLineCutsLikeSnprintf) {
  char16_t buf[5];
  buf[4] = u'#';
  EXPECT_EQ(kmlog_build_line(buf, 4, 5, "s", u"abcdef"), 8u);
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(buf[4], u'#');
  EXPECT_EQ(kmlog_build_line(nullptr, 0, 5, "s", u"abcdef"), 8u);
}

TEST_F(Log, CallbackSinkGetsIdTypeAndLineUntilReplaced) {
  int calls = 0;
  kmlog_set_sink_callback(&Capture, &calls);
  kmlog_write(2, KMLOG_WARNING, "ds", 7, u"node");
  kmlog_write(1, KMLOG_DEBUG, "");
  kmlog_set_sink_none();
  kmlog_write(1, KMLOG_ERROR, "");
  ASSERT_EQ(calls, 2);
  EXPECT_EQ(g_captured[0].id, 2u);
  EXPECT_EQ(g_captured[0].type, KMLOG_WARNING);
  EXPECT_EQ(g_captured[0].line, u"node object has child 7\r\n");
  EXPECT_EQ(g_captured[1].type, KMLOG_DEBUG);
}

TEST_F(Log, OverlongLineIsCutAndKeepsItsLineEnd) {
  kmlog_set_sink_callback(&Capture, nullptr);
  std::u16string big(KMLOG_MAX_LINE * 2, u'z');
  big[KMLOG_MAX_LINE - 4] = 0xD83D;  // a pair that the cut would split
  big[KMLOG_MAX_LINE - 3] = 0xDE00;
  kmlog_write(5, KMLOG_INFORMATION, "s", big.c_str());
  ASSERT_EQ(g_captured.size(), 1u);
  const std::u16string &line = g_captured[0].line;
  EXPECT_EQ(line.size(), KMLOG_MAX_LINE - 2);
  EXPECT_EQ(line.substr(line.size() - 2), u"\r\n");
  EXPECT_EQ(line[line.size() - 3], u'z');
}

void Nested(uint32_t id, uint16_t type, const char16_t *line, void *context) {
  Capture(id, type, line, context);
  kmlog_write(1, KMLOG_INFORMATION, "");  // goes to stderr, not back here
}

TEST_F(Log, LoggingFromInsideACallbackDoesNotDeadlock) {
  int calls = 0;
  kmlog_set_sink_callback(&Nested, &calls);
  testing::internal::CaptureStderr();
  kmlog_write(3, KMLOG_ERROR, "sss", u"a", u"b", u"c");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(calls, 1);
  EXPECT_NE(err.find("INFO    Started\n"), std::string::npos) << err;
}

TEST_F(Log, FileSinkAppendsOneTimestampedUtf8LinePerCall) {
  const kmtest::TempDir dir("log");
  const std::string file = dir.write("log.txt", "");
  const char *path = file.c_str();
  ASSERT_TRUE(kmlog_set_sink_file(path));
  kmlog_write(3, KMLOG_ERROR, "sss", u"caf\u00e9", u"two\r\nlines", u"\U0001F600");
  kmlog_write(1, KMLOG_DEBUG, "");
  kmlog_set_sink_none();  // closes the file
  const std::string text = kmtest::ReadFile(file);
  // Each line: "YYYY-MM-DD hh:mm:ss.mmm " then the severity and the text.
  const std::vector<std::string> bodies = {"ERROR   [caf\xC3\xA9|two  lines|\xF0\x9F\x98\x80]",
                                           "DEBUG   Started"};
  size_t pos = 0;
  for (const std::string &body : bodies) {
    const size_t end = text.find('\n', pos);
    ASSERT_NE(end, std::string::npos) << text;
    const std::string line = text.substr(pos, end - pos);
    ASSERT_EQ(line.size(), 24 + body.size()) << line;
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
    for (size_t i = 0; i < shape.size(); ++i) {
      if (shape[i] == 'd')
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(line[i]))) << line;
      else
        EXPECT_EQ(line[i], shape[i]) << line;
    }
    EXPECT_EQ(line.substr(24), body);
    pos = end + 1;
  }
  EXPECT_EQ(pos, text.size()) << text;
}

TEST_F(Log, FileSinkThatCannotOpenKeepsTheCurrentSink) {
  kmlog_set_sink_callback(&Capture, nullptr);
  EXPECT_FALSE(kmlog_set_sink_file("/nonexistent-dir/kmlog.log"));
  EXPECT_FALSE(kmlog_set_sink_file(nullptr));
  kmlog_write(1, KMLOG_INFORMATION, "");
  EXPECT_EQ(g_captured.size(), 1u);
}

TEST(LogSeverity, NamesFollowTheEventTypeBits) {
  EXPECT_STREQ(kmlog_severity_name(KMLOG_ERROR), "ERROR");
  EXPECT_STREQ(kmlog_severity_name(KMLOG_WARNING), "WARNING");
  EXPECT_STREQ(kmlog_severity_name(KMLOG_INFORMATION), "INFO");
  EXPECT_STREQ(kmlog_severity_name(KMLOG_SUCCESS), "INFO");
  EXPECT_STREQ(kmlog_severity_name(KMLOG_AUDIT_SUCCESS), "AUDIT-OK");
  EXPECT_STREQ(kmlog_severity_name(KMLOG_AUDIT_FAILURE), "AUDIT-FAIL");
  EXPECT_STREQ(kmlog_severity_name(KMLOG_DEBUG), "DEBUG");
}

// Many threads logging while the sink is switched: every line arrives whole,
// and none arrives after the callback was removed.
TEST_F(Log, ConcurrentWritersDeliverWholeLines) {
  kmlog_set_sink_callback(&Capture, nullptr);
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::u16string tag = km_format16(u"thread%d", t);
      for (int i = 0; i < kLines; ++i) kmlog_write(3, KMLOG_INFORMATION, "sdx", tag.c_str(), i, i);
    });
  }
  for (auto &th : threads) th.join();
  kmlog_set_sink_none();
  kmlog_write(1, KMLOG_INFORMATION, "");
  ASSERT_EQ(g_captured.size(), size_t(kThreads * kLines));
  std::vector<int> perThread(kThreads, 0);
  for (const Captured &c : g_captured) {
    int t = -1, d = -1;
    unsigned x = 0;
    const std::string line = KmWideToUtf8(c.line);
    ASSERT_EQ(sscanf(line.c_str(), "[thread%d|%d|%x]\r\n", &t, &d, &x), 3) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(unsigned(d), x);
    EXPECT_EQ(d, perThread[t]++);  // in order per thread
  }
}

}  // namespace
