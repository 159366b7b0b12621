"""Job ids and the journal against the real agent: a job sent again under its
id reaches the printer once (after the page gave up, at the same time, across
a restart), a job cut by kill -9 is said to be interrupted, and the journal
stays bounded, skips a torn line and never holds a secret or printed data."""

import concurrent.futures
import http.client
import json
import os
import re
import signal
import socket
import unittest

from harness import (HTTP_PORT, ORIGIN, Agent, SlowPrinter, TcpSink, TempHome, request, run_cli,
                     signature_headers, signed, wait_port_free)

PAIR_CODE = re.compile(rb"([0-9]{6})")
# A network job asked to be confirmed by a printer that never answers its
# status takes the confirmation's time-out: a slow printer of 3 s.
CONFIRM = {"protocol": "escpos", "timeout_ms": 3000}


def job(port, data, job_id, confirm=None):
    body = {"target": {"kind": "network", "host": "127.0.0.1", "port": port}, "bytes": list(data),
            "job_id": job_id}
    if confirm:
        body["confirm"] = confirm
    return json.dumps(body, separators=(",", ":"))


def give_up_after(seconds, token, body):
    """A page that posts and stops waiting after `seconds`; True when it gave up."""
    conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=seconds)
    try:
        headers = dict(signature_headers(token, body), Host="127.0.0.1:%d" % HTTP_PORT, Origin=ORIGIN)
        conn.request("POST", "/v1/print", body=body.encode(), headers=headers)
        conn.getresponse().read()
        return False
    except socket.timeout:
        return True
    finally:
        conn.close()


