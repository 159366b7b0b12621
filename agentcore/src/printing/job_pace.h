#pragma once
// A job's overall pace. A write fails when its printer takes nothing for
// 5 s, but a printer that takes a few bytes before each 5 s would still
// hold its queue for hours with a large job; a job whose printer takes its bytes
// slower than a floor, over a whole window, ends with PRINTER_TOO_SLOW.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "base/clock.h"

namespace zunel {

struct PaceFloor {
  std::size_t bytes_per_second = 0;
  std::chrono::milliseconds window{0};
};

// A network printer: 240 B/s over each 30 s. The slowest printer met on a
// shop's network is an old serial printer behind a serial-to-network
// adapter: at 9,600 baud it takes 960 B/s, however large the job, and the
// floor is a quarter of that, the margin a serial printer gets below. A
// printer that stops reading fails after 5 s anyway (write_all.h); this
// floor ends only one that trickles (a 100 KB job at the floor would hold
// its printer's queue for seven minutes).
inline constexpr PaceFloor TCP_PACE_FLOOR{240, std::chrono::seconds(30)};

// A serial printer: a quarter of what its line carries (8N1: baud / 10
// bytes a second), at most 1 KiB/s, at least 1 B/s, over each 30 s.
// Without flow control the port sends at the line's rate whatever the
// printer does, so a healthy printer always keeps four times the floor: a
// 9,600-baud printer carries 960 B/s against a floor of 240 B/s.
PaceFloor serial_pace_floor(std::uint32_t baud);

// The job's error when its printer falls below the floor.
inline constexpr const char* PRINTER_TOO_SLOW = "la impresora recibe los datos demasiado despacio";

class JobPace {
 public:
  // The first window starts now.
  JobPace(PaceFloor floor, const MonotonicClock& clock);

  // After a write took `written` more bytes: false once a window of at
  // least floor.window has passed in which fewer bytes were taken than the
  // floor asks for that time; each window that keeps up starts the next.
  [[nodiscard]] bool keeps_up(std::size_t written);

 private:
  PaceFloor floor_;
  const MonotonicClock& clock_;
  std::chrono::milliseconds window_start_;
  std::uint64_t total_ = 0;
  std::uint64_t total_at_window_start_ = 0;
};

}  // namespace zunel
