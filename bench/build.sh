#!/usr/bin/env bash
# Builds the named targets in the benchmarks' Release tree and prints that
# tree's folder. The tree trusts the test keyset so that the benchmarks can
# provision a device; it is never shipped.
# Usage: build_dir=$(bench/build.sh TARGET...)   (installs what is missing)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh >&2
build=${ZUNEL_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUNEL_BUILD_TESTS=OFF -DZUNEL_BUILD_BENCH=ON \
  -DZUNEL_KEYSET_FILE="$PWD/tests/fixtures/test_keyset.json" >/dev/null
cmake --build "$build" -j2 --target "$@" >&2
echo "$build"
