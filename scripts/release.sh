#!/usr/bin/env bash
# Builds the release from the committed tree (HEAD): the Windows download
# dist/zunel-print-agent-<version>-windows-x64.zip and the Linux package
# dist/zunel-print-agent_<version>_amd64.deb, each with its .sha256 and its
# SPDX 2.3 bill of materials (.spdx.json).
#
#   scripts/release.sh [--domain NAME] [--keyset FILE] [--out DIR] [--no-deb] [--check-reproducible]
#                      [--sign-pkcs12 FILE [--sign-password-file FILE] [--timestamp-url URL]]
#
#   --domain               the ERP origin domain (default erp.zunel.example)
#   --keyset               the public keyset built in (default config/keyset.json);
#                          refused unless every key is a 32-byte Ed25519 public
#                          key and no id repeats
#   --out                  where the files go (default dist)
#   --no-deb               the Windows zip only
#   --check-reproducible   build twice, in two directories, and fail unless
#                          the exe, the zip and the .deb are byte-identical
#   --sign-pkcs12          sign the exe (Authenticode, SHA-256) with the
#                          certificate and key of this PKCS#12 file; its
#                          password comes from ZUNEL_SIGN_PASSWORD or from
#                          the first line of --sign-password-file, never from
#                          the command line
#   --timestamp-url        an RFC 3161 time-stamp server for the signature
#                          (without one the signing time is the commit's)
#
# The build time is the commit's (SOURCE_DATE_EPOCH), so one commit with one
# domain and keyset always gives the same exe; BUILD-INFO.txt gives its SHA-256
# before and after signing. Work directories live under build-release/
# (ZUNEL_RELEASE_WORK). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

domain=erp.zunel.example
keyset=config/keyset.json
out=dist
check=0
deb=1
pkcs12=
password_file=
timestamp_url=
sign_password=
need_value() { if [ $# -lt 2 ]; then echo "release: $1 needs a value" >&2; exit 2; fi; }
while [ $# -gt 0 ]; do
  case "$1" in
    --domain) need_value "$@"; domain=$2; shift 2 ;;
    --keyset) need_value "$@"; keyset=$2; shift 2 ;;
    --out) need_value "$@"; out=$2; shift 2 ;;
    --no-deb) deb=0; shift ;;
    --check-reproducible) check=1; shift ;;
    --sign-pkcs12) need_value "$@"; pkcs12=$2; shift 2 ;;
    --sign-password-file) need_value "$@"; password_file=$2; shift 2 ;;
    --timestamp-url) need_value "$@"; timestamp_url=$2; shift 2 ;;
    *) echo "release: unknown option $1" >&2; exit 2 ;;
  esac
done
# The certificate's subject and SHA-256 fingerprint, for BUILD-INFO.
signer() {
  local certificate
  # -legacy: older exports (RC2, as some Windows versions write) need it.
  certificate=$(printf '%s' "$sign_password" |
                  openssl pkcs12 -in "$pkcs12" -passin stdin -nokeys -clcerts 2>/dev/null ||
                printf '%s' "$sign_password" |
                  openssl pkcs12 -legacy -in "$pkcs12" -passin stdin -nokeys -clcerts 2>/dev/null)
  printf '%s\n' "$certificate" |
    openssl x509 -noout -subject -fingerprint -sha256 -nameopt RFC2253 2>/dev/null |
    sed -e 's/^subject=/signer: /' -e 's/^sha256 Fingerprint=/signer certificate SHA-256: /'
}

files=$root/scripts/release_files.py
keyset=$(realpath "$keyset")
key_lines=$("$files" keyset "$keyset")
if [ -n "$pkcs12" ]; then
  pkcs12=$(realpath "$pkcs12")
  # The password lives in a shell variable only: no command line, and no
  # environment of the compilers and tools this script starts.
  if [ -n "$password_file" ]; then
    if ! { IFS= read -r sign_password <"$password_file" || [ -n "$sign_password" ]; }; then
      echo "release: no password in $password_file" >&2
      exit 2
    fi
    sign_password=${sign_password%$'\r'}
  elif [ -z "${ZUNEL_SIGN_PASSWORD+set}" ]; then
    echo "release: --sign-pkcs12 needs its password in ZUNEL_SIGN_PASSWORD or --sign-password-file" >&2
    exit 2
  else
    sign_password=$ZUNEL_SIGN_PASSWORD
  fi
  # Before building: a wrong password or file fails now, not after the build.
  if ! signer_lines=$(signer); then
    echo "release: cannot read the certificate of $pkcs12 with the password given" >&2
    exit 1
  fi
