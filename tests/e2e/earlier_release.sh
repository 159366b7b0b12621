#!/usr/bin/env bash
# Builds the agent of an earlier release from this repository's history, for
# the upgrade test: the executable a shop may still run.
#   earlier_release.sh COMMIT OUT_DIR [windows]
# Leaves OUT_DIR/zunel-print-agent (or .exe) and prints its path. Built once:
# an existing executable is reused. Needs the commit in the clone's history.
set -euo pipefail
commit=$1 out=$2 platform=${3:-linux}
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=$out/zunel-print-agent
[ "$platform" = windows ] && exe=$exe.exe
if [ -x "$exe" ]; then
  echo "$exe"
  exit 0
fi
if ! git -C "$root" cat-file -e "$commit^{commit}" 2>/dev/null; then
  echo "earlier_release.sh: commit $commit is not in this clone's history" >&2
  exit 1
fi
src=$out/src build=$out/build
rm -rf "$src"
mkdir -p "$src"
git -C "$root" archive --format=tar "$commit" | tar -x -C "$src"

# ccache, shared by every work tree of this machine (paths relative to the tree).
export CCACHE_BASEDIR="$src" CCACHE_NOHASHDIR=true
args=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DZUNEL_BUILD_TESTS=OFF
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
  -DZUNEL_KEYSET_FILE="$src/tests/fixtures/test_keyset.json")
if [ "$platform" = windows ]; then
  # As the Windows test build of that time: MinGW sees Boost's headers only
  # through a directory of their own, and libsodium's cross build.
  sodium=$("$root/scripts/windows-sodium.sh")
  mkdir -p "$build/boost-include"
  ln -sfn /usr/include/boost "$build/boost-include/boost"
  args+=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake"
    -DZUNEL_BOOST_INCLUDE="$build/boost-include" -DZUNEL_SODIUM_ROOT="$sodium")
fi
cmake -S "$src" -B "$build" "${args[@]}" >"$out/configure.log" 2>&1 ||
  { cat "$out/configure.log" >&2; exit 1; }
cmake --build "$build" -j2 --target zunel-print-agent >"$out/build.log" 2>&1 ||
  { tail -50 "$out/build.log" >&2; exit 1; }
built=$(find "$build" -name "$(basename "$exe")" -type f | head -1)
cp "$built" "$exe.tmp"
mv "$exe.tmp" "$exe"
echo "$exe"
