"""Printers in parallel: a printer that does not answer holds up only its own
jobs, jobs to one printer never overlap and keep their order, and the lanes
are bounded."""

import concurrent.futures
import json
import os
import pty
import threading
import time
import tty
import unittest

from harness import (DeadPrinter, NeverReadingPrinter, RUNNER, SlowPrinter, SteadyPrinter, TcpSink,
                     provisioned_token, request, signed, small_tcp_buffers, start_agent, uses_test_keyset)

# The system's text for a connect that timed out ends in its code.
TIMED_OUT = "(os error 10060)" if RUNNER else "(os error 110)"


STOPPED_READING = "la impresora dejó de recibir datos durante 5 s"


def network_job(port, data):
    return json.dumps({"target": {"kind": "network", "host": "127.0.0.1", "port": port},
                       "bytes": list(data)}, separators=(",", ":"))


class Lanes(unittest.TestCase):
    def setUp(self):
        if not uses_test_keyset():
            raise AssertionError("build with -DZUNEL_KEYSET_FILE=tests/fixtures/test_keyset.json")
        self.home, self.agent = start_agent(self.addCleanup)
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=48)
        self.addCleanup(self.pool.shutdown)
        self.token = provisioned_token("lanes")

    def print_async(self, port, data):
        # The body is made here, so the request goes out at once.
        return self.pool.submit(signed, "POST", "/v1/print", self.token, network_job(port, data))

    def test_a_dead_printer_costs_only_its_own_jobs(self):
        dead = DeadPrinter()
        self.addCleanup(dead.close)
        stuck = NeverReadingPrinter()
        self.addCleanup(stuck.close)
        healthy = TcpSink()
        self.addCleanup(healthy.close)

        # More than the connection's buffers hold (4 MB at most by default),
        # so the job waits on a printer that never reads.
        waiting = [self.print_async(dead.port, b"dead"), self.print_async(stuck.port, bytes(6 << 20))]
        # While both wait, everything else is answered.
        self.assertEqual(request("GET", "/v1/ping", origin=None)[0], 200)
        self.assertIn(signed("GET", "/v1/printers", self.token)[0], (200, 500))
        provisioned_token("lanes-2")
        status, _, body = signed("POST", "/v1/print", self.token, network_job(healthy.port, b"ok"))
        self.assertEqual((status, body), (200, b'{"ok":true}'))
        self.assertEqual(healthy.wait_jobs(1), [b"ok"])
        self.assertFalse(any(job.done() for job in waiting), "the others were answered first")

        status, _, body = waiting[0].result(timeout=60)
        self.assertEqual(status, 502, body)
        self.assertTrue(json.loads(body)["error"].endswith(TIMED_OUT), body)
        self.assertEqual(json.loads(body)["code"], "printer_unreachable", body)
        status, _, body = waiting[1].result(timeout=60)
        self.assertEqual((status, json.loads(body)),
                         (502, {"code": "printer_timeout", "error": STOPPED_READING}))

    def test_busy_lanes_and_waiting_jobs_are_bounded(self):
        if not small_tcp_buffers(self):
            self.skipTest("needs a network namespace of the tests' own (scripts/private-net.sh)")
        slow = [SlowPrinter() for _ in range(16)]
        for printer in slow:
            self.addCleanup(printer.close)
        big = bytes(256 << 10)  # many times the buffers: it holds its lane
        held = [self.print_async(printer.port, big) for printer in slow]
        # Each job holds its printer's lane: a 17th printer is one too many.
        other = TcpSink()
        self.addCleanup(other.close)
        self.wait_until_waiting(held)
        status, headers, body = signed("POST", "/v1/print", self.token, network_job(other.port, b"x"))
        self.assertEqual((status, body), (503, b'{"code":"agent_busy","error":"agente ocupado"}'))
        self.assertEqual(dict(headers)["Retry-After"], "1")
        # In one lane, 32 jobs wait behind the running one; the 33rd is refused.
        queued = [self.print_async(slow[0].port, b"q%02d" % i) for i in range(32)]
        self.wait_until_waiting(queued)
        status, _, body = signed("POST", "/v1/print", self.token, network_job(slow[0].port, b"y"))
        self.assertEqual((status, body), (503, b'{"code":"agent_busy","error":"agente ocupado"}'))

        for printer in slow:
            printer.release()
        for job in held + queued:
            self.assertEqual(job.result(timeout=120)[0], 200)
        self.assertEqual(sorted(slow[0].wait_jobs(33)), sorted([big] + [b"q%02d" % i for i in range(32)]))
        self.assertEqual(signed("POST", "/v1/print", self.token, network_job(other.port, b"x"))[0], 200)

    def wait_until_waiting(self, jobs):
        """Until the agent has accepted the requests (none is answered yet)."""
        threading.Event().wait(4.0 if RUNNER else 2.0)
        self.assertEqual(request("GET", "/v1/ping", origin=None)[0], 200)
        self.assertFalse(any(job.done() for job in jobs))

    @unittest.skipIf(RUNNER, "a pseudo-terminal as a serial port of the native agent")
    def test_jobs_to_one_printer_never_overlap_and_keep_their_order(self):
        # A serial line is one byte stream: jobs that overlapped would mix.
        master, slave = pty.openpty()
        tty.setraw(slave)
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        size = 3000
        jobs = {(c, n): bytes([c, n]) + bytes((c * 7 + n + i) % 256 for i in range(size - 2))
                for c in range(8) for n in range(5)}
        received = bytearray()

        def read_all():
            while len(received) < size * len(jobs):
                received.extend(os.read(master, 65536))
        reader = threading.Thread(target=read_all, daemon=True)
        reader.start()

        def one_connection(c):
            for n in range(5):
                body = json.dumps({"target": {"kind": "serial", "port": os.ttyname(slave),
                                              "baud": 115200}, "bytes": list(jobs[(c, n)])},
                                  separators=(",", ":"))
                status, _, answer = signed("POST", "/v1/print", self.token, body)
                self.assertEqual((status, answer), (200, b'{"ok":true}'))
        list(self.pool.map(one_connection, range(8)))
        reader.join(timeout=30)
        pieces = [bytes(received[i:i + size]) for i in range(0, len(received), size)]
        self.assertEqual(sorted(pieces), sorted(jobs.values()), "every job whole, none mixed")
        for c in range(8):
            self.assertEqual([p[1] for p in pieces if p[0] == c], list(range(5)))


