"""The HTTP API of the real executable, driven as the ERP page drives it."""

import json
import os
import unittest

from harness import (ORIGIN, RUNNER, TcpSink, TempHome, provisioning_ticket, request, revocation_list, run_cli,
                     signed, start_agent, uses_test_keyset)


class RunningAgent(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Tickets and lists are signed with the fixtures' key: a build that
        # does not trust it cannot run these tests (scripts/test.sh builds one
        # that does).
        if not uses_test_keyset():
            raise AssertionError("build with -DZUNEL_KEYSET_FILE=tests/fixtures/test_keyset.json")
        cls.home, cls.agent = start_agent(cls.addClassCleanup)

    def test_banner_and_files(self):
        out = self.agent.stdout().decode()
        self.assertEqual(out, "Zunel print agent (headless) 1.0.1 — escuchando en 127.0.0.1:47631\n"
                              "Empareja con:  zunel-print-agent pair\n")
        self.assertIn("[agente impresión] escuchando en http://127.0.0.1:47631\n",
                      self.agent.stderr().decode())

    def test_ping_without_origin(self):
        status, headers, body = request("GET", "/v1/ping", origin=None)
        self.assertEqual(status, 200)
        answer = json.loads(body)
        self.assertEqual(answer["version"], "1.0.1")
        # The build it names last is the one `version` prints.
        self.assertEqual(list(answer)[-1], "build")
        version = run_cli(self.home, "version")[1].decode()
        self.assertEqual(version, "zunel-print-agent 1.0.1\ncompilación %s\n" % answer["build"])
        self.assertEqual(answer["platform"], "windows")
        self.assertFalse(answer["paired"])
        self.assertNotIn("Access-Control-Allow-Origin", dict(headers))
        status, _, body = request("GET", "/v1/ping", origin=None, host="localhost")
        self.assertEqual((status, body), (403, b'{"code":"host_not_allowed","error":"host no permitido"}'))

    def test_preflight(self):
        status, headers, _ = request("OPTIONS", "/v1/print", headers={
            "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "content-type,x-zunel-sign"})
        self.assertEqual(status, 204)
        self.assertEqual(dict(headers)["Access-Control-Allow-Origin"], ORIGIN)

    def test_provision_print_and_revoke(self):
        status, headers, body = request("POST", "/v1/provision", json.dumps(
            {"ticket": provisioning_ticket(negocio_id="shop-1"), "label": "Caja única"}))
        self.assertEqual(status, 200, body)
        self.assertEqual(dict(headers)["Access-Control-Allow-Origin"], ORIGIN)
        creds = json.loads(body)
        token = creds["token"]

        _, _, ping = request("GET", "/v1/ping")
        self.assertTrue(json.loads(ping)["paired"])

        sink = TcpSink()
        self.addCleanup(sink.close)
        job = bytes(range(256)) * 40
        print_body = json.dumps({"target": {"kind": "network", "host": "127.0.0.1", "port": sink.port},
                                 "bytes": list(job)})
        status, _, body = signed("POST", "/v1/print", token, print_body)
        self.assertEqual((status, body), (200, b'{"ok":true}'))
        self.assertEqual(sink.wait_jobs(1), [job])

        # The array form of the body and an empty job.
        empty = json.dumps([["network", "127.0.0.1", sink.port], []])
        self.assertEqual(signed("POST", "/v1/print", token, empty)[0], 200)
        self.assertEqual(sink.wait_jobs(2)[1], b"")

        listing = revocation_list("shop-1", 1, [{"tipo": "negocio", "revoke_before": 2**40}])
        status, _, body = request("POST", "/v1/revocations", json.dumps({"list": listing}))
        self.assertEqual((status, body), (200, b'{"applied_seq":1,"removed":1}'))
        status, _, body = signed("POST", "/v1/print", token, print_body)
        self.assertEqual((status, body), (401, b'{"code":"unauthorized","error":"no autorizado","reason":"unknown_device"}'))

        with open(self.home.data_dir() + "/agent/pairings.json", encoding="utf-8") as f:
            stored = json.load(f)
        self.assertEqual([d for d in stored["devices"] if d["negocio_id"] == "shop-1"], [])
        self.assertEqual(stored["revoked_seq"], {"shop-1": 1})

    def test_print_to_a_closed_port_is_502_with_the_system_text(self):
        status, _, body = request("POST", "/v1/provision",
                                  json.dumps({"ticket": provisioning_ticket(negocio_id="shop-2")}))
        token = json.loads(body)["token"]
        closed = TcpSink()
        port = closed.port
        closed.close()
        print_body = json.dumps({"target": {"kind": "network", "host": "127.0.0.1", "port": port},
                                 "bytes": [1, 2, 3]})
        status, _, body = signed("POST", "/v1/print", token, print_body)
        self.assertEqual(status, 502)
        self.assertIn("(os error ", json.loads(body)["error"])

    @unittest.skipIf(RUNNER, "the process maps of a native Linux agent")
    def test_libcups_is_loaded_by_the_first_printer_list_not_at_start(self):
        # The only test in this class that reaches the spooler.
        def libcups_mapped():
            with open("/proc/%d/maps" % self.agent.proc.pid, encoding="utf-8") as maps:
                return "/libcups.so" in maps.read()

        self.assertFalse(libcups_mapped())
        status, _, body = request("POST", "/v1/provision",
                                  json.dumps({"ticket": provisioning_ticket(negocio_id="shop-3")}))
        self.assertEqual(status, 200, body)
        # The system's CUPS server may or may not run here: either answer will do.
        status, _, body = signed("GET", "/v1/printers", json.loads(body)["token"])
        self.assertIn(status, (200, 500), body)
        self.assertTrue(libcups_mapped())

    def test_second_run_fails_on_the_taken_ports(self):
        home = TempHome()
        self.addCleanup(home.remove)
        code, out, err = run_cli(home, "run")
        self.assertEqual(code, 1)
        self.assertIn(b"[control] no se pudo abrir el puerto 47632: ", err)
        self.assertIn(b"[agente] no se pudo iniciar el servidor: ", err)
        self.assertTrue(err.endswith(b"\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
