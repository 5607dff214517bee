#!/usr/bin/env python3
"""What fault rules cost the Modbus/TCP request path, and how exact a delay is.

  faults-bench.py BUILD_DIR [--reps 3] [--seconds 3] [--connections 64]

1. Throughput at N lock-step masters (kelvaro_loadgen) against kelvaro_bench_server with no rules
   and with 100 rules that match nothing, interleaved, medians of the repetitions.
2. Delay accuracy: 1000 lock-step requests from one master to a server whose one rule answers
   every request 50 ms late; p50, p99 and the largest answer time.
A measurement, never a test.
"""

import argparse
import os
import re
import socket
import statistics
import struct
import subprocess
import sys
import time


def start_server(build, *args):
    proc = subprocess.Popen([os.path.join(build, "bench", "kelvaro_bench_server"), *args], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    m = re.match(r"PORT (\d+)", line)
    if not m:
        proc.kill()
        raise RuntimeError("bench server did not start: %r" % line)
    return proc, int(m.group(1))


def loadgen(build, port, connections, seconds):
    out = subprocess.run([os.path.join(build, "bench", "kelvaro_loadgen"), "--port", str(port), "--connections",
                          str(connections), "--depth", "1", "--seconds", str(seconds), "--warmup", "0.5", "--quiet"],
                         capture_output=True, text=True, timeout=seconds + 60).stdout
    m = re.search(r"RESULT .*rps=([\d.]+) p50_us=([\d.]+) p99_us=([\d.]+)", out)
    if not m:
        raise RuntimeError("loadgen said: " + out)
    return float(m.group(1)), float(m.group(2)), float(m.group(3))


def delay_accuracy(build, delay_ms, count):
    proc, port = start_server(build, "--delay-ms", str(delay_ms))
    try:
        s = socket.create_connection(("127.0.0.1", port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        times = []
        for tid in range(count):
            request = struct.pack(">HHHBBHH", tid, 0, 6, 1, 3, 0, 1)
            started = time.perf_counter()
            s.sendall(request)
            got = b""
            while len(got) < 11:
                chunk = s.recv(64)
                if not chunk:
                    raise RuntimeError("connection closed")
                got += chunk
            times.append((time.perf_counter() - started) * 1000.0)
        s.close()
    finally:
        proc.terminate()
        proc.wait()
    times.sort()
    return times[len(times) // 2], times[int(len(times) * 0.99) - 1], times[-1], times[0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--connections", type=int, default=64)
    ap.add_argument("--delay-requests", type=int, default=1000)
    a = ap.parse_args()

    results = {"none": [], "100 rules": []}
    for rep in range(a.reps):
        for label, args in (("none", []), ("100 rules", ["--fault-rules", "100"])):
            proc, port = start_server(a.build, *args)
            try:
                rps, p50, p99 = loadgen(a.build, port, a.connections, a.seconds)
            finally:
                proc.terminate()
                proc.wait()
            results[label].append(rps)
            print("# rep %d %-10s %10.0f req/s  p50 %6.1f us  p99 %6.1f us" % (rep + 1, label, rps, p50, p99), flush=True)
    none = statistics.median(results["none"])
    rules = statistics.median(results["100 rules"])
    print("%d lock-step masters: no rules %.0f req/s, 100 rules that match nothing %.0f req/s: %.3fx"
          % (a.connections, none, rules, rules / none))

    p50, p99, worst, best = delay_accuracy(a.build, 50, a.delay_requests)
    print("delay_ms 50 over %d requests: min %.2f ms, p50 %.2f ms, p99 %.2f ms, max %.2f ms"
          % (a.delay_requests, best, p50, p99, worst))
    return 0


if __name__ == "__main__":
    sys.exit(main())
