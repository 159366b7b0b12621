"""What asking a printer costs; see status_bench.sh. Runs two builds of the
agent in turns (the one before, then this one, twice) against the printer
emulator on loopback and prints, for each: the median of 300 sequential
status queries in ESC/POS and in ZPL, and of 200 sequential confirmed
prints (the emulator "prints" a job in no time, so the figure is the
agent's and the emulator's own)."""

import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["ZUNEL_AGENT_EXE"] = os.path.abspath(sys.argv[1])
import http_bench  # noqa: E402
import harness  # noqa: E402
from printer_emulator import PrinterEmulator  # noqa: E402


def median_ms(token, path, body, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        status, _, answer = harness.signed("POST", path, token, body)
        times.append(time.perf_counter() - start)
        if status != 200:
            raise SystemExit("%s failed: %d %r" % (path, status, answer))
    return statistics.median(times) * 1e3


def measure(exe):
    harness.EXE = exe
    home = harness.TempHome()
    agent = harness.Agent(home, exe=exe)
    printers = [PrinterEmulator(pseudo_terminal=False, print_delay=0.0),
                PrinterEmulator(pseudo_terminal=False, print_delay=0.0, zpl=True)]
    try:
        agent.wait_started()
        token, sink, _ = http_bench.provision_and_start_sink()
        sink.communicate("")
        figures = []
        for printer, protocol in zip(printers, ("escpos", "zpl")):
            printer.start()
            target = {"kind": "network", "host": "127.0.0.1", "port": printer.tcp_port}
            figures.append(median_ms(token, "/v1/printers/status",
                                     json.dumps({"target": target, "protocol": protocol}), 300))
        target = {"kind": "network", "host": "127.0.0.1", "port": printers[0].tcp_port}
        body = json.dumps({"target": target, "bytes": list(b"ticket\n"), "confirm": {"protocol": "escpos"}})
        figures.append(median_ms(token, "/v1/print", body, 200))
        return figures
    finally:
        for printer in printers:
            printer.stop()
        agent.stop()
        home.remove()


def main():
    builds = [("before", os.path.abspath(sys.argv[2])), ("this", os.path.abspath(sys.argv[1]))]
    results = {name: [] for name, _ in builds}
    for _ in range(2):
        for name, exe in builds:
            results[name].append(measure(exe))
    names = ("ESC/POS status", "ZPL status", "confirmed print")
    for name, runs in results.items():
        for run in runs:
            print("%-6s " % name + "; ".join("%s median %.3f ms" % pair for pair in zip(names, run)))
    for i, figure in enumerate(names):
        means = [statistics.mean(run[i] for run in results[n]) for n, _ in builds]
        print("this vs before: %s %+.1f %%" % (figure, (means[1] / means[0] - 1) * 100))


if __name__ == "__main__":
    main()
