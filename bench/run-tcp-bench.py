#!/usr/bin/python3
"""Modbus/TCP server benchmark: our engine against libmodbus, pymodbus and the echo ceiling.

Builds nothing: give it a build directory configured with KELVARO_BENCH=ON (the default) in which
`cmake --build` has made kelvaro_loadgen and the servers. It starts every server once (each as
its own process, on 127.0.0.1, on a free port the server reports), then runs the load generator
interleaved: for each repetition, for each load, every server in turn (A B C D A B C D ...). It
prints medians over the repetitions, the ratios of ours to each reference and the targets as a
markdown table. Every server it started is killed by PID when it ends, however it ends.

    /usr/bin/python3 bench/run-tcp-bench.py build-bench [--reps 3] [--seconds 3] [--warmup 0.5]
                                            [--markdown results.md]

Use /usr/bin/python3: pymodbus is installed for Debian's interpreter only.
"""
import argparse
import atexit
import os
import platform
import re
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import time

# ours-rtu: our engine serving RTU over TCP, driven by the load generator's --rtu mode
SERVERS = ["ours", "ours-rtu", "libmodbus", "pymodbus", "echo"]
LOADS = [  # (label, connections, depth)
    ("1 lock-step", 1, 1),
    ("8 lock-step", 8, 1),
    ("64 lock-step", 64, 1),
    ("256 lock-step", 256, 1),
    ("8 x 8 pipelined", 8, 8),
]

_started = []  # subprocess.Popen of every server we started
_nice = 0      # niceness increment for servers and the load generator (--nice)


def _renice():
    if _nice:
        os.nice(_nice)


