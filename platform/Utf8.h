#pragma once

// Small UTF-8 / UTF-16 helpers shared by the property-list and strings-file
// codecs. Everything here accepts arbitrary bytes: invalid input becomes
// U+FFFD, never an error or a read past the end.

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

// Appends the UTF-8 form of `cp`. Surrogates and values above U+10FFFF are
// written as U+FFFD, so the output is always valid UTF-8.
void append(std::string& out, char32_t cp);

// Decodes the code point that starts at text[pos] and advances `pos` past it.
// An ill-formed sequence (overlong, surrogate, above U+10FFFF, truncated,
// stray continuation byte) gives U+FFFD and advances by one byte.
// REQUIRES: pos < text.size().
char32_t next(std::string_view text, std::size_t& pos);

bool isValid(std::string_view text);

// `text` with U+FFFD in place of each ill-formed byte; returns `text`
// unchanged when it is already valid.
std::string sanitize(std::string_view text);

// Bytes 0x00-0xFF read as Latin-1 code points, appended as UTF-8.
void appendLatin1(std::string& out, std::string_view bytes);

// Appends UTF-16 code units (two bytes each, in the given byte order) as
// UTF-8. Surrogate pairs are combined; a lone surrogate, and an odd trailing
// byte, become U+FFFD.
void appendUtf16(std::string& out, std::string_view bytes, bool bigEndian);

}  // namespace platform::utf8
