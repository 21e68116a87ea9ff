#include "platform/XmlPropertyList.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/Utf8.h"

namespace platform {

namespace {

constexpr double kSecondsFrom1970To2001 = 978307200.0;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

Unexpected<PropertyListError> failure(std::string_view why) {
  return unexpected(PropertyListError{"invalid XML property list: " + std::string(why)});
}

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':' ||
         c == '.' || c == '-';
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

class Converter {
 public:
  Converter(const PropertyListLimits& limits, std::size_t inputBytes)
      : limits_(limits), budget_(limits.decodedByteBudget(inputBytes)) {}

  // `depth` is the depth of the enclosing container (0 for the root).
  bool convert(plist_t node, std::size_t depth, Value& out) {
    if (values_ >= limits_.maxValues) return fail("too many values");
    ++values_;
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        out = Value(b != 0);
        return true;
      }
      case PLIST_UINT: {
        // libplist keeps every integer as uint64; negative ones come back
        // as their two's complement.
        std::uint64_t v = 0;
        plist_get_uint_val(node, &v);
        out = Value(static_cast<std::int64_t>(v));
        return true;
      }
      case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        out = Value(v);
        return true;
      }
      case PLIST_STRING:
      case PLIST_KEY: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (!chargeBytes(length)) return false;
        out = Value(utf8::sanitize(text == nullptr ? std::string_view() : std::string_view(text, length)));
        return true;
      }
      case PLIST_DATE: {
        std::int32_t seconds = 0, micros = 0;
        plist_get_date_val(node, &seconds, &micros);
        // libplist saturates dates it cannot hold in 32 bits to INT32_MIN;
        // refusing them beats returning 1932 for a date in 2100.
        if (seconds == std::numeric_limits<std::int32_t>::min()) return fail("date out of range");
        const double fraction = (seconds < 0 ? -micros : micros) / 1e6;
        out = Value(Date{seconds + fraction + kSecondsFrom1970To2001});
        return true;
      }
      case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        if (!chargeBytes(length)) return false;
        const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
        out = Value(bytes == nullptr ? Data() : Data(begin, begin + length));
        return true;
      }
      case PLIST_ARRAY: {
        if (depth + 1 > limits_.maxDepth) return fail("nested too deeply");
        const std::uint32_t n = plist_array_get_size(node);
        out = Value(Array{});
        Array& array = *out.asArray();
        array.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
          array.emplace_back();
          if (!convert(plist_array_get_item(node, i), depth + 1, array.back())) return false;
        }
        return true;
      }
      case PLIST_DICT: {
        if (depth + 1 > limits_.maxDepth) return fail("nested too deeply");
        out = Value(Dictionary{});
        Dictionary& dictionary = *out.asDictionary();
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        std::unique_ptr<void, decltype(&std::free)> iterGuard(iter, &std::free);
        for (;;) {
          char* key = nullptr;
          plist_t item = nullptr;
          plist_dict_next_item(node, iter, &key, &item);
          std::unique_ptr<char, decltype(&std::free)> keyGuard(key, &std::free);
          if (item == nullptr) break;
          const std::string_view name = key == nullptr ? std::string_view() : std::string_view(key);
          if (!chargeBytes(name.size())) return false;
          Value value;
          if (!convert(item, depth + 1, value)) return false;
          dictionary.insert_or_assign(utf8::sanitize(name), std::move(value));
        }
        return true;
      }
      default: return fail("unsupported value type");
    }
  }

  const std::string& error() const { return error_; }

 private:
  bool fail(std::string why) {
    error_ = std::move(why);
    return false;
  }

  // XML cannot reference a value twice, but the bound is the same for every
  // format and caller.
  bool chargeBytes(std::uint64_t n) {
    if (n > budget_ - decoded_) return fail("decoded strings and data exceed the size limit");
    decoded_ += static_cast<std::size_t>(n);
    return true;
  }

  const PropertyListLimits& limits_;
  const std::size_t budget_;
  std::size_t decoded_ = 0;
  std::size_t values_ = 0;
  std::string error_;
};

// XML cannot hold NUL, and libplist takes C strings: NUL becomes U+FFFD like
// any other byte that cannot be written.
std::string xmlText(std::string_view text) {
  std::string out = utf8::sanitize(text);
  for (std::size_t pos = out.find('\0'); pos != std::string::npos; pos = out.find('\0', pos)) {
    out.replace(pos, 1, "\xEF\xBF\xBD");
  }
  return out;
}

