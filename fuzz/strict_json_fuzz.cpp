// The strict JSON reader on any bytes: it must never crash, and a value it
// accepts must come back through serialising and reading again with the
// same structure, keys, strings and integers. Numbers with a fraction or an
// exponent only need to stay numbers of that kind: Boost.JSON 1.81 reads
// some of them back one unit in the last place away (for example
// -12233720368547758744071615 serialises as -1.2233720368547757E25, which
// reads back as ...55E25). Numbers too large for a double read as infinity,
// which Boost.JSON writes as "Infinity", not JSON: such values are left out.

#include <boost/json/serialize.hpp>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/strict_json.h"
#include "fuzz_support.h"

namespace {

namespace json = boost::json;

bool all_finite(const json::value& v) {
  if (const double* d = v.if_double()) return std::isfinite(*d);
  if (const auto* array = v.if_array()) {
    for (const json::value& element : *array) {
      if (!all_finite(element)) return false;
    }
  }
  if (const auto* object = v.if_object()) {
    for (const auto& member : *object) {
      if (!all_finite(member.value())) return false;
    }
  }
  return true;
}

bool same(const json::value& a, const json::value& b) {
  if (a.kind() != b.kind()) return false;
  if (a.is_double()) return true;
  if (const auto* array = a.if_array()) {
    const json::array& other = b.get_array();
    if (array->size() != other.size()) return false;
    for (std::size_t i = 0; i < array->size(); ++i) {
      if (!same((*array)[i], other[i])) return false;
    }
    return true;
  }
  if (const auto* object = a.if_object()) {
    const json::object& other = b.get_object();
    if (object->size() != other.size()) return false;
    auto it = other.begin();
    for (const auto& member : *object) {
      if (member.key() != it->key() || !same(member.value(), it->value())) return false;
      ++it;
    }
    return true;
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zunel::fuzzing::require;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto value = zunel::parse_strict_json(text);
  if (!value || !all_finite(*value)) return 0;
  auto again = zunel::parse_strict_json(json::serialize(*value));
  require(again.ok(), "an accepted value is refused once serialised");
  require(same(*again, *value), "an accepted value changes through serialising");
  return 0;
}
