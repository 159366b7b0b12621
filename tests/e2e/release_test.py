"""The release as its two kinds of users meet it, under Wine: the shop that
unzips the signed download and installs it, and the ERP vendor that builds
with its own keys. Also: two builds give the same bytes, the signature
verifies and comes off to give the exe as built, the zip's name, its folder,
BUILD-INFO.txt, LEEME.txt and the exe's `version` name one build, the
notices and the bills of materials name what the build linked, the .deb
passes lintian, and the exe carries its Spanish resources and icon, read back
by wrestool (icoutils)."""

import base64
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import zipfile

from harness import (HTTP_PORT, RUNNER, Agent, TcpSink, TempHome, agents_of, provisioning_ticket, request,
                     run_cli, signed, stop_pid, wait_port_free, zunel_vendor)

SOURCE = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
FIXTURES = os.path.join(SOURCE, "tests", "fixtures")
VERSION = "1.0.1"
# The signed release's build name (--version); the vendor's release takes
# the default, the commit's.
SIGNED_BUILD = "2026-12-rc_1"
VENDOR_TOOL = os.path.join(SOURCE, "tools", "zunel_vendor.py")
SIGN_PASSWORD = "clave de prueba"
# What the exe links statically, as its notices name it.
STATIC_COMPONENTS = ("Boost", "libgcc", "libsodium", "libstdc++", "MinGW-w64 runtime",
                     "winpthreads")
PAIR_CODE = re.compile(rb"Codigo de emparejamiento: ([0-9]{6})\n")


def names(build):
    """The folder inside the zip, the zip and the .deb of a build: named by
    the version and the build (in the .deb's version with dots for - and _)."""
    folder = "zunel-print-agent-%s-%s" % (VERSION, build)
    deb_version = "%s+%s" % (VERSION, build.replace("-", ".").replace("_", "."))
    return folder, folder + "-windows-x64.zip", "zunel-print-agent_%s_amd64.deb" % deb_version


def commit_build():
    """HEAD's build name: its commit's date in UTC and the first 12 digits of its hash."""
    def git(*args):
        return subprocess.run(["git", *args], cwd=SOURCE, check=True, capture_output=True,
                              text=True).stdout.strip()
    day = time.strftime("%Y-%m-%d", time.gmtime(int(git("show", "-s", "--format=%ct", "HEAD"))))
    return "%s.%s" % (day, git("rev-parse", "HEAD")[:12])


def version_output(build):
    return "zunel-print-agent %s\ncompilación %s\n" % (VERSION, build)


def release(out, work, keyset, *options, env=None, check=True):
    """scripts/release.sh; returns its exit code and output. Its packages are
    already there: the test command installed them."""
    env = dict(env or os.environ, ZUNEL_RELEASE_WORK=work, ZUNEL_RELEASE_NO_INSTALL="1")
    proc = subprocess.run([os.path.join(SOURCE, "scripts", "release.sh"), "--keyset", keyset,
                           "--out", out, *options], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=1500)
    output = proc.stdout.decode(errors="replace")
    if check and proc.returncode != 0:
        raise AssertionError("release.sh failed:\n" + output[-4000:])
    return proc.returncode, output


SIGNER_ORGANIZATION = "ZUNEL Informática Ñandú"


