#include "printing/print_target_reader.h"

#include <boost/json/value.hpp>
#include <cstdlib>
#include <limits>
#include <type_traits>
#include <utility>
#include <variant>

namespace zunel {
namespace {

namespace json = boost::json;

enum class FieldType { Text, U16, U32 };

struct FieldLayout {
  std::string_view name;
  FieldType type;
};

struct KindLayout {
  std::string_view name;
  std::size_t field_count;
  std::array<FieldLayout, 2> fields;
};

using TargetKinds = decltype(PrintTarget::kind);

// The kinds and their fields in declaration order (the order of the array
// form), in the order of PrintTarget's alternatives.
constexpr std::array<KindLayout, 4> KINDS{{
    {"network", 2, {{{"host", FieldType::Text}, {"port", FieldType::U16}}}},
    {"usb", 2, {{{"vendor_id", FieldType::U16}, {"product_id", FieldType::U16}}}},
    {"serial", 2, {{{"port", FieldType::Text}, {"baud", FieldType::U32}}}},
    {"winspool", 1, {{{"printer", FieldType::Text}, {}}}},
}};

// Every member name that some kind reads; a target object keeps these until
// its "kind" is known, since "kind" may come last.
constexpr std::array<std::string_view, TargetReader::FIELD_NAME_COUNT> FIELD_NAMES{
    "host", "port", "vendor_id", "product_id", "baud", "printer"};

static_assert(KINDS.size() == std::variant_size_v<TargetKinds>, "every kind of target has its layout");

std::optional<std::size_t> kind_index(std::string_view name) {
  for (std::size_t i = 0; i < KINDS.size(); ++i) {
    if (KINDS[i].name == name) return i;
  }
  return std::nullopt;
}

constexpr std::optional<std::size_t> field_name_index(std::string_view name) {
  for (std::size_t i = 0; i < FIELD_NAMES.size(); ++i) {
    if (FIELD_NAMES[i] == name) return i;
  }
  return std::nullopt;
}

// Where each kind's fields sit in FIELD_NAMES, worked out by the compiler: a
// field missing from FIELD_NAMES does not compile.
constexpr auto FIELD_SLOTS = [] {
  std::array<std::array<std::size_t, 2>, KINDS.size()> slots{};
  for (std::size_t k = 0; k < KINDS.size(); ++k) {
    for (std::size_t i = 0; i < KINDS[k].field_count; ++i) {
      const auto slot = field_name_index(KINDS[k].fields[i].name);
      if (!slot) throw "a field of a kind is missing from FIELD_NAMES";
      slots[k][i] = *slot;
    }
  }
  return slots;
}();

bool fits(const CapturedScalar& s, FieldType type) {
  using Type = CapturedScalar::Type;
  switch (type) {
    case FieldType::Text:
      return s.type == Type::Text;
    case FieldType::U16:
      return s.type == Type::Unsigned && s.number <= std::numeric_limits<std::uint16_t>::max();
    case FieldType::U32:
      return s.type == Type::Unsigned && s.number <= std::numeric_limits<std::uint32_t>::max();
  }
  return false;
}

// Alternative I of the target: each case of make_target() names its type,
// so a case out of the variant's order does not compile.
template <std::size_t I, class T>
PrintTarget alternative(T value) {
  static_assert(std::is_same_v<T, std::variant_alternative_t<I, TargetKinds>>, "KINDS follows the variant");
  return {TargetKinds(std::in_place_index<I>, std::move(value))};
}

// REQUIRES: `kind` indexes KINDS; fits() holds for every field of the kind.
PrintTarget make_target(std::size_t kind, std::array<CapturedScalar, 2>& v) {
  static_assert(std::variant_size_v<TargetKinds> == 4, "a new kind of target needs its case here");
  switch (kind) {
    case 0:
      return alternative<0>(PrintTarget::Network{std::move(v[0].text), static_cast<std::uint16_t>(v[1].number)});
    case 1:
      return alternative<1>(
          PrintTarget::Usb{static_cast<std::uint16_t>(v[0].number), static_cast<std::uint16_t>(v[1].number)});
    case 2:
      return alternative<2>(PrintTarget::Serial{std::move(v[0].text), static_cast<std::uint32_t>(v[1].number)});
    case 3:
      return alternative<3>(PrintTarget::WinSpool{std::move(v[0].text)});
  }
  std::abort();  // kind_index() gives only indexes of KINDS
}

CapturedScalar captured(const json::value& v) {
  CapturedScalar s;
  using Type = CapturedScalar::Type;
  if (const auto* text = v.if_string()) {
    s.type = Type::Text;
    s.text.assign(text->data(), text->size());
  } else if (const auto* i = v.if_int64(); i != nullptr && *i >= 0) {
    s.type = Type::Unsigned;
    s.number = static_cast<std::uint64_t>(*i);
  } else if (const auto* u = v.if_uint64()) {
    s.type = Type::Unsigned;
    s.number = *u;
  } else {
    s.type = v.is_null() ? Type::Null : Type::Other;
  }
  return s;
}

// Gives `reader` the value `v` of the part just named: a refusal, or nothing.
const char* give(TargetReader& reader, TargetPart part, const json::value& v) {
  switch (part) {
    case TargetPart::Kind:
      if (!v.is_string()) return "kind is not a string";
      return reader.kind(v.get_string()) ? nullptr : "unknown kind";
    case TargetPart::Field:
      reader.field() = captured(v);
      return nullptr;
    case TargetPart::Skip:
      return nullptr;
    case TargetPart::Invalid:
      break;
  }
  return "too many target fields";
}

}  // namespace

TargetPart TargetReader::member(std::string_view key) {
  if (key == "kind") return TargetPart::Kind;
  const auto i = field_name_index(key);
  if (!i) return TargetPart::Skip;
  field_ = &named_[*i];
  return TargetPart::Field;
}

TargetPart TargetReader::element() {
  const std::size_t i = elements_++;
  if (i == 0) return TargetPart::Kind;
  if (!kind_ || i > KINDS[*kind_].field_count) return TargetPart::Invalid;
  field_ = &positional_[i - 1];
  return TargetPart::Field;
}

bool TargetReader::kind(std::string_view name) {
  kind_ = kind_index(name);
  return kind_.has_value();
}

Outcome<PrintTarget> TargetReader::finish() {
  if (!kind_) return fail("target without kind");
  const KindLayout& layout = KINDS[*kind_];
  std::array<CapturedScalar, 2> values;
  if (array_form_) {
    if (elements_ != 1 + layout.field_count) return fail("wrong number of target fields");
    values = std::move(positional_);
  } else {
    for (std::size_t i = 0; i < layout.field_count; ++i) values[i] = std::move(named_[FIELD_SLOTS[*kind_][i]]);
  }
  for (std::size_t i = 0; i < layout.field_count; ++i) {
    if (!fits(values[i], layout.fields[i].type)) return fail("missing or mistyped target field");
  }
  return make_target(*kind_, values);
}

Outcome<PrintTarget> read_print_target(const json::value& value) {
  TargetReader reader;
  if (const auto* object = value.if_object()) {
    reader.begin(false);
    for (const json::key_value_pair& member : *object) {
      if (const char* refused = give(reader, reader.member(member.key()), member.value())) return fail(refused);
    }
  } else if (const auto* array = value.if_array()) {
    reader.begin(true);
    for (const json::value& element : *array) {
      if (const char* refused = give(reader, reader.element(), element)) return fail(refused);
    }
  } else {
    return fail("target neither an object nor an array");
  }
  return reader.finish();
}

}  // namespace zunel
