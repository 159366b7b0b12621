#!/usr/bin/env bash
# Builds the release from the committed tree (HEAD): the Windows download
# dist/zunel-print-agent-<version>-<build>-windows-x64.zip and the Linux package
# dist/zunel-print-agent_<version>+<build>_amd64.deb, each with its .sha256 and its
# SPDX 2.3 bill of materials (.spdx.json). <version> is AGENT_VERSION; <build>
# tells two builds of one version apart (in the .deb's version, with its - and
# _ written as dots, as a Debian version needs).
#
#   scripts/release.sh [--domain NAME] [--keyset FILE] [--version BUILD] [--out DIR] [--no-deb]
#                      [--check-reproducible] [--test-keys]
#                      [--sign-pkcs12 FILE [--sign-password-file FILE] [--sign-ca FILE]
#                       [--timestamp-url URL]]
#
# Paths are taken from the caller's directory.
#   --domain               the ERP origin domain (default erp.zunel.example,
#                          with a warning)
#   --keyset               the public keyset built in (default config/keyset.json,
#                          a placeholder whose private key nobody holds, with a
#                          warning); refused unless every key is a 32-byte
#                          Ed25519 public key whose id is the first 8 hex digits
#                          of its SHA-256 and no id repeats
#   --version              the build's name, which the exe shows beside its version
#                          (`version`, ping, `report`) and the file names carry;
#                          default: the commit's date (UTC) and short hash,
#                          2026-12-10.78f8fe6c1a2b; at most 40 ASCII letters,
#                          digits and . _ + ~ -, beginning with a letter or a
#                          digit (cmake/build_identity.cmake refuses any other)
#   --test-keys            lets the keyset hold the test key of
#                          tests/fixtures/test_keyset.json (the project's own
#                          tests); BUILD-INFO then says "claves de prueba"
#   --out                  where the files go (default the repository's dist)
#   --no-deb               the Windows zip only
#   --check-reproducible   build twice, in two directories, and fail unless
#                          the exe, the zip and the .deb are byte-identical
#   --sign-pkcs12          sign the exe (Authenticode, SHA-256) with the
#                          certificate and key of this PKCS#12 file; its
#                          password comes from ZUNEL_SIGN_PASSWORD or from
#                          the first line of --sign-password-file, never from
#                          the command line; refused before building unless the
#                          certificate is for code signing, valid now and
#                          matches the key
#   --sign-ca              more trusted certificates (PEM) to verify the
#                          signature with, besides the chain the PKCS#12 carries
#                          and the system's; a signature that does not verify
#                          stops the release
#   --timestamp-url        an RFC 3161 time-stamp server for the signature
#                          (without one the signing time is the commit's)
#
# The build time is the commit's (SOURCE_DATE_EPOCH), so one commit with one
# domain and keyset always gives the same exe; BUILD-INFO.txt gives its SHA-256
# before and after signing. Work directories live under build-release/
# (ZUNEL_RELEASE_WORK). Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)

default_domain=erp.zunel.example
domain=$default_domain
keyset=$root/config/keyset.json
out=$root/dist
check=0
deb=1
test_keys=
build_name=
pkcs12=
password_file=
sign_ca=
timestamp_url=
sign_password=
need_value() { if [ $# -lt 2 ]; then echo "release: $1 needs a value" >&2; exit 2; fi; }
# Paths are the caller's: made absolute before the script changes directory.
while [ $# -gt 0 ]; do
  case "$1" in
    --domain) need_value "$@"; domain=$2; shift 2 ;;
    --keyset) need_value "$@"; keyset=$(realpath -m -- "$2"); shift 2 ;;
    --version) need_value "$@"; build_name=$2; shift 2 ;;
    --out) need_value "$@"; out=$(realpath -m -- "$2"); shift 2 ;;
    --no-deb) deb=0; shift ;;
    --check-reproducible) check=1; shift ;;
    --test-keys) test_keys=--test-keys; shift ;;
    --sign-pkcs12) need_value "$@"; pkcs12=$(realpath -m -- "$2"); shift 2 ;;
    --sign-password-file) need_value "$@"; password_file=$(realpath -m -- "$2"); shift 2 ;;
    --sign-ca) need_value "$@"; sign_ca=$(realpath -m -- "$2"); shift 2 ;;
    --timestamp-url) need_value "$@"; timestamp_url=$2; shift 2 ;;
    *) echo "release: unknown option $1" >&2; exit 2 ;;
  esac
done
work=$(realpath -m -- "${ZUNEL_RELEASE_WORK:-$root/build-release}")
cd "$root"

