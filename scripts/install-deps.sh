#!/usr/bin/env bash
# Installs, from Debian's packages, everything the build, the tests and the
# benchmarks need. Idempotent: packages already present are not touched.
set -euo pipefail

packages=(
  # Linux build
  cmake ninja-build g++ pkg-config ccache
  libboost1.81-dev libsodium-dev libcups2-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # tests that use real parts: pseudo-terminals, a private CUPS server, scripts
  socat cups-daemon cups-client python3 python3-nacl procps
  # the socket backend (raw queues to a loopback listener) comes with cups
  cups
  # an independent reader of the shell links the installer writes
  liblnk-utils
  # Windows cross-build and its tests under Wine
  g++-mingw-w64-x86-64-posix wine wine64 autoconf automake libtool make
  debian-archive-keyring xz-utils dpkg-dev googletest
  # the release: its .deb's checker and an independent reader of the exe's resources
  lintian icoutils
  # a loopback of their own for the Windows tests (unshare, ip)
  util-linux iproute2
  # the real-browser test: Debian's Chromium and a throwaway HTTPS certificate
  chromium chromium-driver openssl
  # the HTTP benchmark: a load generator and nginx as the ceiling
  wrk nginx-light
  # the fuzz targets: clang and its libFuzzer and sanitizer runtimes
  clang libclang-rt-14-dev
)
# The browser test drives Chromium from Node.js; a machine that already has a
# Node.js with npm (from any source) keeps it, others get Debian's.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${missing[*]}); run as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser test's Node.js packages, as package-lock.json fixes them
# (tests/browser/node_modules, not committed). No browser is downloaded: the
# test uses Debian's Chromium.
browser_tests="$(cd "$(dirname "$0")/../tests/browser" && pwd)"
if [ ! -f "$browser_tests/node_modules/.package-lock.json" ] ||
   [ "$browser_tests/package-lock.json" -nt "$browser_tests/node_modules/.package-lock.json" ]; then
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error)
fi
