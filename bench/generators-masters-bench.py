#!/usr/bin/python3
"""What generators running beside the masters cost them: 64 lock-step Modbus/TCP masters against
two engines, one with N float32 sine generators on documents of other devices
(kelvaro_bench_server --generators N), one without, interleaved (with without, without with, ...),
medians compared. Also the server's CPU per request, and the generators' thread: updates a second
(against the N * 1000 / update_ms its grid asks) and its share of one core, so one sees they ran.

    /usr/bin/python3 bench/generators-masters-bench.py BUILD_DIR [--reps 5] [--seconds 3]
        [--connections 64] [--generators 10000] [--update-ms 100]

BUILD_DIR holds bench/kelvaro_loadgen and bench/kelvaro_bench_server (KELVARO_BENCH=ON). Every
server started is ended by its PID. Each line carries the machine's load average at its end.
"""
import argparse
import importlib.util
import os
import re
import select
import signal
import statistics
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("tcpbench", os.path.join(here, "run-tcp-bench.py"))
tcpbench = importlib.util.module_from_spec(spec)
spec.loader.exec_module(tcpbench)

def start(server, extra):
    proc = subprocess.Popen([server, "--port", "0"] + extra, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("PORT "):
        stop(proc)
        sys.exit("%s did not start: %r" % (server, line))
    return proc, int(line.split()[1])


def stop(proc):
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait(timeout=5)


def generator_updates(proc):
    """(updates so far, updates passed over, monotonic time) from the server's generators' thread."""
    os.kill(proc.pid, signal.SIGUSR1)
    ready, _, _ = select.select([proc.stdout], [], [], 5)
    line = proc.stdout.readline() if ready else ""
    m = re.match(r"GENERATORS updates=(\d+) skipped=(\d+)", line)
    if not m:
        sys.exit("the server did not report its generators: %r" % line)
    return int(m.group(1)), int(m.group(2)), time.monotonic()


def thread_cpu(pid, name):
    """CPU seconds of the process's threads called `name` (the generators' thread), from the
    scheduler's nanoseconds: the clock ticks of /proc/PID/stat are too coarse for a thread this idle."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                if f.read().strip() != name:
                    continue
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (OSError, IndexError, ValueError):
            continue
    return total / 1e9


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build_dir")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--seconds", type=float, default=3)
    ap.add_argument("--warmup", type=float, default=0.5)
    ap.add_argument("--connections", type=int, default=64)
    ap.add_argument("--generators", type=int, default=10000)
    ap.add_argument("--update-ms", type=int, default=100)
    args = ap.parse_args()
    bench = os.path.join(args.build_dir, "bench")
    loadgen = os.path.join(bench, "kelvaro_loadgen")
    server = os.path.join(bench, "kelvaro_bench_server")
    asked = args.generators * 1000.0 / args.update_ms
    procs = {}
    try:
        procs["with"] = start(server, ["--generators", str(args.generators), "--generator-update-ms", str(args.update_ms)])
        procs["without"] = start(server, [])
        print("load average at the start: %.2f %.2f %.2f" % os.getloadavg(), flush=True)
        rates = {"with": [], "without": []}
        cpu = {"with": [], "without": []}  # server CPU microseconds per request: steadier on a busy machine
        masters_cpu = []   # the same without the generators' thread
        gen_share, gen_skipped = [], 0
        first = last = None   # the generators' (updates, time) at the first and the last report
        pairs = []
        for rep in range(args.reps):
            this = {}
            for name in ("with", "without") if rep % 2 == 0 else ("without", "with"):
                proc, port = procs[name]
                before = tcpbench.cpu_seconds(proc.pid)
                if name == "with":
                    u0, s0, t0 = generator_updates(proc)
                    g0 = thread_cpu(proc.pid, "generators")
                    first = first or (u0, t0)
                r = tcpbench.run_load(loadgen, port, args.connections, 1, args.seconds, args.warmup)
                if "failed" in r:
                    sys.exit("%s: %s" % (name, r["failed"]))
                used = tcpbench.cpu_seconds(proc.pid) - before
                served = r["requests"] + r["rps"] * args.warmup  # the warm-up is served too
                cpu[name].append(1e6 * used / served)
                rates[name].append(r["rps"])
                this[name] = r["rps"]
                extra = ""
                if name == "with":
                    u1, s1, t1 = generator_updates(proc)
                    g = thread_cpu(proc.pid, "generators") - g0
                    last = (u1, t1)
                    gen_share.append(100.0 * g / (t1 - t0))
                    gen_skipped += s1 - s0
                    masters_cpu.append(1e6 * (used - g) / served)
                    # A pass writes every generator due at once: a few seconds hold a pass more or less.
                    extra = "  generators %7.0f updates/s, %5.2f %% of a core" % ((u1 - u0) / (t1 - t0), gen_share[-1])
                print("rep %d %-7s %10.0f requests/s %7.2f server CPU us/request  load %.2f%s"
                      % (rep + 1, name, r["rps"], cpu[name][-1], os.getloadavg()[0], extra), flush=True)
            pairs.append(this["with"] / this["without"])
        w, wo = statistics.median(rates["with"]), statistics.median(rates["without"])
        print("| %d generators every %d ms | median requests/s (%d lock-step masters, %d runs) |"
              % (args.generators, args.update_ms, args.connections, args.reps))
        print("|---|---|")
        print("| running | %.0f |" % w)
        print("| none | %.0f |" % wo)
        print("ratio with/without of the medians: %.3f; median of the paired runs' ratios: %.3f (target >= 0.95);"
              " paired ratios from %.3f to %.3f" % (w / wo, statistics.median(pairs), min(pairs), max(pairs)))
        cw, cwo, cm = statistics.median(cpu["with"]), statistics.median(cpu["without"]), statistics.median(masters_cpu)
        print("server CPU per request: with %.2f us (%.2f us without the generators' thread), without %.2f us:"
              " throughput bound by the server %.3f x" % (cw, cm, cwo, cwo / cw))
        print("generators' thread: %.0f updates/s over the %.0f s from the first run to the last (the grid asks %.0f),"
              " %.2f %% of one core while the masters ran, %d updates passed over"
              % ((last[0] - first[0]) / (last[1] - first[1]), last[1] - first[1], asked, statistics.median(gen_share), gen_skipped))
        print("load average at the end: %.2f %.2f %.2f" % os.getloadavg())
    finally:
        for proc, _ in procs.values():
            stop(proc)


if __name__ == "__main__":
    main()
