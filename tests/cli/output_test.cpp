// kmquery's output pieces: the JSON writer (read back with the tests' own
// strict parser), the aligned table and its defence against terminal
// control sequences from peers, port lists, and HOST[:PORT] arguments.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "cli_support.h"
#include "json_parse.h"
#include "json_writer.h"
#include "progress.h"
#include "record_output.h"
#include "text_table.h"

namespace {

using kmquery::JsonWriter;
using kmquery::TextTable;

TEST(JsonWriter, EscapesEverythingThatWouldBreakTheDocument) {
  // Quotes, backslashes, every C0 control, DEL, and bytes that are not UTF-8
  // (a lone continuation byte, a truncated sequence, an overlong form, an
  // encoded surrogate).
  std::string nasty = "q\"b\\s/";
  for (int c = 0; c < 0x20; c++) nasty += static_cast<char>(c);
  nasty += "\x7f|\x80|\xE2\x82|\xC0\xAF|\xED\xA0\x80|\xF0\x9F\x98\x80|\xC3\xA9";
  JsonWriter w;
  w.beginObject().key("k\n\"").value(nasty).key("n").value(int64_t{-5}).key("u");
  w.value(uint64_t{18446744073709551615u}).key("b").value(false).key("z").null();
  w.key("a").beginArray().value("x").beginObject().endObject().beginArray().endArray();
  w.endArray().endObject();
  ASSERT_TRUE(w.complete());

  std::string error;
  auto doc = kmtest::JsonParser::parse(w.text(), &error);
  ASSERT_TRUE(doc.has_value()) << error << ": " << w.text();
  std::string expected = "q\"b\\s/";
  for (int c = 0; c < 0x20; c++) expected += static_cast<char>(c);
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
  expected += "\x7f|" + bad + "|" + bad + bad + "|" + bad + bad + "|" + bad + bad + bad +
              "|\xF0\x9F\x98\x80|\xC3\xA9";
  EXPECT_EQ((*doc)["k\n\""].string, expected);
  EXPECT_EQ((*doc)["n"].number, -5);
  EXPECT_EQ((*doc)["b"].type, kmtest::Json::Type::Bool);
  EXPECT_TRUE((*doc)["z"].isNull());
  ASSERT_EQ((*doc)["a"].array.size(), 3u);
  // Big numbers are written exactly.
  EXPECT_NE(w.text().find("18446744073709551615"), std::string::npos);
}

TEST(JsonWriter, RefusesMisuseInsteadOfWritingBrokenJson) {
  {
    JsonWriter w;
    w.beginObject();
    EXPECT_THROW(w.value("no key"), std::logic_error);
  }
  {
    JsonWriter w;
    EXPECT_THROW(w.key("top"), std::logic_error);
  }
  {
    JsonWriter w;
    w.beginArray();
    EXPECT_THROW(w.endObject(), std::logic_error);
    EXPECT_FALSE(w.complete());
  }
  {
    JsonWriter w;
    w.value("one");
    EXPECT_THROW(w.value("two"), std::logic_error);
  }
  {
    JsonWriter w;
    w.beginObject().key("k");
    EXPECT_THROW(w.endObject(), std::logic_error);
  }
}

TEST(TextTable, AlignsColumnsByCharactersAndTrimsLineEnds) {
  TextTable t({"ID", "NAME", "NOTE"});
  t.alignRight(0);
  t.addRow({"7", "\xC3\xA9t\xC3\xA9", ""});
  t.addRow({"1234", "x", "last"});
  t.addRow({"5"});  // missing cells are empty
  EXPECT_EQ(t.render(),
            "  ID  NAME  NOTE\n"
            "   7  \xC3\xA9t\xC3\xA9\n"
            "1234  x     last\n"
            "   5\n");
}

TEST(TextTable, PeerTextCannotSendTerminalControls) {
  // An escape sequence, a bell, a newline, a C1 CSI (U+009B) and a stray byte.
  const std::string evil = "a\x1b[2Jb\x07\nc\xC2\x9B" "d\xFF";
  EXPECT_EQ(TextTable::sanitize(evil), "a?[2Jb??c?d?");
  TextTable t({"V"});
  t.addRow({evil});
  const std::string out = t.render();
  for (char c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u == '\n' || (u >= 0x20 && u != 0x7F)) << static_cast<int>(u);
  }
  EXPECT_EQ(out, "V\na?[2Jb??c?d?\n");
  // Printable text beyond ASCII stays as it is.
  EXPECT_EQ(TextTable::sanitize("\xE2\x82\xAC \xF0\x9F\x98\x80"), "\xE2\x82\xAC \xF0\x9F\x98\x80");
}

