"""Shared pieces of the end-to-end tests: the executable under test, a private
HOME, starting and stopping the agent by process id (and finding the agents a
HOME started), and loopback HTTP."""

import os
import select
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


def command(*args, exe=None):
    return RUNNER + [exe or EXE, *args]


def _wine_app_data_dir():
    """The roaming application-data folder of the Wine prefix, as a Linux path."""
    def run(*args):
        out = subprocess.run(RUNNER + list(args), capture_output=True, check=True,
                             stdin=subprocess.DEVNULL).stdout
        return out.decode().strip()
    return run("winepath.exe", "-u", run("cmd.exe", "/c", "echo %APPDATA%"))


class TempHome:
    """A private HOME (and XDG folders under it) for one test.

    Under Wine the agent keeps its data and its Startup shortcut in the
    prefix's roaming folder whatever HOME says, so there both are removed when
    the first TempHome is made and after the last one is removed."""

    _live = 0
    _wine_roaming = None

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="zunel-e2e-")
        if RUNNER:
            if TempHome._wine_roaming is None:
                TempHome._wine_roaming = _wine_app_data_dir()
            if TempHome._live == 0:
                TempHome._clear_wine_user_files()
        TempHome._live += 1
        self._removed = False

    @staticmethod
    def _clear_wine_user_files():
        roaming = TempHome._wine_roaming
        shutil.rmtree(os.path.join(roaming, "Zunel"), ignore_errors=True)
        try:
            os.remove(os.path.join(roaming, "Microsoft", "Windows", "Start Menu", "Programs",
                                   "Startup", "ZunelPrintAgent.lnk"))
        except FileNotFoundError:
            pass

    def env(self, **extra):
        env = dict(os.environ)
        for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "ZUNEL_NO_CONSOLE"):
            env.pop(name, None)
        env["HOME"] = self.path
        # Pseudo-terminals stand in for serial printers: a test build takes
        # them as serial ports while this is set (a release build never).
        env["ZUNEL_TEST_SERIAL_ANY_PATH"] = "1"
        env.update(extra)
        return env

    def data_dir(self):
        if RUNNER:
            return os.path.join(TempHome._wine_roaming, "Zunel", "PrintAgent", "data")
        return os.path.join(self.path, ".local", "share", "Zunel", "PrintAgent", "data")

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)
        if not self._removed:
            self._removed = True
            TempHome._live -= 1
            if RUNNER and TempHome._live == 0:
                TempHome._clear_wine_user_files()


def run_cli(home, *args, timeout=60, env=None, exe=None):
    """Runs one command (of `exe`, by default the build's) to completion;
    returns (exit code, stdout, stderr) as bytes."""
    # Files, not pipes: under Wine an agent that `install` starts keeps the
    # parent's output descriptors, and reading a pipe to its end would wait
    # for that agent to exit.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run(command(*args, exe=exe), env=env or home.env(), stdout=out, stderr=err,
                              timeout=timeout, stdin=subprocess.DEVNULL)
        out.seek(0)
        err.seek(0)
        return proc.returncode, out.read(), err.read()


def port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