class Jobs(unittest.TestCase):
    def setUp(self):
        self.home = TempHome()
        self.addCleanup(self.home.remove)
        self.agent = None
        self.start()
        code, out, err = run_cli(self.home, "pair")
        self.assertEqual(code, 0, err)
        self.code = PAIR_CODE.search(out).group(1).decode()
        status, _, answer = request("POST", "/v1/pair", json.dumps({"code": self.code, "label": "Caja 1"}))
        self.assertEqual(status, 200, answer)
        self.token = json.loads(answer)["token"]
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=4)
        self.addCleanup(self.pool.shutdown)

    def start(self):
        self.agent = Agent(self.home)
        self.addCleanup(wait_port_free, HTTP_PORT)
        self.addCleanup(self.agent.stop)
        self.agent.wait_started()

    def restart(self, kill=False):
        if kill:
            os.killpg(self.agent.proc.pid, signal.SIGKILL)
            self.agent.proc.wait()
        self.agent.stop()
        wait_port_free(HTTP_PORT)
        self.start()

    def journal_dir(self):
        return os.path.join(self.home.data_dir(), "agent")

    def journal_text(self):
        text = b""
        for name in ("journal.1.jsonl", "journal.jsonl"):
            path = os.path.join(self.journal_dir(), name)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    text += f.read()
        return text

    def ask(self, job_id):
        status, _, body = signed("GET", "/v1/jobs/" + job_id, self.token)
        return status, json.loads(body)

    def test_a_page_that_gave_up_and_retried_gets_one_copy_and_the_real_answer(self):
        printer = TcpSink()
        self.addCleanup(printer.close)
        body = job(printer.port, b"ticket 12:31\n", "T-1231", CONFIRM)
        self.assertTrue(give_up_after(1, self.token, body))
        status, running = self.ask("T-1231")
        self.assertEqual((status, running["state"]), (200, "running"))
        self.assertIsNone(running["answer"])
        # The retry waits for the first job and says its answer.
        status, _, answer = signed("POST", "/v1/print", self.token, body)
        self.assertEqual(status, 200, answer)
        said = json.loads(answer)
        self.assertEqual((said["ok"], said["repeated"]), (True, True))
        self.assertEqual(len(printer.wait_jobs(1)), 1)
        status, done = self.ask("T-1231")
        self.assertEqual(done["state"], "done")
        self.assertEqual(done["answer"]["status"], 200)

    def test_repeats_sent_at_once_print_once(self):
        printer = TcpSink()
        self.addCleanup(printer.close)
        body = job(printer.port, b"kitchen order\n", "order-7")
        answers = list(self.pool.map(lambda _: signed("POST", "/v1/print", self.token, body), range(3)))
        self.assertEqual([a[0] for a in answers], [200, 200, 200], answers)
        self.assertEqual(sorted(json.loads(a[2]).get("repeated", False) for a in answers), [False, True, True])
        self.assertEqual(printer.wait_jobs(1), [b"kitchen order\n"])
        # The same id for another job is refused, and nothing is printed.
        status, _, answer = signed("POST", "/v1/print", self.token, job(printer.port, b"other\n", "order-7"))
        self.assertEqual((status, json.loads(answer)), (409, {"code": "job_id_conflict", "error": "job_id ya usado para otro trabajo"}))
        self.assertEqual(len(printer.wait_jobs(2, timeout=1)), 1)

    def test_ids_survive_a_restart_and_a_cut_job_is_never_printed_again(self):
        printer = TcpSink()
        self.addCleanup(printer.close)
        body = job(printer.port, b"label 1\n", "L-1")
        self.assertEqual(signed("POST", "/v1/print", self.token, body)[0], 200)
        self.restart()
        status, _, answer = signed("POST", "/v1/print", self.token, body)
        self.assertEqual((status, json.loads(answer)), (200, {"ok": True, "repeated": True}))
        self.assertEqual(printer.wait_jobs(2, timeout=1), [b"label 1\n"])

        slow = SlowPrinter()
        self.addCleanup(slow.close)
        cut = job(slow.port, b"x", "L-2", dict(CONFIRM, timeout_ms=30000))
        self.pool.submit(signed, "POST", "/v1/print", self.token, cut)
        slow.wait_connected()
        self.restart(kill=True)
        status, _, answer = signed("POST", "/v1/print", self.token, cut)
        self.assertEqual(status, 409, answer)
        said = json.loads(answer)
        self.assertEqual(said["state"], "interrupted")
        self.assertIn("revise la impresora", said["error"])
        self.assertEqual(self.ask("L-2")[1]["state"], "interrupted")
        self.assertEqual(self.ask("nunca")[0], 404)

    def test_the_journal_is_bounded_skips_a_torn_line_and_holds_no_secret(self):
        # A journal at its bound, its last line torn by a crash.
        self.agent.stop()
        wait_port_free(HTTP_PORT)
        filler = json.dumps({"t": "2026-01-01T00:00:00Z", "event": "control", "command": "pair", "ok": True})
        path = os.path.join(self.journal_dir(), "journal.jsonl")
        room = 1048576 - os.path.getsize(path)
        with open(path, "ab") as f:
            f.write(((filler + "\n") * (room // (len(filler) + 1) - 1)).encode() + b'{"t":"2026-01-')
        self.start()
        printer = TcpSink()
        self.addCleanup(printer.close)
        secret = b"SECRET-RECEIPT-TEXT"
        self.assertEqual(signed("POST", "/v1/print", self.token, job(printer.port, secret, "S-1"))[0], 200)
        run_cli(self.home, "pair")  # a code that must not reach the journal either

        for name in ("journal.jsonl", "journal.1.jsonl"):
            self.assertLessEqual(os.path.getsize(os.path.join(self.journal_dir(), name)), 1048576)
        code, out, err = run_cli(self.home, "log", "--json", "5000")
        self.assertEqual(code, 0, err)
        lines = out.decode().splitlines()
        events = [json.loads(line)["event"] for line in lines]  # every line whole
        self.assertIn("print", events)
        self.assertIn("agent_start", events)

        text = self.journal_text()
        for secret_text in (self.token, self.code, secret.decode(), ",".join(str(b) for b in secret)):
            self.assertNotIn(secret_text.encode(), text)

        code, out, err = run_cli(self.home, "log", "3")
        self.assertEqual(code, 0, err)
        told = out.decode("ascii")
        self.assertEqual(len(told.splitlines()), 3, told)
        self.assertIn("impresion  |  Caja 1  |  red 127.0.0.1:%d  |  entregado a la impresora, sin confirmar (trabajo S-1)"
                      % printer.port, told)


if __name__ == "__main__":
    unittest.main()