class SlowPrinters(unittest.TestCase):
    """A printer that keeps taking bytes, however slowly, is never cut; one
    that stops is, 5 s after the last byte it took."""

    def start(self, **env):
        if not small_tcp_buffers(self, "4096 4096 4096"):
            self.skipTest("needs a network namespace of the tests' own (scripts/private-net.sh)")
        start_agent(self.addCleanup, **env)
        self.token = provisioned_token("lentas")

    def print_to(self, printer, data):
        return signed("POST", "/v1/print", self.token, network_job(printer.port, data))

    def test_a_printer_reading_2_kib_a_second_takes_100_kb_whole(self):
        self.start()
        printer = SteadyPrinter(2048)
        self.addCleanup(printer.close)
        data = bytes(range(256)) * 400
        self.assertEqual(self.print_to(printer, data)[:3:2], (200, b'{"ok":true}'))
        self.assertEqual(printer.wait_jobs(1), [data])

    def test_a_9600_baud_printer_behind_an_adapter_takes_200_kb_whole(self):
        # 960 B/s against the floor, at ten times the pace (the floor ten
        # times higher over windows ten times shorter): 9,600 B/s for 21 s.
        self.start(ZUNEL_TEST_PACE_SCALE="10")
        printer = SteadyPrinter(9600)
        self.addCleanup(printer.close)
        data = bytes(range(250)) * 800
        self.assertEqual(self.print_to(printer, data)[:3:2], (200, b'{"ok":true}'))
        self.assertEqual(printer.wait_jobs(1), [data])

    def test_a_printer_below_the_floor_is_cut(self):
        # 100 B/s against the floor of 240, at twenty times the pace (slower
        # than 2 KiB/s, this loopback's buffers open their window only every
        # few seconds).
        self.start(ZUNEL_TEST_PACE_SCALE="20")
        printer = SteadyPrinter(2000)
        self.addCleanup(printer.close)
        status, _, body = self.print_to(printer, bytes(100_000))
        self.assertEqual((status, json.loads(body)),
                         (502, {"code": "printer_timeout", "error": "la impresora recibe los datos demasiado despacio"}))

    def test_a_printer_that_stops_reading_fails_five_seconds_after_its_last_byte(self):
        self.start()
        # Fast enough that the agent's last byte taken and the printer's last
        # read are a tenth of a second apart at most.
        printer = SteadyPrinter(40960, stop_after=200_000)
        self.addCleanup(printer.close)
        status, _, body = self.print_to(printer, bytes(1 << 20))
        answered = time.monotonic()
        self.assertEqual((status, json.loads(body)), (502, {"code": "printer_timeout", "error": STOPPED_READING}))
        self.assertEqual(printer.read, 200_000)
        self.assertGreater(answered - printer.last_read, 4.0)
        self.assertLess(answered - printer.last_read, 6.0)


if __name__ == "__main__":
    unittest.main()
