#!/usr/bin/python3
"""The release's files that scripts/release.sh writes with Python: checks of
the keyset, the exe's last touches, the third-party notices, the software
bills of materials (SPDX 2.3) and the zip. Every failure is one line on
standard error and exit status 1.

  release_files.py keyset KEYSET [--test-keys]
      Refuses a keyset whose keys are not 32-byte Ed25519 public keys, whose
      ids repeat or are not the first 8 hex digits of their keys' SHA-256, or
      that holds the test key (unless --test-keys); prints BUILD-INFO's lines
      on the keys, and on standard error a warning for the test key and for
      the placeholder key of config/keyset.json.
  release_files.py pe-finish EXE
      Pads the exe with zeros to a multiple of 8 bytes and writes its PE
      checksum, as Authenticode signing would: removing a signature then gives
      back these very bytes.
  release_files.py components BUILD_DIR OUT_JSON [--map LINK_MAP] [--sodium PREFIX] [--only NAME]
      What the build put into its executable: the libraries the link map shows
      were linked statically and the header-only libraries the compiler read,
      each with the Debian packages it came from, their versions and its
      licence (--only: that one component, if the build used it).
  release_files.py notices COMPONENTS_JSON TITLE OUT
      THIRD-PARTY-NOTICES.txt: each component and its package's copyright file.
  release_files.py sbom ARTIFACT OUT --name NAME --version V --domain D
                        [--component-json FILE] [--contains FILE] [--depends PKG ...]
      The SPDX 2.3 JSON bill of materials of ARTIFACT.
  release_files.py zip FOLDER TARGET NAME ENTRY...
      The zip with fixed order, times (SOURCE_DATE_EPOCH) and attributes."""

import base64
import binascii
import functools
import glob
import hashlib
import json
import os
import re
import struct
import subprocess
import sys
import textwrap
import time
import zipfile

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"

# What each statically linked file is, by Debian package and file name (first
# match wins). A package missing here stops the release, so a new dependency
# never ships without its notice.
STATIC_RULES = (
    (r"libsodium-dev", r".*", "libsodium", "ISC"),
    (r"mingw-w64-x86-64-dev|mingw-w64-common",
     r"lib(win)?pthread.*\.a|pthread.*\.h|sched\.h|semaphore\.h", "winpthreads",
     "MIT AND BSD-3-Clause"),
    (r"mingw-w64-x86-64-dev|mingw-w64-common", r".*", "MinGW-w64 runtime",
     "ZPL-2.1 AND MIT AND BSD-3-Clause"),
    (r"g\+\+-mingw-w64-x86-64-posix|libstdc\+\+-[0-9]+-dev", r".*", "libstdc++", GCC_RUNTIME),
    (r"gcc-mingw-w64-x86-64-posix|libgcc-[0-9]+-dev", r".*", "libgcc", GCC_RUNTIME),
    (r"libboost[0-9.]*-dev", r".*", "Boost", "BSL-1.0"),
)

# Licences of the run-time packages a .deb depends on (their own copyright
# files come with them); any other is NOASSERTION.
DYNAMIC_LICENCES = {
    "libc6": "LGPL-2.1-or-later",
    "libgcc-s1": GCC_RUNTIME,
    "libstdc++6": GCC_RUNTIME,
    "libsodium23": "ISC",
    "libssl3": "Apache-2.0",
    "libcups2": "Apache-2.0",
}

# Who supplies every third-party component: each comes from a Debian package.
DEBIAN_SUPPLIER = "Organization: Debian"

# A machine-readable copyright file above this size (Boost's lists some two
# thousand files) goes into the notices as its header and full licence texts.
WHOLE_COPYRIGHT_LIMIT = 256 * 1024


class Refused(Exception):
    pass


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Two keysets of this repository, known by their public keys wherever a copy
# lives: the test keyset, whose private seed is in the repository (its id,
# 7e57c0de, predates the id rule and stays), and the placeholder of
# config/keyset.json, whose private key nobody holds.
TEST_KEYSET = os.path.join(SOURCE, "tests", "fixtures", "test_keyset.json")
PLACEHOLDER_KEYSET = os.path.join(SOURCE, "config", "keyset.json")


def public_keys(path):
    with open(path, "rb") as f:
        return {entry["pubkey_b64"] for entry in json.loads(f.read().decode("utf-8"))}