elif [ -n "$password_file$timestamp_url" ]; then
  echo "release: --sign-password-file and --timestamp-url go with --sign-pkcs12" >&2
  exit 2
fi
unset ZUNEL_SIGN_PASSWORD
mkdir -p "$out"
out=$(realpath "$out")
work=${ZUNEL_RELEASE_WORK:-$root/build-release}

if [ -z "${ZUNEL_RELEASE_NO_INSTALL:-}" ]; then scripts/install-deps.sh --release; fi
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
    -DZUNEL_BOOST_INCLUDE="$dir/win/boost-include" -DZUNEL_SODIUM_ROOT="$sodium" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-Map=$dir/win/zunel-print-agent.map" >/dev/null
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

# Signs $1 into $2 (Authenticode, SHA-256) and checks that removing the
# signature gives $1 back byte for byte.
sign_exe() {
  local built=$1 signed=$2 stamp=(-time "$SOURCE_DATE_EPOCH")
  if [ -n "$timestamp_url" ]; then stamp=(-ts "$timestamp_url"); fi
  local sign=(osslsigncode sign -pkcs12 "$pkcs12" -h sha256 -n "ZUNEL Print Agent"
              -i "https://$domain/" "${stamp[@]}" -in "$built" -out "$signed")
  rm -f "$signed"
  # printf is the shell's own: the password reaches no command line.
  printf '%s' "$sign_password" | "${sign[@]}" -readpass - >/dev/null
  rm -f "$signed.unsigned"
  osslsigncode remove-signature -in "$signed" -out "$signed.unsigned" >/dev/null
  if ! cmp -s "$built" "$signed.unsigned"; then
    echo "release: removing the signature does not give the exe as built" >&2
    exit 1
  fi
  rm -f "$signed.unsigned"
}

package_zip() {
  local dir=$1 stage=$1/zip/$name
  mkdir -p "$stage"
  # The exe as built: padded to 8 bytes and checksummed as signing would.
  local built=$dir/dist/zunel-print-agent-unsigned.exe
  cp "$dir/win/bin/zunel-print-agent.exe" "$built"
  "$files" pe-finish "$built"
  if [ -n "$pkcs12" ]; then
    sign_exe "$built" "$stage/zunel-print-agent.exe"
  else
    cp "$built" "$stage/zunel-print-agent.exe"
  fi
  sed "s/@VERSION@/$version/" "$dir/src/packaging/windows/LEEME.txt" | to_windows_text >"$stage/LEEME.txt"
  "$files" components "$dir/win" "$dir/win-components.json" --map "$dir/win/zunel-print-agent.map" \
    --sodium "$sodium"
  "$files" notices "$dir/win-components.json" "zunel-print-agent.exe $version: third-party notices" \
    "$dir/notices.txt"
  to_windows_text <"$dir/notices.txt" >"$stage/THIRD-PARTY-NOTICES.txt"
  local built_sha shipped_sha
  built_sha=$(sha256sum "$built" | cut -d' ' -f1)
  shipped_sha=$(sha256sum "$stage/zunel-print-agent.exe" | cut -d' ' -f1)
  {
    echo "zunel-print-agent $version"
    echo "commit: $commit"
    echo "ERP origin domain: $domain"
    printf '%s\n' "$key_lines"
    echo "zunel-print-agent.exe SHA-256: $shipped_sha"
    echo "zunel-print-agent.exe SHA-256 as built, before signing: $built_sha"
    if [ -n "$pkcs12" ]; then
      echo "Authenticode: firmado (SHA-256)"
      printf '%s\n' "$signer_lines"
      echo "To check that the shipped exe is the exe as built plus its signature:"
      echo "  osslsigncode remove-signature -in zunel-print-agent.exe -out sin-firma.exe"
      echo "  sha256sum sin-firma.exe   (must print the SHA-256 as built, above)"
      echo "and rebuild the commit with scripts/release.sh to get that SHA-256 yourself."
    else
      echo "Authenticode: sin firmar"
    fi
  } | to_windows_text >"$stage/BUILD-INFO.txt"
  cp "$stage/zunel-print-agent.exe" "$dir/dist/"
  "$files" zip "$dir/zip" "$dir/dist/$name-windows-x64.zip" "$name" \
    zunel-print-agent.exe LEEME.txt BUILD-INFO.txt THIRD-PARTY-NOTICES.txt
  "$files" sbom "$dir/dist/$name-windows-x64.zip" "$dir/dist/$name-windows-x64.zip.spdx.json" \
    --name "$name-windows-x64" --version "$version" --domain "$domain" \
    --contains "$stage/zunel-print-agent.exe" --component-json "$dir/win-components.json"
}

