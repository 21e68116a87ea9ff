#pragma once

// One value type for everything that crosses the process boundary: messages on
// the service sockets, property-list files (assets, defaults, bundles) and the
// replies. Its kinds are the message types of the wire format: dictionary,
// array, string, 64-bit integer, boolean, real, date and data; a null value
// stands for "absent" and is never produced by a decoder of a well-formed file.

#include <compare>
#include <iosfwd>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

// A point in time, in seconds since 1970-01-01 00:00:00 UTC (may be fractional).
struct Date {
  double secondsSince1970 = 0;
  auto operator<=>(const Date&) const = default;
};

using Data = std::vector<std::uint8_t>;

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;

class Value {
 public:
  enum class Type { Null, Bool, Integer, Real, String, Date, Data, Array, Dictionary };

  Value() = default;
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(long i) : v_(static_cast<std::int64_t>(i)) {}
  Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
  Value(unsigned int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(platform::Date d) : v_(d) {}
  Value(platform::Data d) : v_(std::move(d)) {}
  Value(platform::Array a) : v_(std::move(a)) {}
  Value(platform::Dictionary d) : v_(std::move(d)) {}

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNull() const { return type() == Type::Null; }

  // Typed views: a pointer to the content when the value is of that kind,
  // nullptr otherwise. No conversion between kinds happens here.
  const bool* asBool() const { return std::get_if<bool>(&v_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&v_); }
  const double* asReal() const { return std::get_if<double>(&v_); }
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const platform::Date* asDate() const { return std::get_if<platform::Date>(&v_); }
  const platform::Data* asData() const { return std::get_if<platform::Data>(&v_); }
  const platform::Array* asArray() const { return std::get_if<platform::Array>(&v_); }
  platform::Array* asArray() { return std::get_if<platform::Array>(&v_); }
  const platform::Dictionary* asDictionary() const { return std::get_if<platform::Dictionary>(&v_); }
  platform::Dictionary* asDictionary() { return std::get_if<platform::Dictionary>(&v_); }

  // For a dictionary: the value under key, or nullptr (also for other kinds).
  const Value* find(std::string_view key) const;

  // The name of the kind, as used in messages ("dictionary", "integer", ...).
  static std::string_view typeName(Type type);
  std::string_view typeName() const { return typeName(type()); }

  // A compact one-line rendering for logs; not a serialization format.
  std::string description() const;

  bool operator==(const Value& other) const = default;
  // The description; lets test frameworks print values.
  friend std::ostream& operator<<(std::ostream& out, const Value& value);

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, platform::Date, platform::Data,
               platform::Array, platform::Dictionary>
      v_;
};

}  // namespace platform
