#!/usr/bin/env bash
# Soak of the running agent: N minutes (default 5) of pings, printer lists and
# signed prints to a local listener, with hostile traffic alongside (bodies
# that would not fit in memory, silent HTTP connections, idle control
# connections). Prints requests served, error answers, the agent's RSS and its
# open descriptors at the start, every minute and at the end.
# Usage: bench/soak.sh [minutes]   (installs what is missing, builds in Release)
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(bench/build.sh zunel-print-agent)
exec /usr/bin/python3 -B bench/soak.py "$build/bin/zunel-print-agent" "${1:-5}"
