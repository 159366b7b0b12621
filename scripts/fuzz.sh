#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, then runs every target for the
# given number of seconds (default 60), seeded from fuzz/corpus/<target>/.
# New inputs go to build-fuzz/corpus/<target>/ (the committed seeds are not
# touched), crashing inputs to build-fuzz/crashes/<target>/. Prints the inputs
# tried and the crashes per target; exits non-zero when any target crashed.
#
#   ZUNEL_FUZZ_JOBS=2      targets run side by side (default 1)
#   ZUNEL_FUZZ_TARGETS=".." only these targets
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${ZUNEL_FUZZ_BUILD_DIR:-build-fuzz}
jobs=${ZUNEL_FUZZ_JOBS:-1}
targets=(${ZUNEL_FUZZ_TARGETS:-strict_json_fuzz print_body_fuzz status_body_fuzz pairings_fuzz tickets_fuzz
         control_request_fuzz http_request_fuzz stored_files_fuzz registration_fuzz})

export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZUNEL_FUZZ=ON -DZUNEL_BUILD_TESTS=OFF \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DZUNEL_KEYSET_FILE="$PWD/tests/fixtures/test_keyset.json" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

run_one() {
  local t=$1 log="$build/logs/$1.log"
  rm -rf "$build/crashes/$t"
  mkdir -p "$build/corpus/$t" "$build/crashes/$t" "$build/logs"
  local dict=() len=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  # libFuzzer caps inputs at the largest seed unless told otherwise; whole
  # HTTP requests need room for bodies over the 16 KiB bound and for chunked
  # framing around them. Without -len_control=0 this slow target would grow
  # its inputs to only a few hundred bytes in minutes; with it, long inputs
  # are tried from the start.
  [ "$t" = http_request_fuzz ] && len=(-max_len=40000 -len_control=0)
  # -rss_limit_mb: an input that makes a parser hold more than this is a
  # finding too. The exit code tells a crash (libFuzzer's non-zero) apart.
  if "$build/bin/$t" "$build/corpus/$t" "fuzz/corpus/$t" "${dict[@]}" "${len[@]}" \
      -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/$t/" >"$log" 2>&1; then
    status=ok
  else
    status=CRASH
  fi
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  printf '%-22s %-6s inputs tried: %s  crash files: %s\n' "$t" "$status" "${runs:-?}" \
    "$(find "$build/crashes/$t" -type f | wc -l)"
  [ "$status" = ok ]
}

failed=0
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do
  wait "$p" || failed=1
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: a target crashed; see $build/logs/ and $build/crashes/" >&2
fi
exit "$failed"
