#include "server/request_bodies.h"

#include "base/json_members.h"
#include "base/strict_json.h"

namespace zunel {
namespace {

// Reads one object body with `read`; nothing when the text is not one JSON
// object or a member breaks a rule.
template <class Body>
std::optional<Body> decode(std::string_view text, Body (*read)(JsonMembers&)) {
  const auto parsed = parse_strict_json(text);
  if (!parsed) return std::nullopt;
  JsonMembers members(*parsed);
  Body body = read(members);
  if (!members.ok()) return std::nullopt;
  return body;
}

}  // namespace

std::optional<PairBody> decode_pair_body(std::string_view text) {
  return decode<PairBody>(text, [](JsonMembers& m) { return PairBody{m.text("code"), m.optional_text("label")}; });
}

std::optional<ProvBody> decode_prov_body(std::string_view text) {
  return decode<ProvBody>(text, [](JsonMembers& m) {
    return ProvBody{m.text("ticket"), m.optional_text("device_id"), m.optional_text("label")};
  });
}

std::optional<RevBody> decode_rev_body(std::string_view text) {
  return decode<RevBody>(text, [](JsonMembers& m) { return RevBody{m.text("list")}; });
}

}  // namespace zunel
