#pragma once

// The XML property-list codec behind PropertyList, over libplist. libplist's
// XML reader recurses once per nesting level without a limit, so a cheap scan
// of the markup bounds nesting and element count before libplist sees it.

#include <string>
#include <string_view>

#include "platform/Expected.h"
#include "platform/PropertyList.h"
#include "platform/Value.h"

namespace platform {

class XmlPropertyList {
 public:
  // Decodes an XML property list (a leading UTF-8 byte-order mark is
  // allowed). Strings come out as valid UTF-8.
  static Expected<Value, PropertyListError> decode(std::string_view bytes, const PropertyListLimits& limits);

  // Fails for a null value and for a date outside what the format's reader
  // holds (1932-12-13 to 2069-01-19). Dates are written to the whole second.
  static Expected<std::string, PropertyListError> encode(const Value& value);

  // The bound check run before libplist parses: at most `limits.maxDepth`
  // nested dict/array elements and `limits.maxValues` elements. Comments,
  // CDATA sections, processing instructions and declarations are skipped as
  // a parser skips them. Exposed for tests.
  static Expected<void, PropertyListError> scan(std::string_view xml, const PropertyListLimits& limits);
};

}  // namespace platform
