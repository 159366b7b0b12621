// Cost of the security checks: the request signature check of a 4 KB and of
// a 3.6 MB body (a 1 MB raster label), with 100 paired devices walked in
// full, as the server does it (headers read and body hashed without the
// lock, then verify_request under it); SHA-256 of a 3.6 MB body through the
// agent's hashing (goal: at least 1 GB/s on a CPU with SHA extensions) and,
// for comparison, libsodium's; and a save of a store of 100 devices (the
// file is flushed to disk on every save), which holds the lock throughout.

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/random_source.h"
#include "base/sha256.h"
#include "fake_clock.h"
#include "request_signer.h"
#include "security/pairing_store.h"
#include "security/request_signature.h"
#include "server/http_message.h"
#include "temp_dir.h"

namespace {

using namespace zunel;

constexpr const char* ORIGIN = "https://caja.erp.zunel.example";
constexpr std::size_t DEVICE_COUNT = 100;
constexpr std::size_t POOL = 1024;  // signed requests made ahead, each with its own nonce

struct Bench {
  testing::TempDir dir;
  FakeClock clock{1'700'000'000};
  std::ostringstream diagnostics;
  std::unique_ptr<AgentState> state;

  Bench() {
    auto loaded = load_state(dir.path(), "1.0.1", StateServices{clock, system_random(), diagnostics}, "[]");
    if (!loaded) std::abort();
    state = std::move(*loaded);
    auto s = state->lock();
    for (std::size_t i = 0; i < DEVICE_COUNT; ++i) {
      std::vector<std::uint8_t> token(32, static_cast<std::uint8_t>(i));
      s->devices.push_back(Device{.id = "device-" + std::to_string(i),
                                  .token = token,
                                  .origin = ORIGIN,
                                  .label = "Caja " + std::to_string(i),
                                  .created = clock.now_secs(),
                                  .source = DeviceSource::Auto,
                                  .negocio_id = "negocio",
                                  .user_sub = "usuario@erp",
                                  .expira = clock.now_secs() + 604800});
    }
  }
  ~Bench() { state.reset(); }
};

struct SignedRequest {
  HeaderList fields;
  SignatureHeaders headers;
};

// POOL requests of the last device with fresh nonces, signed at the clock's time.
std::vector<SignedRequest> sign_pool(const std::vector<std::uint8_t>& token, std::uint64_t now,
                                     const std::string& body, std::size_t round) {
  const std::string body_digest = testing::body_digest_hex(body);
  std::vector<SignedRequest> pool(POOL);
  for (std::size_t i = 0; i < POOL; ++i) {
    const std::string nonce = "n-" + std::to_string(round) + "-" + std::to_string(i);
    pool[i].fields = {{"Host", "127.0.0.1:47631"}, {"Origin", ORIGIN}, {"Content-Type", "application/json"}};
    for (auto& field : testing::signed_headers_for_digest(token, body_digest, nonce, now)) {
      pool[i].fields.push_back(std::move(field));
    }
    const auto value = [&](std::string_view name) { return std::string_view(*find_header(pool[i].fields, name)); };
    pool[i].headers = {value("Authorization"), value("X-Zunel-Timestamp"), value("X-Zunel-Nonce"),
                       value("X-Zunel-Sign")};
  }
  return pool;
}

void BM_verify_request(benchmark::State& run) {
  if (sodium_init() < 0) std::abort();
  Bench bench;
  const std::string body(static_cast<std::size_t>(run.range(0)), '7');
  const std::vector<std::uint8_t> token(32, static_cast<std::uint8_t>(DEVICE_COUNT - 1));
  std::vector<SignedRequest> pool;
  std::size_t next = POOL;
  std::size_t round = 0;
  for (auto _ : run) {
    if (next == POOL) {
      // New nonces and a clock past the old ones' 60 s, made outside the timing.
      run.PauseTiming();
      bench.clock.advance(61);
      pool = sign_pool(token, bench.clock.now_secs(), body, round++);
      next = 0;
      run.ResumeTiming();
    }
    const SignatureFields fields = parse_signature_fields(pool[next++].headers);
    const RequestVerdict verdict = verify_request(*bench.state, fields, ORIGIN, sha256(body));
    if (verdict != RequestVerdict::Accept) {
      run.SkipWithError("request refused");
      break;
    }
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations()) * run.range(0));
}
BENCHMARK(BM_verify_request)->Arg(4 * 1024)->Arg(3'600'000)->Unit(benchmark::kMicrosecond);

void BM_sha256(benchmark::State& run) {
  const std::string body(static_cast<std::size_t>(run.range(0)), '7');
  for (auto _ : run) benchmark::DoNotOptimize(sha256(body));
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations()) * run.range(0));
}
BENCHMARK(BM_sha256)->Arg(3'600'000)->Unit(benchmark::kMicrosecond);

void BM_sha256_in_64k_pieces(benchmark::State& run) {
  const std::string body(static_cast<std::size_t>(run.range(0)), '7');
  for (auto _ : run) {
    Sha256 hash;
    for (std::size_t at = 0; at < body.size(); at += 65536) hash.update(std::string_view(body).substr(at, 65536));
    benchmark::DoNotOptimize(hash.finish());
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations()) * run.range(0));
}
BENCHMARK(BM_sha256_in_64k_pieces)->Arg(3'600'000)->Unit(benchmark::kMicrosecond);

void BM_sha256_libsodium(benchmark::State& run) {
  if (sodium_init() < 0) std::abort();
  const std::string body(static_cast<std::size_t>(run.range(0)), '7');
  unsigned char digest[32];
  for (auto _ : run) {
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(body.data()), body.size());
    benchmark::DoNotOptimize(digest);
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations()) * run.range(0));
}
BENCHMARK(BM_sha256_libsodium)->Arg(3'600'000)->Unit(benchmark::kMicrosecond);

void BM_save_state_100_devices(benchmark::State& run) {
  Bench bench;
  auto s = bench.state->lock();
  for (auto _ : run) save_state(s);
  run.counters["file_bytes"] =
      static_cast<double>(std::filesystem::file_size(bench.dir.path() / std::string(PAIRINGS_FILE_NAME)));
}
BENCHMARK(BM_save_state_100_devices)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
