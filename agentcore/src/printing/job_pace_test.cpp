#include "printing/job_pace.h"

#include <gtest/gtest.h>

#include <vector>

#include "fake_clock.h"

namespace zunel {
namespace {

using namespace std::chrono_literals;

// Writes of `bytes` every `every`, for `for_how_long`: whether the job was
// ended, and when (since its start).
struct PaceRun {
  bool ended;
  std::chrono::milliseconds at;
};

PaceRun run(PaceFloor floor, std::size_t first_burst, std::size_t bytes, std::chrono::milliseconds every,
        std::chrono::milliseconds for_how_long) {
  FakeMonotonicClock clock;
  const auto start = clock.now();
  JobPace pace(floor, clock);
  if (!pace.keeps_up(first_burst)) return {true, 0ms};
  while (clock.now() - start < for_how_long) {
    clock.advance(every);
    if (!pace.keeps_up(bytes)) return {true, clock.now() - start};
  }
  return {false, clock.now() - start};
}

TEST(JobPace, APrinterBelowTheFloorForAWholeWindowEndsItsJobAndNoHealthyOneDoes) {
  const struct {
    const char* what;
    PaceFloor floor;
    std::size_t first_burst, bytes;
    std::chrono::milliseconds every;
    bool ended;
    std::chrono::milliseconds at;
  } rows[] = {
      // A network printer trickling 100 bytes a second, after the system's
      // buffers took 4 MB at once: the first window keeps up, the next not.
      {"trickle after buffers", TCP_PACE_FLOOR, 4 << 20, 500, 5s, true, 60s},
      {"trickle", TCP_PACE_FLOOR, 0, 500, 5s, true, 30s},
      {"just over the floor", TCP_PACE_FLOOR, 0, 5 * 241, 5s, false, 300s},
      {"just under the floor", TCP_PACE_FLOOR, 0, 5 * 239, 5s, true, 30s},
      {"a network printer at 3 KiB/s", TCP_PACE_FLOOR, 0, 3 * 1024, 1s, false, 300s},
      // A 9,600-baud printer behind a serial-to-network adapter, and the same
      // at half its pace.
      {"behind a 9,600-baud adapter", TCP_PACE_FLOOR, 0, 960, 1s, false, 300s},
      {"behind the adapter, at half pace", TCP_PACE_FLOOR, 0, 480, 1s, false, 300s},
      // A serial printer at 9,600 baud takes 960 B/s, whatever it prints.
      {"9,600 baud", serial_pace_floor(9600), 0, 960, 1s, false, 300s},
      {"9,600 baud at a third of its line", serial_pace_floor(9600), 0, 320, 1s, false, 300s},
      {"9,600 baud at a fifth of its line", serial_pace_floor(9600), 0, 192, 1s, true, 30s},
      {"1,200 baud", serial_pace_floor(1200), 0, 120, 1s, false, 300s},
      {"115,200 baud trickling", serial_pace_floor(115200), 0, 100, 1s, true, 30s},
  };
  for (const auto& row : rows) {
    const PaceRun got = run(row.floor, row.first_burst, row.bytes, row.every, 300s);
    EXPECT_EQ(got.ended, row.ended) << row.what;
    if (row.ended) {
      EXPECT_EQ(got.at, row.at) << row.what;
    }
  }
  EXPECT_EQ(serial_pace_floor(9600).bytes_per_second, 240u);
  EXPECT_EQ(serial_pace_floor(0).bytes_per_second, 1u);
}

}  // namespace
}  // namespace zunel
