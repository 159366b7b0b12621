#!/usr/bin/env bash
# Measures the running agent on this machine: ping throughput beside nginx,
# signed print latency (4 KB and 1 MB jobs) and the agent's memory.
# Usage: bench/http_bench.sh   (installs what is missing, builds in Release)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=${ZUNEL_BENCH_BUILD_DIR:-build-bench}
# Release, trusting the test key so the benchmark can provision a device.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUNEL_BUILD_TESTS=OFF \
  -DZUNEL_KEYSET_FILE="$PWD/tests/fixtures/test_keyset.json" >/dev/null
cmake --build "$build" -j2 --target zunel-print-agent
exec /usr/bin/python3 -B bench/http_bench.py "$build/bin/zunel-print-agent"
