"""Running the agent on a shop's machine: `stop` with jobs waiting and
running, another Windows user's agent on the same loopback, replacing one
build with another in place, and the report for support."""

import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import (CONTROL_PORT, EXE, HTTP_PORT, ORIGIN, RUNNER, Agent, SlowPrinter, TcpSink, TempHome, command,
                     processes_with_home, provisioned_token, request, run_cli, signed, small_tcp_buffers,
                     start_agent, stop_pid, uses_test_keyset, wait_port_free)

UNDER_WINE = bool(RUNNER)
BOM = b"\xef\xbb\xbf"
# The same agent built to report another version (never shipped).
NEXT_EXE = os.environ.get("ZUNEL_AGENT_NEXT_EXE", "")
# The release shops ran before `stop` existed, built from this repository's
# history by the earlier_release fixture.
EARLIER_EXE = os.environ.get("ZUNEL_AGENT_EARLIER_EXE", "")
OTHER_USERS_AGENT = (
    "El agente que corre en esta PC es el de otro usuario de Windows: este usuario no puede "
    "imprimir mientras tanto. Ese usuario puede detenerlo con 'zunel-print-agent stop' (o cerrar "
    "su sesión); después ejecutá 'zunel-print-agent install' con este usuario.\n").encode()
NOT_RUNNING = "El agente no está corriendo.\n".encode()


def network_job(port, data):
    return json.dumps({"target": {"kind": "network", "host": "127.0.0.1", "port": port},
                       "bytes": list(data)}, separators=(",", ":"))


def ping_version():
    status, _, body = request("GET", "/v1/ping", origin=None)
    return json.loads(body)["version"] if status == 200 else None


def build_of(exe=None):
    """The build `version` names on its second line."""
    out = subprocess.run(command("version", exe=exe), capture_output=True, timeout=60, check=True).stdout
    return out.decode().splitlines()[1].split(" ", 1)[1]


def replaced_text(version, old_build, new_build):
    return ("Instalado y corriendo OK (reemplazo la version %s, compilacion %s, por la compilacion %s)\n"
            % (version, old_build, new_build)).encode()


def token_file(home):
    return os.path.join(home.data_dir(), "control.token")