def signing_certificates(folder):
    """A throwaway CA and three certificates it issued to one key, each with
    the key in a PKCS#12 file: for code signing, for a TLS server only, and
    for code signing but expired (valid for no time at all). Returns the CA
    file and a dict of name: (certificate, PKCS#12)."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "2", "-subj", "/CN=CA de prueba",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-out", "signer.csr",
            "-utf8", "-subj", "/O=%s/CN=ZUNEL Print Agent" % SIGNER_ORGANIZATION)
    made = {}
    for name, usage, days in (("signer", "codeSigning", "2"), ("tls", "serverAuth", "2"),
                              ("expired", "codeSigning", "0")):
        with open(os.path.join(folder, name + ".ext"), "w") as f:
            f.write("keyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n" % usage)
        openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", days, "-extfile", name + ".ext", "-out", name + ".pem")
        openssl("pkcs12", "-export", "-inkey", "signer.key", "-in", name + ".pem",
                "-out", name + ".p12", "-passout", "pass:" + SIGN_PASSWORD)
        made[name] = tuple(os.path.join(folder, name + ext) for ext in (".pem", ".p12"))
    return os.path.join(folder, "ca.pem"), made


def top_folder(zip_path):
    with zipfile.ZipFile(zip_path) as z:
        return z.namelist()[0].split("/")[0]


def build_info(zip_path):
    with zipfile.ZipFile(zip_path) as z:
        return z.read(top_folder(zip_path) + "/BUILD-INFO.txt").decode("utf-8-sig")


def unpack(zip_path, folder):
    with zipfile.ZipFile(zip_path) as z:
        z.extractall(folder)
    return os.path.join(folder, top_folder(zip_path), "zunel-print-agent.exe")


class WinePrefix:
    """A Wine prefix of its own, as a shop's fresh machine."""

    def __init__(self, root):
        self.path = os.path.join(root, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.path)
        quiet = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run(["wineboot", "--init"], check=True, **quiet)
        subprocess.run(["wineserver", "-w"], **quiet)
        # As scripts/windows-test.sh does: a persistent server, and Wine's
        # own services started on /dev/null, so they never hold a test's pipes.
        subprocess.run(["wineserver", "-p"], **quiet)
        subprocess.run(RUNNER + ["cmd.exe", "/c", "exit", "0"], **quiet)

    def drive_c(self, *parts):
        return os.path.join(self.path, "drive_c", *parts)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@unittest.skipUnless(RUNNER, "the release is the Windows build")
