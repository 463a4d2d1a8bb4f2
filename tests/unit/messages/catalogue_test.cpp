// The server log message catalogue and its use through kmlog.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kmbase/log.h"
#include "kmbase/text.h"
#include "kmsrv/messages.h"

namespace {

std::u16string Text(uint32_t id) {
  const char16_t *t = KmServerMessageText(id);
  return t != nullptr ? std::u16string(t) : std::u16string(u"<null>");
}

TEST(Catalogue, EveryIdFrom1To142HasOneLineEndingInCrLf) {
  for (uint32_t id = 1; id <= 142; ++id) {
    const char16_t *text = KmServerMessageText(id);
    ASSERT_NE(text, nullptr) << id;
    const std::u16string s(text);
    ASSERT_GE(s.size(), 3u) << id;
    EXPECT_EQ(s.substr(s.size() - 2), u"\r\n") << id;
    const std::u16string body = s.substr(0, s.size() - 2);
    EXPECT_EQ(body.find_first_of(u"\r\n"), std::u16string::npos) << id;
  }
}

TEST(Catalogue, IdsOutsideOneTo142AreMissing) {
  EXPECT_EQ(KmServerMessageText(0), nullptr);
  EXPECT_EQ(KmServerMessageText(143), nullptr);
  EXPECT_EQ(KmServerMessageText(144), nullptr);
  EXPECT_EQ(KmServerMessageText(0xFFFFFFFFu), nullptr);
}

// Every % starts an insert %1..%5; 102 has the most (all five); exactly the
// messages 60, 62, 82, 83, 93 and 133 use an insert before a lower one.
TEST(Catalogue, InsertsAreNumberedOneToFiveAndOutOfOrderOnlyWhereExpected) {
  std::vector<uint32_t> outOfOrder;
  for (uint32_t id = 1; id <= 142; ++id) {
    const std::u16string s = Text(id);
    int highest = 0;
    bool reordered = false;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] != u'%') continue;
      ASSERT_LT(i + 1, s.size()) << id;
      const int n = s[i + 1] - u'0';
      ASSERT_TRUE(n >= 1 && n <= 5) << "message " << id;
      if (n < highest) reordered = true;
      if (n > highest) highest = n;
    }
    if (reordered) outOfOrder.push_back(id);
    if (id == 102)
      EXPECT_EQ(highest, 5);
    else
      EXPECT_LE(highest, 3) << id;
  }
  EXPECT_EQ(outOfOrder, (std::vector<uint32_t>{60, 62, 82, 83, 93, 133}));
}

TEST(Catalogue, TextsTheLibraryLogsAreExact) {
  EXPECT_EQ(Text(1), u"Kalmor Server started\r\n");
  EXPECT_EQ(Text(3), u"Unable to resolve symbol \"%1\": %2\r\n");
  EXPECT_EQ(Text(24), u"Unknown SNMP variable type %1 in GET response PDU\r\n");
  EXPECT_EQ(Text(25), u"Error %1 in processing SNMP GET request\r\n");
  EXPECT_EQ(Text(27), u"Error parsing SNMP OID '%1'\r\n");
  EXPECT_EQ(Text(MSG_DEBUG), u"%1\r\n");
  EXPECT_EQ(Text(MSG_OTHER), u"%1\r\n");
  EXPECT_EQ(Text(55),
            u"User group \"Everyone\" created because it was not presented in database\r\n");
  EXPECT_EQ(Text(102),
            u"EXCEPTION %1 (%2) at %3 (crash dump was generated); please send files %4 and %5 "
            u"to support@libkmsrv.example\r\n");
  EXPECT_EQ(Text(142), u"Failed to load service check object with id %1 from database\r\n");
}

class CatalogueInKmlog : public ::testing::Test {
 protected:
  void SetUp() override { KmInstallServerCatalogue(); }
  void TearDown() override { kmlog_set_catalogue(nullptr); }

  static std::u16string Line(uint32_t id, const char *letters, ...) {
    char16_t buf[512];
    va_list args;
    va_start(args, letters);
    kmlog_vbuild_line(buf, 512, id, letters, args);
    va_end(args);
    return buf;
  }
};

TEST_F(CatalogueInKmlog, Messages65And113GiveTheInsertAndALineEnd) {
  EXPECT_EQ(Line(65, "s", u"abc"), u"abc\r\n");
  EXPECT_EQ(Line(113, "s", u"abc"), u"abc\r\n");
}

TEST_F(CatalogueInKmlog, Message60PutsInsertsWhereTheirNumbersStand) {
  EXPECT_EQ(Line(60, "ds", 7, u"node"),
            u"Inconsistent database: node object has reference to non-existing child object 7\r\n");
  EXPECT_EQ(Line(24, "x", 0x46u), u"Unknown SNMP variable type 46 in GET response PDU\r\n");
  EXPECT_EQ(Line(102, "sssss", u"C0000005", u"access violation", u"0x1234", u"a.dmp", u"b.log"),
            u"EXCEPTION C0000005 (access violation) at 0x1234 (crash dump was generated); please "
            u"send files a.dmp and b.log to support@libkmsrv.example\r\n");
}

TEST_F(CatalogueInKmlog, IdsOutsideTheCatalogueGiveTheFallbackLine) {
  EXPECT_EQ(Line(0, "s", u"x"), u"Message 0 is not in the log catalogue; inserts: x\r\n");
  EXPECT_EQ(Line(143, ""), u"Message 143 is not in the log catalogue\r\n");
}

TEST(CatalogueInstallation, EnsureInstallsOnlyWhenNoneIsInstalled) {
  kmlog_set_catalogue(nullptr);
  KmEnsureServerCatalogue();
  EXPECT_EQ(kmlog_get_catalogue(), &KmServerMessageText);

  auto host = [](uint32_t) -> const char16_t * { return u"host\r\n"; };
  kmlog_set_catalogue(host);
  KmEnsureServerCatalogue();
  EXPECT_NE(kmlog_get_catalogue(), &KmServerMessageText);  // the host's stays
  KmInstallServerCatalogue();
  EXPECT_EQ(kmlog_get_catalogue(), &KmServerMessageText);
  kmlog_set_catalogue(nullptr);
}

}  // namespace
