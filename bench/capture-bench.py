#!/usr/bin/env python3
"""What a capture or a JSON Lines log costs the Modbus/TCP request path, and whether the frame
records keep up.

  capture-bench.py BUILD_DIR [--reps 3] [--seconds 3] [--connections 64] [--rate 20000]

Throughput of N lock-step masters (kelvaro_loadgen) against kelvaro_capture_bench_server with
nothing attached, with a pcapng capture and with a JSON Lines log, interleaved in one run,
medians of the repetitions; and for each run with a sink, the frame records dropped (the
engine's queue full because the tap fell behind) and the request rate they were dropped at.
Then a paced load (kelvaro_paced_master, --rate requests a second over 20 lock-step masters) with
a capture and a log both attached: the records dropped at that rate.
A measurement, never a test.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile


def run(build, connections, seconds, sink, folder, rate=None):
    args = [os.path.join(build, "bench", "kelvaro_capture_bench_server")]
    if sink in ("capture", "both"):
        args += ["--capture", os.path.join(folder, "bench.pcapng")]
    if sink in ("log", "both"):
        args += ["--traffic-log", os.path.join(folder, "bench.jsonl")]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    try:
        m = re.match(r"PORT (\d+)", proc.stdout.readline())
        if not m:
            raise RuntimeError("bench server did not start")
        if rate:
            command = [os.path.join(build, "bench", "kelvaro_paced_master"), "--port", m.group(1), "--rate", str(rate),
                       "--connections", "20", "--seconds", str(seconds)]
        else:
            command = [os.path.join(build, "bench", "kelvaro_loadgen"), "--port", m.group(1), "--connections",
                       str(connections), "--depth", "1", "--seconds", str(seconds), "--warmup", "0.5", "--quiet"]
        out = subprocess.run(command, capture_output=True, text=True, timeout=seconds + 60).stdout
    finally:
        proc.terminate()
        rest, _ = proc.communicate(timeout=60)
    r = re.search(r"(?:RESULT|PACED) .*rps=([\d.]+)", out)
    d = re.search(r"RECORDS dropped=(\d+) frames=(\d+)", rest)
    if not r or not d:
        raise RuntimeError("no result: %r %r" % (out, rest))
    return float(r.group(1)), int(d.group(1)), int(d.group(2))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--seconds", type=float, default=3)
    p.add_argument("--connections", type=int, default=64)
    p.add_argument("--rate", type=int, default=20000)
    a = p.parse_args()
    results = {"off": [], "capture": [], "log": []}
    with tempfile.TemporaryDirectory() as folder:
        for rep in range(a.reps):
            for sink in ("off", "capture", "log"):
                rps, dropped, frames = run(a.build, a.connections, a.seconds, sink, folder)
                results[sink].append(rps)
                extra = "" if sink == "off" else "  records dropped %d of %d" % (dropped, frames + dropped)
                print("rep %d %-8s %9.0f req/s%s" % (rep + 1, sink, rps, extra), flush=True)
    off = statistics.median(results["off"])
    for sink in ("capture", "log"):
        m = statistics.median(results[sink])
        print("median %-8s %9.0f req/s = %.2f x off (%.0f)" % (sink, m, m / off, off))
    with tempfile.TemporaryDirectory() as folder:
        for rep in range(a.reps):
            rps, dropped, frames = run(a.build, 0, 5, "both", folder, rate=a.rate)
            print("paced %d req/s asked, %.0f served, capture and log: records dropped %d of %d"
                  % (a.rate, rps, dropped, frames + dropped), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
