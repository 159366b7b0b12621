#!/usr/bin/env bash
# Measures what the journal and the job ids cost, beside the build before
# them in the same run: ping throughput, a signed 4 KB print's median, and
# how much memory 4,096 more jobs cost the agent (journal_bench.py).
# Usage: bench/journal_bench.sh [REVISION]   (the build before: REVISION, by
# default the last commit of main this branch shares; built in Release from
# `git archive` in a temporary folder)
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/two_builds.sh "$@"
/usr/bin/python3 -B bench/journal_bench.py "$build/bin/zunel-print-agent" \
  "$before_build/bin/zunel-print-agent"