class Agent:
    """`zunel-print-agent run` in the background, stopped by its process id."""

    def __init__(self, home, args=("run",), env=None, exe=None):
        self.out = tempfile.TemporaryFile()
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(command(*args, exe=exe), env=env or home.env(), stdout=self.out,
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

    def wait_started(self, timeout=30):
        """Until this agent (not merely some process on its ports) is ready:
        the ports are taken before the token and the state; the banner comes
        after both and after the control channel is up, and the server's
        line on stderr last."""
        self.wait_listening(HTTP_PORT, timeout)
        self.wait_listening(CONTROL_PORT, timeout)
        deadline = time.monotonic() + timeout
        ready = ("escuchando en http://127.0.0.1:%d\n" % HTTP_PORT).encode()
        while ready not in self.stderr():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("agent did not start: %r" % self.stderr())
            time.sleep(0.05)

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


def start_agent(add_cleanup, **env):
    """A temporary HOME and the agent running in it, with `env` added to its
    environment. `add_cleanup` (a test's addCleanup or addClassCleanup) gets
    the agent's stop by its process id, the wait for its port to be free and
    the HOME's removal; they run even when the start fails, so no agent
    outlives the test."""
    home = TempHome()
    add_cleanup(home.remove)
    add_cleanup(wait_port_free, HTTP_PORT)
    agent = Agent(home, env=home.env(**env)) if env else Agent(home)
    add_cleanup(agent.stop)
    agent.wait_started()
    return home, agent


def proc_status_kb(pid, field):
    """A size field of /proc/PID/status (VmRSS, VmHWM, RssAnon...) in kB; Linux only."""
    import re
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^%s:\s+(\d+) kB" % field, f.read(), re.M).group(1))


def process_environ(pid):
    with open("/proc/%d/environ" % pid, "rb") as f:
        return dict(entry.split(b"=", 1) for entry in f.read().split(b"\0") if b"=" in entry)


def processes_with_home(home):
    """Every process (but this one) started with this HOME."""
    pids = []
    for pid in os.listdir("/proc"):
        if pid.isdigit() and int(pid) != os.getpid():
            try:
                if process_environ(int(pid)).get(b"HOME") == home.path.encode():
                    pids.append(int(pid))
            except OSError:
                pass
    return pids


def agents_of(home):
    """Running agents (`... run`) started with this HOME. Under Wine the
    agent's own process is Wine's loader, whose command line is the Windows one."""
    name = os.path.basename(EXE).encode()
    found = []
    for pid in processes_with_home(home):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if name in cmdline and b"run" in cmdline.replace(b"\0", b" ").split() and not _is_zombie(pid):
            found.append(pid)
    return found


def stop_pid(pid, timeout=10):
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not os.path.exists("/proc/%d" % pid) or _is_zombie(pid):
            return
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)