class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zunel-release-")
        cls.dist = os.path.join(cls.tmp, "dist")
        cls.work = os.path.join(cls.tmp, "work")
        cls.ca, cls.certificates = signing_certificates(cls.tmp)
        cls.certificate, pkcs12 = cls.certificates["signer"]
        # The one signed build (twice, to compare), with the test keys: the
        # password comes from the environment, never from the command line;
        # the signature verifies against the CA given.
        _, cls.output = release(cls.dist, cls.work, os.path.join(FIXTURES, "test_keyset.json"),
                                "--test-keys", "--check-reproducible", "--sign-pkcs12", pkcs12,
                                "--sign-ca", cls.ca, "--version", SIGNED_BUILD,
                                env=dict(os.environ, ZUNEL_SIGN_PASSWORD=SIGN_PASSWORD))
        cls.folder, cls.zip_name, cls.deb_name = names(SIGNED_BUILD)
        cls.zip = os.path.join(cls.dist, cls.zip_name)
        cls.built_exe = os.path.join(cls.work, "a", "dist", "zunel-print-agent-unsigned.exe")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_two_builds_are_identical_and_checksummed(self):
        self.assertIn("two builds in two directories gave identical files", self.output)
        for name in (self.zip_name, self.deb_name):
            subprocess.run(["sha256sum", "--check", "--quiet", name + ".sha256"], cwd=self.dist,
                           check=True)

    def test_no_compiler_warning(self):
        # The compilers' own lines (file:line:column: warning: ...), not the release's.
        self.assertEqual(re.findall(r"^\S+:\d+:\d+: warning: .*$", self.output, re.M), [])

    def test_zip_holds_the_exe_and_its_texts(self):
        files = ("zunel-print-agent.exe", "LEEME.txt", "BUILD-INFO.txt", "THIRD-PARTY-NOTICES.txt")
        with zipfile.ZipFile(self.zip) as z:
            folder = self.folder + "/"
            self.assertEqual(z.namelist(), [folder + name for name in files])
            exe = z.read(folder + "zunel-print-agent.exe")
            leeme = z.read(folder + "LEEME.txt").decode("utf-8-sig")
        # The shop's install steps name what the zip holds, where it holds it.
        self.assertIn("\r\nCompilación %s\r\n" % SIGNED_BUILD, leeme)
        self.assertIn("\r\n       %s\r\n" % self.folder, leeme)
        self.assertIn("\r\n       cd C:\\Users\\<tu usuario>\\ZunelPrintAgent\\%s\r\n" % self.folder, leeme)
        for name in files:
            self.assertIn(name, leeme)
        self.assertNotRegex(leeme, r"@[A-Z]+@")
        info = build_info(self.zip)
        self.assertTrue(info.startswith(version_output(SIGNED_BUILD).replace("\n", "\r\n")), info[:80])
        commit = subprocess.run(["git", "rev-parse", "HEAD"], cwd=SOURCE, check=True,
                                capture_output=True).stdout.decode().strip()
        with open(os.path.join(FIXTURES, "test_keyset.json")) as f:
            public = base64.b64decode(json.load(f)[0]["pubkey_b64"])
        fingerprint = subprocess.run(
            ["openssl", "x509", "-in", self.certificate, "-noout", "-fingerprint", "-sha256"],
            check=True, capture_output=True, text=True).stdout.strip().split("=", 1)[1]
        for line in ("commit: " + commit, "trusted key ids: 7e57c0de",
                     "key 7e57c0de SHA-256: " + hashlib.sha256(public).hexdigest(),
                     "ERP origin domain: erp.zunel.example",
                     "zunel-print-agent.exe SHA-256: " + hashlib.sha256(exe).hexdigest(),
                     "signer: CN=ZUNEL Print Agent,O=" + SIGNER_ORGANIZATION,
                     "signer certificate SHA-256: " + fingerprint):
            self.assertIn(line + "\r\n", info)
        self.assertIn("\r\nclaves de prueba: ", info)
        self.assertIn("warning: the ERP origin domain is the default, erp.zunel.example", self.output)
        self.assertLess(os.path.getsize(self.zip), 2_500_000)
        self.assertNotIn(SOURCE.encode(), exe)
        self.assertNotIn(self.tmp.encode(), exe)

    def test_signature_verifies_and_comes_off_to_the_exe_as_built(self):
        exe = unpack(self.zip, os.path.join(self.tmp, "signed"))
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", exe],
                                  check=True, capture_output=True, text=True).stdout
        self.assertRegex(verified, r"Message digest algorithm *: SHA256\n")
        unsigned = os.path.join(self.tmp, "signed", "sin-firma.exe")
        subprocess.run(["osslsigncode", "remove-signature", "-in", exe, "-out", unsigned],
                       check=True, capture_output=True)
        with open(unsigned, "rb") as f, open(self.built_exe, "rb") as built:
            removed = f.read()
            self.assertEqual(removed, built.read())
        self.assertIn("zunel-print-agent.exe SHA-256 as built, before signing: %s\r\n"
                      % hashlib.sha256(removed).hexdigest(), build_info(self.zip))

    def linked_files(self):
        """(file name, Debian package and version) of every archive and object
        the linker used that the build did not make, from its link map;
        libsodium, which the build makes from Debian's source, with its
        source version."""
        with open(os.path.join(self.work, "a", "win", "zunel-print-agent.map")) as f:
            text = f.read()
        paths = set(re.findall(r"^(/\S+?\.a)\(", text, re.M))
        paths |= set(re.findall(r"^LOAD (/\S+\.o)$", text, re.M))
        linked = set()
        for path in paths:
            sodium = re.search(r"libsodium-mingw-([^/]+)", path)
            if sodium:
                linked.add((os.path.basename(path), "libsodium-dev " + sodium.group(1)))
                continue
            owner = subprocess.run(["dpkg", "-S", os.path.realpath(path)], check=True,
                                   capture_output=True, text=True).stdout.split(":")[0]
            version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", owner], check=True,
                                     capture_output=True, text=True).stdout
            linked.add((os.path.basename(path), owner + " " + version))
        return linked

    def test_notices_name_what_the_build_linked(self):
        with zipfile.ZipFile(self.zip) as z:
            notices = z.read(self.folder + "/THIRD-PARTY-NOTICES.txt")
        notices = notices.decode("utf-8-sig").replace("\r\n", "\n")
        # Each component's line, then the files it gave the link.
        blocks = re.findall(r"^  (.+?) \(Debian ([^)]+)\): .*\n"
                            r"      linked: ((?:.*\n)(?:        .*\n)*)", notices, re.M)
        linked = self.linked_files()
        self.assertGreaterEqual(len(linked), 10)
        for name, package in linked:
            self.assertTrue([component for component, packages, files in blocks
                             if package in packages and name in re.split(r"[,\s]+", files)],
                            "%s (%s) is not in the notices" % (name, package))
        for name in STATIC_COMPONENTS:
            self.assertRegex(notices, r"\n  %s \(Debian [^)]+\): " % re.escape(name))
        for licence_text in ("GCC RUNTIME LIBRARY EXCEPTION",
                             "Boost Software License - Version 1.0",
                             "Permission to use, copy, modify, and/or distribute this software",
                             # the MinGW-w64 runtime's ZPL-2.1
                             "Names of the copyright holders must not be used to endorse"):
            self.assertIn(licence_text, notices)

    def test_bills_of_materials(self):
        with zipfile.ZipFile(self.zip) as z:
            exe_sha = hashlib.sha256(z.read(self.folder + "/zunel-print-agent.exe")).hexdigest()
        deb_components = ("Boost", "libsodium23", "libssl3")
        for artifact, contained, components in ((self.zip_name, exe_sha, STATIC_COMPONENTS),
                                                (self.deb_name, None, deb_components)):
            with open(os.path.join(self.dist, artifact + ".spdx.json")) as f:
                sbom = json.load(f)
            self.assertEqual(sbom["spdxVersion"], "SPDX-2.3")
            packages = {p["name"]: p for p in sbom["packages"]}
            with open(os.path.join(self.dist, artifact), "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            self.assertEqual(packages[artifact]["checksums"],
                             [{"algorithm": "SHA256", "checksumValue": digest}])
            if contained:
                self.assertEqual(packages["zunel-print-agent.exe"]["checksums"][0]["checksumValue"],
                                 contained)
            names = " | ".join(packages)
            for name in components:
                self.assertIn(name, names)
            # Each component once, with the one who supplied it.
            listed = [p["name"] for p in sbom["packages"]]
            self.assertEqual(len(listed), len(set(listed)), listed)
            for p in sbom["packages"]:
                self.assertTrue(p["versionInfo"] and p["licenseDeclared"] and p["supplier"], p)
            ids = {p["SPDXID"] for p in sbom["packages"]}
            for relation in sbom["relationships"]:
                self.assertIn(relation["relatedSpdxElement"], ids)

    def test_deb_passes_lintian_and_follows_the_domain(self):
        deb = os.path.join(self.dist, self.deb_name)
        # "warning" alone would let errors pass.
        lintian = subprocess.run(["lintian", "--fail-on", "error,warning", deb],
                                 capture_output=True, text=True)
        self.assertEqual(lintian.returncode, 0, lintian.stdout)
        control = subprocess.run(["dpkg-deb", "--field", deb, "Version", "Installed-Size", "Homepage"],
                                 check=True, capture_output=True, text=True).stdout
        self.assertIn("Version: %s+2026.12.rc.1\n" % VERSION, control)
        size = int(re.search(r"Installed-Size: (\d+)", control).group(1))
        self.assertGreater(size, 1000)
        self.assertIn("Homepage: https://erp.zunel.example/", control)
        listing = subprocess.run(["dpkg-deb", "--contents", deb], check=True, capture_output=True,
                                 text=True).stdout
        self.assertIn("./usr/share/man/man1/zunel-print-agent.1.gz", listing)
        self.assertNotIn("README.md", listing)

    def test_version_resource_and_manifest(self):
        exe = unpack(self.zip, os.path.join(self.tmp, "resources"))

        def resource(kind):
            return subprocess.run(["wrestool", "--extract", "--raw", "--type=" + kind, exe],
                                  check=True, capture_output=True).stdout
        version = resource("16").decode("utf-16-le", errors="replace")
        for key, value in (("FileVersion", "1.0.1.0"), ("ProductVersion", "1.0.1.0"),
                           ("ProductName", "ZUNEL Print Agent"),
                           ("FileDescription", "Agente de impresión local de ZUNEL"),
                           ("CompanyName", "ZUNEL"),
                           ("OriginalFilename", "zunel-print-agent.exe")):
            self.assertRegex(version, re.escape(key) + "\0+" + re.escape(value) + "\0")
        self.assertIn("LegalCopyright", version)
        # Every resource in Spanish (0x0C0A), the icon among them, and the
        # icon readable as one, in the sizes Windows shows.
        listing = subprocess.run(["wrestool", "--list", exe], check=True, capture_output=True,
                                 text=True).stdout.splitlines()
        self.assertEqual({re.search(r"--type=(\d+)", line).group(1) for line in listing},
                         {"3", "14", "16", "24"})
        for line in listing:
            self.assertIn("--language=3082", line)
        icon = os.path.join(self.tmp, "resources", "icon.ico")
        subprocess.run(["wrestool", "--extract", "--type=14", "--output=" + icon, exe], check=True)
        sizes = subprocess.run(["icotool", "--list", icon], check=True, capture_output=True,
                               text=True).stdout
        self.assertEqual(re.findall(r"--width=(\d+)", sizes), ["16", "24", "32", "48", "256"])
        manifest = resource("24").decode()
        self.assertIn('level="asInvoker"', manifest)
        self.assertIn('<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>', manifest)
        self.assertIn(">true</longPathAware>", manifest)

    def test_refused_before_building(self):
        certificates = self.certificates
        # A key of the rule (the placeholder's) under an id one digit off.
        mismatched = os.path.join(self.tmp, "mismatched-keyset.json")
        with open(os.path.join(SOURCE, "config", "keyset.json")) as f:
            keys = json.load(f)
        kid = keys[0]["kid"]
        keys[0]["kid"] = kid[:-1] + ("0" if kid[-1] != "0" else "1")
        with open(mismatched, "w") as f:
            json.dump(keys, f)
        test_keyset = os.path.join(FIXTURES, "test_keyset.json")
        for name, keyset, options, refusal in (
                ("a TLS server certificate", test_keyset,
                 ("--test-keys", "--sign-pkcs12", certificates["tls"][1]),
                 "is not for code signing (its extended key usage: TLS Web Server Authentication)"),
                ("an expired certificate", test_keyset,
                 ("--test-keys", "--sign-pkcs12", certificates["expired"][1]), "expired on "),
                ("a key id that is not the key's", mismatched, (),
                 "(%s): the id is not the first 8 hex digits of the key's SHA-256 (%s)"
                 % (keys[0]["kid"], kid)),
                ("the test keyset without --test-keys", test_keyset, (),
                 "(7e57c0de): the test key, whose private seed is public"),
                ("a build name with a space", test_keyset, ("--test-keys", "--version", "a b"),
                 "release: --version: the build's name \"a b\" may hold only ASCII letters, digits"),
                ("a build name with a path", test_keyset, ("--test-keys", "--version", "../x"),
                 "release: --version: the build's name \"../x\" may hold only ASCII letters, digits")):
            with self.subTest(name):
                dist = os.path.join(self.tmp, "refused", name)
                code, output = release(dist, os.path.join(self.tmp, "refused-work"), keyset,
                                       *options, check=False,
                                       env=dict(os.environ, ZUNEL_SIGN_PASSWORD=SIGN_PASSWORD))
                self.assertEqual(code, 1, output)
                self.assertIn(refusal, output)
                self.assertEqual(glob.glob(os.path.join(dist, "*.zip")), [])

    def test_shop_road(self):
        prefix = WinePrefix(self.tmp)
        self.addCleanup(prefix.stop)
        exe = unpack(self.zip, prefix.drive_c("Tiendas Ñandú", "Caja 1"))
        home = TempHome()
        self.addCleanup(home.remove)
        env = home.env(WINEPREFIX=prefix.path)
        # The exe says the build the zip's name and BUILD-INFO.txt say.
        self.assertEqual(run_cli(home, "version", env=env, exe=exe),
                         (0, version_output(SIGNED_BUILD).encode(), b""))
        self.assertIn("-%s-windows-x64.zip" % SIGNED_BUILD, self.zip)

        def stop_agents():
            for pid in agents_of(home):
                stop_pid(pid)
            wait_port_free(HTTP_PORT)
        self.addCleanup(stop_agents)
        self.assertEqual(run_cli(home, "install", env=env, exe=exe),
                         (0, b"Instalado y corriendo OK\n", b""))
        status, _, body = request("GET", "/v1/ping", origin=None)
        self.assertEqual((status, json.loads(body)["ok"], json.loads(body)["build"]), (200, True, SIGNED_BUILD))

        code, out, err = run_cli(home, "pair", env=env, exe=exe)
        self.assertEqual(code, 0, err)
        status, _, body = request("POST", "/v1/pair", json.dumps(
            {"code": PAIR_CODE.search(out).group(1).decode(), "label": "Caja 1"}))
        self.assertEqual(status, 200, body)
        sink = TcpSink()
        self.addCleanup(sink.close)
        job = bytes(range(256)) * 4
        status, _, body = signed("POST", "/v1/print", json.loads(body)["token"], json.dumps(
            {"target": {"kind": "network", "host": "127.0.0.1", "port": sink.port},
             "bytes": list(job)}))
        self.assertEqual((status, body), (200, b'{"ok":true}'))
        self.assertEqual(sink.wait_jobs(1), [job])

        for command, shown in (("status", b"instalado (Startup) y corriendo OK\n"),
                               ("uninstall", b"Auto-inicio desinstalado.\n"),
                               ("status", b"corriendo, pero SIN auto-inicio "
                                          b"(no hay acceso directo en Startup)\n")):
            self.assertEqual(run_cli(home, command, env=env, exe=exe), (0, shown, b""))

    def test_vendor_road(self):
        keys = os.path.join(self.tmp, "vendor")
        os.makedirs(keys)
        seed = os.path.join(keys, "signing.seed")
        keyset = os.path.join(keys, "keyset.json")

        def vendor(*args):
            proc = subprocess.run([VENDOR_TOOL, *args], capture_output=True, text=True)
            return proc.returncode, proc.stdout, proc.stderr
        self.assertEqual(vendor("new-keyset", seed, "--out", keyset)[0], 0)
        self.assertEqual(os.stat(seed).st_mode & 0o777, 0o600)
        with open(keyset, "rb") as f:
            made = f.read()
        # A second run refuses the existing seed and leaves the keyset whole;
        # the public keyset can be had again from the seed.
        code, out, err = vendor("new-keyset", seed, "--out", keyset)
        self.assertEqual((code, out), (1, ""))
        self.assertEqual(err, "zunel_vendor: %s already exists; a seed is never overwritten\n"
                         % seed)
        with open(keyset, "rb") as f:
            self.assertEqual(f.read(), made)
        self.assertEqual(vendor("public-keyset", seed)[1].encode(), made.replace(b"\r\n", b"\n"))
        for args in (("ticket", os.path.join(keys, "no-such", "seed"), "--negocio", "t"),
                     ("revocations", seed, "--negocio", "t", "--seq", "0", "--all")):
            code, out, err = vendor(*args)
            self.assertEqual((code, out), (1, ""))
            self.assertRegex(err, r"\Azunel_vendor: [^\n]+\n\Z")

        # A key with a wrong character is refused before anything is built.
        bad = os.path.join(keys, "bad-keyset.json")
        with open(bad, "w") as f:
            json.dump([{"kid": "7e57c0de",
                        "pubkey_b64": "T9CYzNR9eJPf6ewkQU7LDZtUICMqrTDZHEZb4zy+ZcQ="}], f)
        code, output = release(os.path.join(keys, "bad-dist"), os.path.join(self.tmp, "work"), bad,
                               check=False)
        self.assertEqual(code, 1)
        self.assertIn("pubkey_b64 is not an Ed25519 public key", output)
        self.assertEqual(glob.glob(os.path.join(keys, "bad-dist", "*.zip")), [])

        dist = os.path.join(keys, "dist")
        domain = "erp.vendedor.example"
        origin = "https://caja." + domain
        release(dist, os.path.join(self.tmp, "work"), keyset, "--domain", domain)
        # Without --version the build is the commit's.
        build = commit_build()
        _, zip_name, deb_name = names(build)
        info = build_info(os.path.join(dist, zip_name))
        self.assertTrue(info.startswith(version_output(build).replace("\n", "\r\n")), info[:80])
        self.assertIn("Authenticode: sin firmar\r\n", info)
        self.assertNotIn("claves de prueba", info)
        homepage = subprocess.run(["dpkg-deb", "--field", os.path.join(dist, deb_name), "Homepage"],
                                  check=True, capture_output=True, text=True).stdout
        self.assertEqual(homepage, "https://%s/\n" % domain)
        exe = unpack(os.path.join(dist, zip_name), os.path.join(keys, "agent"))
        signing_key = zunel_vendor.read_seed(seed)
        kid = zunel_vendor.key_id(signing_key)

        home = TempHome()
        self.addCleanup(home.remove)
        self.assertEqual(run_cli(home, "version", exe=exe), (0, version_output(build).encode(), b""))
        agent = Agent(home, exe=exe)
        self.addCleanup(wait_port_free, HTTP_PORT)
        self.addCleanup(agent.stop)
        agent.wait_started()

        # The fixtures' key is not trusted by this build; the vendor's is.
        status, _, _ = request("POST", "/v1/provision", json.dumps(
            {"ticket": provisioning_ticket(negocio_id="tienda-1")}), origin=origin)
        self.assertEqual(status, 401)
        ticket = zunel_vendor.ticket(signing_key, kid, "tienda-1", sub="cajera-1")
        status, _, body = request("POST", "/v1/provision", json.dumps({"ticket": ticket}),
                                  origin=origin)
        self.assertEqual(status, 200, body)
        token = json.loads(body)["token"]
        self.assertEqual(signed("GET", "/v1/printers", token, origin=origin)[0], 200)

        time.sleep(1.1)  # revocations reach devices provisioned before their second
        revocations = zunel_vendor.revocation_list(
            signing_key, kid, "tienda-1", 1,
            zunel_vendor.revocation_entries(["cajera-1"], False, int(time.time())))
        status, _, body = request("POST", "/v1/revocations", json.dumps({"list": revocations}),
                                  origin=origin)
        self.assertEqual((status, body), (200, b'{"applied_seq":1,"removed":1}'))
        self.assertEqual(signed("GET", "/v1/printers", token, origin=origin)[0], 401)


if __name__ == "__main__":
    unittest.main(verbosity=2)
