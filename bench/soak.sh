#!/usr/bin/env bash
# Soak of the running agent: N minutes (default 5) of pings, printer lists and
# signed prints to a local listener, with hostile traffic alongside (bodies
# that would not fit in memory, silent HTTP connections, idle control
# connections). Prints requests served, error answers, the agent's RSS and its
# open descriptors at the start, every minute and at the end.
# Usage: bench/soak.sh [minutes]   (installs what is missing, builds in Release)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=${ZUNEL_BENCH_BUILD_DIR:-build-bench}
# Release, trusting the test key so the soak can provision a device.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUNEL_BUILD_TESTS=OFF \
  -DZUNEL_KEYSET_FILE="$PWD/tests/fixtures/test_keyset.json" >/dev/null
cmake --build "$build" -j2 --target zunel-print-agent
exec /usr/bin/python3 -B bench/soak.py "$build/bin/zunel-print-agent" "${1:-5}"
