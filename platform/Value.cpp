#include "platform/Value.h"

#include <fmt/format.h>

#include <ostream>

namespace platform {

const Value* Value::find(std::string_view key) const {
  const auto* dict = asDictionary();
  if (dict == nullptr) return nullptr;
  auto it = dict->find(key);
  return it == dict->end() ? nullptr : &it->second;
}

std::string_view Value::typeName(Type type) {
  switch (type) {
    case Type::Null: return "null";
    case Type::Bool: return "boolean";
    case Type::Integer: return "integer";
    case Type::Real: return "real";
    case Type::String: return "string";
    case Type::Date: return "date";
    case Type::Data: return "data";
    case Type::Array: return "array";
    case Type::Dictionary: return "dictionary";
  }
  return "unknown";
}

namespace {

void describe(const Value& value, std::string& out) {
  switch (value.type()) {
    case Value::Type::Null: out += "null"; break;
    case Value::Type::Bool: out += *value.asBool() ? "true" : "false"; break;
    case Value::Type::Integer: out += fmt::format("{}", *value.asInteger()); break;
    case Value::Type::Real: out += fmt::format("{}", *value.asReal()); break;
    case Value::Type::String:
      out += '"';
      out += *value.asString();
      out += '"';
      break;
    case Value::Type::Date: out += fmt::format("<date {}>", value.asDate()->secondsSince1970); break;
    case Value::Type::Data: out += fmt::format("<{} bytes>", value.asData()->size()); break;
    case Value::Type::Array: {
      out += '[';
      bool first = true;
      for (const auto& element : *value.asArray()) {
        if (!first) out += ", ";
        first = false;
        describe(element, out);
      }
      out += ']';
      break;
    }
    case Value::Type::Dictionary: {
      out += '{';
      bool first = true;
      for (const auto& [key, element] : *value.asDictionary()) {
        if (!first) out += ", ";
        first = false;
        out += key;
        out += ": ";
        describe(element, out);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

std::string Value::description() const {
  std::string out;
  describe(*this, out);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Value& value) { return out << value.description(); }

}  // namespace platform
