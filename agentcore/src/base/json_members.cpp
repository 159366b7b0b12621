#include "base/json_members.h"

namespace zunel {

namespace json = boost::json;

const json::value* json_member(const json::value& value, std::string_view key) {
  return value.is_object() ? value.get_object().if_contains(key) : nullptr;
}

std::optional<std::uint64_t> json_unsigned(const json::value& value) {
  if (value.is_uint64()) return value.get_uint64();
  if (value.is_int64() && value.get_int64() >= 0) return static_cast<std::uint64_t>(value.get_int64());
  return std::nullopt;
}

std::optional<std::string_view> json_text_member(const json::value& value, std::string_view key) {
  const json::value* member = json_member(value, key);
  if (member == nullptr || !member->is_string()) return std::nullopt;
  return std::string_view(member->get_string());
}

std::optional<std::uint64_t> json_unsigned_member(const json::value& value, std::string_view key) {
  const json::value* member = json_member(value, key);
  return member == nullptr ? std::nullopt : json_unsigned(*member);
}

JsonMembers::JsonMembers(const json::value& value) : object_(value.if_object()) {}

const json::value* JsonMembers::get(std::string_view key) const {
  return object_ == nullptr ? nullptr : object_->if_contains(key);
}

std::string JsonMembers::text(std::string_view key) {
  auto value = optional_text(key);
  if (!value) invalid();
  return value.value_or(std::string());
}

std::uint64_t JsonMembers::unsigned_number(std::string_view key) {
  auto value = optional_unsigned(key);
  if (!value) invalid();
  return value.value_or(0);
}

std::optional<std::string> JsonMembers::optional_text(std::string_view key) {
  const json::value* member = get(key);
  if (member == nullptr || member->is_null()) return std::nullopt;
  if (!member->is_string()) {
    invalid();
    return std::nullopt;
  }
  return std::string(member->get_string());
}

std::optional<std::uint64_t> JsonMembers::optional_unsigned(std::string_view key) {
  const json::value* member = get(key);
  if (member == nullptr || member->is_null()) return std::nullopt;
  const auto number = json_unsigned(*member);
  if (!number) invalid();
  return number;
}

}  // namespace zunel
