#!/usr/bin/env bash
# Builds the release from the committed tree (HEAD): the Windows download
# dist/zunel-print-agent-<version>-windows-x64.zip and the Linux package
# dist/zunel-print-agent_<version>_amd64.deb, each with its .sha256.
#
#   scripts/release.sh [--domain NAME] [--keyset FILE] [--out DIR] [--no-deb] [--check-reproducible]
#
#   --domain               the ERP origin domain (default erp.zunel.example)
#   --keyset               the public keyset built in (default config/keyset.json)
#   --out                  where the files go (default dist)
#   --no-deb               the Windows zip only
#   --check-reproducible   build twice, in two directories, and fail unless
#                          the exe, the zip and the .deb are byte-identical
#
# The build time is the commit's (SOURCE_DATE_EPOCH), so one commit with one
# domain and keyset always gives the same bytes. Work directories live under
# build-release/ (ZUNEL_RELEASE_WORK). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

domain=erp.zunel.example
keyset=config/keyset.json
out=dist
check=0
deb=1
while [ $# -gt 0 ]; do
  case "$1" in
    --domain) domain=$2; shift 2 ;;
    --keyset) keyset=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-deb) deb=0; shift ;;
    --check-reproducible) check=1; shift ;;
    *) echo "release: unknown option $1" >&2; exit 2 ;;
  esac
done
keyset=$(realpath "$keyset")
mkdir -p "$out"
out=$(realpath "$out")
work=${ZUNEL_RELEASE_WORK:-$root/build-release}

if [ -z "${ZUNEL_RELEASE_NO_INSTALL:-}" ]; then scripts/install-deps.sh; fi
sodium=$(scripts/windows-sodium.sh)

commit=$(git rev-parse HEAD)
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
if ! git diff --quiet HEAD --; then
  echo "release: the tree has uncommitted changes; building HEAD ($commit) without them" >&2
fi
version=$(sed -n 's/.*AGENT_VERSION = "\([0-9.]*\)".*/\1/p' agentcore/src/base/constants.h)
name=zunel-print-agent-$version
export TZ=UTC LC_ALL=C.UTF-8

# Builds everything in $1 (its own copy of the sources, its own build
# directories) and leaves the zip, the .deb and the exe in $1/dist.
build_in() {
  local dir=$1
  rm -rf "$dir"
  mkdir -p "$dir/src" "$dir/dist"
  git archive --format=tar HEAD | tar -x -C "$dir/src"
  # ccache, shared with every work tree: paths relative to $dir, so a second
  # directory hits what the first compiled.
  export CCACHE_BASEDIR="$dir" CCACHE_NOHASHDIR=true
  local common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DZUNEL_BUILD_TESTS=OFF -DZUNEL_REPRODUCIBLE=ON
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
    -DZUNEL_ERP_ORIGIN_DOMAIN="$domain" -DZUNEL_KEYSET_FILE="$keyset")

  mkdir -p "$dir/win/boost-include"
  ln -sfn /usr/include/boost "$dir/win/boost-include/boost"
  cmake -S "$dir/src" -B "$dir/win" "${common[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/mingw-w64.cmake" \
    -DZUNEL_BOOST_INCLUDE="$dir/win/boost-include" -DZUNEL_SODIUM_ROOT="$sodium" >/dev/null
  cmake --build "$dir/win" -j2 --target zunel-print-agent
  package_zip "$dir"
  if [ "$deb" = 1 ]; then
    cmake -S "$dir/src" -B "$dir/linux" "${common[@]}" >/dev/null
    cmake --build "$dir/linux" -j2 --target zunel-print-agent
    package_deb "$dir"
  fi
}

# Text for the shop's Windows machines: UTF-8 with a byte-order mark and
# CR LF line breaks, so Notepad shows the accents.
to_windows_text() { printf '\xef\xbb\xbf'; sed 's/$/\r/'; }

