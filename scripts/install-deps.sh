#!/usr/bin/env bash
# Installs, from Debian's packages, what the build, the tests and the
# benchmarks need. Idempotent: packages already present are not touched.
#
#   scripts/install-deps.sh             everything (scripts/test.sh, scripts/run.sh)
#   scripts/install-deps.sh --release   only what scripts/release.sh needs, for a
#                                       vendor's build machine: no browser, Wine,
#                                       clang, benchmarks or npm packages
set -euo pipefail

release_only=0
if [ "${1:-}" = "--release" ]; then release_only=1; fi

packages=(
  # the release: both builds, the .deb, its checker, Authenticode signing
  cmake ninja-build g++ pkg-config ccache git
  libboost1.81-dev libsodium-dev libcups2-dev libssl-dev
  g++-mingw-w64-x86-64-posix autoconf automake libtool make
  debian-archive-keyring xz-utils dpkg-dev python3 python3-nacl
  lintian osslsigncode openssl
)
if [ "$release_only" = 0 ]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev googletest
    # tests that use real parts: pseudo-terminals, a private CUPS server, scripts
    socat cups-daemon cups-client procps
    # the socket backend (raw queues to a loopback listener) comes with cups
    cups
    # an independent reader of the shell links the installer writes
    liblnk-utils
    # the Windows tests under Wine
    wine wine64
    # an independent reader of the exe's resources and icon
    icoutils
    # a loopback of their own for the Windows tests (unshare, ip)
    util-linux iproute2
    # the real-browser test: Debian's Chromium (the throwaway HTTPS
    # certificate, like the release test's code-signing one, comes from openssl)
    chromium chromium-driver
    # the guide's server-side ticket signing examples, run against the agent:
    # PHP's sodium functions and PyJWT (python3-nacl is above)
    php-cli python3-jwt
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

if [ "$release_only" = 1 ]; then exit 0; fi

# The browser test's Node.js packages, as package-lock.json fixes them
# (tests/browser/node_modules, not committed). No browser is downloaded: the
# test uses Debian's Chromium.
browser_tests="$(cd "$(dirname "$0")/../tests/browser" && pwd)"
if [ ! -f "$browser_tests/node_modules/.package-lock.json" ] ||
   [ "$browser_tests/package-lock.json" -nt "$browser_tests/node_modules/.package-lock.json" ]; then
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error)
fi