class Operations(unittest.TestCase):
    def setUp(self):
        if not uses_test_keyset():
            raise AssertionError("build with -DZUNEL_KEYSET_FILE=tests/fixtures/test_keyset.json")
        wait_port_free(HTTP_PORT, timeout=60)

    def detached_agents_cleanup(self, home):
        """Stops, by process id, every agent `install` started for this HOME."""
        def stop_all():
            for pid in processes_with_home(home):
                stop_pid(pid)
            wait_port_free(HTTP_PORT)
        self.addCleanup(stop_all)

    def test_stop_answers_waiting_jobs_busy_and_lets_the_running_one_finish(self):
        if not small_tcp_buffers(self):
            self.skipTest("needs a network namespace of the tests' own (scripts/private-net.sh)")
        home, agent = start_agent(self.addCleanup)
        token = provisioned_token("stop")
        printer = SlowPrinter()
        self.addCleanup(printer.close)
        running_job = bytes(range(256)) * 1024  # many times the buffers: it holds the lane
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            running = pool.submit(signed, "POST", "/v1/print", token, network_job(printer.port, running_job))
            printer.wait_connected()
            waiting = [pool.submit(signed, "POST", "/v1/print", token, network_job(printer.port, b"never %d" % i))
                       for i in range(2)]
            # Both are queued in the printer's lane behind the running job.
            concurrent.futures.wait(waiting, timeout=1)
            self.assertFalse(any(w.done() for w in waiting))

            stopping = pool.submit(run_cli, home, "stop")
            for w in waiting:
                status, _, body = w.result(timeout=30)
                self.assertEqual((status, json.loads(body)), (503, {"code": "agent_busy", "error": "agente ocupado"}))
            self.assertFalse(running.done(), "the running job goes on")
            self.assertFalse(stopping.done(), "stop waits for the agent to end")

            printer.release()
            self.assertEqual(running.result(timeout=30)[0], 200)
            self.assertEqual(stopping.result(timeout=30), (0, "Agente detenido.\n".encode(), b""))
        self.assertEqual(agent.proc.wait(timeout=10), 0)
        self.assertEqual(printer.wait_jobs(1), [running_job], "the waiting jobs were never printed")
        code, out, _ = run_cli(home, "log", "--json", "20")
        events = [json.loads(line)["event"] for line in out.decode().splitlines()]
        self.assertEqual((code, events[-2:]), (0, ["print", "agent_stop"]), "the job's end line comes before the stop")
        wait_port_free(CONTROL_PORT)
        self.assertEqual(run_cli(home, "stop"), (1, b"", NOT_RUNNING))

    def test_a_job_still_running_when_the_stop_gives_up_is_told_so(self):
        if not small_tcp_buffers(self):
            self.skipTest("needs a network namespace of the tests' own (scripts/private-net.sh)")
        home, agent = start_agent(self.addCleanup)
        token = provisioned_token("corte")
        printer = SlowPrinter()  # 5 KiB/s: the job takes about a minute
        self.addCleanup(printer.close)
        job = network_job(printer.port, bytes(range(256)) * 1024)[:-1] + ',"job_id":"cortado-1"}'
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            running = pool.submit(signed, "POST", "/v1/print", token, job)
            printer.wait_connected()
            self.assertEqual(run_cli(home, "stop"), (0, "Agente detenido.\n".encode(), b""))
            status, headers, body = running.result(timeout=30)
        self.assertEqual((status, json.loads(body)["code"]), (503, "agent_stopped"), body)
        self.assertIn(("Access-Control-Allow-Origin", ORIGIN), headers)
        agent.proc.wait(timeout=10)
        wait_port_free(HTTP_PORT)
        with Agent(home) as again:
            again.wait_started()
            status, _, body = signed("GET", "/v1/jobs/cortado-1", token)
            self.assertEqual((status, json.loads(body)["state"]), (200, "interrupted"), body)

    def test_another_users_agent_is_named_and_left_running(self):
        home, agent = start_agent(self.addCleanup)

        def write_token(who, text):
            os.makedirs(who.data_dir(), exist_ok=True)
            with open(token_file(who), "w") as f:
                f.write(text)

        if UNDER_WINE:
            # Every HOME shares the prefix's data folder: the other user is
            # played by a token file that is not the running agent's, then
            # by none. The agent's own is put back at the end.
            with open(token_file(home)) as f:
                own = f.read()
            self.addCleanup(write_token, home, own)
            views = [("refused", home, lambda: write_token(home, "0" * 64)),
                     ("no token", home, lambda: os.remove(token_file(home)))]
        else:
            other = TempHome()
            self.addCleanup(other.remove)
            views = [("no token", other, lambda: None),
                     ("refused", other, lambda: write_token(other, "0" * 64))]
        for name, who, arrange in views:
            with self.subTest(name):
                arrange()
                self.assertEqual(run_cli(who, "status"),
                                 (0, b"corriendo, pero es el agente de otro usuario de Windows: este usuario "
                                     b"no puede imprimir mientras tanto\n", b""))
                for args in (("pair",), ("list",), ("revoke", "x"), ("stop",)):
                    self.assertEqual(run_cli(who, *args), (1, b"", OTHER_USERS_AGENT), args)
                code, out, err = run_cli(who, "install")
                self.assertEqual((code, out), (21, b""), err)
                self.assertTrue(err.startswith(b"[D11] El agente de impresion que corre en esta PC es el de "
                                               b"otro usuario de Windows"), err)
                self.assertIn(b"rechaza el token de control" if name == "refused"
                              else b"no tiene token de control", err)
                self.assertIsNone(agent.proc.poll(), "the other user's agent keeps running")
        if not UNDER_WINE:
            self.assertEqual(run_cli(home, "list")[0], 0, "its own user still reaches it")

    @unittest.skipUnless(NEXT_EXE, "needs the second build (ZUNEL_AGENT_NEXT_EXE)")
    def test_install_replaces_another_build_and_keeps_the_pairings(self):
        home = TempHome()
        self.addCleanup(home.remove)
        self.detached_agents_cleanup(home)
        self.assertEqual(run_cli(home, "install"), (0, b"Instalado y corriendo OK\n", b""))
        token = provisioned_token("upgrade")
        self.assertEqual(ping_version(), "1.0.1")

        build = build_of()
        self.assertEqual(run_cli(home, "install", exe=NEXT_EXE), (0, replaced_text("1.0.1", build, build), b""))
        self.assertEqual(ping_version(), "9.9.9-prueba")
        info = json.loads(run_cli(home, "list")[1])
        self.assertTrue(info["executable"].endswith(os.path.basename(NEXT_EXE)), info)
        self.assertEqual(len(info["devices"]), 1, "the pairing was kept")
        self.assertIn(signed("GET", "/v1/printers", token)[0], (200, 500), "and its token still works")
        self.assertEqual(run_cli(home, "install", exe=NEXT_EXE),
                         (0, b"Instalado y corriendo OK (el agente ya estaba activo).\n", b""))

        if not UNDER_WINE:
            # The same version from another file is replaced too.
            folder = tempfile.mkdtemp(prefix="zunel-e2e-copy-")
            self.addCleanup(shutil.rmtree, folder, True)
            copy = shutil.copy2(NEXT_EXE, os.path.join(folder, "zunel-print-agent"))
            self.assertEqual(run_cli(home, "install", exe=copy),
                             (0, replaced_text("9.9.9-prueba", build, build), b""))
            self.assertEqual(json.loads(run_cli(home, "list")[1])["executable"], copy)
        self.assertEqual(run_cli(home, "stop"), (0, "Agente detenido.\n".encode(), b""))
        wait_port_free(HTTP_PORT)

    def test_upgrade_from_the_release_without_stop_and_back_loses_nothing(self):
        self.assertTrue(EARLIER_EXE, "needs the earlier release (ZUNEL_AGENT_EARLIER_EXE)")
        home = TempHome()
        self.addCleanup(home.remove)
        self.detached_agents_cleanup(home)
        printer = TcpSink()
        self.addCleanup(printer.close)
        self.assertEqual(run_cli(home, "install", exe=EARLIER_EXE), (0, b"Instalado y corriendo OK\n", b""))
        token = provisioned_token("upgrade")
        self.assertEqual(run_cli(home, "stop", exe=EARLIER_EXE)[0], 2, "that release does not know stop")

        # The new build ends it by its process and takes its place.
        code, out, err = run_cli(home, "install")
        self.assertEqual((code, out, err), (0, replaced_text("1.0.1", "sin nombre", build_of()), b""))
        info = json.loads(run_cli(home, "list")[1])
        self.assertEqual(re.split(r"[\\/]", info["executable"])[-1], os.path.basename(EXE), "the new build runs")
        self.assertEqual(len(info["devices"]), 1, "the pairing was kept")
        job = network_job(printer.port, b"una vez")[:-1] + ',"job_id":"subida-1"}'
        self.assertEqual(signed("POST", "/v1/print", token, job)[0], 200, "and its token still prints")

        # Back to the earlier release (stop, then its install), and up again.
        self.assertEqual(run_cli(home, "stop"), (0, "Agente detenido.\n".encode(), b""))
        wait_port_free(HTTP_PORT)
        self.assertEqual(run_cli(home, "install", exe=EARLIER_EXE), (0, b"Instalado y corriendo OK\n", b""))
        self.assertIn(signed("GET", "/v1/printers", token)[0], (200, 500), "the earlier release keeps the pairing")
        self.assertEqual(run_cli(home, "install"), (0, replaced_text("1.0.1", "sin nombre", build_of()), b""))
        status, _, body = signed("POST", "/v1/print", token, job)
        self.assertEqual((status, json.loads(body).get("repeated")), (200, True), "the job id was kept")
        self.assertEqual(printer.wait_jobs(1), [b"una vez"], "and the job printed once")
        status, _, body = signed("GET", "/v1/jobs/subida-1", token)
        self.assertEqual((status, json.loads(body)["state"]), (200, "done"))
        journal = run_cli(home, "log", "--json")[1].decode()
        self.assertIn('"subida-1"', journal, "the journal was kept")
        self.assertEqual(run_cli(home, "stop"), (0, "Agente detenido.\n".encode(), b""))
        wait_port_free(HTTP_PORT)

    def test_report_tells_support_what_they_need_and_no_secret(self):
        home = TempHome()
        self.addCleanup(home.remove)
        code, out, err = run_cli(home, "report")
        self.assertEqual((code, err), (0, b""))
        self.assertIn("Puerto 47631 (HTTP): nadie\n".encode(), out)

        home, agent = start_agent(self.addCleanup)
        token = provisioned_token("informe")
        code, out, err = run_cli(home, "pair")
        pairing_code = out.split(b": ")[1].split(b"\n")[0].decode()
        status, _, body = request("POST", "/v1/pair", json.dumps({"code": pairing_code, "label": "Caja Ñandú"}))
        paired = json.loads(body)
        code, out, err = run_cli(home, "report")
        self.assertEqual((code, err), (0, b""))
        # Written to a file (as run_cli's output is), it begins with a
        # byte-order mark; to a pipe, without.
        self.assertTrue(out.startswith(BOM), out[:16])
        piped = subprocess.run(command("report"), env=home.env(), stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=60)
        self.assertEqual((piped.returncode, piped.stderr), (0, b""))
        self.assertTrue(piped.stdout.startswith("Informe de zunel-print-agent".encode()), piped.stdout[:16])
        text = out[len(BOM):].decode()
        build = run_cli(home, "version")[1].decode().splitlines()[1].split(" ", 1)[1]
        for expected in ("Versión: 1.0.1\nCompilación: %s\n" % build,
                         "Dominio del ERP: %s\n" % os.environ.get("ZUNEL_ERP_ORIGIN_DOMAIN"),
                         "Claves del ERP (kid): 7e57c0de",
                         "Firma Authenticode: desconocida (no hay BUILD-INFO.txt junto al ejecutable)\n",
                         "Puerto 47631 (HTTP): el agente de este usuario\n",
                         "Puerto 47632 (control): el agente de este usuario (versión 1.0.1, compilación %s, " % build,
                         "  - %s «Caja Ñandú» https://app." % paired["device_id"],
                         ", origen: code, creado: 20", ", origen: auto, ", "\nImpresoras:\n",
                         "\nÚltimas entradas del diario:"):
            self.assertIn(expected, text)
        # Every time it shows is local time with its offset from UTC: the
        # report's own, the devices' and the journal's.
        local_time = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d\d:\d\d"
        self.assertRegex(text, r"\nFecha del informe: %s\n" % local_time)
        self.assertRegex(text, r", origen: code, creado: %s, vence: nunca\n" % local_time)
        self.assertRegex(text, r"\nÚltimas entradas del diario:\n  %s  agente iniciado  " % local_time)
        self.assertNotIn("UTC", text)
        with open(token_file(home)) as f:
            control_token = f.read().strip()
        with open(os.path.join(home.data_dir(), "agent", "pairings.json")) as f:
            stored = f.read()
        for secret in (token, paired["token"], control_token):
            self.assertIn(secret, stored + control_token, "the secret is a real one")
            self.assertNotIn(secret, text)
            self.assertNotIn(secret.upper(), text.upper())


if __name__ == "__main__":
    unittest.main(verbosity=2)
