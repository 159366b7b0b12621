#!/usr/bin/env bash
# Installs what is missing, builds the test configuration with AddressSanitizer
# and UndefinedBehaviorSanitizer, runs every test through CTest, runs the
# threaded parts' unit tests under ThreadSanitizer, runs each fuzz
# target for a few seconds, then builds the Windows executable and runs its
# tests under Wine. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# ccache, shared by every work tree of this machine (paths relative to the tree).
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
build=${ZUNEL_TEST_BUILD_DIR:-build-test}
# The test build trusts the test key, so end-to-end tests can sign tickets,
# and honours the test-only switches (a pseudo-terminal as a serial port).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZUNEL_SANITIZE=ON "${launcher[@]}" \
  -DZUNEL_KEYSET_FILE="$PWD/tests/fixtures/test_keyset.json" -DZUNEL_TEST_HOOKS=ON
cmake --build "$build" -j2
# The agent's ports are fixed and other work trees on this machine may run
# their own agents: a private network namespace gives the tests a loopback of
# their own where the system allows one.
if unshare --net true 2>/dev/null; then
  # shellcheck disable=SC2086
  scripts/private-net.sh ctest --test-dir "$build" --output-on-failure ${ZUNEL_CTEST_ARGS:-}
else
  # shellcheck disable=SC2086
  ctest --test-dir "$build" --output-on-failure ${ZUNEL_CTEST_ARGS:-}
fi

# ThreadSanitizer, in a build of its own, on the library's unit tests: the
# server with its lanes and their dispatch, the API's work in them, the
# journal's writer and the rest (about 40 s).
tsan=${ZUNEL_TSAN_BUILD_DIR:-build-tsan}
cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUNEL_THREAD_SANITIZE=ON "${launcher[@]}" \
  -DZUNEL_KEYSET_FILE="$PWD/tests/fixtures/test_keyset.json"
cmake --build "$tsan" -j2 --target agentcore_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$tsan/bin/agentcore_tests" \
  --gtest_brief=1 --gtest_filter="${ZUNEL_TSAN_TESTS:-*}"

# A few seconds of every fuzz target, as a smoke test of the fuzz build and of
# the parsers on the corpus gathered so far (scripts/fuzz.sh for long runs).
ZUNEL_FUZZ_JOBS=2 scripts/fuzz.sh "${ZUNEL_FUZZ_SMOKE_SECONDS:-5}"

if [ -x scripts/windows-test.sh ]; then
  scripts/windows-test.sh
fi