TEST(ProgressBar, ShowsShareRateAndTimeLeftWithinTheWidth) {
  // 5 MiB of 10 MiB after 2 s: 2.5 MiB/s, 2 s left.
  const std::string half =
      kmquery::ProgressBar::render("upload f", 5u << 20, 10u << 20, 2.0, 100);
  EXPECT_NE(half.find(" 50%"), std::string::npos) << half;
  EXPECT_NE(half.find("5.0 MiB / 10.0 MiB"), std::string::npos) << half;
  EXPECT_NE(half.find("2.5 MiB/s"), std::string::npos) << half;
  EXPECT_NE(half.find("ETA 0:02"), std::string::npos) << half;
  EXPECT_LE(half.size(), 100u);
  // The bar keeps its width as the numbers grow.
  const std::string early = kmquery::ProgressBar::render("upload f", 1, 10u << 20, 0.01, 100);
  EXPECT_EQ(early.find(']'), half.find(']')) << early << "\n" << half;
  // Unknown size: amount and rate only; a narrow terminal cuts the line.
  const std::string open = kmquery::ProgressBar::render("download f", 3000, 0, 1.0, 100);
  EXPECT_EQ(open, "download f  2.9 KiB  2.9 KiB/s");
  EXPECT_EQ(kmquery::ProgressBar::render("download f", 3000, 0, 1.0, 12).size(), 12u);
  EXPECT_EQ(kmquery::ProgressBar::bytes(1023), "1023 B");
}

TEST(FormatPortList, JoinsRunsIntoRangesAndDropsDuplicates) {
  EXPECT_EQ(kmquery::FormatPortList({}), "");
  EXPECT_EQ(kmquery::FormatPortList({16, 1}), "1,16");
  EXPECT_EQ(kmquery::FormatPortList({5, 3, 4, 4, 9, 1, 2}), "1-5,9");
  EXPECT_EQ(kmquery::FormatPortList({7, 8}), "7,8");
  EXPECT_EQ(kmquery::FormatPortList({4294967294u, 4294967295u, 0}), "0,4294967294,4294967295");
}

TEST(SplitHostPort, TakesDefaultOrExplicitPortAndRefusesBadOnes) {
  std::string host, error;
  uint16_t port = 0;
  ASSERT_TRUE(kmquery::SplitHostPort("agent.example", 4700, &host, &port, &error));
  EXPECT_EQ(host, "agent.example");
  EXPECT_EQ(port, 4700);
  ASSERT_TRUE(kmquery::SplitHostPort("10.0.0.1:65535", 4700, &host, &port, &error));
  EXPECT_EQ(host, "10.0.0.1");
  EXPECT_EQ(port, 65535);
  for (const char *bad : {"h:0", "h:65536", "h:", "h:12x", ":80", "", "h:-1"}) {
    EXPECT_FALSE(kmquery::SplitHostPort(bad, 4700, &host, &port, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(ExitStatus, ReachabilityFailuresAreThreeAndAnswersAreFour) {
  EXPECT_EQ(kmquery::AgentConnectExitStatus(910), 3);
  EXPECT_EQ(kmquery::AgentConnectExitStatus(500), 3);  // version detection failed
  EXPECT_EQ(kmquery::AgentRequestExitStatus(500), 4);  // the agent's own answer
  EXPECT_EQ(kmquery::AgentRequestExitStatus(901), 3);
  EXPECT_EQ(kmquery::AgentRequestExitStatus(440), 4);
  EXPECT_EQ(kmquery::SnmpExitStatus(1), 3);
  EXPECT_EQ(kmquery::SnmpExitStatus(6), 4);
  EXPECT_EQ(kmquery::IscExitStatus(8), 3);
  EXPECT_EQ(kmquery::IscExitStatus(1), 4);
}

}  // namespace
