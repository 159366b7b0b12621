"""The release as its two kinds of users meet it, under Wine: the shop that
unzips the download and installs it, and the ERP vendor that builds with its
own keys. Also: two builds give the same bytes, and the exe carries its
version resource and manifest, read back by wrestool (icoutils)."""

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
ZIP_NAME = "zunel-print-agent-%s-windows-x64.zip" % VERSION
PAIR_CODE = re.compile(rb"Codigo de emparejamiento: ([0-9]{6})\n")


def release(out, work, keyset, *options):
    """scripts/release.sh; returns its standard output. Its packages are
    already there: the test command installed them."""
    env = dict(os.environ, ZUNEL_RELEASE_WORK=work, ZUNEL_RELEASE_NO_INSTALL="1")
    proc = subprocess.run([os.path.join(SOURCE, "scripts", "release.sh"), "--keyset", keyset,
                           "--out", out, *options], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=1500)
    if proc.returncode != 0:
        raise AssertionError("release.sh failed:\n" + proc.stdout.decode(errors="replace")[-4000:])
    return proc.stdout.decode(errors="replace")


def unpack(zip_path, folder):
    with zipfile.ZipFile(zip_path) as z:
        z.extractall(folder)
    return os.path.join(folder, "zunel-print-agent-" + VERSION, "zunel-print-agent.exe")


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
        cls.output = release(cls.dist, os.path.join(cls.tmp, "work"),
                             os.path.join(FIXTURES, "test_keyset.json"), "--check-reproducible")
        cls.zip = os.path.join(cls.dist, ZIP_NAME)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_two_builds_are_identical_and_checksummed(self):
        self.assertIn("two builds in two directories gave identical files", self.output)
        for name in (ZIP_NAME, "zunel-print-agent_%s_amd64.deb" % VERSION):
            subprocess.run(["sha256sum", "--check", "--quiet", name + ".sha256"], cwd=self.dist,
                           check=True)

    def test_zip_holds_the_exe_and_its_texts(self):
        with zipfile.ZipFile(self.zip) as z:
            folder = "zunel-print-agent-%s/" % VERSION
            self.assertEqual(z.namelist(), [folder + "zunel-print-agent.exe", folder + "LEEME.txt",
                                            folder + "BUILD-INFO.txt"])
            exe = z.read(folder + "zunel-print-agent.exe")
            info = z.read(folder + "BUILD-INFO.txt").decode("utf-8-sig")
            commit = subprocess.run(["git", "rev-parse", "HEAD"], cwd=SOURCE, check=True,
                                    capture_output=True).stdout.decode().strip()
            for line in ("commit: " + commit, "trusted key ids: 7e57c0de",
                         "ERP origin domain: erp.zunel.example",
                         "zunel-print-agent.exe SHA-256: " + hashlib.sha256(exe).hexdigest()):
                self.assertIn(line + "\r\n", info)
            self.assertLess(os.path.getsize(self.zip), 2_500_000)
            self.assertNotIn(SOURCE.encode(), exe)
            self.assertNotIn(self.tmp.encode(), exe)

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
        manifest = resource("24").decode()
        self.assertIn('level="asInvoker"', manifest)
        self.assertIn('<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>', manifest)
        self.assertIn(">true</longPathAware>", manifest)

    def test_shop_road(self):
        prefix = WinePrefix(self.tmp)
        self.addCleanup(prefix.stop)
        exe = unpack(self.zip, prefix.drive_c("Tiendas Ñandú", "Caja 1"))
        home = TempHome()
        self.addCleanup(home.remove)
        env = home.env(WINEPREFIX=prefix.path)

        def stop_agents():
            for pid in agents_of(home):
                stop_pid(pid)
            wait_port_free(HTTP_PORT)
        self.addCleanup(stop_agents)
        self.assertEqual(run_cli(home, "install", env=env, exe=exe),
                         (0, b"Instalado y corriendo OK\n", b""))
        status, _, body = request("GET", "/v1/ping", origin=None)
        self.assertEqual((status, json.loads(body)["ok"]), (200, True))

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
        with open(keyset, "wb") as f:
            f.write(zunel_vendor.new_keyset(seed).encode())
        self.assertEqual(os.stat(seed).st_mode & 0o777, 0o600)
        dist = os.path.join(keys, "dist")
        release(dist, os.path.join(self.tmp, "work"), keyset, "--no-deb")
        exe = unpack(os.path.join(dist, ZIP_NAME), os.path.join(keys, "agent"))
        signing_key = zunel_vendor.read_seed(seed)
        kid = zunel_vendor.key_id(signing_key)

        home = TempHome()
        self.addCleanup(home.remove)
        agent = Agent(home, exe=exe)
        self.addCleanup(wait_port_free, HTTP_PORT)
        self.addCleanup(agent.stop)
        agent.wait_started()

        # The fixtures' key is not trusted by this build; the vendor's is.
        status, _, _ = request("POST", "/v1/provision", json.dumps(
            {"ticket": provisioning_ticket(negocio_id="tienda-1")}))
        self.assertEqual(status, 401)
        ticket = zunel_vendor.ticket(signing_key, kid, "tienda-1", sub="cajera-1")
        status, _, body = request("POST", "/v1/provision", json.dumps({"ticket": ticket}))
        self.assertEqual(status, 200, body)
        token = json.loads(body)["token"]
        self.assertEqual(signed("GET", "/v1/printers", token)[0], 200)

        time.sleep(1.1)  # revocations reach devices provisioned before their second
        revocations = zunel_vendor.revocation_list(
            signing_key, kid, "tienda-1", 1,
            zunel_vendor.revocation_entries(["cajera-1"], False, int(time.time())))
        status, _, body = request("POST", "/v1/revocations", json.dumps({"list": revocations}))
        self.assertEqual((status, body), (200, b'{"applied_seq":1}'))
        self.assertEqual(signed("GET", "/v1/printers", token)[0], 401)


if __name__ == "__main__":
    unittest.main(verbosity=2)
