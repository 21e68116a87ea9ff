// Decodes arbitrary bytes; whatever decodes must survive a binary and an XML
// round trip unchanged (up to what XML cannot hold).

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/PropertyList.h"
#include "platform/Utf8.h"

using namespace platform;

namespace {

bool sameNumber(double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); }

bool same(const Value& a, const Value& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Value::Type::Real: return sameNumber(*a.asReal(), *b.asReal());
    case Value::Type::Date: return sameNumber(a.asDate()->secondsSince1970, b.asDate()->secondsSince1970);
    case Value::Type::Array: {
      const Array &x = *a.asArray(), &y = *b.asArray();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i])) return false;
      }
      return true;
    }
    case Value::Type::Dictionary: {
      const Dictionary &x = *a.asDictionary(), &y = *b.asDictionary();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !same(i->second, j->second)) return false;
      }
      return true;
    }
    default: return a == b;
  }
}

std::string xmlString(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\0') {
      out += "\xEF\xBF\xBD";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// What an XML round trip gives back: whole-second dates, no NUL characters.
Value asXmlHoldsIt(const Value& v) {
  switch (v.type()) {
    case Value::Type::String: return Value(xmlString(*v.asString()));
    case Value::Type::Date: return Value(Date{std::floor(v.asDate()->secondsSince1970)});
    case Value::Type::Array: {
      Array out;
      for (const auto& e : *v.asArray()) out.push_back(asXmlHoldsIt(e));
      return out;
    }
    case Value::Type::Dictionary: {
      Dictionary out;
      for (const auto& [k, e] : *v.asDictionary()) out.insert_or_assign(xmlString(k), asXmlHoldsIt(e));
      return out;
    }
    default: return v;
  }
}

bool validStrings(const Value& v) {
  if (const auto* s = v.asString()) return utf8::isValid(*s);
  if (const auto* a = v.asArray()) {
    for (const auto& e : *a) {
      if (!validStrings(e)) return false;
    }
  }
  if (const auto* d = v.asDictionary()) {
    for (const auto& [k, e] : *d) {
      if (!utf8::isValid(k) || !validStrings(e)) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const PropertyListLimits limits{.maxDepth = 32, .maxValues = 100'000};
  auto decoded = PropertyList::decode(bytes, limits);
  if (!decoded) return 0;
  if (!validStrings(*decoded)) abort();

  const std::string binary = PropertyList::encodeBinary(*decoded);
  auto again = PropertyList::decode(binary, limits);
  if (!again || !same(*again, *decoded)) abort();
  if (PropertyList::encodeBinary(*again) != binary) abort();

  auto xml = PropertyList::encodeXml(*decoded);
  if (!xml) return 0;  // a null, or a date XML cannot hold
  auto fromXml = PropertyList::decode(*xml, limits);
  if (!fromXml || !same(*fromXml, asXmlHoldsIt(*decoded))) abort();
  return 0;
}
