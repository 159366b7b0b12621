#include "security/pairing_store.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <system_error>

#include "base/build_config.h"
#include "base/hex.h"
#include "base/private_files.h"
#include "base/utf8.h"
#include "security/crypto.h"
#include "security/keyset.h"
#include "security/persisted.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;

using PairResult = std::optional<DeviceCredentials>;

constexpr std::size_t AGENT_ID_BYTES = 16;
constexpr std::size_t DEVICE_ID_BYTES = 8;

}  // namespace

bool set_aside_invalid_store(const fs::path& directory, std::uint64_t now) {
  const fs::path file = directory / PAIRINGS_FILE_NAME;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(file, ec))) return true;
  const std::string base = file.filename().string() + ".invalid-" + std::to_string(now);
  for (int n = 1; n < 100; ++n) {
    const fs::path aside = file.parent_path() / (n == 1 ? base : base + "-" + std::to_string(n));
    if (fs::exists(fs::symlink_status(aside, ec))) continue;
    fs::rename(file, aside, ec);
    return !ec;
  }
  return false;
}

Status write_store_file(const fs::path& directory, std::string_view text) {
  // Without the directory the write below fails too, with its own error.
  (void)create_private_dirs(directory);
  return write_private_file(directory / PAIRINGS_FILE_NAME, text);
}

namespace {

// Temporary files of saves that a crash interrupted.
void remove_stale_temporary_files(const fs::path& directory) {
  const std::string prefix = std::string(PAIRINGS_FILE_NAME) + ".tmp-";
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().starts_with(prefix)) fs::remove(it->path(), ec);
  }
}

Persisted to_persisted(const StateSettings& settings, const StateData& data) {
  Persisted p;
  p.id = settings.id;
  p.revoked_seq = data.revoked_seq;
  p.devices.reserve(data.devices.size());
  for (const Device& d : data.devices) {
    p.devices.push_back(PersistedDevice{.id = d.id,
                                        .token = to_hex(d.token),
                                        .origin = d.origin,
                                        .label = d.label,
                                        .created = d.created,
                                        .source = d.source,
                                        .negocio_id = d.negocio_id,
                                        .user_sub = d.user_sub,
                                        .expira = d.expira});
  }
  return p;
}

// Devices whose token is not 32 bytes of hex are dropped.
std::vector<Device> to_devices(std::vector<PersistedDevice> stored) {
  std::vector<Device> devices;
  for (PersistedDevice& p : stored) {
    auto token = from_hex(p.token);
    if (!token || token->size() != DEVICE_TOKEN_BYTES) continue;
    devices.push_back(Device{.id = std::move(p.id),
                             .token = std::move(*token),
                             .origin = std::move(p.origin),
                             .label = std::move(p.label),
                             .created = p.created,
                             .source = p.source,
                             .negocio_id = std::move(p.negocio_id),
                             .user_sub = std::move(p.user_sub),
                             .expira = p.expira});
  }
  return devices;
}

template <std::size_t N>
Outcome<std::array<std::uint8_t, N>> draw(RandomSource& random) {
  std::array<std::uint8_t, N> bytes{};
  if (Status s = random.fill(bytes); !s) return fail(s.error());
  return bytes;
}


}  // namespace

Outcome<std::unique_ptr<AgentState>> load_state(const fs::path& directory, std::string version,
                                                StateServices services, std::string_view keyset_json,
                                                std::uint16_t port) {
  StateSettings settings;
  settings.version = std::move(version);
  settings.directory = directory;
  settings.port = port;
  settings.trusted_keys = parse_keyset(keyset_json);
  StateData data;
  bool set_aside = false;

  remove_stale_temporary_files(directory);
  const fs::path file = directory / PAIRINGS_FILE_NAME;
  std::error_code ec;
  if (fs::exists(fs::symlink_status(file, ec))) {
    std::optional<Persisted> stored;
    if (auto text = read_whole_file(file)) stored = parse_persisted(*text);
    if (stored) {
      settings.id = std::move(stored->id);
      data.devices = to_devices(std::move(stored->devices));
      data.revoked_seq = std::move(stored->revoked_seq);
    } else {
      set_aside = true;
    }
  }
  if (settings.id.empty()) {
    auto bytes = draw<AGENT_ID_BYTES>(services.random);
    if (!bytes) return fail(bytes.error());
    settings.id = to_hex(*bytes);
  }

  auto state = std::make_unique<AgentState>(std::move(settings), std::move(data), services);
  if (set_aside) state->set_aside_before_first_write();
  {
    LockedState locked = state->lock();
    save_state(locked);
  }
  return state;
}

Outcome<std::unique_ptr<AgentState>> load_state(const fs::path& directory, std::string version) {
  return load_state(directory, std::move(version), system_state_services(), builtin_keyset_json());
}

void save_state(LockedState& state) {
  PairedOrigins origins;
  origins.reserve(state->devices.size());
  for (const Device& d : state->devices) origins.push_back(d.origin);
  state.stage_save(write_persisted(to_persisted(state.settings(), state.data())), std::move(origins));
}

