#!/usr/bin/python3
"""What the access statistics cost: 64 lock-step Modbus/TCP masters against the engine with the
statistics on and off (kelvaro_bench_server --no-access-stats), interleaved (on off on off ...),
medians compared. Also the memory the statistics take per served point.

    /usr/bin/python3 bench/access-stats-bench.py BUILD_DIR [--reps 5] [--seconds 3] [--connections 64]

BUILD_DIR holds bench/kelvaro_loadgen and bench/kelvaro_bench_server (KELVARO_BENCH=ON). Every
server started is ended by its PID.
"""
import argparse
import importlib.util
import os
import signal
import statistics
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("tcpbench", os.path.join(here, "run-tcp-bench.py"))
tcpbench = importlib.util.module_from_spec(spec)
spec.loader.exec_module(tcpbench)

POINT_BYTES = 32  # sizeof(PointStats): engine/AccessRecorder.h checks it with a static_assert


def start(server, extra):
    proc = subprocess.Popen([server, "--port", "0"] + extra, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("PORT "):
        proc.kill()
        sys.exit("%s did not start: %r" % (server, line))
    return proc, int(line.split()[1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build_dir")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--seconds", type=float, default=3)
    ap.add_argument("--warmup", type=float, default=0.5)
    ap.add_argument("--connections", type=int, default=64)
    args = ap.parse_args()
    bench = os.path.join(args.build_dir, "bench")
    loadgen = os.path.join(bench, "kelvaro_loadgen")
    server = os.path.join(bench, "kelvaro_bench_server")
    procs = {}
    try:
        for name, extra in (("on", []), ("off", ["--no-access-stats"])):
            procs[name] = start(server, extra)
        rates = {"on": [], "off": []}
        cpu = {"on": [], "off": []}  # server CPU microseconds per request: steadier on a busy machine
        pairs = []
        for rep in range(args.reps):
            this = {}
            for name in ("on", "off") if rep % 2 == 0 else ("off", "on"):
                before = tcpbench.cpu_seconds(procs[name][0].pid)
                r = tcpbench.run_load(loadgen, procs[name][1], args.connections, 1, args.seconds, args.warmup)
                if "failed" in r:
                    sys.exit("%s: %s" % (name, r["failed"]))
                used = tcpbench.cpu_seconds(procs[name][0].pid) - before
                served = r["requests"] + r["rps"] * args.warmup  # the warm-up is served too
                cpu[name].append(1e6 * used / served)
                rates[name].append(r["rps"])
                this[name] = r["rps"]
                print("rep %d %-3s %12.0f requests/s %8.2f server CPU us/request" % (rep + 1, name, r["rps"], cpu[name][-1]),
                      flush=True)
            pairs.append(this["on"] / this["off"])
        on, off = statistics.median(rates["on"]), statistics.median(rates["off"])
        print("| statistics | median requests/s (%d lock-step masters, %d runs) |" % (args.connections, args.reps))
        print("|---|---|")
        print("| on | %.0f |" % on)
        print("| off | %.0f |" % off)
        print("ratio on/off of the medians: %.3f; median of the paired runs' ratios: %.3f (target >= 0.95)"
              % (on / off, statistics.median(pairs)))
        con, coff = statistics.median(cpu["on"]), statistics.median(cpu["off"])
        print("server CPU per request: on %.2f us, off %.2f us: throughput bound by the server %.3f x" % (con, coff, coff / con))
        print("memory: %d bytes per served point (counters, times, writer index)" % POINT_BYTES)
    finally:
        for proc, _ in procs.values():
            if proc.poll() is None:
                os.kill(proc.pid, signal.SIGTERM)
                proc.wait(timeout=5)


if __name__ == "__main__":
    main()