// Recursion follows the depth of a Value built in memory, which the decoders
// bound and callers build shallow; libplist's own writer recurses likewise.
plist_t toPlist(const Value& value, std::string& error) {
  switch (value.type()) {
    case Value::Type::Null: error = "a null value cannot be written as XML"; return nullptr;
    case Value::Type::Bool: return plist_new_bool(*value.asBool() ? 1 : 0);
    case Value::Type::Integer: return plist_new_uint(static_cast<std::uint64_t>(*value.asInteger()));
    case Value::Type::Real: return plist_new_real(*value.asReal());
    case Value::Type::String: return plist_new_string(xmlText(*value.asString()).c_str());
    case Value::Type::Date: {
      const double seconds = std::floor(value.asDate()->secondsSince1970 - kSecondsFrom1970To2001);
      constexpr double kLowest = std::numeric_limits<std::int32_t>::min();
      constexpr double kHighest = std::numeric_limits<std::int32_t>::max();
      // INT32_MIN itself is what the reader reports for dates it cannot hold.
      if (!(seconds > kLowest && seconds <= kHighest)) {
        error = "date out of the range XML property lists can hold";
        return nullptr;
      }
      return plist_new_date(static_cast<std::int32_t>(seconds), 0);
    }
    case Value::Type::Data: {
      const Data& data = *value.asData();
      return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
    }
    case Value::Type::Array: {
      PlistPtr array(plist_new_array());
      for (const auto& element : *value.asArray()) {
        plist_t item = toPlist(element, error);
        if (item == nullptr) return nullptr;
        plist_array_append_item(array.get(), item);
      }
      return array.release();
    }
    case Value::Type::Dictionary: {
      PlistPtr dictionary(plist_new_dict());
      for (const auto& [key, element] : *value.asDictionary()) {
        plist_t item = toPlist(element, error);
        if (item == nullptr) return nullptr;
        plist_dict_set_item(dictionary.get(), xmlText(key).c_str(), item);
      }
      return dictionary.release();
    }
  }
  error = "unknown value type";
  return nullptr;
}

}  // namespace

Expected<void, PropertyListError> XmlPropertyList::scan(std::string_view xml, const PropertyListLimits& limits) {
  std::size_t depth = 0;
  std::size_t elements = 0;
  std::size_t pos = 0;
  const auto skipPast = [&](std::string_view terminator, std::size_t from) {
    const std::size_t end = xml.find(terminator, from);
    return end == std::string_view::npos ? end : end + terminator.size();
  };
  while ((pos = xml.find('<', pos)) != std::string_view::npos) {
    const std::string_view rest = xml.substr(pos);
    std::size_t next;
    if (rest.starts_with("<!--")) {
      next = skipPast("-->", pos + 4);
    } else if (rest.starts_with("<![CDATA[")) {
      next = skipPast("]]>", pos + 9);
    } else if (rest.starts_with("<?")) {
      next = skipPast("?>", pos + 2);
    } else if (rest.starts_with("<!")) {
      next = skipPast(">", pos + 2);
    } else {
      // The first '>' ends a tag even inside a quoted attribute: ending
      // later than the real parser could hide containers from the count.
      const std::size_t end = xml.find('>', pos + 1);
      if (end == std::string_view::npos) return failure("unterminated tag");
      const bool closing = rest.size() > 1 && rest[1] == '/';
      std::size_t nameStart = pos + (closing ? 2 : 1);
      // Leading blanks are not XML, but skipping them errs on the side of counting.
      while (nameStart < end && (xml[nameStart] == ' ' || xml[nameStart] == '\t' || xml[nameStart] == '\n' ||
                                 xml[nameStart] == '\r')) {
        ++nameStart;
      }
      std::size_t nameEnd = nameStart;
      while (nameEnd < end && isNameChar(xml[nameEnd])) ++nameEnd;
      const std::string_view name = xml.substr(nameStart, nameEnd - nameStart);
      if (closing) {
        // Only exact closing names close: anything looser could let the real
        // parser nest deeper than counted here.
        if ((name == "dict" || name == "array") && depth > 0) --depth;
      } else {
        if (name != "plist" && ++elements > limits.maxValues) return failure("too many values");
        const bool selfClosing = xml[end - 1] == '/';
        // Any tag that might be a container counts as one.
        if (!selfClosing && (startsWithNoCase(name, "dict") || startsWithNoCase(name, "array")) &&
            ++depth > limits.maxDepth) {
          return failure("nested too deeply");
        }
      }
      next = end + 1;
    }
    if (next == std::string_view::npos) return failure("unterminated markup");
    pos = next;
  }
  return {};
}

Expected<Value, PropertyListError> XmlPropertyList::decode(std::string_view bytes, const PropertyListLimits& limits) {
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return failure("too large");
  if (auto scanned = scan(bytes, limits); !scanned) return unexpected(std::move(scanned).error());

  // A terminated copy: the parser is handed a length, but a C library may
  // still look one byte past it.
  const std::string text(bytes);
  plist_t root = nullptr;
  plist_from_xml(text.c_str(), static_cast<std::uint32_t>(text.size()), &root);
  if (root == nullptr) return failure("malformed");
  PlistPtr guard(root);
  Converter converter(limits, bytes.size());
  Value value;
  if (!converter.convert(root, 0, value)) return failure(converter.error());
  return value;
}

Expected<std::string, PropertyListError> XmlPropertyList::encode(const Value& value) {
  std::string error;
  PlistPtr root(toPlist(value, error));
  if (root == nullptr) return unexpected(PropertyListError{error});
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  if (xml == nullptr) return unexpected(PropertyListError{"cannot write XML property list"});
  std::string out(xml, length);
  plist_to_xml_free(xml);
  // Readers need no document type declaration; ours are written without one.
  auto doctype = out.find("<!DOCTYPE");
  if (doctype != std::string::npos) {
    auto end = out.find('>', doctype);
    if (end != std::string::npos) {
      if (end + 1 < out.size() && out[end + 1] == '\n') ++end;
      out.erase(doctype, end + 1 - doctype);
    }
  }
  return out;
}

}  // namespace platform
