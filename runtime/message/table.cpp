// Table: column list, cell pool, message layout and cell parsing.

#include "kmbase/table.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>

#include "kmbase/message.h"

namespace {

// Compact the cell pool once this much of it is unreferenced and it is at
// least half garbage, so rewriting cells cannot grow it without end.
constexpr size_t kCompactAfter = 4096;

size_t Length(const char16_t *s) { return std::char_traits<char16_t>::length(s); }

// Leading spaces, an optional sign, decimal digits; the magnitude saturates.
struct ParsedInteger {
  bool negative = false;
  uint64_t magnitude = 0;
};

ParsedInteger ParseInteger(const char16_t *s) {
  ParsedInteger r;
  if (s == nullptr) return r;
  while (*s == u' ' || *s == u'\t') ++s;
  if (*s == u'+' || *s == u'-') r.negative = *s++ == u'-';
  for (; *s >= u'0' && *s <= u'9'; ++s) {
    uint64_t digit = static_cast<uint64_t>(*s - u'0');
    if (r.magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      r.magnitude = std::numeric_limits<uint64_t>::max();
      while (*s >= u'0' && *s <= u'9') ++s;
      break;
    }
    r.magnitude = r.magnitude * 10 + digit;
  }
  return r;
}

int64_t ToInt64(const ParsedInteger &p) {
  constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
  if (!p.negative) return static_cast<int64_t>(std::min(p.magnitude, kMax));
  if (p.magnitude > kMax) return std::numeric_limits<int64_t>::min();
  return -static_cast<int64_t>(p.magnitude);
}

uint64_t ToUInt64(const ParsedInteger &p) { return p.negative ? 0 : p.magnitude; }

template <typename T>
void FormatNumber(Table *table, int row, int col, T value) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  char16_t wide[64];
  size_t n = ec == std::errc() ? static_cast<size_t>(end - buf) : 0;
  for (size_t i = 0; i < n; ++i) wide[i] = static_cast<char16_t>(buf[i]);
  wide[n] = 0;
  table->setAt(row, col, wide);
}

}  // namespace

Table::Table() = default;

Table::Table(const CSCPMessage *reply) {
  if (reply != nullptr) loadMessage(*reply);
}

Table::~Table() = default;
Table::Table(Table &&) noexcept = default;
Table &Table::operator=(Table &&) noexcept = default;

bool Table::loadMessage(const CSCPMessage &msg) {
  KmcpFieldType type;
  if (!msg.GetVariableType(VAR_TABLE_NUM_ROWS, &type) || type != KmcpFieldType::Int32) {
    return false;
  }
  if (!msg.GetVariableType(VAR_TABLE_NUM_COLS, &type) || type != KmcpFieldType::Int32) {
    return false;
  }
  uint64_t rows = msg.GetVariableLong(VAR_TABLE_NUM_ROWS);
  uint64_t cols = msg.GetVariableLong(VAR_TABLE_NUM_COLS);
  if (cols > KMCP_TABLE_MAX_COLUMNS || (cols == 0 && rows != 0)) return false;
  // Every cell and column name is a field of its own: a count that names
  // more of them than the message holds is a lie, caught before any
  // allocation is sized by it. This also keeps the cell ids below 2^32.
  uint64_t cells = rows * cols;  // at most 2^32 * 4096: no overflow
  if (cells + cols > msg.GetNumFields()) return false;

  Table t;
  if (msg.GetVariableType(VAR_TABLE_TITLE, &type)) {
    if (type != KmcpFieldType::String) return false;
    uint32_t n = msg.GetVariableStrLength(VAR_TABLE_TITLE);
    t.title_.resize(n);
    msg.GetVariableStr(VAR_TABLE_TITLE, t.title_.data(), n + 1);
  }
  t.names_.resize(cols);
  t.types_.resize(cols);
  for (uint32_t c = 0; c < cols; ++c) {
    uint32_t id = VAR_TABLE_COLUMN_BASE + 2 * c;
    if (!msg.GetVariableType(id, &type) || type != KmcpFieldType::String) return false;
    t.names_[c].resize(msg.GetVariableStrLength(id));
    msg.GetVariableStr(id, t.names_[c].data(), static_cast<uint32_t>(t.names_[c].size() + 1));
    uint32_t columnType = 0;
    if (!msg.GetVariableOptional(id + 1, 0u, &columnType)) return false;  // another width
    t.types_[c] = static_cast<int32_t>(columnType);
  }
  t.rows_ = static_cast<uint32_t>(rows);
  t.cells_.assign(cells, 0);
  for (uint64_t i = 0; i < cells; ++i) {
    uint32_t id = static_cast<uint32_t>(VAR_TABLE_DATA_BASE + i);
    if (!msg.GetVariableType(id, &type) || type != KmcpFieldType::String) return false;
    uint32_t n = msg.GetVariableStrLength(id);
    if (n == 0) continue;
    size_t at = t.text_.size();
    t.text_.resize(at + n + 1);
    msg.GetVariableStr(id, t.text_.data() + at, n + 1);
    t.cells_[i] = at;
  }
  *this = std::move(t);
  return true;
}

