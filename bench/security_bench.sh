#!/usr/bin/env bash
# Cost of verify_request (4 KB and 3.6 MB bodies, 100 devices), of SHA-256
# over 3.6 MB and of save_state (100 devices), with Google Benchmark, in a
# Release build.
# Usage: bench/security_bench.sh [benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(bench/build.sh security_bench)
exec "$build/bin/security_bench" "$@"
