#include "printing/job_pace.h"

#include <algorithm>

namespace zunel {

PaceFloor serial_pace_floor(std::uint32_t baud) {
  constexpr std::size_t MOST = 1024;
  const std::size_t quarter_of_line = baud / 10 / 4;
  return {std::clamp<std::size_t>(quarter_of_line, 1, MOST), TCP_PACE_FLOOR.window};
}

JobPace::JobPace(PaceFloor floor, const MonotonicClock& clock)
    : floor_(floor), clock_(clock), window_start_(clock.now()) {}

bool JobPace::keeps_up(std::size_t written) {
  total_ += written;
  const std::chrono::milliseconds now = clock_.now();
  const std::chrono::milliseconds elapsed = now - window_start_;
  if (elapsed < floor_.window) return true;
  const std::uint64_t taken = total_ - total_at_window_start_;
  const std::uint64_t needed = static_cast<std::uint64_t>(floor_.bytes_per_second) *
                               static_cast<std::uint64_t>(elapsed.count()) / 1000;
  if (taken < needed) return false;
  window_start_ = now;
  total_at_window_start_ = total_;
  return true;
}

}  // namespace zunel
