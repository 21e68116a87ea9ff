#pragma once

// Localized strings tables (a bundle's InfoPlist.strings). Such a file is a
// binary or XML property list whose root is a dictionary of strings, or the
// older text form:
//
//   /* comment */  "key" = "value";   // comment
//   unquoted_key = "value with \"escapes\" \U00e9";
//
// in UTF-8, or in UTF-16 of either byte order when it starts with a
// byte-order mark. Files come from bundles on disk and may be hostile: the
// parser never recurses, reads only inside the buffer and answers with an
// error rather than a partial table.

#include <string_view>

#include "platform/Expected.h"
#include "platform/PropertyList.h"
#include "platform/Value.h"

namespace platform {

class StringsFile {
 public:
  // On success a dictionary whose values are all strings (non-string values
  // of a property-list file are dropped; in the text form `"key";` maps the
  // key to itself and a repeated key keeps its last value). On failure an
  // error saying why and, for the text form, on which line.
  static Expected<Dictionary, PropertyListError> parse(std::string_view bytes);
};

}  // namespace platform
