#include <gtest/gtest.h>

#include "nimbrad/TableFormatter.h"

using nimbra::TableFormatter;

TEST(TableFormatter, FitsEachCellToItsWidth) {
  struct Case {
    std::string cell;
    std::size_t width;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"abc", 6, "abc   "},
      {"abcdef", 6, "abcdef"},
      {"abcdefg", 6, "abc..."},
      {"", 3, "   "},
      {"abcd", 3, "..."},
      {"abcd", 2, ".."},
      {"abcd", 0, ""},
      // Widths count characters: "é" is two bytes but one column, and a cut
      // never splits it.
      {"caf\u00e9", 4, "caf\u00e9"},
      {"\u00e9\u00e9\u00e9\u00e9\u00e9", 4, "\u00e9..."},
      {"\u201cQuoted\u201d", 9, "\u201cQuoted\u201d "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TableFormatter::fit(c.cell, c.width), c.expected) << c.cell << " in " << c.width;
    EXPECT_EQ(TableFormatter::displayLength(TableFormatter::fit(c.cell, c.width)), c.width);
  }
}

TEST(TableFormatter, JoinsPaddedCellsAndKeepsExtraCellsWhole) {
  EXPECT_EQ(TableFormatter::format({"uid", "/Applications/Very Long Name.app", "x86 Only"}, {5, 12, 10}),
            "uid   /Applicat... x86 Only  ");
  EXPECT_EQ(TableFormatter::format({"a", "b", "tail that is long"}, {2, 2}, "|"), "a |b |tail that is long");
  EXPECT_EQ(TableFormatter::format({}, {4, 4}), "");
}
