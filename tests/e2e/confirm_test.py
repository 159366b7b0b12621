"""A print job with "confirm" on the real executable: the printer's word on
the job, asked on the job's own connection in its printer's lane, against the
printer emulator over the network and a pseudo-terminal."""

import concurrent.futures
import json
import re
import time
import unittest

from harness import RUNNER, provisioning_ticket, request, signed, start_agent, uses_test_keyset
from printer_emulator import PrinterEmulator

JOB = b"\x1b@Ticket 42\n\x1dV\x00"
# GS ( H fn 48 with a 4-digit id, then GS r 1.
CONFIRM_REQUEST = re.compile(rb"\x1d\x28\x48\x06\x00\x30\x30[0-9]{4}\x1d\x72\x01")


def print_body(target, data, protocol="escpos", timeout_ms=None):
    confirm = {"protocol": protocol}
    if timeout_ms is not None:
        confirm["timeout_ms"] = timeout_ms
    return json.dumps({"target": target, "bytes": list(data), "confirm": confirm}, separators=(",", ":"))


class ConfirmedPrint(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not uses_test_keyset():
            raise AssertionError("build with -DZUNEL_KEYSET_FILE=tests/fixtures/test_keyset.json")
        cls.home, cls.agent = start_agent(cls.addClassCleanup)
        status, _, body = request("POST", "/v1/provision",
                                  json.dumps({"ticket": provisioning_ticket(negocio_id="confirm")}))
        assert status == 200, body
        cls.token = json.loads(body)["token"]

    def setUp(self):
        self.emu = PrinterEmulator(pseudo_terminal=not RUNNER)
        self.emu.start()
        self.addCleanup(self.emu.stop)
        self.network = {"kind": "network", "host": "127.0.0.1", "port": self.emu.tcp_port}

    def print(self, body):
        """The answer's body (200 expected) and how long the request took."""
        start = time.monotonic()
        status, _, answer = signed("POST", "/v1/print", self.token, body)
        elapsed = time.monotonic() - start
        self.assertEqual(status, 200, answer)
        return json.loads(answer), elapsed

    def test_printed_only_once_the_printer_says_so(self):
        targets = [self.network]
        if not RUNNER:
            targets.append({"kind": "serial", "port": self.emu.pty_path, "baud": 115200})
        self.emu.set(print_delay=0.5)
        for target in targets:
            self.emu.clear()
            answer, elapsed = self.print(print_body(target, JOB))
            self.assertEqual(answer, {"ok": True, "confirmed": "printed"}, target["kind"])
            self.assertGreaterEqual(elapsed, 0.5, "not before the printing ended")
            # The page's bytes, then the request, and nothing else.
            received = self.emu.received()
            self.assertTrue(received.startswith(JOB), received)
            self.assertRegex(received[len(JOB):], re.compile(b"^" + CONFIRM_REQUEST.pattern + b"$"))

    def test_a_cover_opened_while_printing_is_not_confirmed_and_the_status_says_why(self):
        self.emu.set(print_delay=1.0)
        with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
            job = pool.submit(self.print, print_body(self.network, JOB, timeout_ms=2000))
            time.sleep(0.4)
            self.emu.set(cover_open=True)
            answer, _ = job.result(timeout=30)
        self.assertEqual(answer["confirmed"], "not_confirmed")
        status = answer["status"]
        self.assertEqual((status["answered"], status["online"], status["cover_open"]), (True, False, True), status)

    def test_a_printer_without_gs_h_has_processed_the_job(self):
        self.emu.set(gs_h_supported=False)
        answer, elapsed = self.print(print_body(self.network, JOB, timeout_ms=1000))
        self.assertEqual(answer, {"ok": True, "confirmed": "processed"})

    def test_a_silent_printer_is_not_confirmed_within_the_time_out(self):
        self.emu.set(silent=True)
        answer, elapsed = self.print(print_body(self.network, JOB, timeout_ms=1000))
        self.assertEqual(answer["confirmed"], "not_confirmed")
        self.assertEqual((answer["status"]["reachable"], answer["status"]["answered"], answer["status"]["online"]),
                         (True, False, None))
        # The time-out, then the status query's own 1.5 s.
        self.assertLess(elapsed, 1.0 + 1.5 + 1.0)

    def test_zpl_labels_are_printed_when_none_remains(self):
        self.emu.set(zpl=True, print_delay=0.6)
        label = b"^XA^FO50,50^FDCaja 1^FS^XZ"
        answer, elapsed = self.print(print_body(self.network, label, protocol="zpl", timeout_ms=3000))
        self.assertEqual(answer, {"ok": True, "confirmed": "printed"})
        self.assertGreaterEqual(elapsed, 0.6)
        self.emu.set(cover_open=True)
        answer, _ = self.print(print_body(self.network, label, protocol="zpl", timeout_ms=1000))
        self.assertEqual((answer["confirmed"], answer["status"]["cover_open"]), ("not_confirmed", True))

    def test_the_next_job_to_the_printer_waits_for_the_confirmation(self):
        self.emu.set(print_delay=1.0)
        second = b"\x1b@second\n"

        def plain_print():
            start = time.monotonic()
            body = json.dumps({"target": self.network, "bytes": list(second)})
            status, _, answer = signed("POST", "/v1/print", self.token, body)
            return status, answer, time.monotonic() - start

        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            first = pool.submit(self.print, print_body(self.network, JOB))
            while not self.emu.received().startswith(JOB):
                time.sleep(0.01)
            plain = pool.submit(plain_print)
            self.assertEqual(first.result(timeout=30)[0]["confirmed"], "printed")
            status, answer, waited = plain.result(timeout=30)
        self.assertEqual((status, answer), (200, b'{"ok":true}'))
        # A print to a printer that reads at once takes milliseconds; this one
        # waited for the first job's printing to be confirmed.
        self.assertGreater(waited, 0.7)
        # Handed over is not yet read: the emulator reads its connections in turn.
        deadline = time.monotonic() + 5
        while not self.emu.received().endswith(second) and time.monotonic() < deadline:
            time.sleep(0.01)
        received = self.emu.received()
        request_end = CONFIRM_REQUEST.search(received).end()
        self.assertEqual(received[request_end:], second, "nothing between the job, its confirmation and the next")


if __name__ == "__main__":
    unittest.main()
