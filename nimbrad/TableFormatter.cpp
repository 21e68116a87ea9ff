#include "nimbrad/TableFormatter.h"

namespace nimbra {

namespace {

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Byte length of the first `count` characters of `text`.
std::size_t prefixBytes(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  std::size_t seen = 0;
  while (i < text.size() && seen < count) {
    ++i;
    while (i < text.size() && isContinuationByte(text[i])) ++i;
    ++seen;
  }
  return i;
}

}  // namespace

std::size_t TableFormatter::displayLength(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 0 || !isContinuationByte(text[i])) ++count;
  }
  return count;
}

std::string TableFormatter::fit(std::string_view cell, std::size_t width) {
  const std::size_t length = displayLength(cell);
  if (length <= width) {
    std::string out(cell);
    out.append(width - length, ' ');
    return out;
  }
  constexpr std::string_view kEllipsis = "...";
  if (width <= kEllipsis.size()) return std::string(width, '.');
  std::string out(cell.substr(0, prefixBytes(cell, width - kEllipsis.size())));
  out.append(kEllipsis);
  return out;
}

std::string TableFormatter::format(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths,
                                   std::string_view separator) {
  std::string row;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) row.append(separator);
    if (i < widths.size()) {
      row.append(fit(cells[i], widths[i]));
    } else {
      row.append(cells[i]);
    }
  }
  return row;
}

}  // namespace nimbra
