"""What a shop's PC does to the agent's promises, against the real agent: kill -9
at any moment while prints with job ids run, a full disk, a job store that
cannot be opened, damaged files. Each job reaches the printer at most once, or
the page is told it was not sent."""

import concurrent.futures
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import unittest

from printer_emulator import PrinterEmulator
from harness import (HTTP_PORT, RUNNER, Agent, TcpSink, TempHome, provisioning_ticket, request, run_cli, signed,
                     wait_port_free)

PAIR_CODE = re.compile(rb"([0-9]{6})")


def job_body(port, data, job_id=None):
    body = {"target": {"kind": "network", "host": "127.0.0.1", "port": port}, "bytes": list(data)}
    if job_id:
        body["job_id"] = job_id
    return json.dumps(body, separators=(",", ":"))


def private_mounts_possible():
    """Root, on Linux, where a mount namespace of the test's own can be made."""
    return (not RUNNER and os.geteuid() == 0 and shutil.which("unshare")
            and subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode == 0)


class Durability(unittest.TestCase):
    def setUp(self):
        self.home = TempHome()
        self.addCleanup(self.home.remove)
        self.agent = None

    def start(self, timeout=30):
        self.agent = Agent(self.home)
        self.addCleanup(self.agent.stop)
        self.agent.wait_started(timeout)

    def kill(self):
        os.killpg(self.agent.proc.pid, signal.SIGKILL)
        self.agent.proc.wait()
        self.agent.stop()
        wait_port_free(HTTP_PORT)

    def pair(self):
        code, out, err = run_cli(self.home, "pair")
        self.assertEqual(code, 0, err)
        status, _, answer = request("POST", "/v1/pair",
                                    json.dumps({"code": PAIR_CODE.search(out).group(1).decode(), "label": "Caja"}))
        self.assertEqual(status, 200, answer)
        return json.loads(answer)["token"]

    def store_dir(self):
        return os.path.join(self.home.data_dir(), "agent")

    def test_kill_at_any_moment_never_prints_a_job_twice(self):
        printer = TcpSink()
        self.addCleanup(printer.close)
        self.start()
        token = self.pair()
        jobs = {"K-%d" % n: b"kitchen order %d\n" % n for n in range(60 if not RUNNER else 24)}
        pending = set(jobs)
        rounds = 10 if not RUNNER else 4
        rng = random.Random(1231)
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            for round_ in range(rounds + 1):
                last = round_ == rounds
                sent = {pool.submit(signed, "POST", "/v1/print", token, job_body(printer.port, jobs[i], i)): i
                        for i in sorted(pending)}
                if not last:
                    # The plug is pulled while some jobs are on their way.
                    concurrent.futures.wait(sent, timeout=rng.uniform(0.0, 0.15))
                    self.kill()
                for future, job_id in sent.items():
                    try:
                        status, _, answer = future.result(timeout=60)
                    except Exception:  # cut with the agent: its answer is lost
                        continue
                    if status == 200 or (status == 409 and json.loads(answer).get("state") == "interrupted"):
                        pending.discard(job_id)  # printed, or left to the cashier: never sent again
                    elif status not in (502, 503):
                        self.fail("%s: %d %r" % (job_id, status, answer))
                if not last:
                    self.start()
        self.assertEqual(pending, set(), "every job was answered in the end")
        received = printer.wait_jobs(1, timeout=5)
        # Each job is one small write: it arrives whole or not at all.
        copies = {job_id: received.count(data) for job_id, data in jobs.items()}
        twice = {job_id: n for job_id, n in copies.items() if n > 1}
        self.assertEqual(twice, {}, "jobs that reached the printer more than once")

    def test_a_days_jobs_beside_a_chatty_printer_are_all_known_after_a_restart(self):
        emulator = PrinterEmulator(pseudo_terminal=False)
        emulator.start()
        self.addCleanup(emulator.stop)
        printer = TcpSink()
        self.addCleanup(printer.close)
        self.start()
        token = self.pair()
        # More jobs than the journal could hold, and a printer whose answer
        # changes at every question: neither pushes a job id out.
        count = 4200 if not RUNNER else 300
        status_query = json.dumps({"target": {"kind": "network", "host": "127.0.0.1", "port": emulator.tcp_port},
                                   "protocol": "escpos"})
        for n in range(count):
            status, _, answer = signed("POST", "/v1/print", token, job_body(printer.port, b"%d" % n, "D-%d" % n))
            self.assertEqual(status, 200, answer)
            if n % 8 == 0:
                emulator.set(paper="out" if n % 16 else "ok")
                self.assertEqual(signed("POST", "/v1/printers/status", token, status_query)[0], 200)
        self.kill()
        self.start()
        for job_id in ("D-0", "D-%d" % (count // 2), "D-%d" % (count - 1)):
            n = int(job_id[2:])
            status, _, answer = signed("POST", "/v1/print", token, job_body(printer.port, b"%d" % n, job_id))
            self.assertEqual((status, json.loads(answer).get("repeated")), (200, True), job_id)
        self.assertEqual(len(printer.wait_jobs(count)), count)

    def test_a_store_that_cannot_be_opened_refuses_jobs_with_ids_and_prints_the_rest(self):
        os.makedirs(os.path.join(self.store_dir(), "jobs.jsonl"))
        self.start()
        token = self.pair()
        printer = TcpSink()
        self.addCleanup(printer.close)
        status, _, answer = signed("POST", "/v1/print", token, job_body(printer.port, b"with id", "D-1"))
        self.assertEqual((status, json.loads(answer)["code"]), (503, "journal_unavailable"), answer)
        self.assertIn("sin job_id", json.loads(answer)["error"])
        status, _, _ = signed("POST", "/v1/print", token, job_body(printer.port, b"without id"))
        self.assertEqual(status, 200)
        self.assertEqual(printer.wait_jobs(1), [b"without id"], "the job with an id was not sent")
        self.assertIn(b"[trabajos] no se pudo leer jobs.jsonl", self.agent.stderr())

    def test_a_disk_whose_sync_fails_refuses_jobs_with_ids(self):
        self.agent = Agent(self.home, env=self.home.env(ZUNEL_TEST_FAILING_SYNC="1"))
        self.addCleanup(self.agent.stop)
        self.agent.wait_started()
        token = self.pair()
        printer = TcpSink()
        self.addCleanup(printer.close)
        status, _, answer = signed("POST", "/v1/print", token, job_body(printer.port, b"with id", "S-1"))
        self.assertEqual((status, json.loads(answer)["code"]), (503, "journal_unavailable"), answer)
        status, _, _ = signed("POST", "/v1/print", token, job_body(printer.port, b"without id"))
        self.assertEqual(status, 200)
        self.assertEqual(printer.wait_jobs(1), [b"without id"], "the job with an id was not sent")
        self.kill()
        self.start()  # the disk works again
        status, _, answer = signed("POST", "/v1/print", token, job_body(printer.port, b"with id", "S-1"))
        self.assertEqual((status, json.loads(answer).get("repeated")), (200, None), "the refused id was free")

    def test_damaged_files_neither_stop_nor_hang_the_agent_nor_log(self):
        store = self.store_dir()
        os.makedirs(store)
        outside = os.path.join(self.home.path, "outside.jsonl")
        with open(outside, "w") as f:
            f.write('{"t":"2026-12-08T10:00:00Z","event":"agent_start"}\n')
        journal = os.path.join(store, "journal.jsonl")
        # Wine shows a Unix link as the file it names and has no FIFOs: the
        # Windows file layer's own refusal of links is its unit tests' business.
        links = not RUNNER
        if links:
            os.symlink(outside, journal)
        # A file far past any bound the agent writes: read from its end only.
        with open(os.path.join(store, "journal.1.jsonl"), "wb") as f:
            f.truncate(300 << 20)
        fp = "0" * 64
        with open(os.path.join(store, "jobs.jsonl"), "w") as f:
            f.write('{"format":"zunel-print-agent jobs","version":1}\n')
            f.write('{"e":"start","d":"d","id":"A","fp":"%s","a":-1}\n' % fp)
            f.write('{"e":"start","d":"d","id":"B","fp":"%s","a":1}\n' % fp)
            f.write('{"e":"end","d":"d","id":"B","t":2,"s":1000,"b":null}\n')
            f.write('{"e":"end","d":"d","id":"B","t":18446744073709551616,"s":200,"b":null}\n')
        self.start(timeout=10)
        self.assertIn("[trabajos] 3 líneas ilegibles en jobs.jsonl".encode(), self.agent.stderr())
        code, out, err = run_cli(self.home, "log", timeout=10)
        self.assertEqual(code, 0, err)
        if links:
            self.assertIn(b"vac", out, "neither the link nor the oversized file was read as the journal")
            with open(outside) as f:
                self.assertEqual(f.read().count("\n"), 1, "nothing was written through the link")
        code, out, err = run_cli(self.home, "report", timeout=30)
        self.assertEqual(code, 0, err)
        self.assertIn("3 líneas ilegibles halladas al iniciar".encode(), out)

        # A FIFO in the journal's place holds neither the agent nor `log`.
        if not links:
            return
        self.kill()
        os.remove(journal)
        os.mkfifo(journal)
        self.start(timeout=10)
        code, out, err = run_cli(self.home, "log", timeout=10)
        self.assertEqual(code, 0, err)

    @unittest.skipUnless(private_mounts_possible(), "needs root and a mount namespace of the test's own")
    def test_a_full_disk_refuses_what_it_cannot_keep_and_prints_the_rest(self):
        data = os.path.join(self.home.path, ".local", "share")
        os.makedirs(data)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", data], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", data])
        self.start()
        token = self.pair()
        printer = TcpSink()
        self.addCleanup(printer.close)
        filler = os.path.join(data, "filler")
        with open(filler, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 4096)
            except OSError:
                pass

        # The store's last page may still take a few lines; then it refuses.
        answered = {}
        for n in range(200):
            job_id = "F-%d" % n
            status, _, answer = signed("POST", "/v1/print", token, job_body(printer.port, job_id.encode(), job_id))
            answered[job_id] = status
            if status != 200:
                self.assertEqual((status, json.loads(answer)["code"]), (503, "journal_unavailable"), answer)
                break
        refused = [job_id for job_id, status in answered.items() if status == 503]
        self.assertEqual(len(refused), 1, "a job with an id was refused once the disk was full")
        status, _, _ = signed("POST", "/v1/print", token, job_body(printer.port, b"no id"))
        self.assertEqual(status, 200, "a job without an id prints whatever the disk does")
        status, _, answer = request("POST", "/v1/provision", json.dumps({"ticket": provisioning_ticket("n-full")}))
        self.assertEqual((status, json.loads(answer)["code"]), (503, "store_unavailable"), answer)

        # Every job answered 200 is known after a kill; the refused one was
        # never sent and prints once when sent again.
        self.kill()
        os.remove(filler)
        self.start()
        for job_id in answered:
            status, _, answer = signed("POST", "/v1/print", token, job_body(printer.port, job_id.encode(), job_id))
            self.assertEqual(status, 200, answer)
            self.assertEqual(json.loads(answer).get("repeated"), True if job_id not in refused else None, job_id)
        received = printer.wait_jobs(len(answered) + 1)
        self.assertEqual(sorted(received), sorted([job_id.encode() for job_id in answered] + [b"no id"]))


if __name__ == "__main__":
    # A mount namespace of this test's own, for the full disk: the tmpfs it
    # mounts is seen by the agents it starts and by nothing else.
    if private_mounts_possible() and not os.environ.get("ZUNEL_OWN_MOUNTS"):
        os.environ["ZUNEL_OWN_MOUNTS"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable, "-B"] + sys.argv)
    unittest.main(verbosity=2)
