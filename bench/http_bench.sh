#!/usr/bin/env bash
# Measures the running agent on this machine: ping throughput beside nginx,
# signed print latency (4 KB and 1 MB jobs) and the agent's memory; then what
# dead and slow printers cost everyone else (lanes_bench.py).
# Usage: bench/http_bench.sh   (installs what is missing, builds in Release)
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(bench/build.sh zunel-print-agent)
/usr/bin/python3 -B bench/http_bench.py "$build/bin/zunel-print-agent"
exec /usr/bin/python3 -B bench/lanes_bench.py "$build/bin/zunel-print-agent"