def check_keyset(path, test_keys=False):
    """BUILD-INFO's lines on the keyset at `path`, and the warnings the
    release prints; refuses a keyset the agent could not use as meant."""
    import nacl.bindings
    sys.path.insert(0, os.path.join(SOURCE, "tools"))
    from zunel_vendor import public_key_id
    try:
        with open(path, "rb") as f:
            keys = json.loads(f.read().decode("utf-8"))
    except (OSError, ValueError) as e:
        raise Refused("keyset %s: %s" % (path, e))
    if not isinstance(keys, list) or not keys:
        raise Refused("keyset %s: not a non-empty JSON array of keys" % path)
    test_public, placeholder_public = public_keys(TEST_KEYSET), public_keys(PLACEHOLDER_KEYSET)
    lines, warnings, seen = [], [], set()
    for position, key in enumerate(keys, 1):
        where = "keyset %s, key %d" % (path, position)
        if not isinstance(key, dict) or not isinstance(key.get("kid"), str) or not key["kid"]:
            raise Refused(where + ": no kid")
        kid = key["kid"]
        if kid in seen:
            raise Refused("%s: the id %s repeats" % (where, kid))
        seen.add(kid)
        try:
            public = base64.b64decode(key.get("pubkey_b64", ""), validate=True)
        except (TypeError, binascii.Error):
            raise Refused("%s (%s): pubkey_b64 is not Base64" % (where, kid))
        if len(public) != 32:
            raise Refused("%s (%s): pubkey_b64 decodes to %d bytes, not the 32 of an Ed25519 "
                          "public key" % (where, kid, len(public)))
        if not nacl.bindings.crypto_core_ed25519_is_valid_point(public):
            raise Refused("%s (%s): pubkey_b64 is not an Ed25519 public key" % (where, kid))
        if key["pubkey_b64"] in test_public:
            if not test_keys:
                raise Refused("%s (%s): the test key, whose private seed is public; a release "
                              "for shops never holds it (--test-keys builds one for tests)"
                              % (where, kid))
            lines.append("claves de prueba: key %s is the test key, whose private seed is "
                         "public; never give this build to a shop" % kid)
            warnings.append("%s is the test key: this build is for tests only" % kid)
        elif kid != public_key_id(public):
            raise Refused("%s (%s): the id is not the first 8 hex digits of the key's SHA-256 "
                          "(%s), as tools/zunel_vendor.py makes it" % (where, kid,
                                                                       public_key_id(public)))
        if key["pubkey_b64"] in placeholder_public:
            lines.append("key %s is the placeholder of config/keyset.json, whose private key "
                         "nobody holds: this build accepts no ticket and no revocation list" % kid)
            warnings.append("%s is the placeholder key of config/keyset.json: no ticket will "
                            "ever be accepted (--keyset names your own keyset)" % kid)
        lines.append("key %s SHA-256: %s" % (kid, hashlib.sha256(public).hexdigest()))
    return ["trusted key ids: " + ", ".join(k["kid"] for k in keys)] + lines, warnings