# openssl pkcs12 on the signing file, the password on standard input;
# -legacy: older exports (RC2, as some Windows versions write) need it.
read_pkcs12() {
  printf '%s' "$sign_password" | openssl pkcs12 -in "$pkcs12" -passin stdin "$@" 2>/dev/null ||
    printf '%s' "$sign_password" | openssl pkcs12 -legacy -in "$pkcs12" -passin stdin "$@" 2>/dev/null
}

# Refuses, one line each, a certificate Windows would not accept for the
# exe: not for code signing, not valid now, or not the key's.
check_certificate() {
  local certificate=$1 usage not_before not_after
  usage=$(printf '%s\n' "$certificate" | openssl x509 -noout -ext extendedKeyUsage 2>/dev/null |
            sed -n 's/^ *//; 2p')
  if ! printf '%s\n' "$usage" | grep -q 'Code Signing'; then
    echo "release: the certificate of $pkcs12 is not for code signing" \
      "(its extended key usage: ${usage:-none}); Windows would reject its signature" >&2
    exit 1
  fi
  not_before=$(printf '%s\n' "$certificate" | openssl x509 -noout -startdate | cut -d= -f2)
  not_after=$(printf '%s\n' "$certificate" | openssl x509 -noout -enddate | cut -d= -f2)
  if [ "$(date -d "$not_before" +%s)" -gt "$(date +%s)" ]; then
    echo "release: the certificate of $pkcs12 is not valid before $not_before" >&2
    exit 1
  fi
  if ! printf '%s\n' "$certificate" | openssl x509 -noout -checkend 0 >/dev/null; then
    echo "release: the certificate of $pkcs12 expired on $not_after" >&2
    exit 1
  fi
  # The private key goes through a pipe only.
  if [ "$(read_pkcs12 -nocerts -nodes | openssl pkey -pubout 2>/dev/null)" != \
       "$(printf '%s\n' "$certificate" | openssl x509 -noout -pubkey)" ]; then
    echo "release: the private key of $pkcs12 is not the key of its certificate" >&2
    exit 1
  fi
}

# The certificate's subject as written (UTF-8) and its fingerprints, for BUILD-INFO.
signer() {
  printf '%s\n' "$1" |
    openssl x509 -noout -subject -fingerprint -sha256 -nameopt RFC2253,-esc_msb |
    sed -e 's/^subject=/signer: /' -e 's/^sha256 Fingerprint=/signer certificate SHA-256: /'
  printf '%s\n' "$1" | openssl x509 -noout -fingerprint -sha1 |
    sed -e 's/://g' \
        -e 's/^sha1 Fingerprint=/signer certificate thumbprint (SHA-1, as Windows shows it): /'
}

files=$root/scripts/release_files.py
key_lines=$("$files" keyset "$keyset" $test_keys)
if [ "$domain" = "$default_domain" ]; then
  echo "release: warning: the ERP origin domain is the default, $default_domain;" \
    "--domain names yours" >&2
fi
if [ -n "$pkcs12" ]; then
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
  # Before building: a wrong password, file or certificate fails now, not
  # after the build.
  if ! certificate=$(read_pkcs12 -nokeys -clcerts) ||
     ! printf '%s\n' "$certificate" | openssl x509 -noout 2>/dev/null; then
    echo "release: cannot read the certificate of $pkcs12 with the password given" >&2
    exit 1
  fi
  check_certificate "$certificate"
  signer_lines=$(signer "$certificate")
  # What the signature is verified against: the chain the PKCS#12 carries,
  # --sign-ca and the system's certification authorities.
  mkdir -p "$work"
  chain=$work/signing-chain.pem
  read_pkcs12 -nokeys -cacerts >"$chain" || true
  if [ -n "$sign_ca" ]; then cat -- "$sign_ca" >>"$chain"; fi
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    cat /etc/ssl/certs/ca-certificates.crt >>"$chain"
  fi
elif [ -n "$password_file$timestamp_url$sign_ca" ]; then
  echo "release: --sign-password-file, --sign-ca and --timestamp-url go with --sign-pkcs12" >&2
  exit 2
fi
unset ZUNEL_SIGN_PASSWORD
mkdir -p "$out"

if [ -z "${ZUNEL_RELEASE_NO_INSTALL:-}" ]; then scripts/install-deps.sh --release; fi

