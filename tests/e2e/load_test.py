"""Hostile load against the real executable: bodies that would not fit in
memory, and connections that say nothing."""

import socket
import sys
import threading
import time
import unittest

from harness import HTTP_PORT, ORIGIN, RUNNER, post_slowly, proc_status_kb, request, start_agent

HOST = "127.0.0.1:%d" % HTTP_PORT
MiB = 1 << 20
# The server's budget for all bodies in flight together is 192 MiB (201 MB):
# three 63 MiB print bodies fit, a fourth is refused. So the agent's peak
# may rise above its idle size by the whole budget, an eighth more in the
# sanitizer build (its shadow memory), and some 25 MB for socket buffers and
# the request being handled: 250 MB. Without the budget the same load took
# the agent near 1 GB.
PEAK_GROWTH_LIMIT_KB = 250 * 1000


class HostileLoad(unittest.TestCase):
    def setUp(self):
        self.home, self.agent = start_agent(self.addCleanup)

    def test_memory_stays_bounded_under_a_body_flood(self):
        native = not RUNNER
        if native:
            with open("/proc/%d/clear_refs" % self.agent.proc.pid, "w") as f:
                f.write("5")  # VmHWM from here on
            idle = proc_status_kb(self.agent.proc.pid, "VmRSS")
        results = []
        threads = []
        # Declared 63 MiB print bodies from the page, sent as fast as the agent reads.
        for _ in range(4):
            threads.append(threading.Thread(target=post_slowly, args=(
                "/v1/print", 63 * MiB, [("Host", HOST), ("Origin", ORIGIN)], MiB, results)))
        # 60 MB bodies declared without Host or Origin, refused from their header.
        for i in range(16):
            threads.append(threading.Thread(target=post_slowly, args=(
                ("/v1/pair", "/v1/print")[i % 2], 60 * 1000 * 1000, [], 0, results)))
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=240)
        statuses = sorted(int(r.split()[1]) if r else 0 for r in results)
        self.assertEqual(statuses.count(403), 16, statuses)
        # Unsigned prints end in 401 once their whole body is in; the budget
        # holds three of them, so at least one waits and gets 503.
        self.assertEqual(statuses.count(401) + statuses.count(503), 4, statuses)
        self.assertGreaterEqual(statuses.count(503), 1, statuses)
        self.assertTrue(all("Retry-After: 1" in r for r in results if r and " 503 " in r))

        status, _, _ = request("GET", "/v1/ping", origin=None)
        self.assertEqual(status, 200)
        if native:
            peak = proc_status_kb(self.agent.proc.pid, "VmHWM")
            print("\nVmRSS idle %.1f MB, VmHWM under the body flood %.1f MB"
                  % (idle / 1000, peak / 1000), file=sys.stderr)
            self.assertLess(peak - idle, PEAK_GROWTH_LIMIT_KB)

    def test_a_ping_is_answered_while_silent_connections_and_a_slow_body_are_held(self):
        results = []
        slow = threading.Thread(target=post_slowly, args=(
            "/v1/print", 64 * 1024, [("Host", HOST), ("Origin", ORIGIN)], 256, results))
        slow.start()
        # Until the slow body is under way: a connection whose first byte the
        # agent has not yet read counts as idle and may be closed to make room.
        time.sleep(1)
        for _ in range(3):
            silent = [socket.create_connection(("127.0.0.1", HTTP_PORT)) for _ in range(100)]
            try:
                start = time.monotonic()
                status, _, _ = request("GET", "/v1/ping", origin=None)
                took = time.monotonic() - start
            finally:
                for s in silent:
                    s.close()
            self.assertEqual(status, 200)
            self.assertLess(took, 5, "the ping waited %.1f s" % took)
        slow.join(timeout=120)
        # Mid-body, so never closed to make room: it gets its answer.
        self.assertEqual(len(results), 1)
        self.assertIsNotNone(results[0])
        self.assertIn(" 401 ", results[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
