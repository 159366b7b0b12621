#!/usr/bin/env bash
# Measures the running agent on this machine: ping throughput beside nginx
# (the two in turns over ZUNEL_BENCH_ROUNDS rounds, 6 unless set: the median
# ratio), signed print latency (a 4 KB job; a 1 MB job sent as "bytes" and as
# "bytes_base64", in turns: request size, time, CPU) and the agent's memory;
# then what dead and slow printers cost everyone else (lanes_bench.py).
# Usage: bench/http_bench.sh   (installs what is missing, builds in Release)
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(bench/build.sh zunel-print-agent)
/usr/bin/python3 -B bench/http_bench.py "$build/bin/zunel-print-agent"
exec /usr/bin/python3 -B bench/lanes_bench.py "$build/bin/zunel-print-agent"
