#pragma once

// A value bound to a SQL parameter. The kinds that can be bound are text and
// the integer and floating types; a boolean and an absent value are
// representable only so that a caller passing one gets a clear error instead
// of a silent NULL or 0/1 in the database.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbra {

class SQLParameter {
 public:
  // In the order the binder tries them.
  enum class Type { text, uint32, uint64, int32, integer, int64, real, boolean, absent };

  // Text given as a view or an lvalue string refers to the caller's
  // characters, which must outlive the parameter list (the hot write path
  // binds 30 fields per launch without copying them); a temporary string is
  // kept by value.
  SQLParameter(std::string_view text) : type_(Type::text), text_(text) {}
  SQLParameter(const std::string& text) : type_(Type::text), text_(text) {}
  SQLParameter(std::string&& text) : type_(Type::text), owned_(std::move(text)), owns_(true) {}
  SQLParameter(const char* text) : type_(Type::text), text_(text) {}
  SQLParameter(unsigned int v) : type_(Type::uint32), unsigned_(v) {}
  SQLParameter(unsigned long v) : type_(Type::uint64), unsigned_(v) {}
  SQLParameter(unsigned long long v) : type_(Type::uint64), unsigned_(v) {}
  SQLParameter(int v) : type_(Type::int32), signed_(v) {}
  // The platform integer and the explicit 64-bit integer.
  SQLParameter(long long v) : type_(Type::integer), signed_(v) {}
  SQLParameter(long v) : type_(Type::int64), signed_(v) {}
  SQLParameter(double v) : type_(Type::real), real_(v) {}
  SQLParameter(bool v) : type_(Type::boolean), unsigned_(v ? 1 : 0) {}
  SQLParameter(std::nullopt_t) : type_(Type::absent) {}

  Type type() const { return type_; }
  std::string_view text() const { return owns_ ? std::string_view(owned_) : text_; }
  std::uint64_t unsignedValue() const { return unsigned_; }
  std::int64_t signedValue() const { return signed_; }
  double realValue() const { return real_; }

  // "text", "uint32", "uint64", "int32", "int", "int64", "double", "bool", "absent".
  static std::string_view typeName(Type type);
  std::string_view typeName() const { return typeName(type_); }

 private:
  Type type_;
  std::string_view text_;
  std::string owned_;
  bool owns_ = false;
  std::uint64_t unsigned_ = 0;
  std::int64_t signed_ = 0;
  double real_ = 0;
};

// Parameter name with its leading ":" (for example ":process_uid") and value.
using NamedParameters = std::vector<std::pair<std::string_view, SQLParameter>>;
// Values for the indexes 1, 2, 3, ...
using PositionalParameters = std::vector<SQLParameter>;

}  // namespace nimbra
