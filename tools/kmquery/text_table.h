// TextTable: kmquery's human-readable output, columns aligned under a
// header line.
//
// Cells are UTF-8 text, often straight from a peer: control characters (C0,
// DEL and C1) are shown as '?', so a device or agent cannot move the cursor
// or change the terminal, and invalid UTF-8 bytes are shown as '?' too.
// Widths count characters, not bytes.
//
// A table is a plain value used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kmquery {

class TextTable {
 public:
  explicit TextTable(std::vector<std::string> headers);

  // Numbers read better right-aligned.
  void alignRight(size_t column);
  // A row shorter than the header gets empty cells; extra cells are dropped.
  void addRow(std::vector<std::string> cells);
  size_t rowCount() const { return rows_.size(); }

  // Header and rows, one line each, columns two spaces apart; the last
  // column is not padded, so no line ends in blanks.
  std::string render() const;

  // `text` with every control character and invalid byte replaced by '?'.
  static std::string sanitize(std::string_view text);
  // Characters in `text` (valid UTF-8 as sanitize returns it).
  static size_t displayWidth(std::string_view text);

 private:
  std::vector<std::string> headers_;
  std::vector<bool> right_;
  std::vector<std::vector<std::string>> rows_;
};

// Port numbers as ranges, ascending, each once: "1,3-5,9" (two neighbours
// stay a list: "1,2").
std::string FormatPortList(std::vector<uint32_t> ports);

}  // namespace kmquery
