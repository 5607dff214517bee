#!/usr/bin/python3
"""The HTTP door under a steady paced load: kept-alive connections sending GET /points and POST
/rpc at a fixed rate (1000 requests a second in all by default), each request's latency from
send to the last byte of its answer; p50, p99 and the worst. kelvaro64-headless is started on free
ports with one document and stopped by PID.

    /usr/bin/python3 bench/http-bench.py BUILD_DIR [--rate 1000] [--seconds 10] [--connections 2]

The client is Python (http.client, one thread per connection): its own time is in the figures,
so read them as an upper bound of what the program adds.
"""
import argparse
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time


def free_ports(n):
    socks = [socket.socket() for _ in range(n)]
    for s in socks:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(round(p / 100.0 * (len(sorted_values) - 1))))]


def client(port, rate, seconds, start, out, index):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "ReadPoint", "params": [1, 40001]})
    headers = {"Content-Type": "application/json"}
    period = 1.0 / rate
    n = int(rate * seconds)
    latencies, errors = [], 0
    for i in range(n):
        due = start + i * period
        now = time.perf_counter()
        if due > now:
            time.sleep(due - now)
        t0 = time.perf_counter()
        if (i + index) % 2 == 0:
            conn.request("GET", "/points/1/40001?value=float32", headers={"Connection": "keep-alive"})
        else:
            conn.request("POST", "/rpc", body=body, headers=headers)
        r = conn.getresponse()
        r.read()
        latencies.append(time.perf_counter() - t0)
        errors += r.status != 200
    conn.close()
    out[index] = (latencies, errors)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rate", type=float, default=1000, help="requests a second, all connections together")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--connections", type=int, default=2)
    a = ap.parse_args()
    exe = os.path.join(a.build, "app", "kelvaro64-headless")
    tcp, automation, port = free_ports(3)
    folder = tempfile.mkdtemp(prefix="kelvaro64-http-bench-")
    env = dict(os.environ, XDG_CONFIG_HOME=folder, QT_QPA_PLATFORM="offscreen")
    proc = subprocess.Popen([exe, "--tcp-port", str(tcp), "--automation-port", str(automation), "--http-port", str(port)],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        for line in proc.stdout:
            if line.startswith("http:"):
                break
        setup = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        setup.request("POST", "/rpc", body=json.dumps({"jsonrpc": "2.0", "id": 1, "method": "CreateDocument"}),
                      headers={"Content-Type": "application/json"})
        setup.getresponse().read()
        setup.close()
        out = [None] * a.connections
        start = time.perf_counter() + 0.2
        threads = [threading.Thread(target=client, args=(port, a.rate / a.connections, a.seconds, start, out, i))
                   for i in range(a.connections)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - start
        latencies = sorted(x for lat, _ in out for x in lat)
        errors = sum(e for _, e in out)
        print("requests %d in %.2f s (%.0f/s), %d not 200, %d kept-alive connections" %
              (len(latencies), elapsed, len(latencies) / elapsed, errors, a.connections))
        figures = [1000 * percentile(latencies, p) for p in (50, 90, 99)] + [1000 * latencies[-1]]
        print("latency ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f" % tuple(figures))
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
        subprocess.run(["rm", "-rf", folder])
    return 0


if __name__ == "__main__":
    sys.exit(main())
