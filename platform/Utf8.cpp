#include "platform/Utf8.h"

#include <cstdint>

namespace platform::utf8 {

void append(std::string& out, char32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char32_t next(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length;
  char32_t cp;
  // The second byte's range excludes overlongs, surrogates and values above
  // U+10FFFF in one check.
  std::uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    ++pos;
    return kReplacement;
  }
  if (text.size() - pos < length) {
    ++pos;
    return kReplacement;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint8_t b = byte(pos + i);
    const std::uint8_t lo = i == 1 ? low : 0x80;
    const std::uint8_t hi = i == 1 ? high : 0xBF;
    if (b < lo || b > hi) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  pos += length;
  return cp;
}

bool isValid(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (static_cast<std::uint8_t>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const std::size_t start = pos;
    // A literal U+FFFD in the text is valid; only a one-byte advance marks an error.
    if (next(text, pos) == kReplacement && pos - start == 1) return false;
  }
  return true;
}

std::string sanitize(std::string_view text) {
  if (isValid(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  std::size_t pos = 0;
  while (pos < text.size()) append(out, next(text, pos));
  return out;
}

void appendLatin1(std::string& out, std::string_view bytes) {
  for (char c : bytes) append(out, static_cast<std::uint8_t>(c));
}

void appendUtf16(std::string& out, std::string_view bytes, bool bigEndian) {
  const std::size_t units = bytes.size() / 2;
  const auto unit = [&](std::size_t i) -> char16_t {
    const auto b0 = static_cast<std::uint8_t>(bytes[2 * i]);
    const auto b1 = static_cast<std::uint8_t>(bytes[2 * i + 1]);
    return static_cast<char16_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0);
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char16_t v = unit(i + 1);
      if (v >= 0xDC00 && v <= 0xDFFF) {
        append(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (v - 0xDC00));
        ++i;
        continue;
      }
    }
    // A lone surrogate falls through to append(), which writes U+FFFD.
    append(out, u);
  }
  if (bytes.size() % 2 != 0) append(out, kReplacement);
}

}  // namespace platform::utf8
