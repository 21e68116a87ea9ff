// Parses arbitrary bytes as a strings file; a table that parses must hold
// only valid UTF-8 strings and survive being written in the text form and
// parsed again.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/StringsFile.h"
#include "platform/Utf8.h"

using namespace platform;

namespace {

void appendQuoted(std::string& out, const std::string& text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto table = StringsFile::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!table) return 0;
  std::string text;
  for (const auto& [key, value] : *table) {
    const std::string* s = value.asString();
    if (s == nullptr || !utf8::isValid(*s) || !utf8::isValid(key)) abort();
    appendQuoted(text, key);
    text += " = ";
    appendQuoted(text, *s);
    text += ";\n";
  }
  auto again = StringsFile::parse(text);
  if (!again || *again != *table) abort();
  return 0;
}