# The build's identity: the name given, or the commit's (HEAD's: what is
# built); the script refuses a name that cannot go into a file name, the
# reason on its first line.
if ! build=$(cmake -DSOURCE_DIR="$root" -DBUILD_ID="$build_name" -DCOMMITTED=ON -DPRINT=ON \
               -P "$root/cmake/build_identity.cmake" 2>&1); then
  echo "release: --version: $(printf '%s\n' "$build" | head -n 1)" >&2
  exit 1
fi

sodium=$(scripts/windows-sodium.sh)

# The Debian packages whose versions decide the bytes of the exe and the .deb.
toolchain=$(dpkg-query -W -f='${Package} ${Version}\n' g++-mingw-w64-x86-64-posix \
  gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev mingw-w64-common \
  g++-12 gcc-12 binutils libstdc++-12-dev libc6-dev libboost1.81-dev libsodium-dev \
  libcups2-dev libssl-dev cmake ninja-build python3 dpkg-dev xz-utils gzip zlib1g osslsigncode 2>/dev/null || true)

commit=$(git rev-parse HEAD)
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
if ! git diff --quiet HEAD --; then
  echo "release: the tree has uncommitted changes; building HEAD ($commit) without them" >&2
fi
version=$(sed -n 's/.*AGENT_VERSION = "\([0-9.]*\)".*/\1/p' agentcore/src/base/constants.h)
# The zip, and the folder it holds, are named by the version and the build.
release=$version-$build
name=zunel-print-agent-$release
# The .deb's version: Debian's upstream version takes no - or _ (here).
deb_version=$version+$(printf '%s' "$build" | tr -- '-_' '..')
deb_name=zunel-print-agent_${deb_version}_amd64.deb
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
    -DZUNEL_ERP_ORIGIN_DOMAIN="$domain" -DZUNEL_KEYSET_FILE="$keyset" -DZUNEL_BUILD_ID="$build")

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
  # What Windows checks: the signature against a trusted chain, for code
  # signing (revocation lists are not fetched: the build stays offline).
  local verified
  if ! verified=$(osslsigncode verify -ignore-cdp -CAfile "$chain" -in "$signed" 2>&1); then
    echo "release: the signature does not verify against the chain of $pkcs12${sign_ca:+, $sign_ca}" \
      "and the system's authorities: $(printf '%s\n' "$verified" |
        sed -n '/./{s/.*Verify error: //;p;q;}')" >&2
    exit 1
  fi
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
  sed -e "s/@VERSION@/$version/g" -e "s/@BUILD@/$build/g" -e "s/@FOLDER@/$name/g" \
    "$dir/src/packaging/windows/LEEME.txt" | to_windows_text >"$stage/LEEME.txt"
  "$files" components "$dir/win" "$dir/win-components.json" --map "$dir/win/zunel-print-agent.map" \
    --sodium "$sodium"
  "$files" notices "$dir/win-components.json" "zunel-print-agent.exe $release: third-party notices" \
    "$dir/notices.txt"
  to_windows_text <"$dir/notices.txt" >"$stage/THIRD-PARTY-NOTICES.txt"
  local built_sha shipped_sha
  built_sha=$(sha256sum "$built" | cut -d' ' -f1)
  shipped_sha=$(sha256sum "$stage/zunel-print-agent.exe" | cut -d' ' -f1)
  {
    # As the exe's `version` prints them.
    echo "zunel-print-agent $version"
    echo "compilación $build"
    echo "commit: $commit"
    echo "ERP origin domain: $domain"
    printf '%s\n' "$key_lines"
    echo "zunel-print-agent.exe SHA-256: $shipped_sha"
    echo "zunel-print-agent.exe SHA-256 as built, before signing: $built_sha"
    if [ -n "$pkcs12" ]; then
      echo "Authenticode: firmado (SHA-256)"
      printf '%s\n' "$signer_lines"
    else
      echo "Authenticode: sin firmar"
    fi
    echo
    echo "To check the exe on Windows, in the folder that holds it:"
    echo "  certutil -hashfile zunel-print-agent.exe SHA256   (must print the exe's SHA-256, above)"
    if [ -n "$pkcs12" ]; then
      echo "  the file's Properties > Firmas digitales: the signer above; its Detalles say"
      echo "    \"Esta firma digital es correcta.\""
      echo "  PowerShell: Get-AuthenticodeSignature .\\zunel-print-agent.exe | Format-List"
      echo "    (Status: Valid; SignerCertificate: the signer and thumbprint above)"
    fi
    echo "On Linux (Debian: sha256sum; osslsigncode for the signature):"
    echo "  sha256sum zunel-print-agent.exe   (must print the exe's SHA-256, above)"
    if [ -n "$pkcs12" ]; then
      echo "  osslsigncode verify -CAfile <the signer's CA chain> -in zunel-print-agent.exe"
      echo "  osslsigncode remove-signature -in zunel-print-agent.exe -out sin-firma.exe"
      echo "  sha256sum sin-firma.exe   (must print the SHA-256 as built, above)"
    fi
    echo "Rebuilding the commit with scripts/release.sh, the same domain and keyset, on"
    echo "Debian 12 with these package versions, gives the exe as built byte for byte:"
    printf '%s\n' "$toolchain" | sed 's/^/  /'
  } | to_windows_text >"$stage/BUILD-INFO.txt"
  cp "$stage/zunel-print-agent.exe" "$dir/dist/"
  "$files" zip "$dir/zip" "$dir/dist/$name-windows-x64.zip" "$name" \
    zunel-print-agent.exe LEEME.txt BUILD-INFO.txt THIRD-PARTY-NOTICES.txt
  "$files" sbom "$dir/dist/$name-windows-x64.zip" "$dir/dist/$name-windows-x64.zip.spdx.json" \
    --name "$name-windows-x64" --version "$release" --domain "$domain" \
    --contains "$stage/zunel-print-agent.exe" --component-json "$dir/win-components.json"
}

