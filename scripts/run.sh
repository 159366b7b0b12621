#!/usr/bin/env bash
# Installs what is missing, builds in Release and runs the agent in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${ZUNEL_RUN_BUILD_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUNEL_BUILD_TESTS=OFF
cmake --build "$build" -j2 --target zunel-print-agent
exec "$build/bin/zunel-print-agent" "${@:-run}"
