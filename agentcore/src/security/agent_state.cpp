#include "security/agent_state.h"

#include <algorithm>
#include <iostream>

#include "security/pairing_store.h"

namespace zunel {

const char* device_source_name(DeviceSource source) {
  return source == DeviceSource::Auto ? "auto" : "code";
}

StateServices system_state_services() { return StateServices{system_clock(), system_random(), std::cerr}; }

bool AgentState::origin_paired(std::string_view origin) const {
  std::shared_ptr<const PairedOrigins> origins;
  {
    std::lock_guard lock(published_mutex_);
    origins = paired_origins_;
  }
  return std::binary_search(origins->begin(), origins->end(), origin);
}

void AgentState::publish(std::shared_ptr<const PairedOrigins> origins) {
  std::lock_guard lock(published_mutex_);
  paired_origins_.swap(origins);
}

Status AgentState::write_staged(std::uint64_t sequence, const std::string& text, std::uint64_t now) {
  std::lock_guard lock(file_mutex_);
  if (sequence <= saves_written_) return last_write_;
  saves_written_ = sequence;
  std::ostream& out = services_.diagnostics;
  if (set_aside_pending_ && !set_aside_invalid_store(settings_.directory, now)) {
    out << "[agente] no se pudo guardar pairings.json: el archivo inválido no se pudo apartar\n" << std::flush;
    last_write_ = fail("el archivo inválido no se pudo apartar");
    return last_write_;
  }
  set_aside_pending_ = false;
  last_write_ = write_store_file(settings_.directory, text);
  if (!last_write_) out << "[agente] no se pudo guardar pairings.json: " << last_write_.error() << '\n' << std::flush;
  return last_write_;
}

Status AgentState::change_and_save(const std::function<void(LockedState&)>& change) {
  std::vector<Device> devices;
  std::map<std::string, std::uint64_t> revoked_seq;
  std::optional<LockedState::Staged> staged;
  {
    LockedState locked = lock();
    devices = data_.devices;
    revoked_seq = data_.revoked_seq;
    change(locked);
    staged = std::exchange(locked.staged_, std::nullopt);
  }
  if (!staged) return {};
  Status written = write_staged(staged->sequence, staged->text, staged->now);
  if (written) return written;
  LockedState locked = lock();
  if (saves_staged_ == staged->sequence) {
    data_.devices = std::move(devices);
    data_.revoked_seq = std::move(revoked_seq);
    save_state(locked);  // publishes the origins again; the file never changed
  }
  return written;
}

void LockedState::stage_save(std::string text, PairedOrigins origins) {
  std::sort(origins.begin(), origins.end());
  origins.erase(std::unique(origins.begin(), origins.end()), origins.end());
  state_->publish(std::make_shared<const PairedOrigins>(std::move(origins)));
  staged_ = Staged{++state_->saves_staged_, std::move(text), now()};
}

LockedState::~LockedState() {
  if (!staged_) return;
  lock_.unlock();
  try {
    (void)state_->write_staged(staged_->sequence, staged_->text, staged_->now);
  } catch (...) {
    // A failed write changes nothing; the next save writes the whole store.
  }
}

}  // namespace zunel
