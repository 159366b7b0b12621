"""The control channel as a person at the terminal uses it: `pair`, `list`
and `revoke` against a running agent, and how they fail without one."""

import json
import os
import re
import socket
import unittest

from harness import (CONTROL_PORT, HTTP_PORT, ORIGIN, Agent, TcpSink, TempHome, request, run_cli,
                     signed, wait_port_free)

PAIR_OUTPUT = re.compile(
    rb"Codigo de emparejamiento: ([0-9]{6})\n"
    rb"Entralo en el ERP > Configuracion > Agente de impresion \(caduca pronto\)\.\n")
TOKEN_MISSING = ("El agente no está corriendo (no hay token de control). "
                 "Ejecuta 'zunel-print-agent run' primero.\n").encode()
UNREACHABLE = "No se pudo conectar al agente. ¿Está corriendo 'zunel-print-agent run'?\n".encode()
LABEL = "Caja Añejo – sótano"


def list_json(home):
    code, out, err = run_cli(home, "list")
    if code != 0:
        raise AssertionError("list failed: %r %r" % (out, err))
    return out, json.loads(out)


class ControlChannel(unittest.TestCase):
    def setUp(self):
        self.home = TempHome()
        self.addCleanup(self.home.remove)

    def start_agent(self):
        agent = Agent(self.home)
        self.addCleanup(agent.stop)
        agent.wait_started()
        return agent

    def print_signed(self, token, printer, payload):
        body = json.dumps({"target": {"kind": "network", "host": "127.0.0.1", "port": printer.port},
                           "bytes": list(payload)})
        status, _, answer = signed("POST", "/v1/print", token, body)
        return status, json.loads(answer or b"null")

    def test_pair_print_list_revoke(self):
        self.start_agent()
        printer = TcpSink()
        self.addCleanup(printer.close)

        # An empty agent: no devices, no code pending. The output is two-space
        # indented JSON with keys in ascending order at every level.
        out, info = list_json(self.home)
        self.assertEqual(info["devices"], [])
        self.assertIsNone(info["pairing_code"])
        self.assertEqual((info["port"], info["version"]), (47631, "1.0.1"))
        self.assertEqual(run_cli(self.home, "version")[1].decode().splitlines()[1], "compilación " + info["build"])
        self.assertRegex(info["id"], r"^[0-9a-f]{32}$")
        self.assertEqual(out, (json.dumps(info, indent=2, sort_keys=True) + "\n").encode())

        code, out, err = run_cli(self.home, "pair")
        self.assertEqual((code, err), (0, b""))
        match = PAIR_OUTPUT.fullmatch(out)
        self.assertIsNotNone(match, out)
        pairing_code = match.group(1).decode()

        _, info = list_json(self.home)
        self.assertEqual(info["pairing_code"], pairing_code)

        status, _, answer = request("POST", "/v1/pair", json.dumps(
            {"code": pairing_code, "label": LABEL}, ensure_ascii=False).encode())
        self.assertEqual(status, 200, answer)
        paired = json.loads(answer)
        token, device_id = paired["token"], paired["device_id"]
        self.assertEqual(paired["agent_id"], info["id"])

        # The device with its label, accents untouched; the code is used up.
        out, info = list_json(self.home)
        self.assertIn(('"label": "%s"' % LABEL).encode(), out)
        self.assertEqual(out, (json.dumps(info, indent=2, sort_keys=True, ensure_ascii=False)
                               + "\n").encode())
        self.assertIsNone(info["pairing_code"])
        [device] = info["devices"]
        self.assertEqual((device["id"], device["origin"], device["label"], device["source"]),
                         (device_id, ORIGIN, LABEL, "code"))
        self.assertNotIn(token, out.decode())

        payload = b"\x1b@Hola\n\x00\xff"
        status, answer = self.print_signed(token, printer, payload)
        self.assertEqual((status, answer), (200, {"ok": True}))
        self.assertEqual(printer.wait_jobs(1), [payload])

        # A second argument after the id is ignored.
        self.assertEqual(run_cli(self.home, "revoke", device_id, "extra"),
                         (0, b"Dispositivo revocado.\n", b""))
        status, _ = self.print_signed(token, printer, payload)
        self.assertEqual(status, 401)
        self.assertEqual(printer.jobs, [payload])
        _, info = list_json(self.home)
        self.assertEqual(info["devices"], [])

        for unknown in (device_id, "no-such-device"):
            self.assertEqual(run_cli(self.home, "revoke", unknown),
                             (1, b"", b"Error: desconocido\n"))

    def test_info_is_list(self):
        self.start_agent()
        code, out, err = run_cli(self.home, "info")
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(out, run_cli(self.home, "list")[1])

    def test_a_second_run_leaves_the_running_agent_its_token(self):
        self.start_agent()
        token_file = os.path.join(self.home.data_dir(), "control.token")
        with open(token_file, "rb") as f:
            token = f.read()
        code, out, err = run_cli(self.home, "run")
        self.assertEqual(code, 1, err)
        self.assertIn(b"[control] no se pudo abrir el puerto 47632: ", err)
        self.assertIn(b"[agente] no se pudo iniciar el servidor: ", err)
        with open(token_file, "rb") as f:
            self.assertEqual(f.read(), token)
        code, out, err = run_cli(self.home, "pair")
        self.assertEqual((code, err), (0, b""))
        self.assertIsNotNone(PAIR_OUTPUT.fullmatch(out), out)

    def test_list_works_while_idle_connections_sit_on_the_control_port(self):
        self.start_agent()
        idle = []
        try:
            for _ in range(20):
                idle.append(socket.create_connection(("127.0.0.1", CONTROL_PORT), timeout=5))
            list_json(self.home)
        finally:
            for s in idle:
                s.close()

    def test_no_agent_running(self):
        agent = Agent(self.home)
        try:
            agent.wait_started()
        finally:
            agent.stop()
        wait_port_free(CONTROL_PORT)
        # The token file outlives the agent, so the tool gets as far as
        # connecting.
        for args in (("pair",), ("list",), ("revoke", "x")):
            self.assertEqual(run_cli(self.home, *args), (1, b"", UNREACHABLE), args)

    def test_no_token_file(self):
        # Under Wine the data directory lies in the shared prefix, where an
        # earlier test may have left a token.
        try:
            os.remove(os.path.join(self.home.data_dir(), "control.token"))
        except FileNotFoundError:
            pass
        for args in (("pair",), ("list",), ("info",), ("revoke", "x")):
            self.assertEqual(run_cli(self.home, *args), (1, b"", TOKEN_MISSING), args)


if __name__ == "__main__":
    unittest.main(verbosity=2)
