"""Shared pieces of the end-to-end tests: the executable under test, a private
HOME, starting and stopping the agent by process id, and loopback HTTP."""

import os
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import time

EXE = os.environ.get("ZUNEL_AGENT_EXE", "")
# "wine" for the Windows build; empty on Linux.
RUNNER = shlex.split(os.environ.get("ZUNEL_EXE_RUNNER", ""))
ERP_DOMAIN = os.environ.get("ZUNEL_ERP_ORIGIN_DOMAIN", "erp.zunel.example")
ORIGIN = "https://app." + ERP_DOMAIN
HTTP_PORT = 47631
CONTROL_PORT = 47632


def command(*args):
    return RUNNER + [EXE, *args]


class TempHome:
    """A private HOME (and XDG folders under it) for one test."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="zunel-e2e-")

    def env(self, **extra):
        env = dict(os.environ)
        for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "ZUNEL_NO_CONSOLE"):
            env.pop(name, None)
        env["HOME"] = self.path
        env.update(extra)
        return env

    def data_dir(self):
        return os.path.join(self.path, ".local", "share", "Zunel", "PrintAgent", "data")

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def run_cli(home, *args, timeout=60, env=None):
    """Runs one command to completion; returns (exit code, stdout, stderr) as bytes."""
    proc = subprocess.run(command(*args), env=env or home.env(), capture_output=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)
    return proc.returncode, proc.stdout, proc.stderr


def port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


class Agent:
    """`zunel-print-agent run` in the background, stopped by its process id."""

    def __init__(self, home, args=("run",), env=None):
        self.out = tempfile.TemporaryFile()
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(command(*args), env=env or home.env(), stdout=self.out,
                                     stderr=self.err, stdin=subprocess.DEVNULL,
                                     start_new_session=True)

    def wait_listening(self, port=HTTP_PORT, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError("agent exited early with %s: %r" %
                                     (self.proc.returncode, self.stderr()))
            if port_open(port):
                return
            time.sleep(0.05)
        raise AssertionError("agent did not listen on %d" % port)

    def stdout(self):
        self.out.seek(0)
        return self.out.read()

    def stderr(self):
        self.err.seek(0)
        return self.err.read()

    def stop(self):
        if self.proc.poll() is None:
            # The whole session: under Wine the exe runs in a child process.
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.out.close()
        self.err.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def wait_port_free(port, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not port_open(port):
            return
        time.sleep(0.1)
    raise AssertionError("port %d still taken" % port)
