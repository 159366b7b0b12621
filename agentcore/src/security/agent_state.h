#pragma once
// The one shared in-memory state of the security subsystem and its lock.
//
// Lock discipline: the state's fields are reachable only through a
// LockedState, which holds the state's mutex for its whole life. Every
// operation that touches the state takes a LockedState&, so it cannot be
// called without the lock, and the file write of save_state happens under
// the same lock. Hold a LockedState only around store operations, never
// across network or printer input and output.

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

enum class DeviceSource { code, auto_ };

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
  DeviceSource source = DeviceSource::code;
  std::optional<std::string> negocio_id;
  std::optional<std::string> user_sub;
  std::optional<std::uint64_t> expira;
};

// The fields of the state. Reached only through LockedState.
struct StateData {
  std::string id;  // agent id, 32 lowercase hex digits when the agent made it
  std::string version;
  std::filesystem::path directory;  // holds pairings.json
  std::vector<Device> devices;      // insertion order
  std::vector<TrustedKey> trusted_keys;
  std::optional<std::string> pending_code;
  std::uint64_t pending_code_expiry = 0;
  // Wrong attempts against the pending code; the code is discarded at the limit.
  unsigned pending_code_failures = 0;
  std::unordered_map<std::string, std::uint64_t> nonce_cache;  // nonce -> reusable from
  std::map<std::string, std::uint64_t> revoked_seq;            // negocio_id -> last seq
  std::unordered_map<std::string, std::uint64_t> jti_cache;    // ticket id -> its exp
  std::uint16_t port = 0;
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
  AgentState(StateData data, StateServices services) : data_(std::move(data)), services_(services) {}
  AgentState(const AgentState&) = delete;
  AgentState& operator=(const AgentState&) = delete;

  // Blocks until the lock is free. The returned guard releases it.
  [[nodiscard]] LockedState lock();

 private:
  friend class LockedState;
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
