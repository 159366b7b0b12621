#!/usr/bin/env bash
# Builds libsodium for MinGW-w64 (static) from Debian's own source package, the
# same version as the installed libsodium-dev, and caches it by version outside
# the work tree. Prints the install prefix on standard output; progress goes to
# standard error. Debian ships no MinGW build of libsodium.
#
# Environment: ZUNEL_CACHE_DIR (default /var/cache/zunel-print-agent).
set -euo pipefail

cache=${ZUNEL_CACHE_DIR:-/var/cache/zunel-print-agent}
host=x86_64-w64-mingw32

# The Linux build's version, so both builds run the same library code.
version=$(dpkg-query -W -f='${source:Version}' libsodium-dev)
prefix="$cache/libsodium-mingw-$version"
if [ -f "$prefix/lib/libsodium.a" ] && [ -f "$prefix/include/sodium.h" ]; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache"
# Concurrent runs (several work trees) wait for one build instead of racing.
exec 9>"$cache/libsodium-mingw.lock"
flock 9
if [ -f "$prefix/lib/libsodium.a" ] && [ -f "$prefix/include/sodium.h" ]; then
  echo "$prefix"
  exit 0
fi

echo "windows-sodium: building libsodium $version for $host (once, cached in $prefix)" >&2
work=$(mktemp -d "$cache/libsodium-build.XXXXXX")
trap 'rm -rf "$work"' EXIT

# apt-get pointed at a private sources directory: the system's apt
# configuration and package lists stay untouched.
apt="$work/apt"
mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial" "$work/src"
cat >"$apt/sources.list.d/debian-src.sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt/sources.list.d"
          -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
          -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" -qq update >&2
(cd "$work/src" && apt-get "${apt_opts[@]}" -qq source --download-only "libsodium=$version" >&2)

# dpkg-source unpacks the upstream tarball and applies Debian's patches
# (security fixes included), exactly what the Linux package was built from.
dsc=$(ls "$work"/src/libsodium_*.dsc)
dpkg-source --no-check -x "$dsc" "$work/libsodium" >&2

cd "$work/libsodium"
log="$work/build.log"
build() {
  # The tarball in the source package comes without ./configure.
  autoreconf -fi &&
    ./configure --host="$host" --disable-shared --enable-static --prefix="$prefix" \
      CC="$host-gcc-posix" CFLAGS="-O2" &&
    make -j2 &&
    make install DESTDIR="$work/dest"
}
if ! build >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "windows-sodium: build failed" >&2
  exit 1
fi

# Publish atomically: a cache directory either is complete or does not exist.
mv "$work/dest$prefix" "$prefix"
echo "$prefix"
