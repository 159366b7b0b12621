"""POST /v1/printers/status on the real executable: the printer's own answer,
read over the network in its printer's lane, never in the middle of a job."""

import concurrent.futures
import json
import threading
import unittest

from harness import SlowPrinter, provisioned_token, signed, small_tcp_buffers, start_agent, uses_test_keyset
from printer_emulator import PrinterEmulator


def status_body(port, protocol="escpos", timeout_ms=None):
    body = {"target": {"kind": "network", "host": "127.0.0.1", "port": port}, "protocol": protocol}
    if timeout_ms is not None:
        body["timeout_ms"] = timeout_ms
    return json.dumps(body)


class PrinterStatus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not uses_test_keyset():
            raise AssertionError("build with -DZUNEL_KEYSET_FILE=tests/fixtures/test_keyset.json")
        cls.home, cls.agent = start_agent(cls.addClassCleanup)
        cls.token = provisioned_token("status")

    def ask(self, body):
        status, _, answer = signed("POST", "/v1/printers/status", self.token, body)
        self.assertEqual(status, 200, answer)
        return json.loads(answer)

    def test_the_printer_says_what_is_wrong(self):
        emu = PrinterEmulator(pseudo_terminal=False)
        emu.start()
        self.addCleanup(emu.stop)
        rows = [
            ({}, {"online": True, "paper": "ok", "cover_open": False, "error": None}),
            ({"paper": "out"}, {"online": False, "paper": "out", "cover_open": False}),
            ({"cover_open": True}, {"online": False, "cover_open": True}),
            ({"paper": "near_end"}, {"online": True, "paper": "near_end"}),
        ]
        for state, expected in rows:
            emu.set(**dict({"paper": "ok", "cover_open": False}, **state))
            answer = self.ask(status_body(emu.tcp_port))
            self.assertEqual((answer["source"], answer["reachable"], answer["answered"], answer["busy"]),
                             ("device", True, True, False), state)
            for field, value in expected.items():
                self.assertEqual(answer[field], value, (state, field, answer))

        emu.set(silent=True)
        answer = self.ask(status_body(emu.tcp_port, timeout_ms=300))
        self.assertEqual((answer["reachable"], answer["answered"], answer["online"], answer["paper"]),
                         (True, False, None, "unknown"))

    def test_a_query_waits_for_the_printers_job_and_never_enters_it(self):
        if not small_tcp_buffers(self):
            self.skipTest("needs a network namespace of the tests' own (scripts/private-net.sh)")
        printer = SlowPrinter()
        self.addCleanup(printer.close)
        job = bytes(range(256)) * 1024  # many times the buffers: it holds the lane
        body = json.dumps({"target": {"kind": "network", "host": "127.0.0.1", "port": printer.port},
                           "bytes": list(job)}, separators=(",", ":"))
        with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
            printing = pool.submit(signed, "POST", "/v1/print", self.token, body)
            printer.wait_connected()
            answer = self.ask(status_body(printer.port, timeout_ms=300))
            # Nothing was tried: not "unreachable", not "offline", but unknown.
            self.assertEqual((answer["busy"], answer["answered"], answer["reachable"], answer["online"]),
                             (True, False, None, None), answer)
            printer.release()
            self.assertEqual(printing.result(timeout=60)[0], 200)
        self.assertEqual(printer.wait_jobs(1), [job], "not one status byte inside the job")
        threading.Event().wait(0.5)
        self.assertEqual(len(printer.jobs), 1, "the query that found the printer busy never connected")


if __name__ == "__main__":
    unittest.main()
