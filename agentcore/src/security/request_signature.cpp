#include "security/request_signature.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "base/hex.h"
#include "base/utf8.h"
#include "security/crypto.h"

namespace zunel {
namespace {

constexpr std::string_view BEARER_PREFIX = "Bearer ";

bool equal_ascii_case_insensitive(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return lower(x) == lower(y);
         });
}

// The value of the first header with this name; empty when there is none.
std::string_view header_value(std::span<const HeaderField> headers, std::string_view name) {
  for (const auto& [n, v] : headers) {
    if (equal_ascii_case_insensitive(n, name)) return v;
  }
  return {};
}

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

std::span<const std::uint8_t, 32> as_key(const std::vector<std::uint8_t>& token) {
  return std::span<const std::uint8_t, 32>(token.data(), 32);
}

}  // namespace

RequestVerdict verify_request(AgentState& shared, std::span<const HeaderField> headers, std::string_view origin,
                              std::string_view body) {
  const std::string_view authorization = header_value(headers, "Authorization");
  std::string_view token_text;
  if (authorization.size() >= BEARER_PREFIX.size() && authorization.starts_with(BEARER_PREFIX)) {
    token_text = trim_unicode_space(authorization.substr(BEARER_PREFIX.size()));
  }
  if (token_text.empty()) return RequestVerdict::refuse;
  const std::string timestamp_text(header_value(headers, "X-Zunel-Timestamp"));
  const std::string nonce(header_value(headers, "X-Zunel-Nonce"));
  const std::string sign_text(header_value(headers, "X-Zunel-Sign"));
  const std::string token_copy(token_text);

  LockedState state = shared.lock();
  const auto token = from_hex(trim_unicode_space(token_copy));
  if (!token || token->size() != DEVICE_TOKEN_BYTES) return RequestVerdict::refuse;

  // Every device is compared in full so the time does not tell which matched.
  const Device* device = nullptr;
  for (const Device& d : state->devices) {
    const bool same_token = crypto::equal_constant_time(d.token, *token);
    if (same_token && d.origin == origin && device == nullptr) device = &d;
  }
  if (device == nullptr) return RequestVerdict::refuse;

  const auto timestamp = parse_timestamp(timestamp_text);
  if (!timestamp) return RequestVerdict::refuse;
  const std::uint64_t now = state.now();
  if (device->expira && now >= *device->expira) return RequestVerdict::refuse;
  const std::uint64_t skew = *timestamp > now ? *timestamp - now : now - *timestamp;
  if (skew > TIMESTAMP_SKEW_SECS) return RequestVerdict::refuse;
  if (nonce.empty()) return RequestVerdict::refuse;

  const crypto::Digest body_digest = crypto::sha256(body);
  const std::string message = std::to_string(*timestamp) + "." + nonce + "." + to_hex(body_digest);
  const auto signature = from_hex(trim_unicode_space(sign_text));
  if (!signature) return RequestVerdict::refuse;
  const crypto::Digest expected = crypto::hmac_sha256(as_key(device->token), message);
  if (!crypto::equal_constant_time(*signature, expected)) return RequestVerdict::refuse;

  auto& nonces = state->nonce_cache;
  std::erase_if(nonces, [now](const auto& entry) { return entry.second <= now; });
  if (nonces.contains(nonce)) return RequestVerdict::refuse;
  nonces.emplace(nonce, now + NONCE_LIFETIME_SECS);
  return RequestVerdict::accept;
}

}  // namespace zunel