package_deb() {
  local dir=$1 pkg=$1/deb/pkg
  local doc=$pkg/usr/share/doc/zunel-print-agent man=$pkg/usr/share/man/man1
  rm -rf "$pkg"
  mkdir -p "$pkg/DEBIAN" "$pkg/usr/bin" "$doc" "$man"
  install -m 0755 "$dir/linux/bin/zunel-print-agent" "$pkg/usr/bin/"
  sed "s|@DOMAIN@|$domain|" "$dir/src/packaging/debian/copyright" >"$doc/copyright"
  sed -e "s/@VERSION@/$version/g" -e "s/@BUILD@/$build/g" "$dir/src/packaging/debian/README" >"$doc/README"
  chmod 0644 "$doc/copyright" "$doc/README"
  sed -e "s/@VERSION@/$deb_version/" -e "s/@DATE@/$(date -R -d "@$SOURCE_DATE_EPOCH")/" \
    "$dir/src/packaging/debian/changelog" | gzip -9n >"$doc/changelog.gz"
  sed -e "s/@VERSION@/$version/g" -e "s/@BUILD@/$build/g" \
    -e "s/@DATE@/$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)/" \
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
  sed -e "s/@VERSION@/$deb_version/" -e "s/@DEPENDS@/$depends/" -e "s/@SIZE@/$size/" \
    -e "s|@DOMAIN@|$domain|" "$dir/src/packaging/debian/control.in" >"$pkg/DEBIAN/control"
  (cd "$pkg" && find usr -type f | LC_ALL=C sort | xargs md5sum >DEBIAN/md5sums)
  find "$pkg" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  local deb_file=$dir/dist/$deb_name
  dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb_file" >/dev/null
  # The bill of materials: Boost compiled in, and the packages it runs on.
  "$files" components "$dir/linux" "$dir/linux-components.json" --only Boost
  local runs_on=()
  read -r -a runs_on <<<"$(printf '%s, libssl3, libcups2' "$depends" |
    sed -e 's/ *([^)]*)//g' -e 's/,/ /g')"
  "$files" sbom "$deb_file" "$deb_file.spdx.json" --name "${deb_name%.deb}" \
    --version "$deb_version" --domain "$domain" --contains "$pkg/usr/bin/zunel-print-agent" \
    --component-json "$dir/linux-components.json" $(printf -- '--depends %s ' "${runs_on[@]}")
}

build_in "$work/a"
if [ "$check" = 1 ]; then
  build_in "$work/b"
  compare=(zunel-print-agent-unsigned.exe "$deb_name")
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
for f in "$name-windows-x64.zip" "$deb_name"; do
  if [ ! -f "$f" ]; then continue; fi
  cp "$f" "$f.spdx.json" "$out/"
  sha256sum "$f" >"$out/$f.sha256"
  echo "release: $out/$f ($(stat -c %s "$f") bytes), with .sha256 and .spdx.json"
done
echo "release: exe $(stat -c %s zunel-print-agent.exe) bytes," \
  "$([ -n "$pkcs12" ] && echo signed || echo unsigned)"
if [ "$deb" = 1 ]; then
  lintian --fail-on error,warning "$out/$deb_name"
fi
