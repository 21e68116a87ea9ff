#include "platform/StringsFile.h"

#include <fmt/format.h>

#include <cstdint>

#include "platform/BinaryPropertyList.h"
#include "platform/Utf8.h"

namespace platform {

namespace {

Expected<Dictionary, PropertyListError> stringsOf(Expected<Value, PropertyListError> decoded) {
  if (!decoded) return unexpected(std::move(decoded).error());
  Dictionary* root = decoded->asDictionary();
  if (root == nullptr) return unexpected(PropertyListError{"strings file is not a dictionary"});
  std::erase_if(*root, [](const auto& entry) { return entry.second.asString() == nullptr; });
  return std::move(*root);
}

bool isUnquotedChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '$' || c == ':' || c == '/' || c == '-';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text form over UTF-8 text. Every syntax character is ASCII, so the
// scan works on bytes; other bytes may only appear inside quoted strings.
class TextParser {
 public:
  explicit TextParser(std::string_view text) : text_(text) {}

  Expected<Dictionary, PropertyListError> run() {
    Dictionary table;
    skipBlank();
    // An enclosing pair of braces (a whole old-style dictionary) is accepted.
    const bool braced = peek('{');
    if (braced) {
      ++pos_;
      skipBlank();
    }
    while (ok_ && pos_ < text_.size() && !(braced && peek('}'))) {
      std::string key, value;
      if (!token(key)) break;
      skipBlank();
      if (peek('=')) {
        ++pos_;
        skipBlank();
        if (!token(value)) break;
        skipBlank();
      } else {
        value = key;
      }
      if (!peek(';')) {
        fail("expected ';'");
        break;
      }
      ++pos_;
      table.insert_or_assign(std::move(key), Value(std::move(value)));
      skipBlank();
    }
    if (ok_ && braced) {
      if (!peek('}')) {
        fail("expected '}'");
      } else {
        ++pos_;
        skipBlank();
        if (pos_ < text_.size()) fail("unexpected text after '}'");
      }
    }
    if (!ok_) return unexpected(PropertyListError{error_});
    return table;
  }

 private:
  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void fail(std::string_view why) {
    if (!ok_) return;
    ok_ = false;
    std::size_t line = 1;
    for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) line += text_[i] == '\n';
    error_ = fmt::format("invalid strings file: {} on line {}", why, line);
  }

  void skipBlank() {
    while (ok_ && pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (text_.substr(pos_).starts_with("//")) {
        const std::size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else if (text_.substr(pos_).starts_with("/*")) {
        const std::size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) return fail("unterminated comment");
        pos_ = end + 2;
      } else {
        return;
      }
    }
  }

  bool token(std::string& out) {
    if (pos_ >= text_.size()) {
      fail("unexpected end of file");
      return false;
    }
    if (peek('"')) return quoted(out);
    const std::size_t start = pos_;
    while (pos_ < text_.size() && isUnquotedChar(text_[pos_])) ++pos_;
    if (pos_ == start) {
      fail(fmt::format("unexpected character '{}'", text_[pos_] >= 0x20 && text_[pos_] < 0x7F ? text_[pos_] : '?'));
      return false;
    }
    out.assign(text_.substr(start, pos_ - start));
    return true;
  }

  bool quoted(std::string& out) {
    ++pos_;
    char32_t pendingHigh = 0;  // a \U high surrogate waiting for its low half
    const auto flushHigh = [&] {
      if (pendingHigh != 0) utf8::append(out, utf8::kReplacement);
      pendingHigh = 0;
    };
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') {
        flushHigh();
        return true;
      }
      if (c != '\\') {
        flushHigh();
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) break;
      const char e = text_[pos_++];
      if (e == 'U' || e == 'u') {
        char32_t unit = 0;
        int digits = 0;
        for (; digits < 4 && pos_ < text_.size() && hexValue(text_[pos_]) >= 0; ++digits) {
          unit = unit * 16 + static_cast<char32_t>(hexValue(text_[pos_++]));
        }
        if (digits == 0) {
          fail("\\U without hex digits");
          return false;
        }
        if (pendingHigh != 0 && unit >= 0xDC00 && unit <= 0xDFFF) {
          utf8::append(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
          pendingHigh = 0;
        } else {
          flushHigh();
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            pendingHigh = unit;
          } else {
            utf8::append(out, unit);  // a lone low surrogate becomes U+FFFD
          }
        }
        continue;
      }
      flushHigh();
      if (e >= '0' && e <= '7') {
        // Up to three octal digits, read as a Latin-1 code point.
        char32_t v = static_cast<char32_t>(e - '0');
        for (int digits = 1; digits < 3 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++digits) {
          v = v * 8 + static_cast<char32_t>(text_[pos_++] - '0');
        }
        utf8::append(out, v);
        continue;
      }
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'a': out.push_back('\a'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'v': out.push_back('\v'); break;
        default: out.push_back(e); break;  // \" \\ \' and any other character stand for themselves
      }
    }
    fail("unterminated string");
    return false;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  bool ok_ = true;
  std::string error_;
};

}  // namespace

Expected<Dictionary, PropertyListError> StringsFile::parse(std::string_view bytes) {
  if (BinaryPropertyList::hasMagic(bytes)) return stringsOf(PropertyList::decode(bytes));

  std::string text;
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    const bool bigEndian = bytes[0] == '\xFE';
    bytes.remove_prefix(2);
    text.reserve(bytes.size());
    utf8::appendUtf16(text, bytes, bigEndian);
  } else {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    text = utf8::sanitize(bytes);
  }

  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && text[first] == '<') return stringsOf(PropertyList::decode(text));
  return TextParser(text).run();
}

}  // namespace platform
