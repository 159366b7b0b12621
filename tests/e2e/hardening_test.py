"""The agent under hostile or unlucky use, on the real executable: a full house
still answers, read-back tells only what a printer said, serial targets are
serial ports, one printer is one queue, early answers reach clients that
write first, and a crawling printer frees its queue."""

import concurrent.futures
import http.client
import json
import os
import pty
import re
import threading
import unittest

from harness import (HTTP_PORT, ORIGIN, RUNNER, LoopbackServer, SlowPrinter, loopback_listener, provisioned_token,
                     request, signed, small_tcp_buffers, start_agent, uses_test_keyset)

# GS ( H fn 48 with its 4-digit id, then GS r 1: the end of a confirmed ESC/POS job.
CONFIRM_REQUEST = re.compile(rb"\x1d\x28\x48\x06\x00\x30\x30([0-9]{4})\x1d\x72\x01")


def job(target, data, confirm=None):
    body = {"target": target, "bytes": list(data)}
    if confirm:
        body["confirm"] = confirm
    return json.dumps(body, separators=(",", ":"))


def network(port, host="127.0.0.1"):
    return {"kind": "network", "host": host, "port": port}


def Listener(serve):  # noqa: N802 (it makes a harness LoopbackServer)
    """A LoopbackServer serving `serve(conn)`, with room for 16 waiting connections."""
    listener = loopback_listener()
    listener.listen(16)
    return LoopbackServer(serve, listener)


def banner_service(conn):
    """A local service that greets every connection and answers anything with text."""
    conn.sendall(b"SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n")
    while conn.recv(4096):
        conn.sendall(b"Protocol mismatch.\r\n")


def garbage_printer(conn):
    """A printer that answers whatever it is sent with random bytes."""
    while conn.recv(65536):
        conn.sendall(os.urandom(256))


class ConfirmingPrinter:
    """An ESC/POS printer on a loopback port that answers each job's
    confirmation request after a while, and counts the jobs in progress at
    once (from the connection to the printer's answer): two jobs that
    overlapped would show two."""

    def __init__(self):
        self.lock = threading.Lock()
        self.open_now = 0
        self.most_open = 0
        self.jobs = []
        self.listener = Listener(self._serve)
        self.port = self.listener.port

    def _serve(self, conn):
        with self.lock:
            self.open_now += 1
            self.most_open = max(self.most_open, self.open_now)
        try:
            data = b""
            while not CONFIRM_REQUEST.search(data):
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            match = CONFIRM_REQUEST.search(data)
            threading.Event().wait(0.2)  # "printing"
            with self.lock:
                self.jobs.append(data[:match.start()])
        finally:
            # The job ends with the printer's word on it: from then on the
            # agent may close this connection and send the next job.
            with self.lock:
                self.open_now -= 1
        conn.sendall(b"\x00" + b"\x37\x22" + match.group(1) + b"\x00")
        while conn.recv(4096):
            pass

    def close(self):
        self.listener.close()


