// Table: building, message round trip, typed cells and hostile replies;
// StructArray basics.

#include "kmbase/table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "kmbase/message.h"
#include "kmbase/struct_array.h"
#include "wire_bytes.h"

namespace {

Table Sample() {
  Table t;
  t.setTitle(u"Interfaces");
  EXPECT_EQ(t.addColumn(u"NAME", 4), 0);
  EXPECT_EQ(t.addColumn(u"INDEX", 1), 1);
  EXPECT_EQ(t.addColumn(u"SPEED"), 2);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(t.addRow(), r);
    t.setAt(r, 0, (u"eth" + std::u16string(1, u'0' + r) + u"\U0001F600").c_str());
    t.setAt(r, 1, int32_t{-r});
    t.setAt(r, 2, uint64_t{1000000000} * (r + 1));
  }
  return t;
}

// Encodes and decodes msg, then builds a table from it.
bool LoadThroughWire(const CSCPMessage &msg, Table *t) {
  auto decoded = CSCPMessage::decode(Wire(msg), KMCP_VERSION);
  return decoded != nullptr && t->loadMessage(*decoded);
}

TEST(TableTest, SurvivesAMessageRoundTrip) {
  Table src = Sample();
  CSCPMessage reply;
  reply.SetVariable(28, uint32_t{0});
  src.fillMessage(reply);
  auto decoded = CSCPMessage::decode(Wire(reply), KMCP_VERSION);
  ASSERT_NE(decoded, nullptr);
  Table t(decoded.get());
  EXPECT_EQ(std::u16string(t.getTitle()), u"Interfaces");
  ASSERT_EQ(t.getNumColumns(), 3);
  ASSERT_EQ(t.getNumRows(), 3);
  EXPECT_EQ(std::u16string(t.getColumnName(1)), u"INDEX");
  EXPECT_EQ(t.getColumnDataType(0), 4);
  EXPECT_EQ(t.getColumnDataType(2), 0);
  EXPECT_EQ(t.findColumn(u"SPEED"), 2);
  EXPECT_EQ(t.findColumn(u"speed"), -1);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(std::u16string(t.getAsString(r, 0)),
              u"eth" + std::u16string(1, u'0' + r) + u"\U0001F600");
    EXPECT_EQ(t.getAsInt(r, 1), -r);
    EXPECT_EQ(t.getAsUInt64(r, 2), uint64_t{1000000000} * (r + 1));
  }
  EXPECT_EQ(t.getAsString(3, 0), nullptr);
  EXPECT_EQ(t.getAsString(0, 3), nullptr);
  EXPECT_EQ(t.getAsString(-1, 0), nullptr);
  EXPECT_EQ(t.getColumnName(3), nullptr);
}

TEST(TableTest, UnsetCellsAndEmptyTablesTravelToo) {
  Table src;
  src.addColumn(u"A");
  src.addRow();
  src.addColumn(u"B");  // the existing row gains an empty cell
  src.setAt(0, 1, u"b");
  CSCPMessage msg;
  src.fillMessage(msg);
  Table t;
  ASSERT_TRUE(LoadThroughWire(msg, &t));
  EXPECT_EQ(std::u16string(t.getAsString(0, 0)), u"");
  EXPECT_EQ(std::u16string(t.getAsString(0, 1)), u"b");

  CSCPMessage empty;
  Table().fillMessage(empty);
  Table e = Sample();
  ASSERT_TRUE(LoadThroughWire(empty, &e));
  EXPECT_EQ(e.getNumRows(), 0);
  EXPECT_EQ(e.getNumColumns(), 0);
}

