#include "security/keyset.h"

#include <boost/json.hpp>

#include "base/strict_json.h"
#include "security/crypto.h"

namespace zunel {

std::vector<TrustedKey> parse_keyset(std::string_view keyset_json) {
  namespace json = boost::json;
  std::vector<TrustedKey> keys;
  auto parsed = parse_strict_json(keyset_json);
  if (!parsed || !parsed->is_array()) return keys;
  for (const json::value& element : parsed->get_array()) {
    const json::object* entry = element.if_object();
    if (entry == nullptr) continue;
    const json::value* kid = entry->if_contains("kid");
    const json::value* pubkey = entry->if_contains("pubkey_b64");
    if (kid == nullptr || !kid->is_string() || pubkey == nullptr || !pubkey->is_string()) continue;
    auto bytes = crypto::base64_decode(std::string_view(pubkey->get_string()));
    if (!bytes || bytes->size() != 32) continue;
    keys.push_back(TrustedKey{.kid = std::string(kid->get_string()), .public_key = std::move(*bytes)});
  }
  return keys;
}

}  // namespace zunel