def _cleanup():
    for proc in _started:
        if proc.poll() is None:
            try:
                os.kill(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                continue
    deadline = time.monotonic() + 3
    for proc in _started:
        try:
            proc.wait(timeout=max(0.05, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            try:
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait(timeout=2)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
    _started.clear()


def _on_signal(signum, _frame):
    _cleanup()
    sys.exit(128 + signum)


class Server:
    def __init__(self, name, argv, tmpdir):
        self.name = name
        self.argv = argv
        self.tmpdir = tmpdir
        self.proc = None
        self.port = None
        self.failure = None  # why it is not available
        self.starts = 0

    def start(self, timeout=15.0):
        self.starts += 1
        out = os.path.join(self.tmpdir, f"{self.name}.{self.starts}.out")
        err = os.path.join(self.tmpdir, f"{self.name}.{self.starts}.err")
        with open(out, "wb") as fo, open(err, "wb") as fe:
            self.proc = subprocess.Popen(self.argv, stdout=fo, stderr=fe, stdin=subprocess.DEVNULL,
                                         preexec_fn=_renice)
        _started.append(self.proc)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(out, "r", errors="replace") as f:
                m = re.search(r"^PORT (\d+)$", f.read(), re.M)
            if m:
                self.port = int(m.group(1))
                self.failure = None
                return True
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        with open(err, "r", errors="replace") as f:
            reason = f.read().strip().splitlines()
        rc = self.proc.poll()
        self.failure = (reason[-1] if reason else "no port reported") + (f" (exit {rc})" if rc is not None else "")
        self.stop()
        return False

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=2)


def cpu_seconds(pid):
    """User + system CPU time of a process (all its threads) so far, in seconds."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return None


def system_busy():
    """(busy, total) CPU ticks of the whole machine so far."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    idle = v[3] + (v[4] if len(v) > 4 else 0)
    return sum(v) - idle, sum(v)


def children_cpu():
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    return ru.ru_utime + ru.ru_stime


def foreign_load(sample=0.5):
    """CPUs kept busy by other processes (we are idle while sampling)."""
    b0, t0 = system_busy()
    time.sleep(sample)
    b1, t1 = system_busy()
    ncpu = os.cpu_count() or 1
    return ncpu * (b1 - b0) / max(1, t1 - t0)


def wait_quiet(limit, budget):
    """Waits (at most `budget` seconds) until other processes use less than `limit` CPUs."""
    deadline = time.monotonic() + budget
    load = foreign_load()
    while load > limit and time.monotonic() < deadline:
        time.sleep(1.0)
        load = foreign_load()
    return load


def run_load(loadgen, port, conns, depth, seconds, warmup, rtu=False):
    argv = [loadgen, "--port", str(port), "--connections", str(conns), "--depth", str(depth),
            "--seconds", str(seconds), "--warmup", str(warmup), "--drain", "2", "--quiet"] + (["--rtu"] if rtu else [])
    budget = seconds + warmup + 2 + 5 * 2 + 10  # run + drain + connect timeouts + slack
    try:
        cp = subprocess.run(argv, capture_output=True, text=True, timeout=budget, preexec_fn=_renice)
    except subprocess.TimeoutExpired:
        return {"failed": "load generator timed out"}
    m = re.search(r"^RESULT (.*)$", cp.stdout, re.M)
    if not m:
        return {"failed": (cp.stderr.strip().splitlines() or [f"exit {cp.returncode}"])[-1]}
    r = {}
    for kv in m.group(1).split():
        k, v = kv.split("=", 1)
        r[k] = float(v)
    return r


def machine_line():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} CPUs ({cpu}), Linux {platform.release()}"


def fmt_rate(x):
    return "—" if x is None else f"{x:,.0f}"


def fmt_us(x):
    return "—" if x is None else f"{x:,.0f}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "—"
    return f"{a / b:.2f}×"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build_dir")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=3.0, help="timed part of each run")
    ap.add_argument("--warmup", type=float, default=0.5)
    ap.add_argument("--py-seconds", type=float, default=1.5, help="timed part of each pymodbus run")
    ap.add_argument("--servers", default=",".join(SERVERS), help="subset of " + ",".join(SERVERS))
    ap.add_argument("--loads", default="all", help="comma list of connection counts and/or 8x8, or all")
    ap.add_argument("--markdown", help="also write the markdown tables to this file")
    ap.add_argument("--quiet-cpus", type=float, default=0.3,
                    help="before each load, wait until other processes use fewer CPUs than this")
    ap.add_argument("--quiet-wait", type=float, default=30.0, help="...but wait at most this many seconds")
    ap.add_argument("--nice", type=int, default=0,
                    help="niceness increment for servers and load generator (negative needs root), "
                         "to keep other work on a shared machine from dominating the figures")
    args = ap.parse_args()
    global _nice
    _nice = args.nice
    if not (1 <= args.reps <= 20 and 0 < args.seconds <= 60 and 0 < args.py_seconds <= 60 and 0 <= args.warmup <= 10):
        ap.error("reps 1..20, seconds 0..60, warmup 0..10")

    bench = os.path.join(os.path.abspath(args.build_dir), "bench")
    loadgen = os.path.join(bench, "kelvaro_loadgen")
    if not os.access(loadgen, os.X_OK):
        sys.exit(f"{loadgen} not found: build the project first (cmake --build {args.build_dir})")

    loads = LOADS
    if args.loads != "all":
        want = set(args.loads.split(","))
        loads = [l for l in LOADS if (str(l[1]) if l[2] == 1 else f"{l[1]}x{l[2]}") in want]
    names = [s for s in args.servers.split(",") if s in SERVERS]

    atexit.register(_cleanup)
    signal.signal(signal.SIGINT, _on_signal)
    signal.signal(signal.SIGTERM, _on_signal)
    signal.signal(signal.SIGHUP, _on_signal)

    tmpdir = tempfile.mkdtemp(prefix="kelvaro-bench-")
    lifetime = "3600"  # every server stops by itself after an hour at the latest
    argvs = {
        "ours": [os.path.join(bench, "kelvaro_bench_server"), "--port", "0", "--max-seconds", lifetime],
        "ours-rtu": [os.path.join(bench, "kelvaro_bench_server"), "--port", "0", "--max-seconds", lifetime,
                     "--rtu-over-tcp"],
        "libmodbus": [os.path.join(bench, "kelvaro_libmodbus_server"), "--port", "0", "--max-seconds", lifetime],
        "pymodbus": ["/usr/bin/python3", os.path.join(bench, "pymodbus_server.py"), "--port", "0",
                     "--max-seconds", lifetime],
        "echo": [os.path.join(bench, "kelvaro_echo_server"), "--port", "0", "--max-seconds", lifetime],
    }
    servers = {}
    for name in names:
        s = Server(name, argvs[name], tmpdir)
        program = argvs[name][1] if name == "pymodbus" else argvs[name][0]
        if not os.path.exists(program):
            s.failure = "not built"
        elif not s.start():
            print(f"# {name}: not available: {s.failure}", file=sys.stderr)
        else:
            print(f"# {name}: pid {s.proc.pid}, 127.0.0.1:{s.port}", file=sys.stderr)
        servers[name] = s

    load_before = os.getloadavg()
    background = []  # CPUs busy with other work just before each load
    foreign = []     # CPUs busy with other work during each run
    t_start = time.time()
    results = {(l[0], n): [] for l in loads for n in names}
    notes = {}
    for rep in range(args.reps):
        for label, conns, depth in loads:
            background.append(wait_quiet(args.quiet_cpus, args.quiet_wait))
            for name in names:
                s = servers[name]
                key = (label, name)
                if key in notes:
                    continue
                if not s.alive():
                    # Never came up: not available. Died during a run: restarted, at most twice.
                    if s.port is None or s.starts >= 3 or not s.start():
                        continue
                secs = args.py_seconds if name == "pymodbus" else args.seconds
                cpu0 = cpu_seconds(s.proc.pid)
                own0 = children_cpu()
                sys0 = system_busy()
                w0 = time.monotonic()
                r = run_load(loadgen, s.port, conns, depth, secs, args.warmup, rtu=name == "ours-rtu")
                w1 = time.monotonic()
                sys1 = system_busy()
                own1 = children_cpu()
                cpu1 = cpu_seconds(s.proc.pid)
                if cpu0 is not None and cpu1 is not None:
                    # CPUs used meanwhile by anything but this server and the load generator
                    busy = (os.cpu_count() or 1) * (sys1[0] - sys0[0]) / max(1, sys1[1] - sys0[1]) * (w1 - w0)
                    foreign.append(max(0.0, busy - (cpu1 - cpu0) - (own1 - own0)) / max(1e-3, w1 - w0))
                if "failed" not in r and cpu0 is not None and cpu1 is not None and r.get("total", 0) > 0:
                    r["cpu_us"] = (cpu1 - cpu0) * 1e6 / r["total"]  # server CPU per answered request
                died = not s.alive()
                if "failed" in r or died or r.get("errors", 0) > 0:
                    why = r.get("failed") or (f"{int(r['errors'])} errors" if r.get("errors") else "")
                    if died:
                        why = (why + "; " if why else "") + "server died"
                    print(f"# rep {rep + 1} {label} {name}: {why}", file=sys.stderr)
                    if name == "pymodbus":
                        notes[key] = f"skipped: fell over ({why})"
                        results[key] = []
                        continue
                if "failed" not in r:
                    results[key].append(r)
                    print(f"# rep {rep + 1} {label:16s} {name:9s} {r['rps']:>11,.0f} req/s  p50 {r['p50_us']:>8.1f} us"
                          f"  p99 {r['p99_us']:>8.1f} us  errors {int(r['errors'])}"
                          f"  server CPU {r.get('cpu_us', float('nan')):.1f} us/req", file=sys.stderr)
    load_after = os.getloadavg()
    elapsed = time.time() - t_start

    def med(label, name, field):
        rs = results.get((label, name)) or []
        return statistics.median(r[field] for r in rs) if rs else None

    def med_cpu(label, name):
        vals = [r["cpu_us"] for r in results.get((label, name)) or [] if "cpu_us" in r]
        return f"{statistics.median(vals):.1f}" if vals else "—"

    def errs(label, name):
        rs = results.get((label, name)) or []
        return int(sum(r["errors"] for r in rs)) if rs else None

    lines = []
    lines.append(f"Machine: {machine_line()}; load average {load_before[0]:.2f} before, {load_after[0]:.2f} after; "
                 f"{args.reps} interleaved repetitions, {args.seconds:g} s timed + {args.warmup:g} s warm-up per run "
                 f"(pymodbus {args.py_seconds:g} s){f', nice {args.nice:+d}' if args.nice else ''}; medians; "
                 f"{elapsed:.0f} s in all. "
                 f"Other processes kept {statistics.median(foreign) if foreign else 0:.2f} CPUs busy during the runs "
                 f"(median; max {max(foreign) if foreign else 0:.2f}).")
    lines.append("")
    lines.append("| load | server | req/s | p50 µs | p99 µs | server CPU µs/req | errors | runs |")
    lines.append("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for label, _, _ in loads:
        for name in names:
            s = servers[name]
            note = notes.get((label, name))
            if not results[(label, name)]:
                why = note or ("not available¹" if s.failure else "no result")
                lines.append(f"| {label} | {name} | {why} | | | | | 0 |")
                continue
            n = len(results[(label, name)])
            lines.append(f"| {label} | {name} | {fmt_rate(med(label, name, 'rps'))} | {fmt_us(med(label, name, 'p50_us'))} "
                         f"| {fmt_us(med(label, name, 'p99_us'))} | {med_cpu(label, name)} | {errs(label, name)} | {n} |")
    unavailable = [f"{n}: {servers[n].failure}" for n in names if servers[n].failure and servers[n].port is None]
    if unavailable:
        lines.append("")
        lines.append("¹ " + "; ".join(unavailable))
    lines.append("")
    if "ours" in names:
        refs = [n for n in names if n != "ours"]
        lines.append("| load | " + " | ".join(f"ours / {r} (req/s)" for r in refs)
                     + " | p99 ours / libmodbus | CPU/req libmodbus ÷ ours | CPU/req echo ÷ ours |")
        lines.append("| --- | " + " | ".join("---:" for _ in refs) + " | ---: | ---: | ---: |")

        def med_field(label, name, field):
            vals = [r[field] for r in results.get((label, name)) or [] if field in r]
            return statistics.median(vals) if vals else None

        for label, _, _ in loads:
            o = med(label, "ours", "rps")
            cells = [ratio(o, med(label, r, "rps")) for r in refs]
            p99 = ratio(med(label, "ours", "p99_us"), med(label, "libmodbus", "p99_us")) if "libmodbus" in names else "—"
            cpu = ratio(med_field(label, "libmodbus", "cpu_us"), med_field(label, "ours", "cpu_us"))
            cpu_echo = ratio(med_field(label, "echo", "cpu_us"), med_field(label, "ours", "cpu_us"))
            lines.append(f"| {label} | " + " | ".join(cells) + f" | {p99} | {cpu} | {cpu_echo} |")
        lines.append("")

        def check(desc, value, limit, higher=True):
            if value is None:
                return f"| {desc} | — | not measured |"
            ok = value >= limit if higher else value <= limit
            return f"| {desc} | {value:.2f}× | {'met' if ok else 'MISSED'} |"

        def rr(label, a, b, field="rps"):
            x, y = med(label, a, field), med(label, b, field)
            return None if x is None or y is None or y == 0 else x / y

        total_errors = sum(int(r["errors"]) for rs in results.values() for r in rs)
        lines.append("| target | measured | verdict |")
        lines.append("| --- | ---: | --- |")
        lines.append(check("64 lock-step: ours ≥ 1.25 × libmodbus", rr("64 lock-step", "ours", "libmodbus"), 1.25))
        if "ours-rtu" in names:
            lines.append(check("64 lock-step: RTU over TCP ≥ 0.9 × ours (Modbus/TCP)",
                               rr("64 lock-step", "ours-rtu", "ours"), 0.9))
        lines.append(check("64 lock-step: ours ≥ 0.85 × echo", rr("64 lock-step", "ours", "echo"), 0.85))
        lines.append(check("8 x 8 pipelined: ours ≥ 3 × libmodbus", rr("8 x 8 pipelined", "ours", "libmodbus"), 3.0))
        lines.append(check("256 lock-step: ours ≥ 1 × libmodbus", rr("256 lock-step", "ours", "libmodbus"), 1.0))
        lines.append(check("64 lock-step: p99 ours ≤ 0.8 × libmodbus",
                           rr("64 lock-step", "ours", "libmodbus", "p99_us"), 0.8, higher=False))
        lines.append(f"| zero errors anywhere | {total_errors} | {'met' if total_errors == 0 else 'MISSED'} |")
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    _cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
