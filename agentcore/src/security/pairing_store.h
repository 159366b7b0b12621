#pragma once
// The pairing store: loading and saving pairings.json, pairing codes, and
// the operations that add, refresh and remove devices.
//
// Every operation except load_state takes the locked state (see
// security/agent_state.h). Operations that draw random bytes fail with
// CSPRNG_UNAVAILABLE when the random source fails; the state is then left
// exactly as it was before the call and nothing is saved.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/constants.h"
#include "base/outcome.h"
#include "security/agent_info.h"
#include "security/agent_state.h"
#include "security/ticket_claims.h"

namespace zunel {

inline constexpr std::string_view PAIRINGS_FILE_NAME = "pairings.json";
inline constexpr std::uint64_t PAIRING_CODE_LIFETIME_SECS = 300;
// Wrong attempts after which a pending code is discarded.
inline constexpr unsigned PAIRING_CODE_MAX_FAILURES = 10;
inline constexpr std::uint64_t PROVISIONED_DEVICE_LIFETIME_SECS = 604800;
inline constexpr std::size_t LABEL_MAX_CHARS = 60;
inline constexpr std::string_view DEFAULT_LABEL = "Dispositivo";

// What the browser receives once when a device is paired or provisioned.
struct DeviceCredentials {
  std::string device_id;
  std::string token_hex;  // 64 lowercase hex digits
};

// Builds the state from `directory`/pairings.json (a missing, unreadable or
// invalid file gives an empty store; an invalid one is kept beside as
// pairings.json.invalid-<seconds>), parses the trusted keys from
// `keyset_json`, and saves once. The settings (agent id, version, directory,
// `port`, trusted keys) are fixed from then on. Fails only when the random
// source fails while making a new agent id.
[[nodiscard]] Outcome<std::unique_ptr<AgentState>> load_state(const std::filesystem::path& directory,
                                                              std::string version,
                                                              StateServices services,
                                                              std::string_view keyset_json,
                                                              std::uint16_t port = HTTP_PORT);
// The same with the system services and the built-in keyset.
[[nodiscard]] Outcome<std::unique_ptr<AgentState>> load_state(const std::filesystem::path& directory,
                                                              std::string version);

// Stages the state as the next pairings.json and publishes its paired
// origins; the file is replaced atomically (0600 on POSIX) when `state`
// releases the lock. A failure changes nothing but one line on the
// diagnostics stream ("[agente] no se pudo guardar pairings.json: <error>"):
// the in-memory state stays authoritative and the next save tries again.
void save_state(LockedState& state);

// The two file steps of a save, run after the lock is released. The first
// moves an unusable pairings.json aside (pairings.json.invalid-<now>, so an
// operator can still recover its devices); false when it is still in the
// way. The second writes `text` as pairings.json, making the directory
// private first; the error is the write's.
bool set_aside_invalid_store(const std::filesystem::path& directory, std::uint64_t now);
[[nodiscard]] Status write_store_file(const std::filesystem::path& directory, std::string_view text);

// Issues a six-digit code valid for 300 s, replacing any pending one. Not saved.
[[nodiscard]] Outcome<std::string> new_pairing_code(LockedState& state);

// Pairs a new device with the pending code. The value is empty when the code
// is refused (none pending, expired, wrong); the error is CSPRNG_UNAVAILABLE.
[[nodiscard]] Outcome<std::optional<DeviceCredentials>> pair_with_code(LockedState& state,
                                                                       std::string_view origin,
                                                                       std::string_view code,
                                                                       std::string_view label);

// Whether the last pairing code was discarded after PAIRING_CODE_MAX_FAILURES
// wrong attempts and no new one has been made since.
bool pairing_code_exhausted(LockedState& state);

// Refreshes the device with id `refresh_id` and the same origin, or appends a
// new provisioned device. Call only with claims from an accepted ticket.
[[nodiscard]] Outcome<DeviceCredentials> provision_device(LockedState& state,
                                                          std::string_view origin,
                                                          std::string_view label,
                                                          const std::optional<std::string>& refresh_id,
                                                          const TicketClaims& claims);

// Removes every device with exactly this id; true (and saved) if any was.
bool revoke_device(LockedState& state, std::string_view device_id);

AgentInfo snapshot(const LockedState& state);

// Trims Unicode white space; "Dispositivo" when nothing is left, else at most
// the first 60 Unicode scalar values.
std::string normalize_label(std::string_view label);

}  // namespace zunel