def pe_finish(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data += bytes(-len(data) % 8)
    if data[:2] != b"MZ":
        raise Refused(path + ": not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise Refused(path + ": not a PE file")
    checksum_at = pe + 24 + 64  # OptionalHeader.CheckSum
    struct.pack_into("<I", data, checksum_at, 0)
    # The sum of the file's 16-bit words, carries folded back in, plus its length.
    total = sum(struct.unpack("<%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", data, checksum_at, total + len(data))
    with open(path, "wb") as f:
        f.write(data)


def dpkg_owners():
    """Every installed file of dpkg's database, with its package."""
    owners = {}
    for listing in glob.glob("/var/lib/dpkg/info/*.list"):
        package = os.path.basename(listing)[:-len(".list")].split(":")[0]
        with open(listing, encoding="utf-8", errors="surrogateescape") as f:
            for line in f:
                owners.setdefault(line.rstrip("\n"), package)
    return owners


@functools.lru_cache(maxsize=None)
def package_version(package, field="Version"):
    return subprocess.run(["dpkg-query", "-W", "-f=${%s}" % field, package], check=True,
                          capture_output=True, text=True).stdout


def linked_files(link_map, build_dir):
    """The archives the linker took members from and the objects it loaded,
    from GNU ld's link map (relative paths are the build directory's)."""
    with open(link_map, encoding="utf-8", errors="replace") as f:
        text = f.read()
    files = set()
    members = text.split("Archive member included to satisfy reference by file (symbol)", 1)
    if len(members) == 2:
        section = re.split(r"\n(?:Discarded input sections|Memory Configuration|Allocating common)",
                           members[1], 1)[0]
        files.update(m.group(1) for m in re.finditer(r"^(/\S+?\.a)\(", section, re.M))
    files.update(m.group(1) for m in re.finditer(r"^LOAD (\S+\.o(?:bj)?)$", text, re.M))
    return {os.path.normpath(os.path.join(build_dir, f)) for f in files}


def header_files(build_dir):
    """Every file the compiler read, as ninja recorded it."""
    out = subprocess.run(["ninja", "-C", build_dir, "-t", "deps"], check=True,
                         capture_output=True, text=True).stdout
    return {os.path.normpath(os.path.join(build_dir, line.strip()))
            for line in out.splitlines() if line.startswith("    ")}


def components(build_dir, link_map=None, sodium=None, only=None):
    build_dir = os.path.realpath(build_dir)
    ours = (build_dir, os.path.realpath(os.path.join(build_dir, "..", "src")))
    files = header_files(build_dir) | (linked_files(link_map, build_dir) if link_map else set())
    owners = dpkg_owners()
    found = {}
    for path in sorted(files):
        real = os.path.realpath(path)
        if real.startswith(tuple(d + os.sep for d in ours)):
            continue
        if sodium and real.startswith(os.path.realpath(sodium) + os.sep):
            # Built for Windows from Debian's source package of the installed
            # libsodium-dev (scripts/windows-sodium.sh).
            package, version = "libsodium-dev", package_version("libsodium-dev", "source:Version")
            source = package_version("libsodium-dev", "source:Package")
        else:
            package = owners.get(path) or owners.get(real)
            if package is None:
                raise Refused("%s: the build used it, but no Debian package holds it" % real)
            version = source = None
        for package_rule, file_rule, name, licence in STATIC_RULES:
            if (re.fullmatch(package_rule, package)
                    and re.fullmatch(file_rule, os.path.basename(real))):
                break
        else:
            if only:
                continue
            raise Refused("%s (Debian package %s): no licence entry in scripts/release_files.py; "
                          "add one" % (real, package))
        if only and name != only:
            continue
        entry = found.setdefault(name, {"name": name, "licence": licence, "packages": {},
                                        "files": []})
        entry["packages"].setdefault(package, version or package_version(package))
        if source:
            entry["built_from_source"] = source
        entry["files"].append(real)
    return sorted(found.values(), key=lambda c: c["name"].lower())


def copyright_text(package):
    path = "/usr/share/doc/%s/copyright" % package
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    if len(text) <= WHOLE_COPYRIGHT_LIMIT or not text.startswith("Format:"):
        return text
    paragraphs = text.split("\n\n")
    licences = [p for p in paragraphs[1:] if p.startswith("License:")]
    return "\n\n".join([paragraphs[0], "(The list of files and their copyright holders, %d "
                        "kB, is in %s of the Debian package %s. The licence texts follow.)"
                        % (len(text) // 1024, path, package)] + licences) + "\n"


def packages_text(component):
    return ", ".join("%s %s" % item for item in sorted(component["packages"].items()))


def notices(components_list, title):
    out = [title, "=" * len(title), "",
           "This program contains the components below, linked into it when it was built.",
           "For each: the Debian packages the build took it from, with their versions, and",
           "their copyright files, with the licence texts, as Debian ships them.", ""]
    for c in components_list:
        out.append("  %s (Debian %s): %s" % (c["name"], packages_text(c), c["licence"]))
        linked = sorted({os.path.basename(f) for f in c["files"] if re.search(r"\.(a|o)$", f)})
        out.append(textwrap.fill("linked: " + (", ".join(linked) if linked else
                                               "none, only its headers"),
                                 width=78, initial_indent="      ", subsequent_indent="        "))
    texts = {}
    for c in components_list:
        for package, version in sorted(c["packages"].items()):
            users = texts.setdefault(copyright_text(package), [])
            if (package, version) not in users:
                users.append((package, version))
    for text, users in texts.items():
        head = "Debian " + ", ".join("%s %s" % user for user in users) + ": copyright"
        out += ["", "", "-" * 78, head, "-" * 78, "", text.rstrip("\n")]
    return "\n".join(out) + "\n"


def spdx_id(text):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]+", "-", text).strip("-")


def sbom(artifact, name, version, domain, component_list, contains, depends):
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    artifact_sha = sha256_file(artifact)
    root = spdx_id("Package-" + os.path.basename(artifact))
    packages = [{
        "SPDXID": root, "name": os.path.basename(artifact), "versionInfo": version,
        "supplier": "Organization: ZUNEL", "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "checksums": [{"algorithm": "SHA256", "checksumValue": artifact_sha}],
        "licenseConcluded": "LicenseRef-ZUNEL", "licenseDeclared": "LicenseRef-ZUNEL",
        "copyrightText": "ZUNEL", "primaryPackagePurpose": "APPLICATION"}]
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                      "relatedSpdxElement": root}]
    holder = root
    for path in contains:
        holder = spdx_id("Package-" + os.path.basename(path))
        packages.append({
            "SPDXID": holder, "name": os.path.basename(path), "versionInfo": version,
            "supplier": "Organization: ZUNEL", "downloadLocation": "NOASSERTION",
            "filesAnalyzed": False,
            "checksums": [{"algorithm": "SHA256", "checksumValue": sha256_file(path)}],
            "licenseConcluded": "LicenseRef-ZUNEL", "licenseDeclared": "LicenseRef-ZUNEL",
            "copyrightText": "ZUNEL", "primaryPackagePurpose": "APPLICATION"})
        relationships.append({"spdxElementId": root, "relationshipType": "CONTAINS",
                              "relatedSpdxElement": holder})

    def component(display, versions, licence, relation, source=None):
        """One SPDX package for a component, whichever Debian packages (name:
        version) it came from: each of them is one of its purls."""
        ident = spdx_id("Package-" + display)
        relationship = {"spdxElementId": holder, "relationshipType": relation,
                        "relatedSpdxElement": ident}
        if relationship in relationships:
            return  # one component, named once
        relationships.append(relationship)
        if any(p["SPDXID"] == ident for p in packages):
            return
        distinct = sorted(set(versions.values()))
        version_text = distinct[0] if len(distinct) == 1 else ", ".join(
            "%s %s" % item for item in sorted(versions.items()))
        refs = [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                 "referenceLocator": "pkg:deb/debian/%s@%s?arch=%s" % (
                     (source or package).replace("+", "%2B"), version.replace("+", "%2B"),
                     "source" if source else package_version(package, "Architecture"))}
                for package, version in sorted(versions.items())]
        packages.append({
            "SPDXID": ident, "name": display, "versionInfo": version_text,
            "supplier": DEBIAN_SUPPLIER, "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
            "licenseConcluded": "NOASSERTION", "licenseDeclared": licence,
            "licenseComments": "The full terms: " + ", ".join(
                "/usr/share/doc/%s/copyright" % package for package in sorted(versions)),
            "copyrightText": "NOASSERTION", "primaryPackagePurpose": "LIBRARY",
            "externalRefs": refs})

    for c in component_list:
        component(c["name"], c["packages"], c["licence"], "STATIC_LINK", c.get("built_from_source"))
    for package in depends:
        component(package, {package: package_version(package)},
                  DYNAMIC_LICENCES.get(package, "NOASSERTION"), "DYNAMIC_LINK")
    return {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": os.path.basename(artifact),
        "documentNamespace": "https://%s/spdx/%s/%s" % (domain, name, artifact_sha),
        "creationInfo": {"created": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
                         "creators": ["Organization: ZUNEL", "Tool: scripts/release_files.py"]},
        "packages": packages, "relationships": relationships,
        "hasExtractedLicensingInfos": [{
            "licenseId": "LicenseRef-ZUNEL", "name": "ZUNEL proprietary licence",
            "extractedText": "All rights reserved. Distributed by ZUNEL to the shops that use "
                             "its ERP."}]}


def write_zip(folder, target, name, entries):
    stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
    with zipfile.ZipFile(target, "w") as z:
        for entry in entries:
            info = zipfile.ZipInfo(name + "/" + entry, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0
            info.external_attr = 0x20  # archive bit, as Windows' own zips have
            with open(os.path.join(folder, name, entry), "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)


def option(args, name, default=None):
    if name in args:
        at = args.index(name)
        value = args[at + 1]
        del args[at:at + 2]
        return value
    return default


def options(args, name):
    values = []
    while name in args:
        values.append(option(args, name))
    return values


def main(argv):
    command, args = argv[0], list(argv[1:])
    if command == "keyset":
        lines, warnings = check_keyset(args[0], "--test-keys" in args[1:])
        for warning in warnings:
            print("release: warning: " + warning, file=sys.stderr)
        print("\n".join(lines))
    elif command == "pe-finish":
        pe_finish(args[0])
    elif command == "components":
        link_map, sodium = option(args, "--map"), option(args, "--sodium")
        found = components(args[0], link_map, sodium, option(args, "--only"))
        with open(args[1], "w") as f:
            json.dump(found, f, indent=1)
    elif command == "notices":
        with open(args[0]) as f:
            found = json.load(f)
        with open(args[2], "w") as f:
            f.write(notices(found, args[1]))
    elif command == "sbom":
        name, version = option(args, "--name"), option(args, "--version")
        domain = option(args, "--domain")
        found = []
        for path in options(args, "--component-json"):
            with open(path) as f:
                found += json.load(f)
        contains, depends = options(args, "--contains"), options(args, "--depends")
        document = sbom(args[0], name, version, domain, found, contains, depends)
        with open(args[1], "w") as f:
            json.dump(document, f, indent=2)
            f.write("\n")
    elif command == "zip":
        write_zip(args[0], args[1], args[2], args[3:])
    else:
        raise Refused("unknown command " + command)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Refused as e:
        print("release: " + str(e), file=sys.stderr)
        sys.exit(1)
    except (OSError, subprocess.CalledProcessError) as e:
        print("release: %s" % e, file=sys.stderr)
        sys.exit(1)
