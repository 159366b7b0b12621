#pragma once
// Reading of a print job's destination, TARGET, from its JSON form: the
// object {"kind": KIND, FIELD: VALUE...}, "kind" anywhere among the kind's
// fields and other members skipped, or the array [KIND, FIELD...] with the
// fields in declaration order. KIND is "network", "usb", "serial" or
// "winspool" (case matters). Integer fields take JSON integers within their
// width only, text fields JSON strings only.
//
// The reader is told a target's parts one at a time: by the print body's
// handler as the parser meets them, or by read_print_target() from a value
// a strict reader took. Members given twice and the JSON text itself are
// the caller's to refuse.

#include <array>
#include <boost/json/fwd.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/outcome.h"
#include "printing/print_target.h"

namespace zunel {

// A scalar value kept before its reader knows which type it must have (a
// target's field before its "kind" is known, a member of "confirm").
struct CapturedScalar {
  // Unsigned: a JSON integer from 0 up; Other: any other number, a boolean,
  // an object or an array.
  enum class Type { Absent, Null, Text, Unsigned, Other } type = Type::Absent;
  std::string text;
  std::uint64_t number = 0;
};

// What a value inside a target stands for.
enum class TargetPart { Kind, Field, Skip, Invalid };

// One target, read once.
class TargetReader {
 public:
  // Member names some kind reads.
  static constexpr std::size_t FIELD_NAME_COUNT = 6;

  // The target is the array form (elements) rather than the object form (members).
  void begin(bool array_form) { array_form_ = array_form; }
  // Object form: what the value of the member named `key` stands for.
  TargetPart member(std::string_view key);
  // Array form: what the next element stands for (the first is the kind).
  TargetPart element();
  // Where the value of the Field part just named goes.
  CapturedScalar& field() { return *field_; }
  // The value of a Kind part: false when it names no kind.
  bool kind(std::string_view name);
  // At the end of the target's object or array: the target, or a short
  // English diagnostic of why it does not read.
  [[nodiscard]] Outcome<PrintTarget> finish();

 private:
  bool array_form_ = false;
  std::size_t elements_ = 0;  // array form: elements begun so far
  std::optional<std::size_t> kind_;
  std::array<CapturedScalar, FIELD_NAME_COUNT> named_;  // object form, by member name
  std::array<CapturedScalar, 2> positional_;            // array form, in declaration order
  CapturedScalar* field_ = nullptr;
};

// A TARGET alone, in either form, by the same rules, from a value a strict
// reader took (for requests that name a printer without printing on it).
[[nodiscard]] Outcome<PrintTarget> read_print_target(const boost::json::value& value);

}  // namespace zunel
