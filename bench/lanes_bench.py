"""Benchmark of the printer lanes on the running agent: what dead and slow
printers cost everyone else. Called by http_bench.sh; prints one line per
figure. Run it in a network namespace of its own (scripts/private-net.sh), so
that it may lower the namespace's TCP buffers for the paced printers."""

import json
import os
import socket
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
os.environ["ZUNEL_AGENT_EXE"] = os.path.abspath(sys.argv[1])
import harness  # noqa: E402
from printer_emulator import PrinterEmulator  # noqa: E402

DEAD_PRINTERS = 8
# How long the emulator takes to "print" a confirmed job.
PRINT_DELAY = 0.02


def pings(seconds):
    """Sequential pings on one keep-alive connection for `seconds`; their latencies."""
    sock = socket.create_connection(("127.0.0.1", harness.HTTP_PORT))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    request = b"GET /v1/ping HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % harness.HTTP_PORT
    times = []
    end = time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            start = time.perf_counter()
            sock.sendall(request)
            answer = b""
            while b"\r\n\r\n" not in answer or not answer.endswith(b"]}"):
                answer += sock.recv(4096)
            times.append(time.perf_counter() - start)
    finally:
        sock.close()
    return sorted(times)


def job_body(target, data):
    return json.dumps({"target": target, "bytes": list(data)}, separators=(",", ":"))


def print_in_background(token, body, results):
    thread = threading.Thread(target=lambda: results.append(
        harness.signed("POST", "/v1/print", token, body)[0]))
    thread.start()
    return thread


def healthy_print_times(token, target, count):
    body = json.dumps({"target": target, "bytes": list(os.urandom(4096))}, separators=(",", ":"))
    times = []
    for _ in range(count):
        start = time.perf_counter()
        status, _, answer = harness.signed("POST", "/v1/print", token, body)
        times.append(time.perf_counter() - start)
        if status != 200:
            raise SystemExit("print failed: %d %r" % (status, answer))
    return statistics.median(times)


class PacedPrinter(harness.TcpSink):
    """Reads 64 KiB every 62.5 ms: 1 MB/s."""

    def _after_chunk(self, chunk):
        time.sleep(len(chunk) / (1 << 20))


class Buffers:
    """Lowers the namespace's TCP buffers as small_tcp_buffers does, for a bench."""

    def __init__(self):
        self.cleanups = []

    def addCleanup(self, fn):  # noqa: N802 (the unittest name small_tcp_buffers calls)
        self.cleanups.append(fn)

    def restore(self):
        for fn in reversed(self.cleanups):
            fn()