package_zip() {
  local dir=$1 stage=$1/zip/$name
  mkdir -p "$stage"
  cp "$dir/win/bin/zunel-print-agent.exe" "$stage/"
  sed "s/@VERSION@/$version/" "$dir/src/packaging/windows/LEEME.txt" | to_windows_text >"$stage/LEEME.txt"
  local kids
  kids=$(python3 -c 'import json,sys; print(", ".join(k["kid"] for k in json.load(open(sys.argv[1]))))' "$keyset")
  {
    echo "zunel-print-agent $version"
    echo "commit: $commit"
    echo "ERP origin domain: $domain"
    echo "trusted key ids: $kids"
    echo "zunel-print-agent.exe SHA-256: $(sha256sum "$stage/zunel-print-agent.exe" | cut -d' ' -f1)"
  } | to_windows_text >"$stage/BUILD-INFO.txt"
  cp "$stage/zunel-print-agent.exe" "$dir/dist/"
  # Fixed order, fixed times (the commit's), fixed attributes.
  python3 - "$dir/zip" "$dir/dist/$name-windows-x64.zip" "$name" <<'PY'
import os, sys, time, zipfile
base, target, folder = sys.argv[1:]
stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
with zipfile.ZipFile(target, "w") as z:
    for entry in ("zunel-print-agent.exe", "LEEME.txt", "BUILD-INFO.txt"):
        info = zipfile.ZipInfo(folder + "/" + entry, date_time=stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 0
        info.external_attr = 0x20  # archive bit, as Windows' own zips have
        with open(os.path.join(base, folder, entry), "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
PY
}

package_deb() {
  local dir=$1 pkg=$1/deb/pkg
  local doc=$pkg/usr/share/doc/zunel-print-agent
  mkdir -p "$pkg/DEBIAN" "$pkg/usr/bin" "$doc"
  install -m 0755 "$dir/linux/bin/zunel-print-agent" "$pkg/usr/bin/"
  install -m 0644 "$dir/src/packaging/debian/copyright" "$doc/"
  install -m 0644 "$dir/src/README.md" "$dir/src/docs/integration.md" "$doc/"
  sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$(date -R -d "@$SOURCE_DATE_EPOCH")/" \
    "$dir/src/packaging/debian/changelog" | gzip -9n >"$doc/changelog.gz"
  # The run-time libraries as Debian names them. Two are loaded on first use,
  # so dpkg-shlibdeps cannot see them; the template names them: libcrypto
  # (libssl3), which every signed request needs, is a Depends; libcups, only
  # for the spooler and the printer list, a Recommends.
  local depends
  mkdir -p "$dir/deb/debian"
  printf 'Source: zunel-print-agent\n\nPackage: zunel-print-agent\nArchitecture: any\n' \
    >"$dir/deb/debian/control"
  depends=$(cd "$dir/deb" && dpkg-shlibdeps -O "pkg/usr/bin/zunel-print-agent" |
    sed -n 's/^shlibs:Depends=//p')
  sed -e "s/@VERSION@/$version/" -e "s/@DEPENDS@/$depends/" \
    "$dir/src/packaging/debian/control.in" >"$pkg/DEBIAN/control"
  find "$pkg" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  dpkg-deb --root-owner-group -Zxz --build "$pkg" "$dir/dist/zunel-print-agent_${version}_amd64.deb" >/dev/null
}

build_in "$work/a"
if [ "$check" = 1 ]; then
  build_in "$work/b"
  for f in zunel-print-agent.exe "$name-windows-x64.zip" "zunel-print-agent_${version}_amd64.deb"; do
    if [ ! -f "$work/a/dist/$f" ]; then continue; fi
    if ! cmp "$work/a/dist/$f" "$work/b/dist/$f"; then
      echo "release: $f differs between two builds of $commit" >&2
      exit 1
    fi
  done
  echo "release: two builds in two directories gave identical files"
fi

cd "$work/a/dist"
for f in "$name-windows-x64.zip" "zunel-print-agent_${version}_amd64.deb"; do
  if [ ! -f "$f" ]; then continue; fi
  cp "$f" "$out/"
  sha256sum "$f" >"$out/$f.sha256"
  echo "release: $out/$f ($(stat -c %s "$f") bytes)"
done
echo "release: exe $(stat -c %s zunel-print-agent.exe) bytes"
if [ "$deb" = 1 ]; then
  lintian --fail-on error "$out/zunel-print-agent_${version}_amd64.deb"
fi
