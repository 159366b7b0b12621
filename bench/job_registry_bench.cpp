// The memory of the job registry: the heap it holds for 4,096 remembered
// jobs (the number it keeps at least) and for 16,384 (its bound), with ids
// and answers of the sizes a page and the agent use (a UUID, a device id, a
// confirmation's answer). Measured with glibc's mallinfo2, so Linux only.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>

#include "server/jobs/job_registry.h"

namespace zunel {
namespace {

void RememberedJobs(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::string answer =
      R"({"ok":true,"confirmed":"not_confirmed","status":{"source":"device","reachable":true,"answered":false,)"
      R"("busy":false,"online":null,"paper":"unknown","cover_open":null,"error":null,"drawer_pin3_high":null,)"
      R"("queue":null,"raw":"","elapsed_ms":1501}})";
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    JobRegistry jobs(JobRegistryLimits{.keep_jobs = count, .keep_secs = 86400, .max_jobs = count});
    for (std::size_t n = 0; n < count; ++n) {
      const std::string id = "6f1c2a9e-0b7d-4c3e-9a51-" + std::to_string(100000000000 + n);
      Sha256Digest fingerprint{};
      fingerprint[0] = static_cast<std::uint8_t>(n);
      (void)jobs.claim("3f9a0c5d7e1b2a46", id, fingerprint, 1'800'000'000);
      jobs.finished("3f9a0c5d7e1b2a46", id, JobAnswer{200, answer}, 1'800'000'001);
    }
    const std::size_t held = mallinfo2().uordblks - before;
    state.counters["bytes"] = static_cast<double>(held);
    state.counters["bytes_per_job"] = static_cast<double>(held) / static_cast<double>(count);
    benchmark::DoNotOptimize(jobs.size());
  }
}
BENCHMARK(RememberedJobs)->Arg(4096)->Arg(16384)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zunel

BENCHMARK_MAIN();
