#!/usr/bin/env bash
# The heap the job registry holds for 4,096 and for 16,384 remembered jobs,
# with Google Benchmark, in a Release build.
# Usage: bench/job_registry_bench.sh [benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(bench/build.sh job_registry_bench)
exec "$build/bin/job_registry_bench" "$@"
