"""What the journal and the job ids cost; see journal_bench.sh. Runs two
builds of the agent in turns (the one before, then this one, ZUNEL_BENCH_ROUNDS
times, 8 unless set) and prints, for each round and build: ping throughput
(ping is not journaled), the median of 1,500 sequential signed 4 KB prints
each under a job id of its own (journaled, and remembered by the build that
knows job ids), the same without job ids (what the id's synced start costs),
and how much the agent's private memory grew over 4,096 more
such jobs. The comparison takes the median of the rounds: a round's print
median moves by several per cent from one round to the next on a small
machine, the same build's included."""

import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["ZUNEL_AGENT_EXE"] = os.path.abspath(sys.argv[1])
import http_bench  # noqa: E402
import harness  # noqa: E402

REMEMBERED = 4096
ROUNDS = int(os.environ.get("ZUNEL_BENCH_ROUNDS", "8"))


def prints(token, target, count, prefix, size, with_id=True):
    bodies = [json.dumps(dict({"target": target, "bytes": list(os.urandom(size))},
                              **({"job_id": "%s-%d" % (prefix, n)} if with_id else {})),
                         separators=(",", ":")) for n in range(count)]
    times = []
    for body in bodies:
        times += http_bench.timed_prints(token, body, 1)
    return times


def measure(exe):
    harness.EXE = exe
    os.environ["ZUNEL_AGENT_EXE"] = exe
    home = harness.TempHome()
    agent = harness.Agent(home, exe=exe)
    try:
        agent.wait_started()
        time.sleep(0.5)
        pid = agent.proc.pid
        rate, p50, _, errors = http_bench.wrk("http://127.0.0.1:%d/v1/ping" % harness.HTTP_PORT,
                                              "127.0.0.1:%d" % harness.HTTP_PORT)
        token, sink, target = http_bench.provision_and_start_sink()
        median = statistics.median(prints(token, target, 1500, "p", 4096)) * 1e3
        plain = statistics.median(prints(token, target, 1500, "p", 4096, with_id=False)) * 1e3
        before = harness.proc_status_kb(pid, "RssAnon")
        prints(token, target, REMEMBERED, "m", 16)
        grown = harness.proc_status_kb(pid, "RssAnon") - before
        sink.communicate("")
        return rate, p50, errors, median, grown, plain
    finally:
        agent.stop()
        home.remove()


def main():
    builds = [("before", os.path.abspath(sys.argv[2])), ("journal", os.path.abspath(sys.argv[1]))]
    results = {name: [] for name, _ in builds}
    for _ in range(ROUNDS):
        for name, exe in builds:
            results[name].append(measure(exe))
    for name, runs in results.items():
        for rate, p50, errors, median, grown, plain in runs:
            print("%-8s ping %.0f req/s (p50 %s, non-2xx %d); 4 KB print median %.3f ms with a job id, %.3f ms "
                  "without; private memory +%d KB over %d more jobs with ids"
                  % (name, rate, p50, errors, median, plain, grown, REMEMBERED))
    ping = [statistics.median(r[0] for r in results[n]) for n, _ in builds]
    median = [statistics.median(r[3] for r in results[n]) for n, _ in builds]
    plain = [statistics.median(r[5] for r in results[n]) for n, _ in builds]
    print("journal vs before, medians of %d rounds: ping %.0f against %.0f req/s (%+.1f %%), 4 KB print with an "
          "id %.3f against %.3f ms (%+.1f %%), without %.3f against %.3f ms (%+.1f %%); what a job id costs now "
          "(its start written and synced): %.3f ms"
          % (ROUNDS, ping[1], ping[0], (ping[1] / ping[0] - 1) * 100, median[1], median[0],
             (median[1] / median[0] - 1) * 100, plain[1], plain[0], (plain[1] / plain[0] - 1) * 100,
             median[1] - plain[1]))


if __name__ == "__main__":
    main()
