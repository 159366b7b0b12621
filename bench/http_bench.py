"""Benchmark of the running agent; see http_bench.sh. Prints one line per figure."""

import base64
import http.client
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
os.environ["ZUNEL_AGENT_EXE"] = os.path.abspath(sys.argv[1])
import harness  # noqa: E402

NGINX_PORT = 47690
PING_SECONDS = 10
# Ping beside nginx: the two in turns over several rounds, each first in every
# other round, so that neither always meets a warmer or a cooler machine.
PING_ROUNDS = int(os.environ.get("ZUNEL_BENCH_ROUNDS", "6"))
ROUND_SECONDS = 5
# 1 MB prints of each form.
LARGE_PRINTS = 10


rss_kb = harness.proc_status_kb


def cpu_seconds(pid):
    """User plus system CPU time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wrk(url, host, seconds=PING_SECONDS):
    out = subprocess.run(["wrk", "-t2", "-c16", "-d%ds" % seconds, "--latency", "-H", "Host: " + host,
                          url], capture_output=True, text=True, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p50 = re.search(r"^\s+50%\s+(\S+)", out, re.M).group(1)
    p99 = re.search(r"^\s+99%\s+(\S+)", out, re.M).group(1)
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return rate, p50, p99, int(errors.group(1)) if errors else 0


def start_nginx(workdir, body):
    os.makedirs(os.path.join(workdir, "v1"))
    with open(os.path.join(workdir, "v1", "ping"), "w") as f:
        f.write(body)
    conf = os.path.join(workdir, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""worker_processes 1; daemon off; pid %(d)s/nginx.pid; error_log %(d)s/error.log;
events { worker_connections 256; }
http { access_log off; client_body_temp_path %(d)s; proxy_temp_path %(d)s;
  fastcgi_temp_path %(d)s; uwsgi_temp_path %(d)s; scgi_temp_path %(d)s;
  server { listen 127.0.0.1:%(p)d; root %(d)s; default_type application/json;
    location / { add_header Cache-Control no-store; } } }
""" % {"d": workdir, "p": NGINX_PORT})
    proc = subprocess.Popen(["nginx", "-c", conf, "-p", workdir], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 10
    while not harness.port_open(NGINX_PORT):
        if time.monotonic() > deadline or proc.poll() is not None:
            raise SystemExit("nginx did not start")
        time.sleep(0.05)
    return proc


def timed_prints(token, body, count):
    """Sequential prints on one keep-alive connection, as a page's fetch calls go."""
    conn = http.client.HTTPConnection("127.0.0.1", harness.HTTP_PORT, timeout=60)
    data = body.encode()
    times = []
    try:
        for _ in range(count):
            headers = harness.signature_headers(token, data)
            headers.update({"Host": "127.0.0.1:%d" % harness.HTTP_PORT, "Origin": harness.ORIGIN,
                            "Content-Type": "application/json"})
            start = time.perf_counter()
            conn.request("POST", "/v1/print", body=data, headers=headers)
            res = conn.getresponse()
            answer = res.read()
            times.append(time.perf_counter() - start)
            if res.status != 200:
                raise SystemExit("print failed: %d %r" % (res.status, answer))
    finally:
        conn.close()
    return times


# A printer stand-in in a process of its own, so it takes no time from the
# client: it drains every connection and, when its standard input closes,
# prints how many jobs and bytes it got.
SINK = """
import socket, sys, threading
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(64)
print(s.getsockname()[1], flush=True)
jobs = [0, 0]
def serve():
    while True:
        c, _ = s.accept()
        n = 0
        while True:
            d = c.recv(1 << 20)
            if not d: break
            n += len(d)
        c.close(); jobs[0] += 1; jobs[1] += n
threading.Thread(target=serve, daemon=True).start()
sys.stdin.read()
print(jobs[0], jobs[1], flush=True)
"""


def provision_and_start_sink():
    """Provisions a device on the running agent and starts the printer
    stand-in; returns (the device's token, the stand-in's process, a network
    target naming it)."""
    status, _, creds = harness.request("POST", "/v1/provision",
                                       json.dumps({"ticket": harness.provisioning_ticket()}))
    if status != 200:
        raise SystemExit("provisioning failed: %r" % creds)
    sink = subprocess.Popen([sys.executable, "-c", SINK], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    target = {"kind": "network", "host": "127.0.0.1", "port": int(sink.stdout.readline())}
    return json.loads(creds)["token"], sink, target


def main():
    home = harness.TempHome()
    workdir = tempfile.mkdtemp(prefix="zunel-bench-")
    agent = harness.Agent(home)
    nginx = None
    try:
        agent.wait_started()
        time.sleep(0.5)
        pid = agent.proc.pid
        idle = rss_kb(pid, "VmRSS")
        print("idle RSS after start-up: %.1f MB (private %.1f MB), load average %s"
              % (rss_kb(pid, "VmRSS") / 1024, rss_kb(pid, "RssAnon") / 1024,
                 open("/proc/loadavg").read().split()[0]))

        _, _, ping_body = harness.request("GET", "/v1/ping", origin=None)
        nginx = start_nginx(workdir, ping_body.decode())
        agent_url = ("http://127.0.0.1:%d/v1/ping" % harness.HTTP_PORT, "127.0.0.1:%d" % harness.HTTP_PORT)
        nginx_url = ("http://127.0.0.1:%d/v1/ping" % NGINX_PORT, "127.0.0.1")
        agent_runs, nginx_runs, ratios = [], [], []
        for round_no in range(PING_ROUNDS):
            if round_no % 2 == 0:
                a = wrk(*agent_url, seconds=ROUND_SECONDS)
                n = wrk(*nginx_url, seconds=ROUND_SECONDS)
            else:
                n = wrk(*nginx_url, seconds=ROUND_SECONDS)
                a = wrk(*agent_url, seconds=ROUND_SECONDS)
            agent_runs.append(a)
            nginx_runs.append(n)
            ratios.append(a[0] / n[0])
            print("ping round %d (%s first), wrk 2 threads 16 connections %d s: agent %.0f req/s (p50 %s, "
                  "p99 %s, non-2xx %d); nginx %.0f req/s (p50 %s, p99 %s); ratio %.2f"
                  % (round_no + 1, "agent" if round_no % 2 == 0 else "nginx", ROUND_SECONDS, a[0], a[1], a[2],
                     a[3], n[0], n[1], n[2], ratios[-1]))
        print("ping over %d rounds: agent median %.0f req/s (non-2xx %d in all), nginx median %.0f req/s; "
              "median ratio %.2f (rounds from %.2f to %.2f)"
              % (PING_ROUNDS, statistics.median(r[0] for r in agent_runs), sum(r[3] for r in agent_runs),
                 statistics.median(r[0] for r in nginx_runs), statistics.median(ratios), min(ratios),
                 max(ratios)))

        token, sink, target = provision_and_start_sink()

        small = json.dumps({"target": target, "bytes": list(os.urandom(4096))}, separators=(",", ":"))
        cpu = cpu_seconds(pid)
        times = sorted(timed_prints(token, small, 500))
        cpu = cpu_seconds(pid) - cpu
        print("signed 4 KB print (%d B body), 500 sequential: median %.3f ms, p99 %.3f ms; "
              "agent CPU %.3f ms per print"
              % (len(small), statistics.median(times) * 1e3, times[int(len(times) * 0.99) - 1] * 1e3,
                 cpu * 1e3 / 500))

        # The same 1 MB job, its bytes as numbers and as base64, in turns.
        # Each peak is taken over its own jobs alone: writing 5 to clear_refs
        # brings the high-water mark down to the present RSS.
        job = bytes(b % 256 for b in range(1 << 20))
        forms = [("bytes", json.dumps({"target": target, "bytes": list(job)}, separators=(",", ":"))),
                 ("bytes_base64", json.dumps({"target": target, "bytes_base64": base64.b64encode(job).decode()},
                                             separators=(",", ":")))]
        times = {name: [] for name, _ in forms}
        cpu = {name: 0.0 for name, _ in forms}
        peak = {name: 0 for name, _ in forms}
        for _ in range(LARGE_PRINTS):
            for name, body in forms:
                with open("/proc/%d/clear_refs" % pid, "w") as f:
                    f.write("5")
                before = rss_kb(pid, "VmRSS")
                used = cpu_seconds(pid)
                times[name] += timed_prints(token, body, 1)
                cpu[name] += cpu_seconds(pid) - used
                peak[name] = max(peak[name], rss_kb(pid, "VmHWM") - before)
        for name, body in forms:
            print("signed 1 MB print as \"%s\" (%.2f MB body), %d sequential: median %.1f ms, agent CPU "
                  "%.1f ms per print; peak RSS %.1f MB above the RSS just before (%.2f x body)"
                  % (name, len(body) / 1e6, LARGE_PRINTS, statistics.median(times[name]) * 1e3,
                     cpu[name] * 1e3 / LARGE_PRINTS, peak[name] / 1024, peak[name] * 1024 / len(body)))
        print("1 MB print, bytes_base64 against bytes: request body %.2f of the size, median time %.2f, "
              "agent CPU %.2f"
              % (len(forms[1][1]) / len(forms[0][1]),
                 statistics.median(times["bytes_base64"]) / statistics.median(times["bytes"]),
                 cpu["bytes_base64"] / cpu["bytes"]))
        time.sleep(1.0)
        print("RSS 1 s after the 1 MB prints: %.1f MB (%.1f MB above idle after start-up)"
              % (rss_kb(pid, "VmRSS") / 1024, (rss_kb(pid, "VmRSS") - idle) / 1024))
        received, _ = sink.communicate("")
        if int(received.split()[0]) != 500 + 2 * LARGE_PRINTS:
            raise SystemExit("the printer stand-in got %s jobs, not %d"
                             % (received.split()[0], 500 + 2 * LARGE_PRINTS))
    finally:
        if nginx:
            os.killpg(nginx.pid, signal.SIGTERM)
            nginx.wait()
        agent.stop()
        home.remove()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
