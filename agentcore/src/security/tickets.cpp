#include "security/tickets.h"

#include <algorithm>
#include <ostream>

#include <boost/json.hpp>

#include "base/json_members.h"
#include "base/strict_json.h"
#include "security/crypto.h"
#include "security/pairing_store.h"

namespace zunel {
namespace {

namespace json = boost::json;

constexpr std::uint64_t TICKET_IAT_LEEWAY_SECS = 60;

std::string_view as_text(const std::vector<std::uint8_t>& bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// One revocation entry against one device of the list's business.
bool entry_matches(const json::value& entry, const Device& device) {
  const auto before = json_unsigned_member(entry, "revoke_before");
  if (!before || device.created >= *before) return false;
  const auto tipo = json_text_member(entry, "tipo");
  if (tipo == "negocio") return true;
  if (tipo != "usuario") return false;
  const auto user_sub = json_text_member(entry, "user_sub");
  if (!user_sub || !device.user_sub) return !user_sub && !device.user_sub;
  return *user_sub == *device.user_sub;
}

}  // namespace

Outcome<json::value> verify_jws(std::string_view text, std::span<const TrustedKey> keys, std::string_view issuer,
                                std::string_view audience) {
  const auto dots = std::count(text.begin(), text.end(), '.');
  if (dots < 1) return fail("jws sin payload");
  if (dots < 2) return fail("jws sin firma");
  if (dots > 2) return fail("jws con segmentos de más");
  const std::size_t first = text.find('.');
  const std::size_t second = text.find('.', first + 1);
  const std::string_view header_segment = text.substr(0, first);
  const std::string_view payload_segment = text.substr(first + 1, second - first - 1);
  const std::string_view signature_segment = text.substr(second + 1);

  const auto header_bytes = crypto::base64url_decode(header_segment);
  if (!header_bytes) return fail("base64url inválido");
  const auto header = parse_strict_json(as_text(*header_bytes));
  if (!header) return fail("header no es JSON");
  if (json_text_member(*header, "alg") != "EdDSA") return fail("alg != EdDSA");
  const auto kid = json_text_member(*header, "kid");
  if (!kid) return fail("header sin kid");
  const auto key = std::find_if(keys.begin(), keys.end(), [&](const TrustedKey& k) { return k.kid == *kid; });
  if (key == keys.end()) return fail("kid desconocido");

  const auto signature = crypto::base64url_decode(signature_segment);
  if (!signature) return fail("base64url inválido");
  if (signature->size() != 64) return fail("firma mal formada");
  if (key->public_key.size() != 32) return fail("pública inválida");
  const std::span<const std::uint8_t, 32> public_key(key->public_key.data(), 32);
  if (!crypto::is_ed25519_point(public_key)) return fail("pública inválida");
  const std::string_view signed_input = text.substr(0, second);
  if (!crypto::verify_ed25519(std::span<const std::uint8_t, 64>(signature->data(), 64), signed_input, public_key)) {
    return fail("firma inválida");
  }

  const auto payload_bytes = crypto::base64url_decode(payload_segment);
  if (!payload_bytes) return fail("base64url inválido");
  auto payload = parse_strict_json(as_text(*payload_bytes));
  if (!payload) return fail("payload no es JSON");
  if (json_text_member(*payload, "iss") != issuer) return fail("iss inválido");
  if (json_text_member(*payload, "aud") != audience) return fail("aud inválido");
  return std::move(*payload);
}

std::optional<TicketClaims> check_provisioning_ticket(LockedState& state, std::string_view ticket) {
  auto verified = verify_jws(ticket, state.settings().trusted_keys, TICKET_ISSUER, TICKET_AUDIENCE);
  if (!verified) {
    state.diagnostics() << "[agente] ticket rechazado: " << verified.error() << '\n' << std::flush;
    return std::nullopt;
  }
  const json::value& claims = *verified;

  const json::value* scope = json_member(claims, "scope");
  if (scope == nullptr || !scope->is_array()) return std::nullopt;
  const auto& scopes = scope->get_array();
  if (std::none_of(scopes.begin(), scopes.end(),
                   [](const json::value& s) { return s.is_string() && s.get_string() == "print"; })) {
    return std::nullopt;
  }
  const std::uint64_t now = state.now();
  const auto exp = json_unsigned_member(claims, "exp");
  const auto iat = json_unsigned_member(claims, "iat");
  if (!exp || !iat || now >= *exp || *iat > now + TICKET_IAT_LEEWAY_SECS) return std::nullopt;
  const auto jti = json_text_member(claims, "jti");
  if (!jti || jti->empty()) return std::nullopt;
  auto& used = state->jti_cache;
  std::erase_if(used, [now](const auto& entry) { return entry.second <= now; });
  if (used.contains(std::string(*jti))) return std::nullopt;
  const auto negocio_id = json_text_member(claims, "negocio_id");
  if (!negocio_id || negocio_id->empty()) return std::nullopt;
  const auto sub = json_text_member(claims, "sub");

  used.emplace(std::string(*jti), *exp);
  return TicketClaims{std::string(sub.value_or("")), std::string(*negocio_id)};
}

std::optional<RevocationResult> apply_revocation_list(LockedState& state, std::string_view list) {
  auto verified = verify_jws(list, state.settings().trusted_keys, TICKET_ISSUER, TICKET_AUDIENCE);
  if (!verified) {
    state.diagnostics() << "[agente] revocaciones rechazadas: " << verified.error() << '\n' << std::flush;
    return std::nullopt;
  }
  const json::value& claims = *verified;
  const auto negocio_id = json_text_member(claims, "negocio_id");
  const auto seq = json_unsigned_member(claims, "seq");
  if (json_text_member(claims, "typ") != "revocations" || !negocio_id || !seq) return std::nullopt;

  const auto stored = state->revoked_seq.find(std::string(*negocio_id));
  const std::uint64_t applied = stored == state->revoked_seq.end() ? 0 : stored->second;
  if (*seq <= applied) return RevocationResult{applied, 0};

  std::size_t removed = 0;
  const json::value* entries_value = json_member(claims, "revocations");
  if (entries_value != nullptr && entries_value->is_array()) {
    const json::array& entries = entries_value->get_array();
    removed = std::erase_if(state->devices, [&](const Device& d) {
      if (d.source != DeviceSource::Auto || d.negocio_id != *negocio_id) return false;
      return std::any_of(entries.begin(), entries.end(), [&](const json::value& e) { return entry_matches(e, d); });
    });
  }
  state->revoked_seq[std::string(*negocio_id)] = *seq;
  save_state(state);
  return RevocationResult{*seq, removed};
}

}  // namespace zunel