void Table::fillMessage(CSCPMessage &msg) const {
  uint32_t cols = static_cast<uint32_t>(names_.size());
  msg.SetVariable(VAR_TABLE_TITLE, title_.data(), title_.size());
  msg.SetVariable(VAR_TABLE_NUM_ROWS, rows_);
  msg.SetVariable(VAR_TABLE_NUM_COLS, cols);
  for (uint32_t c = 0; c < cols; ++c) {
    msg.SetVariable(VAR_TABLE_COLUMN_BASE + 2 * c, names_[c].data(), names_[c].size());
    msg.SetVariable(VAR_TABLE_COLUMN_BASE + 2 * c + 1, static_cast<uint32_t>(types_[c]));
  }
  for (size_t i = 0; i < cells_.size(); ++i) {
    const char16_t *text = text_.data() + cells_[i];
    msg.SetVariable(static_cast<uint32_t>(VAR_TABLE_DATA_BASE + i), text, Length(text));
  }
}

const char16_t *Table::getColumnName(int col) const {
  return col >= 0 && static_cast<size_t>(col) < names_.size() ? names_[col].c_str() : nullptr;
}

int32_t Table::getColumnDataType(int col) const {
  return col >= 0 && static_cast<size_t>(col) < types_.size() ? types_[col] : 0;
}

int Table::findColumn(const char16_t *name) const {
  if (name == nullptr) return -1;
  for (size_t c = 0; c < names_.size(); ++c) {
    if (names_[c] == name) return static_cast<int>(c);
  }
  return -1;
}

int Table::addColumn(const char16_t *name, int32_t dataType) {
  size_t cols = names_.size();
  if (cols >= KMCP_TABLE_MAX_COLUMNS) return -1;
  std::vector<size_t> cells(static_cast<size_t>(rows_) * (cols + 1), 0);
  for (size_t r = 0; r < rows_; ++r) {
    std::copy_n(cells_.begin() + r * cols, cols, cells.begin() + r * (cols + 1));
  }
  names_.emplace_back(name != nullptr ? name : u"");
  types_.push_back(dataType);
  cells_.swap(cells);
  return static_cast<int>(cols);
}

int Table::addRow() {
  if (names_.empty() || rows_ == std::numeric_limits<int>::max()) return -1;
  cells_.resize(cells_.size() + names_.size(), 0);
  return static_cast<int>(rows_++);
}

const char16_t *Table::cell(int row, int col) const {
  if (row < 0 || col < 0 || static_cast<uint32_t>(row) >= rows_ ||
      static_cast<size_t>(col) >= names_.size()) {
    return nullptr;
  }
  return text_.data() + cells_[static_cast<size_t>(row) * names_.size() + col];
}

void Table::store(int row, int col, const char16_t *text, size_t length) {
  if (cell(row, col) == nullptr) return;
  size_t &slot = cells_[static_cast<size_t>(row) * names_.size() + col];
  size_t old = slot;
  if (length == 0) {
    slot = 0;
  } else {
    size_t at = text_.size();
    text_.append(text, length);  // text may point into text_: append copes
    text_.push_back(u'\0');
    slot = at;
  }
  if (old != 0) garbage_ += Length(text_.data() + old) + 1;
  if (garbage_ > kCompactAfter && garbage_ * 2 > text_.size()) {
    std::u16string pool(1, u'\0');
    for (size_t &c : cells_) {
      if (c == 0) continue;
      const char16_t *s = text_.data() + c;
      c = pool.size();
      pool.append(s, Length(s) + 1);
    }
    text_.swap(pool);
    garbage_ = 0;
  }
}

void Table::setAt(int row, int col, const char16_t *value) {
  store(row, col, value, value != nullptr ? Length(value) : 0);
}
void Table::setAt(int row, int col, int32_t value) { FormatNumber(this, row, col, value); }
void Table::setAt(int row, int col, uint32_t value) { FormatNumber(this, row, col, value); }
void Table::setAt(int row, int col, int64_t value) { FormatNumber(this, row, col, value); }
void Table::setAt(int row, int col, uint64_t value) { FormatNumber(this, row, col, value); }
void Table::setAt(int row, int col, double value) { FormatNumber(this, row, col, value); }

const char16_t *Table::getAsString(int row, int col) const { return cell(row, col); }

int32_t Table::getAsInt(int row, int col) const {
  int64_t v = ToInt64(ParseInteger(cell(row, col)));
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

uint32_t Table::getAsUInt(int row, int col) const {
  uint64_t v = ToUInt64(ParseInteger(cell(row, col)));
  return static_cast<uint32_t>(std::min<uint64_t>(v, std::numeric_limits<uint32_t>::max()));
}

int64_t Table::getAsInt64(int row, int col) const { return ToInt64(ParseInteger(cell(row, col))); }

uint64_t Table::getAsUInt64(int row, int col) const {
  return ToUInt64(ParseInteger(cell(row, col)));
}

double Table::getAsDouble(int row, int col) const {
  const char16_t *s = cell(row, col);
  if (s == nullptr) return 0;
  // Numbers are ASCII; the first other unit ends the text handed to the
  // parser. The "C" locale keeps the decimal point a '.' whatever the host
  // process has set; overflow gives +-HUGE_VAL, underflow 0.
  char buf[128];
  size_t n = 0;
  while (n + 1 < sizeof buf && s[n] != 0 && s[n] < 0x80) {
    buf[n] = static_cast<char>(s[n]);
    ++n;
  }
  buf[n] = 0;
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  if (c_locale == nullptr) return 0;
  return strtod_l(buf, nullptr, c_locale);
}
