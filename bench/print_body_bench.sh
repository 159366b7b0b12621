#!/usr/bin/env bash
# Decode time, throughput and heap peak of a 1 MB job, as a 3.6 MB print
# body (one million byte values) and as a 1.4 MB one (base64), and of a
# 4 KB job, with Google Benchmark, in a Release build.
# Usage: bench/print_body_bench.sh [benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(bench/build.sh print_body_bench)
exec "$build/bin/print_body_bench" "$@"
