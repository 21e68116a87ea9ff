#pragma once

// Fixed-width text tables for the diagnostic dumps. Widths count characters
// (UTF-8 code points), so paths with non-ASCII names line up and are never cut
// inside a character.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra {

class TableFormatter {
 public:
  TableFormatter() = delete;

  // One row: each cell padded with spaces to its column width, the cells
  // joined by `separator`. A cell longer than its width is cut so that it
  // ends with "..." within the width (a width below 3 keeps only dots). Cells
  // beyond the last width are appended as they are; no line break is added.
  static std::string format(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths,
                            std::string_view separator = " ");

  // One cell fitted to `width` as format() does it.
  static std::string fit(std::string_view cell, std::size_t width);

  // Number of UTF-8 code points in `text` (a stray continuation byte counts
  // as part of the character before it).
  static std::size_t displayLength(std::string_view text);
};

}  // namespace nimbra