TEST(TableTest, TypedGettersParseCellText) {
  Table t;
  t.addColumn(u"V");
  const char16_t *cells[] = {u"  -12abc", u"4294967296", u"-5", u"99999999999999999999999",
                             u"", u"3.25", u"1e400", u"1e-400", u"+7", u"x1", u"-9223372036854775809"};
  for (const char16_t *c : cells) t.setAt(t.addRow(), 0, c);
  EXPECT_EQ(t.getAsInt(0, 0), -12);
  EXPECT_EQ(t.getAsUInt(1, 0), std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(t.getAsInt(1, 0), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(t.getAsInt64(1, 0), 4294967296);
  EXPECT_EQ(t.getAsUInt(2, 0), 0u);
  EXPECT_EQ(t.getAsUInt64(2, 0), 0u);
  EXPECT_EQ(t.getAsInt64(2, 0), -5);
  EXPECT_EQ(t.getAsInt64(3, 0), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(t.getAsUInt64(3, 0), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(t.getAsInt(4, 0), 0);
  EXPECT_EQ(t.getAsDouble(4, 0), 0.0);
  EXPECT_EQ(t.getAsDouble(5, 0), 3.25);
  EXPECT_EQ(t.getAsInt(5, 0), 3);
  EXPECT_TRUE(std::isinf(t.getAsDouble(6, 0)));
  EXPECT_EQ(t.getAsDouble(7, 0), 0.0);
  EXPECT_EQ(t.getAsUInt(8, 0), 7u);
  EXPECT_EQ(t.getAsInt(9, 0), 0);
  EXPECT_EQ(t.getAsInt64(10, 0), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(t.getAsInt(10, 0), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(t.getAsInt(99, 0), 0);  // out of range

  int r = t.addRow();
  t.setAt(r, 0, 0.1);
  EXPECT_EQ(t.getAsDouble(r, 0), 0.1);  // shortest text reads back exactly
  t.setAt(r, 0, std::numeric_limits<int64_t>::min());
  EXPECT_EQ(t.getAsInt64(r, 0), std::numeric_limits<int64_t>::min());
  t.setAt(r, 0, std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(t.getAsUInt(r, 0), std::numeric_limits<uint32_t>::max());
}

TEST(TableTest, RewritingCellsKeepsEveryValue) {
  Table t;
  t.addColumn(u"A");
  t.addColumn(u"B");
  for (int r = 0; r < 50; ++r) t.addRow();
  std::u16string longText(200, u'z');
  // Enough rewrites that the cell pool is compacted several times.
  for (int round = 0; round < 40; ++round) {
    t.setAt(round, 1, t.getAsString(round, 0));  // from the table's own text
    for (int r = 0; r < 50; ++r) {
      t.setAt(r, round % 2, (longText + std::u16string(1, u'a' + round % 26)).c_str());
    }
  }
  for (int r = 0; r < 50; ++r) {
    std::u16string a = t.getAsString(r, 0);
    EXPECT_EQ(a, longText + u"m") << r;  // round 38
    EXPECT_EQ(std::u16string(t.getAsString(r, 1)), longText + u"n") << r;  // round 39
  }
}

TEST(TableTest, BuildingRulesAndLimits) {
  Table t;
  EXPECT_EQ(t.addRow(), -1);  // no columns yet
  for (uint32_t c = 0; c < KMCP_TABLE_MAX_COLUMNS; ++c) ASSERT_EQ(t.addColumn(u"c"), int(c));
  EXPECT_EQ(t.addColumn(u"one too many"), -1);
  t.addRow();
  t.setAt(0, int(KMCP_TABLE_MAX_COLUMNS) - 1, u"last");
  t.setAt(0, int(KMCP_TABLE_MAX_COLUMNS), u"ignored");
  t.setAt(1, 0, u"ignored");
  CSCPMessage msg;
  t.fillMessage(msg);
  Table back;
  ASSERT_TRUE(LoadThroughWire(msg, &back));  // the column limit exactly
  EXPECT_EQ(back.getNumColumns(), int(KMCP_TABLE_MAX_COLUMNS));
  EXPECT_EQ(std::u16string(back.getAsString(0, KMCP_TABLE_MAX_COLUMNS - 1)), u"last");
}

// A well-formed two-by-two table message, for breaking.
CSCPMessage TwoByTwo() {
  Table t;
  t.addColumn(u"K");
  t.addColumn(u"V");
  for (int r = 0; r < 2; ++r) {
    t.addRow();
    t.setAt(r, 0, u"k");
    t.setAt(r, 1, u"v");
  }
  CSCPMessage msg;
  t.fillMessage(msg);
  return msg;
}

TEST(TableTest, HostileRepliesAreRefusedAndLeaveTheTableUnchanged) {
  Table kept = Sample();
  auto expectRefused = [&](const CSCPMessage &msg, const char *what) {
    EXPECT_FALSE(LoadThroughWire(msg, &kept)) << what;
    EXPECT_EQ(kept.getNumRows(), 3) << what;
    EXPECT_EQ(std::u16string(kept.getTitle()), u"Interfaces") << what;
  };
  CSCPMessage ok = TwoByTwo();
  Table fine;
  ASSERT_TRUE(LoadThroughWire(ok, &fine));

  CSCPMessage m = TwoByTwo();
  m.SetVariable(VAR_TABLE_NUM_ROWS, uint32_t{0xFFFFFFFF});
  expectRefused(m, "huge row count");
  m = TwoByTwo();
  m.SetVariable(VAR_TABLE_NUM_ROWS, uint32_t{3});
  expectRefused(m, "one row more than present");
  m = TwoByTwo();
  m.SetVariable(VAR_TABLE_NUM_COLS, uint32_t{KMCP_TABLE_MAX_COLUMNS + 1});
  expectRefused(m, "too many columns");
  m = TwoByTwo();
  m.SetVariable(VAR_TABLE_NUM_COLS, uint32_t{0});
  expectRefused(m, "rows without columns");
  m = TwoByTwo();
  m.SetVariable(VAR_TABLE_NUM_ROWS, uint16_t{2});
  expectRefused(m, "row count of the wrong width");
  m = TwoByTwo();
  m.SetVariable(VAR_TABLE_DATA_BASE + 3, uint32_t{5});
  expectRefused(m, "cell not a string");
  m = TwoByTwo();
  m.SetVariable(VAR_TABLE_COLUMN_BASE + 2, uint32_t{5});
  expectRefused(m, "column name not a string");
  m = TwoByTwo();
  m.SetVariable(VAR_TABLE_TITLE, uint32_t{5});
  expectRefused(m, "title not a string");
  // Enough fields in number, but the last cell is not among them.
  m = TwoByTwo();
  m.SetVariable(VAR_TABLE_NUM_ROWS, uint32_t{3});
  m.SetVariable(1, u"filler");
  m.SetVariable(2, u"filler");
  expectRefused(m, "cells missing");
  CSCPMessage none;
  expectRefused(none, "no table at all");

  Table fromNull(nullptr);
  EXPECT_EQ(fromNull.getNumColumns(), 0);
  Table fromBad(&none);
  EXPECT_EQ(fromBad.getNumRows(), 0);
}

struct Record {
  char16_t name[8];
  uint32_t value;
};

TEST(StructArrayTest, CreatesZeroedRecordsAndEmptyArrays) {
  std::unique_ptr<StructArray<Record>> empty(StructArray<Record>::create(0));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_EQ(empty->get(0), nullptr);
  std::unique_ptr<StructArray<Record>> a(StructArray<Record>::create(3));
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(a->get(i)->value, 0u);
    EXPECT_EQ(a->get(i)->name[0], 0);
  }
  (*a)[2].value = 9;
  EXPECT_EQ(a->data()[2].value, 9u);
  EXPECT_EQ(a->get(3), nullptr);
  // An adopted block of records.
  auto *block = static_cast<Record *>(std::calloc(2, sizeof(Record)));
  StructArray<Record> adopted(2, block);
  EXPECT_EQ(adopted.get(1), block + 1);
}

}  // namespace
