#!/usr/bin/env bash
# Decode throughput and heap peak of a 3.6 MB print body (one million byte
# values), with Google Benchmark, in a Release build.
# Usage: bench/print_body_bench.sh [benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=${ZUNEL_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUNEL_BUILD_TESTS=OFF -DZUNEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target print_body_bench
exec "$build/bin/print_body_bench" "$@"
