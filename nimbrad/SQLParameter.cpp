#include "nimbrad/SQLParameter.h"

namespace nimbra {

std::string_view SQLParameter::typeName(Type type) {
  switch (type) {
    case Type::text: return "text";
    case Type::uint32: return "uint32";
    case Type::uint64: return "uint64";
    case Type::int32: return "int32";
    case Type::integer: return "int";
    case Type::int64: return "int64";
    case Type::real: return "double";
    case Type::boolean: return "bool";
    case Type::absent: return "absent";
  }
  return "unknown";
}

}  // namespace nimbra
