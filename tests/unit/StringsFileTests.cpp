#include <gtest/gtest.h>

#include "platform/PropertyList.h"
#include "platform/StringsFile.h"
#include "platform/Utf8.h"

using namespace platform;
using namespace std::string_literals;

namespace {

std::string utf16WithBom(std::string_view text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  const auto unit = [&](char32_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  };
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = utf8::next(text, pos);
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

const char* kSample =
    "/* Localized names */\n"
    "\"CFBundleName\" = \"Caf\xC3\xA9 \xF0\x9F\x98\x80\";  // trailing comment\n"
    "CFBundleDisplayName = \"Line\\nTab\\tQuote\\\"Back\\\\Apos\\'\";\n"
    "Copyright=\"\\U00A9 2024 \\UD83D\\UDE00\\101\";\n"
    "key.with/odd:chars$-_ = bare-value;\n"
    "\"alone\";\n";

const Dictionary kSampleTable = {
    {"CFBundleName", "Caf\xC3\xA9 \xF0\x9F\x98\x80"},
    {"CFBundleDisplayName", "Line\nTab\tQuote\"Back\\Apos'"},
    {"Copyright", "\xC2\xA9 2024 \xF0\x9F\x98\x80" "A"},
    {"key.with/odd:chars$-_", "bare-value"},
    {"alone", "alone"},
};

}  // namespace

TEST(StringsFile, ReadsTheTextFormInEveryEncoding) {
  const struct {
    const char* name;
    std::string bytes;
  } forms[] = {
      {"utf-8", kSample},
      {"utf-8 with bom", "\xEF\xBB\xBF"s + kSample},
      {"utf-16 little endian", utf16WithBom(kSample, false)},
      {"utf-16 big endian", utf16WithBom(kSample, true)},
      {"braced", "{\n"s + kSample + "}\n"},
  };
  for (const auto& form : forms) {
    auto table = StringsFile::parse(form.bytes);
    ASSERT_TRUE(table) << form.name << ": " << table.error().message;
    EXPECT_EQ(*table, kSampleTable) << form.name;
  }
}

TEST(StringsFile, ReadsPropertyListFormsKeepingOnlyStrings) {
  const Value root = Dictionary{{"CFBundleName", "Name"}, {"count", 3}, {"list", Array{"x"}}};
  const Dictionary expected = {{"CFBundleName", "Name"}};
  auto binary = StringsFile::parse(PropertyList::encodeBinary(root));
  ASSERT_TRUE(binary);
  EXPECT_EQ(*binary, expected);
  auto xml = StringsFile::parse(*PropertyList::encodeXml(root));
  ASSERT_TRUE(xml);
  EXPECT_EQ(*xml, expected);
  auto wideXml = StringsFile::parse(utf16WithBom(*PropertyList::encodeXml(root), false));
  ASSERT_TRUE(wideXml);
  EXPECT_EQ(*wideXml, expected);
  EXPECT_FALSE(StringsFile::parse(PropertyList::encodeBinary(Array{"a"})));
}

TEST(StringsFile, EdgeCasesOfTheTextForm) {
  const struct {
    std::string bytes;
    Dictionary expected;
  } cases[] = {
      {"", {}},
      {"  // only a comment", {}},
      {"a = \"1\"; a = \"2\";", {{"a", "2"}}},
      {"\"\" = \"\";", {{"", ""}}},
      {"a = \"\\UD800x\";", {{"a", "\xEF\xBF\xBDx"}}},   // lone high surrogate
      {"a = \"\\UDC00\";", {{"a", "\xEF\xBF\xBD"}}},     // lone low surrogate
      {"a = \"\\351\\0x\";", {{"a", "\xC3\xA9\0x"s}}},  // octal, including NUL
      {"a = \"\xFF\";", {{"a", "\xEF\xBF\xBD"}}},       // invalid UTF-8
      {"a /*x*/=/*y*/\"v\"/*z*/;", {{"a", "v"}}},
  };
  for (const auto& c : cases) {
    auto table = StringsFile::parse(c.bytes);
    ASSERT_TRUE(table) << c.bytes << ": " << table.error().message;
    EXPECT_EQ(*table, c.expected) << c.bytes;
  }
}

TEST(StringsFile, MalformedTextIsRefusedWithTheLine) {
  const struct {
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"a = \"1\"", "expected ';' on line 1"},
      {"a = \"1\";\nb = \"unterminated;\n", "unterminated string"},
      {"a = ;", "unexpected character ';' on line 1"},
      {"a =", "unexpected end of file"},
      {"\n\n/* open comment", "unterminated comment on line 3"},
      {"a = \"\\U\";", "\\U without hex digits"},
      {"{ a = b; ", "expected '}'"},
      {"{ a = b; } c", "unexpected text after '}'"},
      {"a = b; }", "unexpected character '}'"},
      {"\"a\" = \"b\" = \"c\";", "expected ';'"},
      {"a\0 = b;"s, "expected ';'"},
      {"\"trailing backslash\\", "unterminated string"},
  };
  for (const auto& c : cases) {
    auto table = StringsFile::parse(c.bytes);
    ASSERT_FALSE(table) << c.bytes;
    EXPECT_NE(table.error().message.find(c.reason), std::string::npos) << c.bytes << " -> " << table.error().message;
  }
}
