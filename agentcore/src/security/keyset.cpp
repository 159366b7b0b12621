#include "security/keyset.h"

#include <boost/json.hpp>

#include "base/json_members.h"
#include "base/strict_json.h"
#include "security/crypto.h"

namespace zunel {

std::vector<TrustedKey> parse_keyset(std::string_view keyset_json) {
  namespace json = boost::json;
  std::vector<TrustedKey> keys;
  auto parsed = parse_strict_json(keyset_json);
  if (!parsed || !parsed->is_array()) return keys;
  for (const json::value& entry : parsed->get_array()) {
    const auto kid = json_text_member(entry, "kid");
    const auto pubkey = json_text_member(entry, "pubkey_b64");
    if (!kid || !pubkey) continue;
    auto bytes = crypto::base64_decode(*pubkey);
    if (!bytes || bytes->size() != 32) continue;
    keys.push_back(TrustedKey{.kid = std::string(*kid), .public_key = std::move(*bytes)});
  }
  return keys;
}

}  // namespace zunel
