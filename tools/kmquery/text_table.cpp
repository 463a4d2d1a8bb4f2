#include "text_table.h"

#include <algorithm>
#include <cstdint>

#include "kmbase/text.h"

namespace kmquery {

TextTable::TextTable(std::vector<std::string> headers)
    : headers_(std::move(headers)), right_(headers_.size(), false) {}

void TextTable::alignRight(size_t column) {
  if (column < right_.size()) right_[column] = true;
}

void TextTable::addRow(std::vector<std::string> cells) {
  cells.resize(headers_.size());
  for (std::string &cell : cells) cell = sanitize(cell);
  rows_.push_back(std::move(cells));
}

std::string TextTable::sanitize(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
      i++;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      i++;
      continue;
    }
    char32_t cp = 0;
    const size_t n = KmUtf8SequenceLength(text, i, &cp);
    if (n == 0) {
      out += '?';
      i++;
      continue;
    }
    if (cp >= 0x80 && cp <= 0x9F)
      out += '?';  // C1 controls: some terminals act on them
    else
      out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

size_t TextTable::displayWidth(std::string_view text) {
  size_t width = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) width++;
  return width;
}

std::string TextTable::render() const {
  const size_t columns = headers_.size();
  std::vector<size_t> width(columns, 0);
  for (size_t c = 0; c < columns; c++) width[c] = displayWidth(headers_[c]);
  for (const auto &row : rows_)
    for (size_t c = 0; c < columns; c++) width[c] = std::max(width[c], displayWidth(row[c]));

  std::string out;
  auto line = [&](const std::vector<std::string> &cells) {
    std::string text;
    for (size_t c = 0; c < columns; c++) {
      const size_t pad = width[c] - displayWidth(cells[c]);
      const bool last = c + 1 == columns;
      if (c > 0) text += "  ";
      if (right_[c]) {
        text.append(pad, ' ');
        text += cells[c];
      } else {
        text += cells[c];
        if (!last) text.append(pad, ' ');
      }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text;
    out += '\n';
  };
  line(headers_);
  for (const auto &row : rows_) line(row);
  return out;
}

std::string FormatPortList(std::vector<uint32_t> ports) {
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  std::string text;
  for (size_t i = 0; i < ports.size();) {
    size_t j = i;
    while (j + 1 < ports.size() && ports[j + 1] == ports[j] + 1) j++;
    if (!text.empty()) text += ',';
    text += std::to_string(ports[i]);
    if (j > i) text += (j == i + 1 ? "," : "-") + std::to_string(ports[j]);
    i = j + 1;
  }
  return text;
}

}  // namespace kmquery
