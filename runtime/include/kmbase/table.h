// Table: named, typed columns over rows of text cells; what an agent returns
// for a table request (MC_GET_TABLE). The requesting side builds one from the
// reply; the serving side fills one and writes it into its reply with
// fillMessage. Cells are text on the wire; typed getters parse them.
//
// Thread safety: a plain value owned by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kmbase/export.h"

class CSCPMessage;

// Field ids of a table in a message: 0x70000000-0x71FFFFFF, in the base
// runtime's own id space, clear of the protocol's field ids, its list runs
// and the 0x7F000000 block of version detection and key exchange. A message
// holds at most 2^21 fields, so cell ids stay below 0x71200000.
inline constexpr uint32_t VAR_TABLE_TITLE = 0x70000000;     // string, optional
inline constexpr uint32_t VAR_TABLE_NUM_ROWS = 0x70000001;  // 32-bit
inline constexpr uint32_t VAR_TABLE_NUM_COLS = 0x70000002;  // 32-bit
// Column c: name (string) at base + 2c, data type (32-bit) at base + 2c + 1.
inline constexpr uint32_t VAR_TABLE_COLUMN_BASE = 0x70010000;
// Cell (r, c): string at base + r * columns + c.
inline constexpr uint32_t VAR_TABLE_DATA_BASE = 0x71000000;

// Most columns a table may have: the column ids must stay below
// VAR_TABLE_DATA_BASE, and no agent table comes near this width.
inline constexpr uint32_t KMCP_TABLE_MAX_COLUMNS = 4096;

class KMSRV_EXPORT Table {
 public:
  Table();
  // The table a reply carries (see loadMessage); a null or malformed reply
  // gives an empty table.
  explicit Table(const CSCPMessage *reply);
  ~Table();
  Table(Table &&) noexcept;
  Table &operator=(Table &&) noexcept;
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;

  // Replaces this table with the one in msg. False, with the table
  // unchanged, when msg holds no well-formed table: row or column count
  // missing or not 32-bit, too many columns, rows without columns, more
  // cells than the message has fields, a column name or cell that is
  // missing or not a string.
  bool loadMessage(const CSCPMessage &msg);
  // Writes title, counts, columns and every cell (unset cells as "") into
  // msg, replacing fields with the same ids.
  void fillMessage(CSCPMessage &msg) const;

  const char16_t *getTitle() const { return title_.c_str(); }
  void setTitle(const char16_t *title) { title_ = title != nullptr ? title : u""; }

  int getNumRows() const { return static_cast<int>(rows_); }
  int getNumColumns() const { return static_cast<int>(names_.size()); }
  // Null / 0 / -1 when col is out of range or the name is unknown.
  const char16_t *getColumnName(int col) const;
  int32_t getColumnDataType(int col) const;
  int findColumn(const char16_t *name) const;

  // Adds a column (existing rows get empty cells); its index, or -1 when the
  // table has KMCP_TABLE_MAX_COLUMNS columns already.
  int addColumn(const char16_t *name, int32_t dataType = 0);
  // Adds a row of empty cells; its index, or -1 while there are no columns.
  int addRow();

  // Setters ignore a row or column out of range. Numbers are stored as
  // decimal text (double: shortest text that reads back to the same value).
  void setAt(int row, int col, const char16_t *value);  // null stores ""
  void setAt(int row, int col, int32_t value);
  void setAt(int row, int col, uint32_t value);
  void setAt(int row, int col, int64_t value);
  void setAt(int row, int col, uint64_t value);
  void setAt(int row, int col, double value);

  // The cell's text, or null when out of range. Valid until the table changes.
  const char16_t *getAsString(int row, int col) const;
  // Integer reads parse the text: leading spaces, an optional sign, decimal
  // digits up to the first other character. No number gives 0; a value out
  // of the type's range gives its nearest limit (0 for a negative unsigned).
  // getAsDouble reads a decimal or hex floating number the same way ('.' as
  // the decimal point whatever the locale); overflow gives +-infinity.
  int32_t getAsInt(int row, int col) const;
  uint32_t getAsUInt(int row, int col) const;
  int64_t getAsInt64(int row, int col) const;
  uint64_t getAsUInt64(int row, int col) const;
  double getAsDouble(int row, int col) const;

 private:
  const char16_t *cell(int row, int col) const;
  void store(int row, int col, const char16_t *text, size_t length);

  std::u16string title_;
  std::vector<std::u16string> names_;
  std::vector<int32_t> types_;
  uint32_t rows_ = 0;
  // Cell (r, c) is the terminated text at text_[cells_[r * columns + c]];
  // one pool instead of a string per cell.
  // text_[0] is the terminator every empty cell shares.
  std::vector<size_t> cells_;
  std::u16string text_ = std::u16string(1, u'\0');
  size_t garbage_ = 0;  // units of text_ no cell points to any more
};
