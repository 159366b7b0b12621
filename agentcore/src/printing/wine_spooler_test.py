#!/usr/bin/env python3
"""Runs the Windows spooler tests (WineSpooler.*) under Wine against a private
CUPS server: Wine's spooler lists the server's queues and prints RAW jobs to
them. Starts the server as root with every directory under one temporary
directory, a raw queue that prints to a loopback listener of this script, and
checks that the job arrived byte for byte. Stops what it started by its pid.

Usage: wine_spooler_test.py <agentcore_tests.exe> <wine>
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

QUEUE = "zunel_wine_raw"


def expected_job():
    return bytes((i % 256) ^ (i // 256) & 0xFF for i in range(256 * 64))


def start_cups(root):
    os.chmod(root, 0o755)  # the backends run as lp and read the spooled files
    for sub in ("spool", "cache", "state", "log", "tmp"):
        os.makedirs(os.path.join(root, sub))
    sock = os.path.join(root, "cups.sock")
    with open(os.path.join(root, "cupsd.conf"), "w") as f:
        f.write(f"Listen {sock}\nBrowsing No\nWebInterface No\nDefaultAuthType None\nLogLevel warn\n"
                "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")
    with open(os.path.join(root, "cups-files.conf"), "w") as f:
        f.write(f"ServerRoot {root}\nRequestRoot {root}/spool\nCacheDir {root}/cache\n"
                f"StateDir {root}/state\nTempDir {root}/tmp\nErrorLog {root}/log/error_log\n"
                f"AccessLog {root}/log/access_log\nPageLog {root}/log/page_log\n")
    cupsd = subprocess.Popen(["/usr/sbin/cupsd", "-f", "-c", f"{root}/cupsd.conf", "-s", f"{root}/cups-files.conf"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # lpstat exits 0 whether or not the server runs: its text tells.
    for _ in range(200):
        out = subprocess.run(["lpstat", "-h", sock, "-r"], capture_output=True, text=True).stdout
        if out == "scheduler is running\n":
            return cupsd, sock
        time.sleep(0.025)
    cupsd.send_signal(signal.SIGTERM)
    cupsd.wait()
    raise SystemExit("the private CUPS server did not start")


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


def main():
    exe, wine = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        raise SystemExit("needs root, to start a private CUPS server")
    root = tempfile.mkdtemp(prefix="zunel-wine-cups-")
    cupsd = None
    try:
        cupsd, sock = start_cups(root)
        sink = Sink()
        subprocess.run(["lpadmin", "-h", sock, "-p", QUEUE, "-E", "-v", f"socket://127.0.0.1:{sink.port}"], check=True)
        env = dict(os.environ, CUPS_SERVER=sock, ZUNEL_TEST_QUEUE=QUEUE)
        run = subprocess.run([wine, exe, "--gtest_filter=WineSpooler.*"], env=env, stdin=subprocess.DEVNULL,
                             timeout=240)
        if run.returncode != 0:
            return run.returncode
        for _ in range(300):
            if sink.jobs:
                break
            time.sleep(0.05)
        if len(sink.jobs) != 1 or sink.jobs[0] != expected_job():
            sizes = [len(j) for j in sink.jobs]
            print(f"wine_spooler_test: the queue's device received {sizes} bytes per job, "
                  f"expected one job of {len(expected_job())} bytes equal to the one sent", file=sys.stderr)
            with open(f"{root}/log/error_log") as log:
                sys.stderr.write(log.read())
            return 1
        print("wine_spooler_test: the RAW job arrived byte for byte")
        return 0
    finally:
        if cupsd is not None:
            cupsd.send_signal(signal.SIGTERM)
            cupsd.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