package_deb() {
  local dir=$1 pkg=$1/deb/pkg
  local doc=$pkg/usr/share/doc/zunel-print-agent man=$pkg/usr/share/man/man1
  rm -rf "$pkg"
  mkdir -p "$pkg/DEBIAN" "$pkg/usr/bin" "$doc" "$man"
  install -m 0755 "$dir/linux/bin/zunel-print-agent" "$pkg/usr/bin/"
  sed "s|@DOMAIN@|$domain|" "$dir/src/packaging/debian/copyright" >"$doc/copyright"
  sed "s/@VERSION@/$version/" "$dir/src/packaging/debian/README" >"$doc/README"
  chmod 0644 "$doc/copyright" "$doc/README"
  sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$(date -R -d "@$SOURCE_DATE_EPOCH")/" \
    "$dir/src/packaging/debian/changelog" | gzip -9n >"$doc/changelog.gz"
  sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)/" \
    "$dir/src/packaging/debian/zunel-print-agent.1" | gzip -9n >"$man/zunel-print-agent.1.gz"
  chmod 0644 "$doc/changelog.gz" "$man/zunel-print-agent.1.gz"
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
  # Installed-Size as dpkg counts it: KiB of the files, apparent sizes.
  local size
  size=$(du -s -k --apparent-size --exclude=DEBIAN "$pkg" | cut -f1)
  sed -e "s/@VERSION@/$version/" -e "s/@DEPENDS@/$depends/" -e "s/@SIZE@/$size/" \
    -e "s|@DOMAIN@|$domain|" "$dir/src/packaging/debian/control.in" >"$pkg/DEBIAN/control"
  (cd "$pkg" && find usr -type f | LC_ALL=C sort | xargs md5sum >DEBIAN/md5sums)
  find "$pkg" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  local deb_file=$dir/dist/zunel-print-agent_${version}_amd64.deb
  dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb_file" >/dev/null
  # The bill of materials: Boost compiled in, and the packages it runs on.
  "$files" components "$dir/linux" "$dir/linux-components.json" --only Boost
  local runs_on=()
  read -r -a runs_on <<<"$(printf '%s, libssl3, libcups2' "$depends" |
    sed -e 's/ *([^)]*)//g' -e 's/,/ /g')"
  "$files" sbom "$deb_file" "$deb_file.spdx.json" --name "zunel-print-agent_${version}_amd64" \
    --version "$version" --domain "$domain" --contains "$pkg/usr/bin/zunel-print-agent" \
    --component-json "$dir/linux-components.json" $(printf -- '--depends %s ' "${runs_on[@]}")
}

build_in "$work/a"
if [ "$check" = 1 ]; then
  build_in "$work/b"
  compare=(zunel-print-agent-unsigned.exe zunel-print-agent_${version}_amd64.deb)
  # A time stamp differs from one signing to the next; without one the
  # signature, like the rest, depends only on the inputs.
  if [ -z "$timestamp_url" ]; then compare+=("$name-windows-x64.zip"); fi
  for f in "${compare[@]}"; do
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
  cp "$f" "$f.spdx.json" "$out/"
  sha256sum "$f" >"$out/$f.sha256"
  echo "release: $out/$f ($(stat -c %s "$f") bytes), with .sha256 and .spdx.json"
done
echo "release: exe $(stat -c %s zunel-print-agent.exe) bytes," \
  "$([ -n "$pkcs12" ] && echo signed || echo unsigned)"
if [ "$deb" = 1 ]; then
  lintian --fail-on error,warning "$out/zunel-print-agent_${version}_amd64.deb"
fi