class Hardening(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not uses_test_keyset():
            raise AssertionError("build with -DZUNEL_KEYSET_FILE=tests/fixtures/test_keyset.json")
        cls.home, cls.agent = start_agent(cls.addClassCleanup)
        cls.token = provisioned_token("hardening")

    def setUp(self):
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=128)
        self.addCleanup(self.pool.shutdown)

    def print_async(self, body):
        return self.pool.submit(signed, "POST", "/v1/print", self.token, body)

    def test_a_full_house_still_answers(self):
        if not small_tcp_buffers(self):
            self.skipTest("needs a network namespace of the tests' own (scripts/private-net.sh)")
        # Three printers each hold their lane with a large job, and 32 jobs
        # wait behind each: 99 connections, more than the 64 slots.
        slow = [SlowPrinter() for _ in range(3)]
        for printer in slow:
            self.addCleanup(printer.close)
        big = bytes(256 << 10)
        held = [self.print_async(job(network(p.port), big)) for p in slow]
        for printer in slow:
            printer.wait_connected()
        waiting = [self.print_async(job(network(p.port), b"w%02d" % i)) for p in slow for i in range(32)]
        threading.Event().wait(4.0 if RUNNER else 2.0)
        self.assertFalse(any(j.done() for j in held + waiting), "all accepted, none answered yet")

        # The lanes' bound is reached, and beyond it the page gets 503.
        status, headers, body = signed("POST", "/v1/print", self.token, job(network(slow[0].port), b"x"))
        self.assertEqual((status, body), (503, b'{"code":"agent_busy","error":"agente ocupado"}'))
        self.assertEqual(dict(headers)["Retry-After"], "1")
        # Pings and preflights are answered all the while, many at once.
        pings = [self.pool.submit(request, "GET", "/v1/ping", origin=None) for _ in range(40)]
        preflights = [self.pool.submit(request, "OPTIONS", "/v1/print") for _ in range(10)]
        self.assertEqual([p.result(timeout=60)[0] for p in pings], [200] * 40)
        self.assertEqual([p.result(timeout=60)[0] for p in preflights], [204] * 10)

        for printer in slow:
            printer.release()
        answers = [j.result(timeout=180) for j in held + waiting]
        self.assertEqual([a[0] for a in answers], [200] * len(answers), [a for a in answers if a[0] != 200][:3])

    def test_a_banner_or_a_garbage_printer_is_no_answer(self):
        for serve in (banner_service, garbage_printer):
            service = Listener(serve)
            self.addCleanup(service.close)
            body = json.dumps({"target": network(service.port), "protocol": "escpos", "timeout_ms": 1500})
            status, _, answer = signed("POST", "/v1/printers/status", self.token, body)
            self.assertEqual(status, 200, answer)
            got = json.loads(answer)
            self.assertEqual((got["reachable"], got["answered"], got["online"], got["paper"], got["cover_open"],
                              got["error"], got["raw"]), (True, False, None, "unknown", None, None, ""),
                             serve.__name__)
        # A confirmation that hears only garbage is not confirmed.
        garbage = Listener(garbage_printer)
        self.addCleanup(garbage.close)
        status, _, answer = signed("POST", "/v1/print", self.token,
                                   job(network(garbage.port), b"\x1b@hola\n", {"protocol": "escpos",
                                                                               "timeout_ms": 3000}))
        self.assertEqual(status, 200, answer)
        got = json.loads(answer)
        self.assertEqual(got["confirmed"], "not_confirmed")
        self.assertEqual((got["status"]["answered"], got["status"]["raw"]), (False, ""))

    def test_four_spellings_of_one_printer_are_one_queue(self):
        printer = ConfirmingPrinter()
        self.addCleanup(printer.close)
        hosts = ["127.0.0.1", "127.1", "localhost", "127.000.000.001"]
        if not RUNNER:
            hosts.append("0x7f.1")
        jobs = [self.print_async(job(network(printer.port, host), b"job %d %s" % (n, host.encode()),
                                     {"protocol": "escpos", "timeout_ms": 5000}))
                for n in range(3) for host in hosts]
        answers = [j.result(timeout=120) for j in jobs]
        for status, _, body in answers:
            self.assertEqual((status, json.loads(body)["confirmed"]), (200, "printed"), body)
        self.assertEqual(printer.most_open, 1, "jobs to one printer never overlap")
        self.assertEqual(len(printer.jobs), len(jobs))

    def test_a_client_that_writes_70_mb_first_reads_the_413(self):
        conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=120)
        self.addCleanup(conn.close)
        body = b"7" * 70_000_000
        conn.request("POST", "/v1/print", body=body,
                     headers={"Host": "127.0.0.1:%d" % HTTP_PORT, "Origin": ORIGIN})
        res = conn.getresponse()
        self.assertEqual((res.status, res.read()), (413, '{"code":"body_too_large","error":"cuerpo demasiado grande"}'.encode()))

    def test_a_crawling_printer_frees_its_queue(self):
        # Buffers of 4 KiB, so that the agent's writes follow the printer's
        # reading closely and none waits the 5 s that would fail it by itself.
        if not small_tcp_buffers(self, "4096 4096 4096"):
            self.skipTest("needs a network namespace of the tests' own (scripts/private-net.sh)")
        fast = threading.Event()

        # 200 B/s, under the floor of 240 B/s, until told to read at full
        # speed: with buffers this small its window opens every few seconds,
        # so whichever bound it crosses first ends the job.
        def crawl(conn):
            while conn.recv(65536 if fast.is_set() else 100):
                if not fast.is_set():
                    fast.wait(0.5)
        printer = Listener(crawl)
        self.addCleanup(printer.close)
        status, _, body = signed("POST", "/v1/print", self.token, job(network(printer.port), bytes(200_000)))
        self.assertEqual((status, json.loads(body)["code"]), (502, "printer_timeout"))
        self.assertIn(json.loads(body)["error"], ("la impresora recibe los datos demasiado despacio",
                                                  "la impresora dejó de recibir datos durante 5 s"))
        fast.set()
        status, _, body = signed("POST", "/v1/print", self.token, job(network(printer.port), b"next"))
        self.assertEqual((status, body), (200, b'{"ok":true}'), "the queue is free again")


class SerialTargetsAreSerialPorts(unittest.TestCase):
    """An agent without the test build's switch for pseudo-terminals."""

    @classmethod
    def setUpClass(cls):
        if not uses_test_keyset():
            raise AssertionError("build with -DZUNEL_KEYSET_FILE=tests/fixtures/test_keyset.json")
        cls.home, cls.agent = start_agent(cls.addClassCleanup, ZUNEL_TEST_SERIAL_ANY_PATH="0")
        cls.token = provisioned_token("serial-names")

    def test_a_terminal_or_a_file_is_refused_before_it_is_opened(self):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        with open(os.path.join(self.home.path, "printer.txt"), "wb"):
            pass
        for port in (os.ttyname(slave), "/dev/tty", os.path.join(self.home.path, "printer.txt"), "LPT1"):
            target = {"kind": "serial", "port": port, "baud": 9600}
            status, _, body = signed("POST", "/v1/print", self.token, job(target, b"typed into a terminal\n"))
            self.assertEqual((status, body), (400, '{"code":"bad_request","error":"puerto serie no válido"}'.encode()), port)
            status, _, body = signed("POST", "/v1/printers/status", self.token,
                                     json.dumps({"target": target, "protocol": "escpos"}))
            self.assertEqual((status, body), (400, '{"code":"bad_request","error":"puerto serie no válido"}'.encode()), port)
        with open(os.path.join(self.home.path, "printer.txt"), "rb") as f:
            self.assertEqual(f.read(), b"")
        os.set_blocking(master, False)
        with self.assertRaises(BlockingIOError):
            os.read(master, 100)


if __name__ == "__main__":
    unittest.main()
