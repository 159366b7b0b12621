#!/usr/bin/env bash
# Cross-builds the Windows executable and its tests with MinGW-w64 in build-win/
# and runs them under Wine: every CTest test, then `zunel-print-agent.exe
# version`. Installs what is missing first. Exits non-zero on any failure.
#
# Environment:
#   ZUNEL_CACHE_DIR      libsodium builds and Wine prefixes (default /var/cache/zunel-print-agent)
#   ZUNEL_WINEPREFIX     Wine prefix to use (default: one per work tree under the cache)
#   ZUNEL_WIN_BUILD_DIR  build directory (default build-win)
#   ZUNEL_WIN_TARGETS    build only these targets (space separated), for quick iterations
#   ZUNEL_CTEST_ARGS     extra arguments for ctest, e.g. "-R agentcore_tests"
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
build=${ZUNEL_WIN_BUILD_DIR:-build-win}
export ZUNEL_CACHE_DIR=${ZUNEL_CACHE_DIR:-/var/cache/zunel-print-agent}

# Says again, last, what each failed test printed: Wine's server dumps its
# objects into the same stream, and the failure would be lost among them.
recap_failures() {
  local failed=$build/Testing/Temporary/LastTestsFailed.log log=$build/Testing/Temporary/LastTest.log name
  [ -f "$failed" ] && [ -f "$log" ] || return 0
  while IFS=: read -r _ name; do
    echo "windows-test: what $name printed (its last 80 lines, without Wine's object dumps):"
    awk -v name="$name" '$0 ~ "Testing: " name "$" {on = 1} on && !/^0x[0-9a-f]+:/ {print}
                         on && index($0, "\"" name "\" end time:") {on = 0}' "$log" | tail -n 80
  done <"$failed"
}

# Runs the tests under Wine; called by this script, in a private network
# namespace where the system allows one.
run_tests() {
  # One Wine prefix per work tree: runs from different trees never share (or
  # stop) each other's wineserver.
  local tree_id
  tree_id=$(printf '%s' "$root" | sha256sum | cut -c1-12)
  export WINEPREFIX=${ZUNEL_WINEPREFIX:-$ZUNEL_CACHE_DIR/wine-$(basename "$root")-$tree_id}
  export WINEDEBUG=-all
  export WINEARCH=win64
  # No Mono or Gecko installer prompts while the prefix is created.
  export WINEDLLOVERRIDES="mscoree=;mshtml="
  unset DISPLAY WAYLAND_DISPLAY

  mkdir -p "$(dirname "$WINEPREFIX")"
  # Two runs in one tree take turns: the first one's wineserver -k would kill
  # the other's tests.
  exec 8>"$WINEPREFIX.lock"
  flock 8

  # Wine's sockets belong to the wineserver's network: a server left running
  # from outside this namespace (a manual wine call) must not serve the tests.
  wineserver -k 2>/dev/null || true
  trap 'wineserver -k 2>/dev/null || true' EXIT
  # Wine's processes do not inherit the lock (8>&-): a wineserver that
  # outlived this script must not keep the next run waiting.
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "windows-test: creating Wine prefix $WINEPREFIX" >&2
    wineboot --init 8>&-
    wineserver -w 8>&-
  fi
  # A persistent server makes each later wine call cost tenths of a second.
  wineserver -p 8>&-
  # The first program started under a server also starts Wine's own services,
  # which then live as long as the server and keep the standard output and
  # error they inherited. Start them here, on /dev/null: started by the first
  # test they would hold CTest's pipes open and CTest would wait forever.
  wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 8>&-

  # shellcheck disable=SC2086
  ctest --test-dir "$build" --output-on-failure ${ZUNEL_CTEST_ARGS:-} 8>&- || {
    local code=$?
    recap_failures
    return "$code"
  }

  # Exactly the version line and the build's line, each with a line feed (no
  # carriage return), exit 0.
  local exe="$build/bin/zunel-print-agent.exe" expected out code=0
  out=$(mktemp)
  wine "$exe" version >"$out" 8>&- || code=$?
  expected=$(printf 'zunel-print-agent 1.0.1\ncompilación %s' \
    "$(sed -n '2s/^compilación \([[:alnum:]._+~-]\{1,\}\)$/\1/p' "$out")")
  if [ "$code" -ne 0 ] || [ "${expected##*compilación }" = "" ] ||
     ! printf '%s\n' "$expected" | cmp -s - "$out"; then
    echo "windows-test: '$exe version' exited $code and printed:" >&2
    od -c "$out" >&2
    rm -f "$out"
    return 1
  fi
  rm -f "$out"
  echo "windows-test: $exe version prints \"$expected\""
}

if [ "${1:-}" = "--run-tests-here" ]; then
  run_tests
  exit
fi

scripts/install-deps.sh

sodium=$(scripts/windows-sodium.sh)

# Boost is header-only here. MinGW must not see /usr/include, so its include
# path gets a directory holding nothing but a link to Debian's Boost headers.
boost_include="$root/$build/boost-include"
mkdir -p "$boost_include"
ln -sfn /usr/include/boost "$boost_include/boost"

wine=$(command -v wine)
# ccache, shared by every work tree of this machine (paths relative to the tree).
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
# Like the Linux test build, this one trusts the test key, so the end-to-end
# tests can sign tickets, and honours the test-only switches (a failing disk).
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DZUNEL_KEYSET_FILE="$root/tests/fixtures/test_keyset.json" -DZUNEL_TEST_HOOKS=ON \
  -DZUNEL_BOOST_INCLUDE="$boost_include" \
  -DZUNEL_SODIUM_ROOT="$sodium" \
  -DZUNEL_EXE_RUNNER="$wine" \
  -DPython3_EXECUTABLE=/usr/bin/python3
if [ -n "${ZUNEL_WIN_TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$build" -j2 --target $ZUNEL_WIN_TARGETS
else
  cmake --build "$build" -j2
fi

# The agent's ports are fixed, and other work trees on this machine run their
# own agents: a private network namespace gives these tests a loopback of their
# own.
if unshare --net true 2>/dev/null; then
  exec scripts/private-net.sh "$0" --run-tests-here
fi
echo "windows-test: no private network namespace here; tests share the machine's loopback" >&2
exec "$0" --run-tests-here
