#pragma once
// The members of a JSON value read by name (the value as parse_strict_json()
// gives it). Unsigned numbers are JSON integers from 0 to 2^64 - 1; texts are
// JSON strings only.

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zunel {

// The writing side: an optional value as itself, or JSON null when absent.
template <typename T>
boost::json::value json_or_null(const std::optional<T>& v) {
  return v ? boost::json::value(*v) : boost::json::value(nullptr);
}

// The member when `value` is an object that has it.
const boost::json::value* json_member(const boost::json::value& value, std::string_view key);

std::optional<std::uint64_t> json_unsigned(const boost::json::value& value);

// The member's text or number; nothing when it is absent or of another type.
std::optional<std::string_view> json_text_member(const boost::json::value& value, std::string_view key);
std::optional<std::uint64_t> json_unsigned_member(const boost::json::value& value, std::string_view key);

// Reads the members of one object, where every rule broken (a value that is
// not an object, a required member missing, a member of the wrong type) marks
// the whole object invalid; what is read after that is empty.
class JsonMembers {
 public:
  explicit JsonMembers(const boost::json::value& value);
  bool ok() const { return object_ != nullptr; }
  void invalid() { object_ = nullptr; }

  // Required members.
  std::string text(std::string_view key);
  std::uint64_t unsigned_number(std::string_view key);
  // Optional members: absent and null give nothing.
  std::optional<std::string> optional_text(std::string_view key);
  std::optional<std::uint64_t> optional_unsigned(std::string_view key);
  // The member itself, for a rule of the caller's own.
  const boost::json::value* get(std::string_view key) const;

 private:
  const boost::json::object* object_;
};

}  // namespace zunel
