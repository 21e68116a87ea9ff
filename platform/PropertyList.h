#pragma once

// Property-list encoding and decoding into platform::Value.
//
// Binary ("bplist00") is the wire format of the service sockets and is read
// and written by our own bounded codec; XML property lists are read through
// libplist after a nesting pre-scan (libplist recurses without a limit) and
// written through libplist. Every input may be hostile: the decoders never
// crash, never recurse deeper than the limit and never allocate more than the
// limits allow; they answer with an error instead. Every function may be
// called from any thread. Decoded strings are always valid UTF-8.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Expected.h"
#include "platform/Value.h"

namespace platform {

struct PropertyListLimits {
  // Containers nested deeper than this are refused (the root container is depth 1).
  std::size_t maxDepth = 64;
  // Upper bound on decoded values (dictionary keys included), counting
  // repeats of shared objects: `maxValues`, and for a binary list also one
  // value per input byte plus `valuesAllowance`. Every use of a value costs
  // a reference byte at least, unless the writer shares whole containers,
  // which is how a list of a few kilobytes would decode into millions of
  // values.
  std::size_t maxValues = 1'000'000;
  std::size_t valuesAllowance = 65'536;
  // Upper bound on the string, key and data bytes decoded (counted as they
  // are stored in the input, at every use of a shared object): at most
  // `decodedBytesPerInputByte` times the input size plus
  // `decodedBytesAllowance`, and never above `maxDecodedBytes`. A binary
  // list may reference one large string many times; without this bound a
  // 1 MB input could decode into gigabytes.
  std::size_t decodedBytesPerInputByte = 4;
  std::size_t decodedBytesAllowance = 1024 * 1024;
  std::size_t maxDecodedBytes = 256 * 1024 * 1024;

  // The value budget of a binary input of `inputBytes`.
  std::size_t valueBudget(std::size_t inputBytes) const {
    if (inputBytes >= maxValues) return maxValues;
    return inputBytes + std::min(valuesAllowance, maxValues - inputBytes);
  }

  // The decoded-byte budget of an input of `inputBytes` (saturating).
  std::size_t decodedByteBudget(std::size_t inputBytes) const {
    if (decodedBytesAllowance >= maxDecodedBytes) return maxDecodedBytes;
    const std::size_t room = maxDecodedBytes - decodedBytesAllowance;
    if (decodedBytesPerInputByte != 0 && inputBytes > room / decodedBytesPerInputByte) return maxDecodedBytes;
    return inputBytes * decodedBytesPerInputByte + decodedBytesAllowance;
  }
};

struct PropertyListError {
  // Why it failed, without the path: callers that log add the path.
  std::string message;
  // The errno of the failed system call (ENOENT: the file does not exist), or
  // 0 when the bytes themselves were refused.
  int errorNumber = 0;
};

enum class PropertyListFormat { Binary, Xml };

class PropertyList {
 public:
  // Decodes a binary or XML property list; the format is recognised from the
  // bytes. On success returns the root value; on failure an error saying why.
  static Expected<Value, PropertyListError> decode(std::string_view bytes, const PropertyListLimits& limits = {});

  // Binary property list of `value`. Null values are written as the format's
  // null object. Strings that are not valid UTF-8 are written with U+FFFD in
  // place of the invalid bytes.
  static std::string encodeBinary(const Value& value);

  // XML property list of `value`; fails for a null value, which XML property
  // lists cannot express, and for a date outside 1932-12-13 to 2069-01-19,
  // which the XML reader cannot hold. Dates are written to the whole second
  // (the format's precision); invalid UTF-8 and NUL become U+FFFD.
  static Expected<std::string, PropertyListError> encodeXml(const Value& value);

  // Reads and decodes a whole file (binary or XML). Only regular files are
  // read (a FIFO or device is refused without blocking); files above
  // `maxBytes` are refused without being read.
  static Expected<Value, PropertyListError> readFile(const std::string& path, const PropertyListLimits& limits = {},
                                                     std::size_t maxBytes = 16 * 1024 * 1024);

  // Writes `value` to `path` through a temporary file in the same directory,
  // flushed to stable storage and renamed into place, so that readers see the
  // old or the new file and never a partial one. `mode` applies to the new
  // file. On failure the old file is untouched and the temporary is removed.
  static Expected<void, PropertyListError> writeFileAtomically(const std::string& path, const Value& value,
                                                               PropertyListFormat format = PropertyListFormat::Xml,
                                                               unsigned mode = 0644);
};

}  // namespace platform
