"""The router for every user of a Linux machine: the router runs as root, one
agent as each of two system users; each user's requests reach that user's
own agent, and a third user, who has no agent, gets the router's 503.

Needs root (users are made and removed, processes run as them) and a mount
namespace of the test's own, in which /run is a tmpfs: the router's
directory is seen by this test's processes and by nothing else."""

import json
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from harness import CONTROL_PORT, EXE, HTTP_PORT, ORIGIN, RUNNER, command, port_open, stop_pid

PAIR_CODE = re.compile(rb"([0-9]{6})")
SOCKET = "/run/zunel-print-agent/router.sock"

# One request from a process of the user who runs it: prints [status, body].
CLIENT = r"""
import http.client, json, sys
method, path, body, origin = sys.argv[1:5]
conn = http.client.HTTPConnection("127.0.0.1", %d, timeout=30)
conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
conn.putheader("Host", "127.0.0.1:%d")
conn.putheader("Origin", origin)
data = body.encode()
if data:
    conn.putheader("Content-Length", str(len(data)))
conn.endheaders(data or None)
res = conn.getresponse()
print(json.dumps([res.status, res.read().decode(), res.getheader("Access-Control-Allow-Origin")]))
""" % (HTTP_PORT, HTTP_PORT)


def runnable():
    return (not RUNNER and sys.platform.startswith("linux") and os.geteuid() == 0
            and all(shutil.which(tool) for tool in ("useradd", "userdel", "setpriv", "unshare")))


class User:
    """A system user of this test's own, with a private HOME."""

    def __init__(self, test, suffix):
        self.name = "zunel-rt-%d-%s" % (os.getpid() % 100000, suffix)
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", self.name],
                       check=True)
        test.addCleanup(subprocess.run, ["userdel", self.name], capture_output=True)
        entry = pwd.getpwnam(self.name)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        self.home = tempfile.mkdtemp(prefix="zunel-e2e-router-")
        os.chmod(self.home, 0o700)
        os.chown(self.home, self.uid, self.gid)
        test.addCleanup(shutil.rmtree, self.home, ignore_errors=True)

    def argv(self, *args):
        return ["setpriv", "--reuid", str(self.uid), "--regid", str(self.gid), "--clear-groups",
                "env", "-i", "HOME=" + self.home, "PATH=/usr/bin:/bin", *args]

    def run(self, *args):
        return subprocess.run(self.argv(*args), capture_output=True, timeout=60)

    def request(self, method, path, body=""):
        done = self.run(sys.executable, "-c", CLIENT, method, path, body, ORIGIN)
        if done.returncode != 0:
            raise AssertionError(done.stderr.decode())
        return json.loads(done.stdout)


def wait_for(predicate, what, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise AssertionError("not in time: " + what)


@unittest.skipUnless(runnable(), "needs root on Linux with useradd, setpriv and unshare (run as root to test the router)")
class Router(unittest.TestCase):
    def start(self, argv, ready):
        out = tempfile.TemporaryFile()
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        self.addCleanup(out.close)
        self.addCleanup(proc.wait)
        self.addCleanup(stop_pid, proc.pid)

        def said():
            out.seek(0)
            return ready in out.read()
        wait_for(lambda: said() or proc.poll() is not None, ready.decode())
        out.seek(0)
        self.assertIsNone(proc.poll(), out.read().decode(errors="replace"))
        return proc, out

    def setUp(self):
        self.router, _ = self.start(command("router"), b"[router] escuchando")
        wait_for(lambda: os.path.exists(SOCKET) and port_open(HTTP_PORT) and port_open(CONTROL_PORT), "router")
        self.ana, self.bruno, self.carla = User(self, "a"), User(self, "b"), User(self, "c")
        self.agents = [self.start(user.argv(EXE, "run"), "registrado en el router".encode())[0]
                       for user in (self.ana, self.bruno)]

    def test_each_user_reaches_their_own_agent_and_a_user_without_one_gets_503(self):
        status_a, ping_a, _ = self.ana.request("GET", "/v1/ping")
        status_b, ping_b, _ = self.bruno.request("GET", "/v1/ping")
        self.assertEqual((status_a, status_b), (200, 200), (ping_a, ping_b))
        id_a, id_b = json.loads(ping_a)["id"], json.loads(ping_b)["id"]
        self.assertNotEqual(id_a, id_b)

        # Ana's code, from Ana's control channel (through the router), pairs
        # with Ana's agent; the same code from Bruno reaches Bruno's agent,
        # which never made it.
        pair = self.ana.run(EXE, "pair")
        self.assertEqual(pair.returncode, 0, pair.stderr)
        code = PAIR_CODE.search(pair.stdout).group(1).decode()
        body = json.dumps({"code": code, "label": "Caja 1"})
        status, answer, _ = self.bruno.request("POST", "/v1/pair", body)
        self.assertEqual(status, 401, answer)
        self.assertEqual(json.loads(answer)["code"], "code_invalid")
        status, answer, _ = self.ana.request("POST", "/v1/pair", body)
        self.assertEqual(status, 200, answer)
        self.assertEqual(json.loads(answer)["agent_id"], id_a)

        status, answer, cors = self.carla.request("GET", "/v1/ping")
        self.assertEqual(status, 503, answer)
        self.assertEqual(json.loads(answer), {
            "code": "no_agent_for_user",
            "error": "no hay un agente de impresión iniciado para este usuario de Windows"})
        self.assertEqual(cors, ORIGIN)
        listed = self.carla.run(EXE, "list")
        self.assertNotEqual(listed.returncode, 0, listed.stdout)

    def test_stop_ends_only_that_users_agent_and_its_user_then_gets_503(self):
        stopped = self.ana.run(EXE, "stop")
        self.assertEqual(stopped.returncode, 0, stopped.stdout + stopped.stderr)
        wait_for(lambda: self.agents[0].poll() is not None, "ana's agent ends")
        self.assertIsNone(self.agents[1].poll())
        status, answer, _ = self.ana.request("GET", "/v1/ping")
        self.assertEqual((status, json.loads(answer)["code"]), (503, "no_agent_for_user"))
        self.assertEqual(self.bruno.request("GET", "/v1/ping")[0], 200)


if __name__ == "__main__":
    if runnable() and not os.environ.get("ZUNEL_OWN_MOUNTS"):
        os.environ["ZUNEL_OWN_MOUNTS"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable, "-B"] + sys.argv)
    if os.environ.get("ZUNEL_OWN_MOUNTS"):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755,size=1m", "tmpfs", "/run"], check=True)
    unittest.main(verbosity=2)
