// StringMap: entries, iteration, message round trip and hostile counts.

#include "kmbase/string_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kmbase/message.h"
#include "wire_bytes.h"

namespace {

constexpr uint32_t kCount = 500;
constexpr uint32_t kBase = 0x10000000;

TEST(StringMapTest, SetGetReplaceRemove) {
  StringMap m;
  m.set(u"b", u"2");
  m.set(u"a", u"1");
  m.set(u"A", nullptr);   // keys are case-sensitive; null value stores ""
  m.set(nullptr, u"x");   // ignored
  m.set(u"b", u"two");    // replaces
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(std::u16string(m.get(u"b")), u"two");
  EXPECT_EQ(std::u16string(m.get(u"A")), u"");
  EXPECT_EQ(m.get(u"c"), nullptr);
  EXPECT_EQ(m.get(nullptr), nullptr);
  std::vector<std::u16string> keys;
  for (const auto &[k, v] : m) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"A", u"a", u"b"}));
  EXPECT_TRUE(m.remove(u"a"));
  EXPECT_FALSE(m.remove(u"a"));
  EXPECT_FALSE(m.remove(nullptr));
  EXPECT_EQ(m.size(), 2u);
  m.clear();
  EXPECT_EQ(m.size(), 0u);
}

TEST(StringMapTest, SurvivesAMessageRoundTrip) {
  StringMap src;
  src.set(u"sysName", u"core-sw1");
  src.set(u"empty", u"");
  src.set(u"\U0001F600", u"smile \U0001F600");
  CSCPMessage msg;
  src.fillMessage(msg, kCount, kBase);
  auto decoded = CSCPMessage::decode(Wire(msg), KMCP_VERSION);
  ASSERT_NE(decoded, nullptr);
  StringMap out;
  out.set(u"stale", u"gone after load");
  ASSERT_TRUE(out.loadMessage(*decoded, kCount, kBase));
  EXPECT_EQ(out.size(), 3u);
  EXPECT_EQ(out.get(u"stale"), nullptr);
  EXPECT_EQ(std::u16string(out.get(u"sysName")), u"core-sw1");
  EXPECT_EQ(std::u16string(out.get(u"empty")), u"");
  EXPECT_EQ(std::u16string(out.get(u"\U0001F600")), u"smile \U0001F600");

  CSCPMessage none;
  StringMap().fillMessage(none, kCount, kBase);
  ASSERT_TRUE(out.loadMessage(none, kCount, kBase));
  EXPECT_EQ(out.size(), 0u);
}

TEST(StringMapTest, HostileMessagesAreRefusedAndLeaveTheMapUnchanged) {
  StringMap kept;
  kept.set(u"k", u"v");
  auto expectRefused = [&](const CSCPMessage &msg, uint32_t base, const char *what) {
    EXPECT_FALSE(kept.loadMessage(msg, kCount, base)) << what;
    EXPECT_EQ(kept.size(), 1u) << what;
    EXPECT_EQ(std::u16string(kept.get(u"k")), u"v") << what;
  };
  StringMap two;
  two.set(u"a", u"1");
  two.set(u"b", u"2");
  auto fresh = [&] {
    CSCPMessage m;
    two.fillMessage(m, kCount, kBase);
    return m;
  };
  CSCPMessage m = fresh();
  m.SetVariable(kCount, uint32_t{0xFFFFFFFF});
  expectRefused(m, kBase, "huge count");
  m = fresh();
  m.SetVariable(kCount, uint32_t{3});
  expectRefused(m, kBase, "one entry more than the fields hold");
  m = fresh();
  m.SetVariable(kCount, uint32_t{3});
  m.SetVariable(1, u"pad");
  m.SetVariable(2, u"pad");
  expectRefused(m, kBase, "enough fields but the entry is missing");
  m = fresh();
  m.SetVariable(kBase + 3, uint32_t{2});
  expectRefused(m, kBase, "value not a string");
  m = fresh();
  m.SetVariable(kCount, uint16_t{2});
  expectRefused(m, kBase, "count of the wrong width");
  CSCPMessage none;
  expectRefused(none, kBase, "no count");
  // A run whose ids would wrap past 2^32.
  CSCPMessage wrap;
  two.fillMessage(wrap, kCount, 0xFFFFFFFE);
  expectRefused(wrap, 0xFFFFFFFE, "ids wrap");
  CSCPMessage edge;
  StringMap one;
  one.set(u"x", u"y");
  one.fillMessage(edge, kCount, 0xFFFFFFFE);  // the last two ids exactly
  StringMap got;
  EXPECT_TRUE(got.loadMessage(edge, kCount, 0xFFFFFFFE));
  EXPECT_EQ(std::u16string(got.get(u"x")), u"y");
}

}  // namespace
