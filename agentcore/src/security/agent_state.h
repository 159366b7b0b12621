#pragma once
// The one shared in-memory state of the security subsystem and its lock.
//
// Lock discipline: the state's changing fields (StateData) are reachable
// only through a LockedState, which holds the state's mutex for its whole
// life. Every operation that touches them takes a LockedState&, so it cannot
// be called without the lock, and the file write of save_state happens under
// the same lock. Hold a LockedState only around store operations, never
// across network or printer input and output. The settings (StateSettings)
// are fixed when the state is made and are read without the lock.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/random_source.h"
#include "security/keyset.h"

namespace zunel {

inline constexpr std::size_t DEVICE_TOKEN_BYTES = 32;

enum class DeviceSource { Code, Auto };

// "code" or "auto": the stored and wire form.
const char* device_source_name(DeviceSource source);

// Built with designated initializers everywhere: several members are strings
// (origin and label side by side), and only the names keep them apart.
struct Device {
  std::string id;
  std::vector<std::uint8_t> token;  // always DEVICE_TOKEN_BYTES bytes
  std::string origin;
  std::string label;
  std::uint64_t created = 0;
  DeviceSource source = DeviceSource::Code;
  std::optional<std::string> negocio_id;
  std::optional<std::string> user_sub;
  std::optional<std::uint64_t> expira;
};

// What never changes while the agent runs. Readable without the lock, from
// any thread.
struct StateSettings {
  std::string id;  // agent id, 32 lowercase hex digits when the agent made it
  std::string version;
  std::filesystem::path directory;  // holds pairings.json
  std::uint16_t port = 0;           // the HTTP API's
  std::vector<TrustedKey> trusted_keys;
};

// The fields that change while the agent runs. Reached only through
// LockedState.
struct StateData {
  std::vector<Device> devices;  // insertion order
  std::optional<std::string> pending_code;
  std::uint64_t pending_code_expiry = 0;
  // Wrong attempts against the pending code; the code is discarded at the limit.
  unsigned pending_code_failures = 0;
  std::unordered_map<std::string, std::uint64_t> nonce_cache;  // nonce -> reusable from
  std::uint64_t nonce_sweep_due = 0;  // when expired nonces are next dropped
  std::map<std::string, std::uint64_t> revoked_seq;            // negocio_id -> last seq
  std::unordered_map<std::string, std::uint64_t> jti_cache;    // ticket id -> its exp
  // An unusable pairings.json was found at load; it is moved aside before
  // the first save would replace it.
  bool set_aside_pending = false;
};

// The services the state uses. All referenced objects must outlive the state.
struct StateServices {
  Clock& clock;
  RandomSource& random;
  std::ostream& diagnostics;  // one-line diagnostics (standard error in the agent)
};

// The system clock, the system random source and standard error.
StateServices system_state_services();

class LockedState;

class AgentState {
 public:
  AgentState(StateSettings settings, StateData data, StateServices services)
      : settings_(std::move(settings)), data_(std::move(data)), services_(services) {}
  AgentState(const AgentState&) = delete;
  AgentState& operator=(const AgentState&) = delete;

  // Takes no lock.
  const StateSettings& settings() const { return settings_; }

  // Blocks until the lock is free. The returned guard releases it.
  [[nodiscard]] LockedState lock();

 private:
  friend class LockedState;
  const StateSettings settings_;
  std::mutex mutex_;
  StateData data_;
  StateServices services_;
};

// Proof that the caller holds the state lock; the only way to the fields.
class LockedState {
 public:
  LockedState(LockedState&&) = default;
  LockedState& operator=(LockedState&&) = delete;

  StateData& data() { return state_->data_; }
  const StateData& data() const { return state_->data_; }
  StateData* operator->() { return &state_->data_; }
  const StateData* operator->() const { return &state_->data_; }
  const StateSettings& settings() const { return state_->settings_; }

  std::uint64_t now() const { return state_->services_.clock.now_secs(); }
  RandomSource& random() { return state_->services_.random; }
  std::ostream& diagnostics() { return state_->services_.diagnostics; }

 private:
  friend class AgentState;
  explicit LockedState(AgentState& state) : lock_(state.mutex_), state_(&state) {}

  std::unique_lock<std::mutex> lock_;
  AgentState* state_;
};

inline LockedState AgentState::lock() { return LockedState(*this); }

}  // namespace zunel
