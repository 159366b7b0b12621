#pragma once
// Signed statements from the ERP's server: provisioning tickets and
// revocation lists, both compact JWS (EdDSA) checked against the built-in
// keyset.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include <boost/json/value.hpp>

#include "base/outcome.h"
#include "security/agent_state.h"
#include "security/keyset.h"
#include "security/ticket_claims.h"

namespace zunel {

inline constexpr std::string_view TICKET_ISSUER = "zunel-erp";
inline constexpr std::string_view TICKET_AUDIENCE = "zunel-print-agent";

// Verifies a compact JWS and returns its payload. The error is one of the
// fixed diagnostic messages ("jws sin payload", "firma inválida", ...), for
// standard error only, never for clients.
[[nodiscard]] Outcome<boost::json::value> verify_jws(std::string_view text,
                                                     std::span<const TrustedKey> keys,
                                                     std::string_view issuer,
                                                     std::string_view audience);

// Accepts a provisioning ticket once; nothing when refused. A ticket that
// fails verification writes "[agente] ticket rechazado: <message>" to the
// diagnostics.
std::optional<TicketClaims> check_provisioning_ticket(LockedState& state, std::string_view ticket);

// What applying a revocation list did: the sequence number now in force for
// its business, and how many devices it removed (0 for a stale or repeated
// list, which changes nothing).
struct RevocationResult {
  std::uint64_t applied_seq = 0;
  std::size_t removed = 0;
  bool operator==(const RevocationResult&) const = default;
};

// Applies a revocation list; nothing when refused. A list that fails
// verification writes "[agente] revocaciones rechazadas: <message>" to the
// diagnostics.
std::optional<RevocationResult> apply_revocation_list(LockedState& state, std::string_view list);

}  // namespace zunel
