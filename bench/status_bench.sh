#!/usr/bin/env bash
# Measures asking a printer, beside the build before in the same run: a
# status query's median (ESC/POS and ZPL) and a confirmed print's median,
# against the printer emulator on loopback (status_bench.py).
# Usage: bench/status_bench.sh [REVISION]   (the build before: REVISION, by
# default the last commit of main this branch shares)
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/two_builds.sh "$@"
scripts/private-net.sh /usr/bin/python3 -B bench/status_bench.py "$build/bin/zunel-print-agent" \
  "$before_build/bin/zunel-print-agent"
