#pragma once
// Shared by the fuzz targets: a private temporary directory for the whole
// run, a state loaded there on a fake clock and scripted random bytes, and a
// crash that names the broken property (libFuzzer reports any abort).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>

#include "fake_clock.h"
#include "scripted_random.h"
#include "security/agent_state.h"
#include "security/pairing_store.h"
#include "temp_dir.h"

namespace zunel::fuzzing {

// Aborts with `what` when `holds` is false: a property every input must keep.
inline void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property broken: %s\n", what);
  std::abort();
}

// A fresh directory under the system's temporary folder, removed at exit.
inline const std::filesystem::path& run_dir() {
  static const testing::TempDir dir;
  return dir.path();
}

// Discards what it is given: diagnostics would flood the fuzzer's output.
inline std::ostream& null_stream() {
  static struct : std::streambuf {
    int overflow(int c) override { return c; }
  } sink;
  static std::ostream stream(&sink);
  return stream;
}

// The services of every fuzzed state: time moves only when a target moves it.
struct FuzzServices {
  FakeClock clock{1'700'000'000};
  ScriptedRandom random;
  StateServices services() { return StateServices{clock, random, null_stream()}; }
};

}  // namespace zunel::fuzzing
