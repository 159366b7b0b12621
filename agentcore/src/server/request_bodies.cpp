#include "server/request_bodies.h"

#include "base/strict_json.h"

namespace zunel {
namespace {

namespace json = boost::json;

// Reads the members of one object body by name.
class BodyReader {
 public:
  explicit BodyReader(std::string_view text) {
    auto parsed = parse_strict_json(text);
    if (parsed.ok() && parsed->is_object()) value_ = std::move(*parsed);
    ok_ = value_.is_object();
  }

  // A required string member; a missing or non-string member fails the body.
  std::string required(std::string_view name) {
    if (!ok_) return {};
    const json::value* member = value_.as_object().if_contains(name);
    if (member == nullptr || !member->is_string()) {
      ok_ = false;
      return {};
    }
    return std::string(member->as_string());
  }

  // An optional string member: absent or null give nothing.
  std::optional<std::string> optional(std::string_view name) {
    if (!ok_) return std::nullopt;
    const json::value* member = value_.as_object().if_contains(name);
    if (member == nullptr || member->is_null()) return std::nullopt;
    if (!member->is_string()) {
      ok_ = false;
      return std::nullopt;
    }
    return std::string(member->as_string());
  }

  bool ok() const { return ok_; }

 private:
  json::value value_;
  bool ok_ = false;
};

}  // namespace

std::optional<PairBody> decode_pair_body(std::string_view text) {
  BodyReader reader(text);
  PairBody body{reader.required("code"), reader.optional("label")};
  if (!reader.ok()) return std::nullopt;
  return body;
}

std::optional<ProvBody> decode_prov_body(std::string_view text) {
  BodyReader reader(text);
  ProvBody body{reader.required("ticket"), reader.optional("device_id"), reader.optional("label")};
  if (!reader.ok()) return std::nullopt;
  return body;
}

std::optional<RevBody> decode_rev_body(std::string_view text) {
  BodyReader reader(text);
  RevBody body{reader.required("list")};
  if (!reader.ok()) return std::nullopt;
  return body;
}

}  // namespace zunel
