#pragma once
// The one shared in-memory state of the security subsystem and its lock.
//
// Lock discipline: the state's changing fields (StateData) are reachable
// only through a LockedState, which holds the state's mutex for its whole
// life. Every operation that touches them takes a LockedState&, so it cannot
// be called without the lock. Hold a LockedState only around store
// operations, never across network or printer input and output. A change
// that must reach pairings.json is staged under the lock and written after
// it is released, so no reader waits for the disk. The settings
// (StateSettings) are fixed when the state is made and are read without the
// lock, and so is the published list of paired origins.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/outcome.h"
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
};

// The origins that have at least one paired device, sorted, as of the last
// change of the devices.
using PairedOrigins = std::vector<std::string>;

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

  // Whether a device is paired for exactly this origin, as of the last
  // change the store published. Takes no state lock: it never waits for a
  // store operation or a file write.
  bool origin_paired(std::string_view origin) const;

  // An unusable pairings.json was found at load: the first write moves it
  // aside before replacing it.
  void set_aside_before_first_write() { set_aside_pending_ = true; }

  // Runs `change` under the lock and, when it staged a save, writes
  // pairings.json before returning (after the lock is released): a change
  // that is answered is a change that is kept. When the write fails the
  // devices and revocation sequence numbers are put back as they were
  // before `change` (unless another change was staged meanwhile, whose own
  // save carries this one) and the error is the write's.
  [[nodiscard]] Status change_and_save(const std::function<void(LockedState&)>& change);

 private:
  friend class LockedState;
  void publish(std::shared_ptr<const PairedOrigins> origins);
  // The write that holds the change of `sequence`: this one, or the newer
  // one already written, whose outcome it returns.
  Status write_staged(std::uint64_t sequence, const std::string& text, std::uint64_t now);

  const StateSettings settings_;
  std::mutex mutex_;
  StateData data_;
  StateServices services_;
  std::uint64_t saves_staged_ = 0;  // under mutex_

  mutable std::mutex published_mutex_;  // held only to copy or swap the pointer
  std::shared_ptr<const PairedOrigins> paired_origins_ = std::make_shared<PairedOrigins>();

  // One file write at a time, outside the state lock; a write older than
  // the last one written is skipped, since the newer text holds its change.
  std::mutex file_mutex_;
  std::uint64_t saves_written_ = 0;  // under file_mutex_
  Status last_write_;                // under file_mutex_: the outcome of saves_written_'s write
  bool set_aside_pending_ = false;   // under file_mutex_ once the state is shared
};

// Proof that the caller holds the state lock; the only way to the fields.
class LockedState {
 public:
  LockedState(LockedState&& other) noexcept
      : lock_(std::move(other.lock_)),
        state_(std::exchange(other.state_, nullptr)),
        staged_(std::exchange(other.staged_, std::nullopt)) {}
  LockedState& operator=(LockedState&&) = delete;
  // Releases the lock, then writes what stage_save() left, if anything.
  ~LockedState();

  // Makes `text` the next content of pairings.json and publishes `origins`
  // at once; the file is written when this guard releases the lock (a later
  // stage replaces an earlier one).
  void stage_save(std::string text, PairedOrigins origins);

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
  struct Staged {
    std::uint64_t sequence;
    std::string text;
    std::uint64_t now;  // names a set-aside file
  };
  std::optional<Staged> staged_;
};

inline LockedState AgentState::lock() { return LockedState(*this); }

}  // namespace zunel