def main():
    home = harness.TempHome()
    agent = harness.Agent(home)
    printers = []
    try:
        agent.wait_started()
        status, _, creds = harness.request("POST", "/v1/provision",
                                           json.dumps({"ticket": harness.provisioning_ticket()}))
        if status != 200:
            raise SystemExit("provisioning failed: %r" % creds)
        token = json.loads(creds)["token"]
        healthy = harness.TcpSink()
        printers.append(healthy)
        healthy_target = {"kind": "network", "host": "127.0.0.1", "port": healthy.port}

        healthy_print_times(token, healthy_target, 20)  # warm-up: first connections, first lane
        baseline = healthy_print_times(token, healthy_target, 50)
        quiet = pings(2)

        dead = [harness.DeadPrinter() for _ in range(DEAD_PRINTERS)]
        printers.extend(dead)
        results = []
        waiting = [print_in_background(token, job_body({"kind": "network", "host": "127.0.0.1",
                                                        "port": d.port}, b"x"), results) for d in dead]
        time.sleep(0.5)
        held = pings(2)
        beside = healthy_print_times(token, healthy_target, 50)
        for thread in waiting:
            thread.join()
        print("ping while %d prints wait on dead printers: p50 %.3f ms, p99 %.3f ms, max %.3f ms "
              "(%d pings; without them p99 %.3f ms)"
              % (DEAD_PRINTERS, held[len(held) // 2] * 1e3, held[int(len(held) * 0.99)] * 1e3,
                 held[-1] * 1e3, len(held), quiet[int(len(quiet) * 0.99)] * 1e3))
        print("signed 4 KB print to a healthy printer while %d dead printers hold jobs: median %.3f ms "
              "(%.2f x the %.3f ms without them); the dead jobs answered %s"
              % (DEAD_PRINTERS, beside * 1e3, beside / baseline, baseline * 1e3, sorted(set(results))))

        emulator = PrinterEmulator(pseudo_terminal=False)
        emulator.start()
        try:
            ask = json.dumps({"target": {"kind": "network", "host": "127.0.0.1", "port": emulator.tcp_port},
                              "protocol": "escpos"})
            times = []
            for _ in range(50):
                start = time.perf_counter()
                status, _, answer = harness.signed("POST", "/v1/printers/status", token,
                                                   ask)
                times.append(time.perf_counter() - start)
                if status != 200 or not json.loads(answer)["answered"]:
                    raise SystemExit("status query failed: %d %r" % (status, answer))
            emulator.set(silent=True)
            silent = json.dumps({"target": {"kind": "network", "host": "127.0.0.1", "port": emulator.tcp_port},
                                 "protocol": "escpos", "timeout_ms": 500})
            quiet_times = []
            for _ in range(5):
                start = time.perf_counter()
                harness.signed("POST", "/v1/printers/status", token, silent)
                quiet_times.append(time.perf_counter() - start)
            print("status query to the emulator (ESC/POS, 4 questions), 50 sequential: median %.2f ms; "
                  "a silent printer with timeout_ms 500 answered in %.0f ms at most"
                  % (statistics.median(times) * 1e3, max(quiet_times) * 1e3))

            # A confirmed print: what the agent adds beyond the printer's own
            # reply (the emulator answers GS ( H PRINT_DELAY after the job).
            emulator.set(silent=False, print_delay=PRINT_DELAY)
            target = {"kind": "network", "host": "127.0.0.1", "port": emulator.tcp_port}
            data = list(os.urandom(4096))
            plain = json.dumps({"target": target, "bytes": data}, separators=(",", ":"))
            confirmed = json.dumps({"target": target, "bytes": data, "confirm": {"protocol": "escpos"}},
                                   separators=(",", ":"))
            timed = {plain: [], confirmed: []}
            for _ in range(50):
                for body in (plain, confirmed):
                    start = time.perf_counter()
                    status, _, answer = harness.signed("POST", "/v1/print", token, body)
                    timed[body].append(time.perf_counter() - start)
                    if status != 200 or (body is confirmed and json.loads(answer)["confirmed"] != "printed"):
                        raise SystemExit("print failed: %d %r" % (status, answer))
            plain_ms = statistics.median(timed[plain]) * 1e3
            confirmed_ms = statistics.median(timed[confirmed]) * 1e3
            print("confirmed 4 KB print to the emulator (GS ( H answered %.0f ms after the job), 50 sequential: "
                  "median %.2f ms, %.2f ms beyond the unconfirmed print (%.2f ms) and the printer's reply"
                  % (PRINT_DELAY * 1e3, confirmed_ms, confirmed_ms - plain_ms - PRINT_DELAY * 1e3, plain_ms))
        finally:
            emulator.stop()

        buffers = Buffers()
        if harness.small_tcp_buffers(buffers):
            try:
                paced = [PacedPrinter() for _ in range(8)]
                printers.extend(paced)
                bodies = [job_body({"kind": "network", "host": "127.0.0.1", "port": p.port}, bytes(1 << 20))
                          for p in paced]
                start = time.perf_counter()
                results = []
                threads = [print_in_background(token, body, results) for body in bodies]
                for thread in threads:
                    thread.join()
                wall = time.perf_counter() - start
                print("8 printers reading 1 MB/s, one 1 MB job each: %.2f s wall (answers %s)"
                      % (wall, sorted(set(results))))
            finally:
                buffers.restore()
        else:
            print("8 printers reading 1 MB/s: skipped (needs scripts/private-net.sh to pace the printers)")
    finally:
        agent.stop()
        for p in printers:
            p.close()
        home.remove()


if __name__ == "__main__":
    main()
