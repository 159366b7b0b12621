"""Soak of the running agent; see soak.sh. Usage: soak.py EXE MINUTES"""

import collections
import http.client
import json
import os
import select
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
os.environ["ZUNEL_AGENT_EXE"] = os.path.abspath(sys.argv[1])
import harness  # noqa: E402
from http_bench import provision_and_start_sink  # noqa: E402

MINUTES = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
HOST = "127.0.0.1:%d" % harness.HTTP_PORT
MiB = 1 << 20

stop = threading.Event()
tally_lock = threading.Lock()
tally = collections.Counter()


def count(key):
    with tally_lock:
        tally[key] += 1


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def page(token, print_body):
    """The ERP page: ping, printer list and a 4 KB signed print in turn, on
    one keep-alive connection, with a short pause between requests."""
    conn = None
    turn = 0
    while not stop.is_set():
        op = ("ping", "printers", "print")[turn % 3]
        turn += 1
        body = print_body if op == "print" else b""
        headers = {} if op == "ping" else harness.signature_headers(token, body)
        headers.update({"Host": HOST, "Origin": harness.ORIGIN})
        method, path = {"ping": ("GET", "/v1/ping"), "printers": ("GET", "/v1/printers"),
                        "print": ("POST", "/v1/print")}[op]
        try:
            if conn is None:
                conn = http.client.HTTPConnection("127.0.0.1", harness.HTTP_PORT, timeout=30)
            conn.request(method, path, body=body if op == "print" else None, headers=headers)
            res = conn.getresponse()
            res.read()
            count("%s %d" % (op, res.status))
            if res.will_close:
                conn.close()
                conn = None
        except (OSError, http.client.HTTPException) as e:
            count("%s failed (%s)" % (op, type(e).__name__))
            if conn:
                conn.close()
            conn = None
        time.sleep(0.01)
    if conn:
        conn.close()


def flood(path, length, headers, pace, pause):
    """One hostile request after another: `length` declared body bytes."""
    while not stop.is_set():
        results = []
        try:
            harness.post_slowly(path, length, headers, pace, results)
        except OSError as e:
            results.append("failed (%s)" % type(e).__name__)
        head = results[0] if results else None
        answer = head.split("\r\n", 1)[0].split(" ", 1)[1] if head and head.startswith("HTTP/") else head
        count("hostile %s %s: %s" % (path, "unsent body" if pace == 0 else "body", answer))
        stop.wait(pause)


def hold_silent(port, how_many, label):
    """Keeps `how_many` connections open that send nothing; reopens each one
    the agent closes."""
    held = []
    while not stop.is_set():
        for s in [s for s in held if select.select([s], [], [], 0)[0]]:
            held.remove(s)
            s.close()
            count("%s closed by the agent" % label)
        while len(held) < how_many and not stop.is_set():
            try:
                held.append(socket.create_connection(("127.0.0.1", port), timeout=5))
            except OSError:
                count("%s connect failed" % label)
                break
        stop.wait(0.2)
    for s in held:
        s.close()


def figures(pid, label, start):
    page_answers = {k: n for k, n in tally.items() if k.split()[0] in ("ping", "printers", "print")}
    served = sum(n for k, n in page_answers.items() if k.split()[1] in ("200", "204"))
    print("%-5s %5.1f min: page requests served %d, error answers %d; RSS %.1f MB (peak %.1f MB), "
          "open descriptors %d"
          % (label, (time.monotonic() - start) / 60, served, sum(page_answers.values()) - served,
             harness.proc_status_kb(pid, "VmRSS") / 1024, harness.proc_status_kb(pid, "VmHWM") / 1024,
             descriptors(pid)), flush=True)


def main():
    home = harness.TempHome()
    agent = harness.Agent(home)
    sink = None
    threads = []
    try:
        agent.wait_started()
        pid = agent.proc.pid
        token, sink, target = provision_and_start_sink()
        print_body = json.dumps({"target": target, "bytes": list(os.urandom(4096))},
                                separators=(",", ":")).encode()
        # One round first, so the start figures include what the first
        # printer list loads.
        harness.signed("GET", "/v1/printers", token)
        time.sleep(0.5)
        start = time.monotonic()
        figures(pid, "start", start)

        page_headers = [("Host", HOST), ("Origin", harness.ORIGIN)]
        # Four 63 MiB bodies at once are more than the body budget holds.
        jobs = [(page, (token, print_body))] * 3 + [
            (flood, ("/v1/print", 63 * MiB, page_headers, 4 * MiB, 0.5))] * 4 + [
            (flood, ("/v1/pair", 60 * 1000 * 1000, [], 0, 0.05)),
            (flood, ("/v1/print", 60 * 1000 * 1000, [], 0, 0.05)),
            (hold_silent, (harness.HTTP_PORT, 100, "silent HTTP connection")),
            (hold_silent, (harness.CONTROL_PORT, 20, "idle control connection")),
        ]
        for fn, args in jobs:
            threads.append(threading.Thread(target=fn, args=args))
            threads[-1].start()
        end = start + MINUTES * 60
        next_report = start + 60
        while time.monotonic() < end:
            if agent.proc.poll() is not None:
                raise SystemExit("the agent exited with %s" % agent.proc.returncode)
            time.sleep(min(1.0, max(0.0, end - time.monotonic())))
            if time.monotonic() >= next_report and time.monotonic() < end:
                figures(pid, "", start)
                next_report += 60
        stop.set()
        for t in threads:
            t.join(timeout=120)
        time.sleep(3)  # for the agent to see the last connections go
        figures(pid, "end", start)
        for key in sorted(tally):
            print("  %7d  %s" % (tally[key], key))
        received, _ = sink.communicate("")
        jobs_received = int(received.split()[0])
        print("printer stand-in received %d jobs; signed prints answered 200: %d"
              % (jobs_received, tally["print 200"]))
    finally:
        stop.set()
        if sink and sink.poll() is None:
            sink.kill()
            sink.wait()
        agent.stop()
        home.remove()


if __name__ == "__main__":
    main()
