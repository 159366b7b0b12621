#include "security/request_signature.h"

#include <cstdint>
#include <optional>

#include "base/hex.h"
#include "base/utf8.h"
#include "security/crypto.h"

namespace zunel {
namespace {

constexpr std::string_view BEARER_PREFIX = "Bearer ";

// An unsigned decimal with at most one leading "+"; nothing else, no overflow.
std::optional<std::uint64_t> parse_timestamp(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Exactly 32 bytes of hexadecimal text, white space around it ignored.
std::optional<std::array<std::uint8_t, 32>> parse_hex_32(std::string_view text) {
  const auto bytes = from_hex(trim_unicode_space(text));
  if (!bytes || bytes->size() != 32) return std::nullopt;
  std::array<std::uint8_t, 32> out;
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

}  // namespace

SignatureFields parse_signature_fields(const SignatureHeaders& headers) {
  SignatureFields fields;
  if (headers.authorization.starts_with(BEARER_PREFIX)) {
    fields.token = parse_hex_32(headers.authorization.substr(BEARER_PREFIX.size()));
  }
  fields.timestamp = parse_timestamp(headers.timestamp);
  fields.nonce = headers.nonce;
  fields.signature = parse_hex_32(headers.sign);
  return fields;
}

const char* refusal_reason_name(RequestRefusal reason) {
  switch (reason) {
    case RequestRefusal::MissingHeaders:
      return "missing_headers";
    case RequestRefusal::UnknownDevice:
      return "unknown_device";
    case RequestRefusal::DeviceExpired:
      return "device_expired";
    case RequestRefusal::StaleTimestamp:
      return "stale_timestamp";
    case RequestRefusal::BadSignature:
      return "bad_signature";
    case RequestRefusal::NonceReused:
      return "nonce_reused";
  }
  return "missing_headers";
}

RequestVerdict verify_request(AgentState& shared, const SignatureFields& fields, std::string_view origin,
                              const Sha256Digest& body_digest, RequestRefusal* refusal) {
  auto verified = verify_device_request(shared, fields, origin, body_digest);
  if (verified) return RequestVerdict::Accept;
  if (refusal != nullptr) *refusal = verified.error();
  return RequestVerdict::Refuse;
}

Outcome<VerifiedDevice, RequestRefusal> verify_device_request(AgentState& shared, const SignatureFields& fields,
                                                             std::string_view origin,
                                                             const Sha256Digest& body_digest) {
  // A request that cannot pass whatever the state holds is refused without
  // the lock; refusals change nothing, so the order of the checks is free.
  if (!fields.token || !fields.timestamp || fields.nonce.empty() || !fields.signature) {
    return RequestRefusal::MissingHeaders;
  }
  const std::string message = std::to_string(*fields.timestamp) + "." + fields.nonce + "." + to_hex(body_digest);
  // The key is the device's token, which the request carries: the expected
  // signature is made before the lock and only compared under it.
  const Sha256Digest expected = hmac_sha256(*fields.token, message);

  LockedState state = shared.lock();
  // Every device is compared in full so the time does not tell which matched.
  const Device* device = nullptr;
  for (const Device& d : state->devices) {
    const bool same_token = crypto::equal_constant_time(d.token, *fields.token);
    if (same_token && d.origin == origin && device == nullptr) device = &d;
  }
  if (device == nullptr) return RequestRefusal::UnknownDevice;

  const std::uint64_t now = state.now();
  if (device->expira && now >= *device->expira) return RequestRefusal::DeviceExpired;
  const std::uint64_t timestamp = *fields.timestamp;
  const std::uint64_t skew = timestamp > now ? timestamp - now : now - timestamp;
  if (skew > TIMESTAMP_SKEW_SECS) return RequestRefusal::StaleTimestamp;

  if (!crypto::equal_constant_time(*fields.signature, expected)) return RequestRefusal::BadSignature;

  auto& nonces = state->nonce_cache;
  // The sweep walks the whole cache, so it runs once per second of the
  // clock, not once per request; an expired nonce not yet swept is free.
  if (now >= state->nonce_sweep_due) {
    std::erase_if(nonces, [now](const auto& entry) { return entry.second <= now; });
    state->nonce_sweep_due = now + 1;
  }
  const auto [entry, added] = nonces.try_emplace(fields.nonce, now + NONCE_LIFETIME_SECS);
  if (!added) {
    if (entry->second > now) return RequestRefusal::NonceReused;
    entry->second = now + NONCE_LIFETIME_SECS;
  }
  return VerifiedDevice{device->id, device->label};
}

}  // namespace zunel
