// The line grammar of the agent's network tables (parsers and formatters)
// and the routing table helpers.
#include "kmsrv/net_tables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "kmbase/text.h"

namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

TEST(InterfaceLine, FullLineFillsEveryMemberAndDefaultsPrefixTo24) {
  KM_INTERFACE_INFO info;
  memset(&info, 0xAB, sizeof(info));
  ParseInterfaceLine(u"5 10.1.2.3 6 001122334455 eth0", &info);
  EXPECT_EQ(info.ifIndex, 5u);
  EXPECT_EQ(info.ipAddr, Ip(10, 1, 2, 3));
  EXPECT_EQ(info.ipNetMask, 0xFFFFFF00u);
  EXPECT_EQ(info.ifType, 6u);
  const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(memcmp(info.macAddr, mac, 6), 0);
  EXPECT_EQ(std::u16string(info.displayName), u"eth0");
  EXPECT_EQ(std::u16string(info.description), u"eth0");
  for (uint8_t b : info.reserved1) EXPECT_EQ(b, 0);
  for (uint8_t b : info.reserved2) EXPECT_EQ(b, 0);
}

TEST(InterfaceLine, PrefixLengthsGiveMasksAndAbove32CountsAs32) {
  const struct {
    const char16_t *line;
    uint32_t mask;
  } cases[] = {
      {u"1 10.0.0.1/32 6 00 x", 0xFFFFFFFFu}, {u"1 10.0.0.1/0 6 00 x", 0u},
      {u"1 10.0.0.1/8 6 00 x", 0xFF000000u},  {u"1 10.0.0.1/31 6 00 x", 0xFFFFFFFEu},
      {u"1 10.0.0.1/33 6 00 x", 0xFFFFFFFFu}, {u"1 10.0.0.1/4000000000 6 00 x", 0xFFFFFFFFu},
      {u"1 10.0.0.1/ 6 00 x", 0u},  // no digits: prefix length 0
  };
  for (const auto &c : cases) {
    KM_INTERFACE_INFO info;
    ParseInterfaceLine(c.line, &info);
    EXPECT_EQ(info.ipNetMask, c.mask) << std::string(c.line, c.line + 20);
    EXPECT_EQ(info.ipAddr, Ip(10, 0, 0, 1));
  }
}

TEST(InterfaceLine, NameKeepsSpacesAndIsCutTo255) {
  KM_INTERFACE_INFO info;
  ParseInterfaceLine(u"2 10.0.0.1/24 6 001122334455 Local Area Connection 2", &info);
  EXPECT_EQ(std::u16string(info.displayName), u"Local Area Connection 2");

  std::u16string line = u"2 10.0.0.1/24 6 001122334455 " + std::u16string(300, u'n');
  ParseInterfaceLine(line.c_str(), &info);
  EXPECT_EQ(std::u16string(info.displayName), std::u16string(255, u'n'));
  EXPECT_EQ(std::u16string(info.description), std::u16string(255, u'n'));
}

TEST(InterfaceLine, MissingFieldsStayZeroAndRestGoesToName) {
  KM_INTERFACE_INFO info;
  ParseInterfaceLine(u"eth0", &info);
  EXPECT_EQ(std::u16string(info.displayName), u"eth0");
  EXPECT_EQ(info.ifIndex, 0u);
  EXPECT_EQ(info.ipAddr, 0u);
  EXPECT_EQ(info.ipNetMask, 0u);

  ParseInterfaceLine(u"7 10.0.0.1/16 eth0", &info);
  EXPECT_EQ(info.ifIndex, 7u);
  EXPECT_EQ(info.ipNetMask, 0xFFFF0000u);
  EXPECT_EQ(info.ifType, 0u);
  EXPECT_EQ(std::u16string(info.displayName), u"eth0");

  ParseInterfaceLine(nullptr, &info);
  EXPECT_EQ(info.displayName[0], 0);
  ParseInterfaceLine(u"x y 6 ZZ11 n", &info);  // no digits, bad MAC
  EXPECT_EQ(info.ifIndex, 0u);
  EXPECT_EQ(info.macAddr[0], 0);
}