Outcome<std::string> new_pairing_code(LockedState& state) {
  auto bytes = draw<4>(state.random());
  if (!bytes) return fail(bytes.error());
  const std::uint32_t value = std::uint32_t{(*bytes)[0]} << 24 | std::uint32_t{(*bytes)[1]} << 16 |
                              std::uint32_t{(*bytes)[2]} << 8 | std::uint32_t{(*bytes)[3]};
  char code[7];
  std::snprintf(code, sizeof code, "%06u", static_cast<unsigned>(value % 1000000));
  state->pending_code = code;
  state->pending_code_expiry = state.now() + PAIRING_CODE_LIFETIME_SECS;
  state->pending_code_failures = 0;
  return std::string(code);
}

bool pairing_code_exhausted(LockedState& state) {
  return !state->pending_code && state->pending_code_failures >= PAIRING_CODE_MAX_FAILURES;
}

Outcome<PairResult> pair_with_code(LockedState& state, std::string_view origin, std::string_view code,
                                   std::string_view label) {
  if (!state->pending_code) return PairResult{};
  const std::uint64_t now = state.now();
  if (now >= state->pending_code_expiry) return PairResult{};
  if (!crypto::equal_constant_time(code, *state->pending_code)) {
    // Six digits can be guessed; a code that drew too many wrong attempts
    // is discarded and `pair` must be run again.
    if (++state->pending_code_failures >= PAIRING_CODE_MAX_FAILURES) state->pending_code.reset();
    return PairResult{};
  }
  // Draw everything before changing anything, so a failing random source
  // leaves the code pending and the store as it was.
  auto token = draw<DEVICE_TOKEN_BYTES>(state.random());
  if (!token) return fail(token.error());
  auto id = draw<DEVICE_ID_BYTES>(state.random());
  if (!id) return fail(id.error());

  state->pending_code.reset();
  state->pending_code_failures = 0;
  Device device{.id = to_hex(*id),
                .token = std::vector<std::uint8_t>(token->begin(), token->end()),
                .origin = std::string(origin),
                .label = normalize_label(label),
                .created = now,
                .source = DeviceSource::Code,
                .negocio_id = std::nullopt,
                .user_sub = std::nullopt,
                .expira = std::nullopt};
  DeviceCredentials credentials{device.id, to_hex(*token)};
  state->devices.push_back(std::move(device));
  save_state(state);
  return PairResult{std::move(credentials)};
}

Outcome<DeviceCredentials> provision_device(LockedState& state, std::string_view origin, std::string_view label,
                                            const std::optional<std::string>& refresh_id,
                                            const TicketClaims& claims) {
  auto token = draw<DEVICE_TOKEN_BYTES>(state.random());
  if (!token) return fail(token.error());
  std::string normalized = normalize_label(label);
  const std::uint64_t now = state.now();
  const auto fill = [&](Device& d) {
    d.token.assign(token->begin(), token->end());
    d.label = std::move(normalized);
    d.created = now;
    d.source = DeviceSource::Auto;
    d.negocio_id = claims.negocio_id;
    d.user_sub = claims.user_sub;
    d.expira = now + PROVISIONED_DEVICE_LIFETIME_SECS;
  };

  if (refresh_id) {
    auto& devices = state->devices;
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const Device& d) { return d.id == *refresh_id && d.origin == origin; });
    if (it != devices.end()) {
      fill(*it);
      DeviceCredentials credentials{it->id, to_hex(*token)};
      save_state(state);
      return credentials;
    }
  }
  auto id = draw<DEVICE_ID_BYTES>(state.random());
  if (!id) return fail(id.error());
  Device device;
  device.id = to_hex(*id);
  device.origin = std::string(origin);
  fill(device);
  DeviceCredentials credentials{device.id, to_hex(*token)};
  state->devices.push_back(std::move(device));
  save_state(state);
  return credentials;
}

bool revoke_device(LockedState& state, std::string_view device_id) {
  const auto removed = std::erase_if(state->devices, [&](const Device& d) { return d.id == device_id; });
  if (removed == 0) return false;
  save_state(state);
  return true;
}

AgentInfo snapshot(const LockedState& state) {
  AgentInfo info;
  info.id = state.settings().id;
  info.port = state.settings().port;
  info.version = state.settings().version;
  info.build = std::string(agent_build());
  if (state->pending_code && state.now() < state->pending_code_expiry) info.pairing_code = state->pending_code;
  for (const Device& d : state->devices) {
    info.devices.push_back(DeviceInfo{.id = d.id,
                                      .origin = d.origin,
                                      .label = d.label,
                                      .created = d.created,
                                      .source = d.source,
                                      .negocio_id = d.negocio_id,
                                      .expira = d.expira});
  }
  std::stable_sort(info.devices.begin(), info.devices.end(),
                   [](const DeviceInfo& a, const DeviceInfo& b) { return a.created < b.created; });
  return info;
}

std::string normalize_label(std::string_view label) {
  const std::string_view trimmed = trim_unicode_space(label);
  if (trimmed.empty()) return std::string(DEFAULT_LABEL);
  return std::string(first_chars(trimmed, LABEL_MAX_CHARS));
}

}  // namespace zunel
