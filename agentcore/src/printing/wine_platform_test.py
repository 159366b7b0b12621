#!/usr/bin/env python3
"""Runs the Windows tests of the spooler, the serial port and TCP connections
(WineSpooler.*, WineSerial.*, WineTcp.*, WineStatus.*) under Wine against real parts, and
checks what reached them:

- a private CUPS server, started as root with every directory under one
  temporary directory, whose raw queue prints to a loopback listener of this
  script: Wine's spooler lists its queues and prints RAW jobs to them;
- a socat pseudo-terminal pair, one end mapped to a COM port in the Wine
  prefix's device folder: the bytes written to the port are read at the other;
- a loopback listener whose accept queue is full, so that connecting hangs;
- the printer emulator, its paper near its end, on a loopback port and on a
  pseudo-terminal mapped to a second COM port, for the status queries.

Stops what it started by its pid and removes the COM port's mapping.

Usage: wine_platform_test.py <agentcore_tests.exe> <wine>
"""
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

QUEUE = "zunel_wine_raw"
COM_PORT = "COM42"
STATUS_COM_PORT = "COM43"

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "e2e"))
from printer_emulator import PrinterEmulator  # noqa: E402


def expected_job():
    """Every byte value, 64 times, as the Windows tests send it
    (agentcore/test_support/wine_platform_job.h)."""
    return bytes(((i % 256) ^ (i // 256)) & 0xFF for i in range(256 * 64))


def stop(process):
    process.send_signal(signal.SIGTERM)
    process.wait()


def start_cups(root):
    cups = os.path.join(root, "cups")
    os.makedirs(cups)
    os.chmod(root, 0o755)  # the backends run as lp and read the spooled files
    os.chmod(cups, 0o755)
    for sub in ("spool", "cache", "state", "log", "tmp"):
        os.makedirs(os.path.join(cups, sub))
    sock = os.path.join(cups, "cups.sock")
    with open(os.path.join(cups, "cupsd.conf"), "w") as f:
        f.write(f"Listen {sock}\nBrowsing No\nWebInterface No\nDefaultAuthType None\nLogLevel warn\n"
                "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")
    with open(os.path.join(cups, "cups-files.conf"), "w") as f:
        f.write(f"ServerRoot {cups}\nRequestRoot {cups}/spool\nCacheDir {cups}/cache\n"
                f"StateDir {cups}/state\nTempDir {cups}/tmp\nErrorLog {cups}/log/error_log\n"
                f"AccessLog {cups}/log/access_log\nPageLog {cups}/log/page_log\n")
    cupsd = subprocess.Popen(["/usr/sbin/cupsd", "-f", "-c", f"{cups}/cupsd.conf", "-s", f"{cups}/cups-files.conf"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # lpstat exits 0 whether or not the server runs: its text tells.
    for _ in range(200):
        out = subprocess.run(["lpstat", "-h", sock, "-r"], capture_output=True, text=True).stdout
        if out == "scheduler is running\n":
            return cupsd, sock
        time.sleep(0.025)
    stop(cupsd)
    raise SystemExit("wine_platform_test: the private CUPS server did not start")


def start_pty_pair(root):
    a, b = os.path.join(root, "A"), os.path.join(root, "B")
    socat = subprocess.Popen(["socat", "-d", "-d", f"pty,raw,echo=0,link={a}", f"pty,raw,echo=0,link={b}"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(500):
        if os.path.exists(a) and os.path.exists(b):
            return socat, a, b
        time.sleep(0.01)
    stop(socat)
    raise SystemExit("wine_platform_test: socat made no pseudo-terminal pair")


class Sink:
    """Keeps the bytes of each connection to a loopback port once it closes."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen()
        self.port = self.listener.getsockname()[1]
        self.jobs = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            data = bytearray()
            while chunk := conn.recv(65536):
                data += chunk
            conn.close()
            self.jobs.append(bytes(data))


class PtyReader:
    """Reads one end of the pseudo-terminal pair until told to stop."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        self.data = bytearray()
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        while not self.done.is_set():
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if ready:
                try:
                    self.data += os.read(self.fd, 65536)
                except BlockingIOError:
                    pass

    def wait_for(self, size, seconds):
        deadline = time.time() + seconds
        while len(self.data) < size and time.time() < deadline:
            time.sleep(0.05)
        self.done.set()
        self.thread.join()
        os.close(self.fd)
        return bytes(self.data)


def main():
    exe, wine = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        raise SystemExit("wine_platform_test: needs root, to start a private CUPS server")
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        raise SystemExit("wine_platform_test: WINEPREFIX is not set (run through scripts/windows-test.sh)")
    com_link = os.path.join(prefix, "dosdevices", COM_PORT.lower())
    status_com_link = os.path.join(prefix, "dosdevices", STATUS_COM_PORT.lower())
    root = tempfile.mkdtemp(prefix="zunel-wine-")
    started = []
    emulator = PrinterEmulator(paper="near_end").start()
    try:
        cupsd, sock = start_cups(root)
        started.append(cupsd)
        socat, pty_a, pty_b = start_pty_pair(root)
        started.append(socat)
        if os.path.lexists(com_link):
            os.remove(com_link)
        os.symlink(os.path.realpath(pty_a), com_link)
        if os.path.lexists(status_com_link):
            os.remove(status_com_link)
        os.symlink(emulator.pty_path, status_com_link)
        sink = Sink()
        reader = PtyReader(pty_b)
        # Backlog 0 and one connection waiting: the kernel drops further SYNs.
        hanging = socket.socket()
        hanging.bind(("127.0.0.1", 0))
        hanging.listen(0)
        filler = socket.create_connection(hanging.getsockname())
        subprocess.run(["lpadmin", "-h", sock, "-p", QUEUE, "-E", "-v", f"socket://127.0.0.1:{sink.port}"], check=True)

        env = dict(os.environ, CUPS_SERVER=sock, ZUNEL_TEST_QUEUE=QUEUE, ZUNEL_TEST_SERIAL_PORT=COM_PORT,
                   ZUNEL_TEST_HANGING_PORT=str(hanging.getsockname()[1]),
                   ZUNEL_TEST_EMULATOR_PORT=str(emulator.tcp_port), ZUNEL_TEST_STATUS_SERIAL_PORT=STATUS_COM_PORT)
        run = subprocess.run([wine, exe, "--gtest_filter=WineSpooler.*:WineSerial.*:WineTcp.*:WineStatus.*"], env=env,
                             stdin=subprocess.DEVNULL, timeout=240)
        filler.close()
        hanging.close()
        serial_bytes = reader.wait_for(len(expected_job()), 10)
        if run.returncode != 0:
            return run.returncode

        failures = []
        for _ in range(300):
            if sink.jobs:
                break
            time.sleep(0.05)
        if len(sink.jobs) != 1 or sink.jobs[0] != expected_job():
            failures.append(f"the queue's device received jobs of {[len(j) for j in sink.jobs]} bytes, "
                            f"expected one job equal to the {len(expected_job())} bytes sent")
            with open(f"{root}/cups/log/error_log") as log:
                sys.stderr.write(log.read())
        if serial_bytes != expected_job():
            failures.append(f"the pseudo-terminal received {len(serial_bytes)} bytes, "
                            f"expected the {len(expected_job())} bytes sent")
        for failure in failures:
            print(f"wine_platform_test: {failure}", file=sys.stderr)
        if failures:
            return 1
        print("wine_platform_test: the RAW job and the serial job arrived byte for byte")
        return 0
    finally:
        emulator.stop()
        for link in (com_link, status_com_link):
            if os.path.islink(link):
                os.remove(link)
        for process in started:
            stop(process)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