TEST(ArpLine, FullLineWithSeveralSpaces) {
  ARP_CACHE_ENTRY e;
  ParseArpLine(u"00aAbBcCdDeE   10.1.2.3 12", &e);
  const uint8_t mac[6] = {0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
  EXPECT_EQ(memcmp(e.macAddr, mac, 6), 0);
  EXPECT_EQ(e.ipAddr, Ip(10, 1, 2, 3));
  EXPECT_EQ(e.ifIndex, 12u);
}

TEST(ArpLine, NineteenCharactersGiveZeroEntryAndTwentyAreParsed) {
  ARP_CACHE_ENTRY e;
  ParseArpLine(u"001122334455 1.2.3.", &e);  // 19
  ARP_CACHE_ENTRY zero{};
  EXPECT_EQ(memcmp(&e, &zero, sizeof(e)), 0);
  ParseArpLine(u"001122334455 1.2.3.4", &e);  // 20
  EXPECT_EQ(e.macAddr[5], 0x55);
  EXPECT_EQ(e.ipAddr, Ip(1, 2, 3, 4));
  EXPECT_EQ(e.ifIndex, 0u);
  ParseArpLine(nullptr, &e);
  EXPECT_EQ(memcmp(&e, &zero, sizeof(e)), 0);
}

TEST(ArpLine, NoIndexGivesZeroAndBadHexPairStopsAtItsFirstBadDigit) {
  ARP_CACHE_ENTRY e;
  ParseArpLine(u"001122334455   10.1.2.3", &e);
  EXPECT_EQ(e.ipAddr, Ip(10, 1, 2, 3));
  EXPECT_EQ(e.ifIndex, 0u);
  EXPECT_EQ(e.macAddr[0], 0x00);
  EXPECT_EQ(e.macAddr[5], 0x55);

  ParseArpLine(u"1G2233445566 10.1.2.3 4", &e);
  EXPECT_EQ(e.macAddr[0], 0x01);  // "1G": the pair stops at G
  EXPECT_EQ(e.macAddr[1], 0x22);
}

TEST(RouteLine, FullAndShortLines) {
  ROUTING_TABLE_ENTRY r;
  ParseRouteLine(u"10.0.0.0/8 10.1.2.1 3 4", &r);
  EXPECT_EQ(r.destAddr, Ip(10, 0, 0, 0));
  EXPECT_EQ(r.destMask, 0xFF000000u);
  EXPECT_EQ(r.nextHop, Ip(10, 1, 2, 1));
  EXPECT_EQ(r.ifIndex, 3u);
  EXPECT_EQ(r.routeType, 4u);

  ParseRouteLine(u"10.0.0.0/8 10.1.2.1", &r);
  EXPECT_EQ(r.destAddr, Ip(10, 0, 0, 0));
  EXPECT_EQ(r.destMask, 0xFF000000u);
  EXPECT_EQ(r.nextHop, 0u);
  EXPECT_EQ(r.ifIndex, 0u);
  EXPECT_EQ(r.routeType, 10u);  // the digits that begin 10.1.2.1

  ParseRouteLine(u"0.0.0.0/99 1.1.1.1 2 3", &r);
  EXPECT_EQ(r.destMask, 0xFFFFFFFFu);
}

TEST(RoutingTable, SortPutsMostSpecificFirstAndDefaultLast) {
  auto *table = static_cast<ROUTING_TABLE *>(calloc(1, sizeof(ROUTING_TABLE)));
  table->numEntries = 4;
  table->entries = static_cast<ROUTING_TABLE_ENTRY *>(calloc(4, sizeof(ROUTING_TABLE_ENTRY)));
  const uint32_t masks[] = {0, 0xFFFFFF00u, 0xFFFFFFFFu, 0x80000000u};
  for (int i = 0; i < 4; i++) table->entries[i].destMask = masks[i];
  SortRoutingTable(table);
  EXPECT_EQ(table->entries[0].destMask, 0xFFFFFFFFu);
  EXPECT_EQ(table->entries[1].destMask, 0xFFFFFF00u);
  EXPECT_EQ(table->entries[2].destMask, 0x80000000u);  // unsigned: above 0
  EXPECT_EQ(table->entries[3].destMask, 0u);
  DestroyRoutingTable(table);
  DestroyRoutingTable(nullptr);
  DestroyArpCache(nullptr);
  SortRoutingTable(nullptr);
}

// What the agent writes, the library reads back: the exact lines for a
// few records, and the record again from each.
TEST(ListLineFormat, WritesTheGrammarThatTheParsersReadBack) {
  KM_INTERFACE_INFO info{};
  info.ifIndex = 5;
  info.ifType = 6;
  info.ipAddr = Ip(10, 1, 2, 3);
  info.ipNetMask = 0xFFFFFF00u;
  const uint8_t mac[6] = {0x00, 0x11, 0x22, 0xAA, 0xbb, 0xFF};
  std::memcpy(info.macAddr, mac, 6);
  std::memcpy(info.displayName, u"my if", sizeof(u"my if"));
  EXPECT_EQ(FormatInterfaceLine(info), "5 10.1.2.3/24 6 001122AABBFF my if");
  KM_INTERFACE_INFO none{};
  none.ifIndex = 7;
  none.ifType = 1;
  EXPECT_EQ(FormatInterfaceLine(none), "7 0.0.0.0/0 1 000000000000 ");

  const ARP_CACHE_ENTRY arp{12, Ip(192, 168, 1, 20), {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};
  EXPECT_EQ(FormatArpLine(arp), "0A1B2C3D4E5F 192.168.1.20 12");
  const ROUTING_TABLE_ENTRY route{0, 0, Ip(192, 168, 1, 1), 2, 4};
  EXPECT_EQ(FormatRouteLine(route), "0.0.0.0/0 192.168.1.1 2 4");

  const std::u16string ifLine = KmUtf8ToWide(FormatInterfaceLine(info));
  KM_INTERFACE_INFO back;
  ParseInterfaceLine(ifLine.c_str(), &back);
  EXPECT_EQ(back.ifIndex, info.ifIndex);
  EXPECT_EQ(back.ifType, info.ifType);
  EXPECT_EQ(back.ipAddr, info.ipAddr);
  EXPECT_EQ(back.ipNetMask, info.ipNetMask);
  EXPECT_EQ(std::memcmp(back.macAddr, info.macAddr, 6), 0);
  EXPECT_EQ(std::u16string(back.displayName), u"my if");
  EXPECT_EQ(std::u16string(back.description), u"my if");

  for (const ROUTING_TABLE_ENTRY &r :
       {route, ROUTING_TABLE_ENTRY{Ip(10, 0, 0, 0), 0xFF000000u, 0, 3, 3},
        ROUTING_TABLE_ENTRY{Ip(127, 0, 0, 1), 0xFFFFFFFFu, 0, 1, 3}}) {
    ROUTING_TABLE_ENTRY parsed;
    ParseRouteLine(KmUtf8ToWide(FormatRouteLine(r)).c_str(), &parsed);
    EXPECT_EQ(std::memcmp(&parsed, &r, sizeof(r)), 0) << FormatRouteLine(r);
  }
  ARP_CACHE_ENTRY arpBack;
  ParseArpLine(KmUtf8ToWide(FormatArpLine(arp)).c_str(), &arpBack);
  EXPECT_EQ(std::memcmp(&arpBack, &arp, sizeof(arp)), 0);
}

}  // namespace
