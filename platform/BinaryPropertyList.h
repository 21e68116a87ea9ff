#pragma once

// The binary ("bplist00") property-list codec behind PropertyList. It is our
// own because it sits on the path of every request and reply and must stay
// bounded on hostile input: no recursion deeper than the depth limit, every
// offset and length checked against the buffer, and shared references counted
// each time they are used so that a small file cannot expand without limit.

#include <string>
#include <string_view>

#include "platform/Expected.h"
#include "platform/PropertyList.h"
#include "platform/Value.h"

namespace platform {

class BinaryPropertyList {
 public:
  // True when `bytes` starts with the "bplist00" magic.
  static bool hasMagic(std::string_view bytes);

  // Decodes a whole binary property list. On failure the error says which
  // check failed; nothing is allocated beyond what the limits allow.
  static Expected<Value, PropertyListError> decode(std::string_view bytes, const PropertyListLimits& limits);

  // Appends the binary property list of `value` to `out`. Null values become
  // the format's null object; invalid UTF-8 is written with U+FFFD. Safe to
  // call from any thread (per-thread scratch buffers are reused).
  static void encode(const Value& value, std::string& out);
};

}  // namespace platform