def _is_zombie(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def read_answer(sock, timeout=30):
    """Status line and headers of the answer, or None when the agent closed first."""
    sock.settimeout(timeout)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(4096)
            if not chunk:
                return None
            data += chunk
    except ConnectionResetError:
        return None
    return data.split(b"\r\n\r\n", 1)[0].decode()


def post_slowly(path, length, headers, pace_bytes, results):
    """Declares `length` body bytes and, unless answered within half a
    second, sends them `pace_bytes` every 10 ms (none when 0) until done or
    answered; appends the answer's head (or None)."""
    with socket.create_connection(("127.0.0.1", HTTP_PORT)) as sock:
        head = "POST %s HTTP/1.1\r\n%sContent-Length: %d\r\n\r\n" % (
            path, "".join("%s: %s\r\n" % h for h in headers), length)
        sock.sendall(head.encode())
        sent = 0
        chunk = b"7" * pace_bytes
        answered = select.select([sock], [], [], 0.5)[0]
        while pace_bytes and not answered and sent < length:
            try:
                sock.sendall(chunk[:length - sent])
            except OSError:
                break
            sent += min(pace_bytes, length - sent)
            answered = select.select([sock], [], [], 0.01)[0]
        results.append(read_answer(sock))


def wait_port_free(port, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not port_open(port):
            return
        time.sleep(0.1)
    raise AssertionError("port %d still taken" % port)


# --- Talking to the agent as the ERP page does -------------------------------

import hashlib
import hmac
import http.client
import json
import sys
import threading

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures")
TEST_KID = "7e57c0de"


def uses_test_keyset():
    keyset = os.environ.get("ZUNEL_KEYSET_FILE", "")
    return os.path.realpath(keyset) == os.path.realpath(os.path.join(FIXTURES, "test_keyset.json"))


def request(method, path, body=None, headers=None, origin=ORIGIN, host="127.0.0.1:%d" % HTTP_PORT):
    """One HTTP request on a fresh connection; returns (status, headers list, body bytes)."""
    conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=60)
    try:
        conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        conn.putheader("Host", host)
        if origin is not None:
            conn.putheader("Origin", origin)
        for name, value in (headers or {}).items():
            conn.putheader(name, value)
        data = body.encode() if isinstance(body, str) else body
        if data is not None:
            conn.putheader("Content-Length", str(len(data)))
        conn.endheaders(data)
        res = conn.getresponse()
        return res.status, res.getheaders(), res.read()
    finally:
        conn.close()


def signature_headers(token_hex, body=b"", nonce=None, timestamp=None):
    body = body.encode() if isinstance(body, str) else body
    timestamp = int(time.time()) if timestamp is None else timestamp
    nonce = nonce or os.urandom(12).hex()
    message = "%d.%s.%s" % (timestamp, nonce, hashlib.sha256(body).hexdigest())
    sign = hmac.new(bytes.fromhex(token_hex), message.encode(), hashlib.sha256).hexdigest()
    return {"Authorization": "Bearer " + token_hex, "X-Zunel-Timestamp": str(timestamp),
            "X-Zunel-Nonce": nonce, "X-Zunel-Sign": sign}


def signed(method, path, token_hex, body="", **kw):
    return request(method, path, body=body if method == "POST" else None,
                   headers=signature_headers(token_hex, body), **kw)


# The vendor's signing tool is the one home of the JWS form; the tests sign
# with the test key of tests/fixtures.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import zunel_vendor  # noqa: E402


def fixture_signing_key():
    return zunel_vendor.read_seed(os.path.join(FIXTURES, "test_signing_seed.hex"))


def provisioning_ticket(negocio_id="n-1", sub="u-1", jti=None, lifetime=300):
    return zunel_vendor.ticket(fixture_signing_key(), TEST_KID, negocio_id, sub, lifetime, jti)


def provisioned_token(negocio_id):
    """Provisions a device from the ERP origin and returns its token."""
    status, _, body = request("POST", "/v1/provision",
                              json.dumps({"ticket": provisioning_ticket(negocio_id=negocio_id)}))
    if status != 200:
        raise AssertionError("provisioning failed: %d %r" % (status, body))
    return json.loads(body)["token"]


def revocation_list(negocio_id, seq, entries):
    return zunel_vendor.revocation_list(fixture_signing_key(), TEST_KID, negocio_id, seq, entries)


def loopback_listener(receive_buffer=None):
    """A listening socket on a free loopback port; a small receive buffer
    (inherited by its connections) makes a slow reader pace its sender."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    return listener


class LoopbackServer:
    """A loopback listener whose connections are each served by `serve(conn)`
    on a thread of their own, until close()."""

    def __init__(self, serve, listener=None):
        self.sock = listener or loopback_listener()
        self.port = self.sock.getsockname()[1]
        self._serve = serve
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._one, args=(conn,), daemon=True).start()

    def _one(self, conn):
        with conn:
            try:
                self._serve(conn)
            except OSError:
                pass

    def close(self):
        # close() alone does not wake the thread blocked in accept(), and the
        # listener keeps accepting until it returns: shut it down first.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self._thread.join(timeout=10)


class TcpSink(LoopbackServer):
    """A loopback listener that keeps every byte each connection sends."""

    def __init__(self, listener=None):
        self.jobs = []
        self._lock = threading.Lock()
        self._done = threading.Condition(self._lock)
        super().__init__(self._receive, listener)

    def _receive(self, conn):
        data = b""
        while True:
            chunk = conn.recv(self._chunk_size())
            if not chunk:
                break
            data += chunk
            self._after_chunk(chunk)
        with self._lock:
            self.jobs.append(data)
            self._done.notify_all()

    # How a printer stand-in reads: as fast as it can, unless it says otherwise.
    def _chunk_size(self):
        return 65536

    def _after_chunk(self, chunk):
        pass

    def wait_jobs(self, count, timeout=30):
        with self._lock:
            self._done.wait_for(lambda: len(self.jobs) >= count, timeout)
            return list(self.jobs)


class DeadPrinter:
    """A printer whose connect is never answered: a listener with a backlog of
    0 whose accept queue is full, so the system drops new connection requests
    until release() starts accepting (then every job arrives, and is kept)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(0)
        self.port = self.sock.getsockname()[1]
        self._fillers = []
        for _ in range(3):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", self.port))
            self._fillers.append(s)
        self.sink = None

    def release(self):
        """Accepts from now on, as a TcpSink on the same listener."""
        for s in self._fillers:
            s.close()
        self.sink = TcpSink(self.sock)

    def close(self):
        for s in self._fillers:
            s.close()
        if self.sink:
            self.sink.close()
        else:
            self.sock.close()


class NeverReadingPrinter(TcpSink):
    """A printer that accepts a connection and never reads from it."""

    def __init__(self):
        listener = loopback_listener(receive_buffer=4096)
        self._held = []
        super().__init__(listener)

    def _one(self, conn):
        self._held.append(conn)  # kept open, never read, until close()

    def close(self):
        super().close()
        for conn in self._held:
            conn.close()


class SlowPrinter(TcpSink):
    """A printer that reads 1 KiB every 0.2 s, so a job larger than the
    connection's buffers holds its lane as long as the test likes without a
    send ever timing out, until release() lets it read at full speed."""

    def __init__(self):
        listener = loopback_listener(receive_buffer=4096)
        self.fast = threading.Event()
        self.connected = threading.Event()
        super().__init__(listener)

    def release(self):
        self.fast.set()

    def wait_connected(self, timeout=30):
        """Until the first connection was accepted."""
        if not self.connected.wait(timeout):
            raise AssertionError("no connection came")

    def _receive(self, conn):
        self.connected.set()
        super()._receive(conn)

    def _chunk_size(self):
        return 65536 if self.fast.is_set() else 1024

    def _after_chunk(self, chunk):
        if not self.fast.is_set():
            self.fast.wait(0.2)


class SteadyPrinter(TcpSink):
    """A printer that reads `rate` bytes a second, a tenth of that every
    0.1 s, as an old serial printer behind a network adapter does; with
    `stop_after`, it stops reading (and keeps the connection) once it has
    read that many bytes. `last_read` is when it last took bytes."""

    def __init__(self, rate, stop_after=None):
        self.rate = rate
        self.stop_after = stop_after
        self.last_read = None
        self.read = 0
        self._stopped = threading.Event()
        super().__init__(loopback_listener(receive_buffer=4096))

    def _chunk_size(self):
        step = max(1, self.rate // 10)
        if self.stop_after is not None:
            step = min(step, self.stop_after - self.read)
        return step

    def _receive(self, conn):
        if self.stop_after is None:
            return super()._receive(conn)
        while self.read < self.stop_after:
            chunk = conn.recv(self._chunk_size())
            if not chunk:
                return
            self._after_chunk(chunk)
        self._stopped.wait()  # never reads again, until close()

    def _after_chunk(self, chunk):
        self.read += len(chunk)
        self.last_read = time.monotonic()
        time.sleep(0.1)

    def close(self):
        self._stopped.set()
        super().close()


def small_tcp_buffers(test, sizes="4096 16384 65536"):
    """Lowers this network namespace's TCP buffers (min, default, max) to
    `sizes` for the test (so that a slow printer paces the agent), restored
    at its end. False where they cannot be changed (not root in a namespace
    of the tests' own)."""
    names = ["/proc/sys/net/ipv4/tcp_wmem", "/proc/sys/net/ipv4/tcp_rmem"]
    try:
        saved = []
        for n in names:
            with open(n, encoding="ascii") as f:
                saved.append(f.read())
        for n in names:
            with open(n, "w", encoding="ascii") as f:
                f.write(sizes)
    except OSError:
        return False

    def restore():
        for n, value in zip(names, saved):
            with open(n, "w", encoding="ascii") as f:
                f.write(value)
    test.addCleanup(restore)
    return True
