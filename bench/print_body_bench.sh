#!/usr/bin/env bash
# Decode throughput and heap peak of a 3.6 MB print body (one million byte
# values), with Google Benchmark, in a Release build.
# Usage: bench/print_body_bench.sh [benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(bench/build.sh print_body_bench)
exec "$build/bin/print_body_bench" "$@"
