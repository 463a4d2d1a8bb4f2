// Fuzz target: the Table loader against table replies built field by field,
// so that most inputs get past the row and column counts that raw message
// bytes rarely hit.
//
// The input is a script of records: each picks a field (the title, a count,
// a column name or type, a cell, or an id anywhere near the table's id
// block), a field type, and a value from the bytes that follow. When the
// loader accepts the message, the table must hold what the message said, the
// typed getters must stay inside it, and writing it back into a message and
// loading that again must give the same table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kmbase/message.h"
#include "kmbase/table.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ >= end_; }
  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v = (v << 8) | byte();
    return v;
  }
  std::u16string text() {
    size_t n = byte() % 24;
    std::u16string s;
    for (size_t i = 0; i < n && !empty(); i++) {
      uint8_t b = byte();
      // Mostly digits, signs and spaces, so the number parsers get work.
      static const char16_t kAlphabet[] = u" +-0123456789.eExX:;abc\u00e9\u4e2d\xd800";
      s.push_back(b < 0xC0 ? kAlphabet[b % (std::size(kAlphabet) - 1)] : static_cast<char16_t>(b << 4));
    }
    return s;
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

void SetTyped(CSCPMessage &msg, uint32_t id, uint8_t type, Reader &in) {
  switch (type % 5) {
    case 0: {
      std::u16string s = in.text();
      msg.SetVariable(id, s.c_str(), s.size());
      break;
    }
    case 1:
      msg.SetVariable(id, in.u32());
      break;
    case 2:
      msg.SetVariable(id, static_cast<uint16_t>(in.u32()));
      break;
    case 3:
      msg.SetVariable(id, (uint64_t{in.u32()} << 32) | in.u32());
      break;
    default: {
      uint8_t bytes[8];
      uint32_t n = in.byte() % 9;
      for (uint32_t i = 0; i < n; i++) bytes[i] = in.byte();
      msg.SetVariable(id, bytes, n);
      break;
    }
  }
}

void Check(bool ok) {
  if (!ok) std::abort();
}

bool SameTable(const Table &a, const Table &b) {
  if (std::u16string(a.getTitle()) != b.getTitle() || a.getNumRows() != b.getNumRows() ||
      a.getNumColumns() != b.getNumColumns())
    return false;
  for (int c = 0; c < a.getNumColumns(); c++) {
    if (std::u16string(a.getColumnName(c)) != b.getColumnName(c) ||
        a.getColumnDataType(c) != b.getColumnDataType(c))
      return false;
  }
  for (int r = 0; r < a.getNumRows(); r++)
    for (int c = 0; c < a.getNumColumns(); c++)
      if (std::u16string(a.getAsString(r, c)) != b.getAsString(r, c)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Reader in(data, size);
  CSCPMessage msg;
  // Counts first, small, so the cell ids below land inside the table.
  const uint32_t rows = in.byte() % 9;
  const uint32_t cols = in.byte() % 9;
  msg.SetVariable(VAR_TABLE_NUM_ROWS, rows);
  msg.SetVariable(VAR_TABLE_NUM_COLS, cols);
  for (int records = 0; records < 512 && !in.empty(); records++) {
    const uint8_t kind = in.byte();
    const uint8_t type = in.byte();
    uint32_t id;
    switch (kind % 8) {
      case 0: id = VAR_TABLE_TITLE; break;
      case 1: id = VAR_TABLE_NUM_ROWS; break;
      case 2: id = VAR_TABLE_NUM_COLS; break;
      case 3: id = VAR_TABLE_COLUMN_BASE + 2 * (in.byte() % 10); break;
      case 4: id = VAR_TABLE_COLUMN_BASE + 2 * (in.byte() % 10) + 1; break;
      case 5:
      case 6: id = VAR_TABLE_DATA_BASE + in.byte() % 96; break;
      default: id = VAR_TABLE_TITLE + (in.u32() & 0x01FFFFFF); break;
    }
    // Cells and names are strings most of the time.
    SetTyped(msg, id, (kind % 8 >= 3 && kind % 8 <= 6 && (type & 0x80)) ? 0 : type, in);
  }

  Table table;
  if (!table.loadMessage(msg)) {
    Check(table.getNumRows() == 0 && table.getNumColumns() == 0);
    return 0;
  }
  const int nr = table.getNumRows();
  const int nc = table.getNumColumns();
  Check(nr >= 0 && nc >= 0 && static_cast<uint32_t>(nc) <= KMCP_TABLE_MAX_COLUMNS);
  Check(static_cast<uint64_t>(nr) * static_cast<uint64_t>(nc) <= msg.GetNumFields());
  Check(static_cast<uint32_t>(nr) == msg.GetVariableLong(VAR_TABLE_NUM_ROWS));
  for (int r = -1; r <= nr; r++) {
    for (int c = -1; c <= nc; c++) {
      const bool inside = r >= 0 && r < nr && c >= 0 && c < nc;
      const char16_t *s = table.getAsString(r, c);
      Check((s != nullptr) == inside);
      (void)table.getAsInt(r, c);
      (void)table.getAsUInt(r, c);
      (void)table.getAsInt64(r, c);
      (void)table.getAsUInt64(r, c);
      (void)table.getAsDouble(r, c);
      if (inside) {
        char16_t *expect = msg.GetVariableStr(VAR_TABLE_DATA_BASE + r * nc + c);
        Check(expect != nullptr && std::u16string(expect) == s);
        std::free(expect);
      }
    }
  }
  for (int c = 0; c < nc; c++) Check(table.findColumn(table.getColumnName(c)) >= 0);
  Check(table.getColumnName(nc) == nullptr && table.getColumnName(-1) == nullptr);

  CSCPMessage again;
  table.fillMessage(again);
  Table copy;
  Check(copy.loadMessage(again));
  Check(SameTable(table, copy));
  // A table changed after loading still writes out whole.
  if (table.addRow() >= 0) {
    table.setAt(nr, 0, int64_t{-42});
    Check(table.getAsInt64(nr, 0) == -42);
  }
  return 0;
}
