#!/usr/bin/env python3
"""End to end: generators on a real kelvaro64-headless, seen by real masters (pymodbus, mbpoll),
and driven by scenario files and kelvaro64-ctl.

A sine's samples stay within [min, max] and its period is period_ms within 2 %; a ramp rises and
wraps; steps come in order with their durations; a seeded random sequence is the same on two
runs; refusals name the generator and the field; kelvaro64-ctl adds, lists, switches and removes.

The worked example (examples/behaviour/tank.tst) is what kelvaro64-make-tank writes, and runs.

usage: behaviour_e2e.py KELVARO64_HEADLESS KELVARO64_CTL SOURCE_DIR MAKE_TANK   (run with /usr/bin/python3)
"""

import json
import os
import struct
import subprocess
import sys
import tempfile
import time

HEADLESS, CTL, SOURCE, MAKE_TANK = sys.argv[1:5]
sys.path.insert(0, os.path.join(SOURCE, "python", "src"))

import kelvaro64 as kv                               # noqa: E402
from pymodbus.client import ModbusTcpClient          # noqa: E402

PY = "/usr/bin/python3"
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


SINE = {"name": "sine", "unit": 1, "type": 3, "address": 1, "kind": "sine", "min": 100, "max": 900,
        "period_ms": 1000, "update_ms": 10}
RAMP = {"name": "ramp", "unit": 1, "type": 3, "address": 2, "kind": "ramp", "min": 0, "max": 1000,
        "period_ms": 1000, "update_ms": 10}
STEPS = {"name": "steps", "unit": 1, "type": 3, "address": 3, "kind": "steps", "values": [10, 20, 30],
         "durations_ms": [300, 600, 900], "update_ms": 10}
RANDOM = {"name": "random", "unit": 1, "type": 3, "address": 31, "kind": "random", "seed": 42, "update_ms": 200}
OTHER = dict(RANDOM, name="other seed", address=32, seed=43)
HELD = {"name": "held", "unit": 1, "type": 3, "address": 40, "kind": "steps", "values": [4242],
        "durations_ms": [3600000], "update_ms": 3600000}
EXTRAS = {"generators": [SINE, RAMP, STEPS, RANDOM, OTHER, HELD]}


def sample(port, seconds):
    """(time in s, registers 1..40) read as fast as a master can for `seconds`."""
    out = []
    with ModbusTcpClient("127.0.0.1", port=port, timeout=2) as c:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            sent = time.monotonic()
            rr = c.read_holding_registers(0, 40, slave=1)
            got = time.monotonic()
            if not rr.isError():
                out.append(((sent + got) / 2, rr.registers))
            time.sleep(0.002)
    return out


def runs(values):
    """Consecutive equal values merged: [(value, first time, last time)]."""
    merged = []
    for t, v in values:
        if merged and merged[-1][0] == v:
            merged[-1][2] = t
        else:
            merged.append([v, t, t])
    return merged


def rising_crossings(series, level, gap=0.02):
    """Times the series passes `level` going up, interpolated between the samples around it; a
    crossing whose samples lie further apart than `gap` (the master was held up) is left out."""
    times = []
    for (t0, v0), (t1, v1) in zip(series, series[1:]):
        if v0 < level <= v1 and t1 - t0 <= gap:
            times.append(t0 + (t1 - t0) * (level - v0) / (v1 - v0))
    return times


def period_of(crossings, nominal):
    """The least-squares period (s) of crossings one or more whole periods apart."""
    cycles = [round((t - crossings[0]) / nominal) for t in crossings]
    n = len(crossings)
    mean_c, mean_t = sum(cycles) / n, sum(crossings) / n
    spread = sum((c - mean_c) ** 2 for c in cycles)
    return sum((c - mean_c) * (t - mean_t) for c, t in zip(cycles, crossings)) / spread if spread else 0.0


def ctl(port, *args):
    r = subprocess.run([PY, CTL, "--port", str(port)] + list(args), capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout, r.stderr


folder = tempfile.mkdtemp(prefix="behaviour-e2e-")
block = kv.Simulator.block(1, 3, 1, 100)

with kv.Simulator(documents=[block], extras=EXTRAS, headless=HEADLESS) as sim:
    check("behaviour: 6 generators, 0 reactions, 0 scripts in force" in sim.log, "the ready line says what is in force")
    samples = sample(sim.tcp_port, 5.5)
    check(len(samples) > 500, "a master sampled (%d reads)" % len(samples))

    sine = [(t, r[0]) for t, r in samples]
    check(all(100 <= v <= 900 for _, v in sine), "sine samples within [100, 900]: %d .. %d"
          % (min(v for _, v in sine), max(v for _, v in sine)))
    ups = rising_crossings(sine, 500)
    period = period_of(ups, 1.0) * 1000 if len(ups) >= 3 else 0
    check(abs(period - 1000) <= 20, "sine period %.1f ms from %d rising crossings (1000 ms within 2 %%)"
          % (period, len(ups)))

    ramp = [r[1] for _, r in samples]
    wraps = [i for i in range(1, len(ramp)) if ramp[i] < ramp[i - 1]]
    check(len(wraps) >= 4 and all(ramp[i - 1] - ramp[i] > 500 for i in wraps),
          "the ramp falls only when it wraps (%d wraps)" % len(wraps))
    check(all(0 <= v <= 1000 for v in ramp) and max(ramp) > 900 and min(ramp) < 100, "the ramp spans [0, 1000]")

    steps = runs([(t, r[2]) for t, r in samples])
    order = [v for v, _, _ in steps]
    start = order.index(10) if 10 in order else 0
    cycle = order[start:start + 6]
    check(cycle == [10, 20, 30, 10, 20, 30], "steps in order: %s" % order)
    # Whole runs only (not the first or the last). A change happened between the last sample of
    # one value and the first of the next: its time is the middle, give or take half that gap.
    changes = [((a[2] + b[1]) / 2, (b[1] - a[2]) / 2) for a, b in zip(steps, steps[1:])]
    lengths = {}
    for (v, _, _), (start, s_err), (end, e_err) in zip(steps[1:-1], changes, changes[1:]):
        lengths.setdefault(v, []).append(((end - start) * 1000, (s_err + e_err) * 1000))
    wanted = {10: 300, 20: 600, 30: 900}
    for v, ms in sorted(lengths.items()):
        check(all(abs(m - wanted[v]) <= max(15, wanted[v] * 0.05) + err for m, err in ms),
              "step %d lasts %s ms (%d)" % (v, ", ".join("%.0f±%.0f" % m for m in ms), wanted[v]))

    first_random = [v for v, _, _ in runs([(t, r[30]) for t, r in samples])]
    other_random = [v for v, _, _ in runs([(t, r[31]) for t, r in samples])]
    check(len(first_random) >= 20 and first_random[1:10] != other_random[1:10],
          "another seed, another sequence")

    # mbpoll, the other master: the value a generator holds.
    r = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(sim.tcp_port), "-a", "1", "-r", "40", "-c", "1", "-t", "4",
                        "-1", "127.0.0.1"], capture_output=True, text=True, timeout=30)
    check("[40]: \t4242" in r.stdout, "mbpoll reads the held value 4242")

    # Refusals through LoadScenario: the generator, the field or the point; nothing changes.
    c = sim.client
    refused = (
        ({"generators": [{"name": "pump", "unit": 1, "type": 3, "address": 5, "kind": "ramp"}]},
         ['generator 1 ("pump")', "period_ms"]),
        ({"generators": [SINE, {"name": "far", "unit": 1, "type": 3, "address": 500, "kind": "counter"}]},
         ['generator 2 ("far")', "500", "not served"]),
        ({"generators": [{"name": "x", "unit": 1, "type": 3, "address": 5, "kind": "counter", "colour": 1}]},
         ['generator 1 ("x")', "colour"]),
    )
    for i, (extras, named) in enumerate(refused):
        path = os.path.join(folder, "bad%d.json" % i)
        with open(path, "w") as f:
            json.dump(extras, f)
        try:
            c.load_scenario(path)
            check(False, "LoadScenario refuses %s" % named)
        except kv.Error as e:
            check(e.status == -1 and all(n in e.message for n in named), "LoadScenario refuses: %s" % e.message)
    check([g["name"] for g in c.list_behaviour()["generators"]] == [g["name"] for g in EXTRAS["generators"]],
          "refused scenarios leave the generators in force")
    path = os.path.join(folder, "faults-only.json")
    with open(path, "w") as f:
        json.dump({"faults": []}, f)
    c.load_scenario(path)
    check(len(c.list_behaviour()["generators"]) == 6, "a scenario without generators leaves them alone")

    # kelvaro64-ctl: add, list, off, rm, clear.
    rc, out, err = ctl(sim.automation_port, "gen", "add", json.dumps(dict(HELD, name="ctl", address=50, values=[77])))
    check(rc == 0 and out.strip().isdigit(), "ctl gen add prints the id: %r %r" % (out, err))
    gen = out.strip()
    rc, out, _ = ctl(sim.automation_port, "behaviour", "list")
    listed = json.loads(out) if rc == 0 else {}
    mine = [g for g in listed.get("generators", []) if g["name"] == "ctl"]
    check(len(mine) == 1 and str(mine[0]["id"]) == gen and set(listed) == {"generators", "reactions", "scripts"},
          "ctl behaviour list shows it with its id")
    rc, _, _ = ctl(sim.automation_port, "gen", "off", gen)
    rc2, out, _ = ctl(sim.automation_port, "behaviour", "list")
    check(rc == 0 and [g["enabled"] for g in json.loads(out)["generators"] if g["name"] == "ctl"] == [False],
          "ctl gen off switches it off")
    rc, _, err = ctl(sim.automation_port, "gen", "rm", "999999")
    check(rc == 1 and "no generator 999999" in err, "ctl gen rm of an unknown id exits 1: %r" % err)
    rc, _, err = ctl(sim.automation_port, "gen", "add", '{"unit": 1, "type": 3, "address": 5, "kind": "ramp"}')
    check(rc == 1 and "period_ms" in err, "ctl gen add of a bad generator exits 1 naming the field: %r" % err)
    rc, _, _ = ctl(sim.automation_port, "behaviour", "reload")
    check(rc == 0, "ctl behaviour reload")
    rc, _, _ = ctl(sim.automation_port, "behaviour", "clear")
    rc2, out, _ = ctl(sim.automation_port, "behaviour", "list")
    check(rc == 0 and json.loads(out)["generators"] == [], "ctl behaviour clear leaves none")

# The same seed on another run: the same sequence (the first value may have been missed).
with kv.Simulator(documents=[block], extras=EXTRAS, headless=HEADLESS) as sim:
    again = [v for v, _, _ in runs([(t, r[30]) for t, r in sample(sim.tcp_port, 3.0)])]
probe = again[1:8]
found = any(first_random[i:i + len(probe)] == probe for i in range(len(first_random)))
check(len(probe) == 7 and found, "seed 42 gives the same sequence on a second run: %s in %s" % (probe, first_random))

# The worked example: its files as the program writes them, and its generators running.
example = os.path.join(SOURCE, "examples", "behaviour")
made = os.path.join(folder, "tank")
os.mkdir(made)
subprocess.run([MAKE_TANK, made], check=True, timeout=60)
for name in sorted(os.listdir(made)):
    with open(os.path.join(made, name), "rb") as a, open(os.path.join(example, name), "rb") as b:
        check(a.read() == b.read(), "examples/behaviour/%s is kelvaro64-make-tank's (run it on the folder)" % name)
with kv.Simulator(setup=os.path.join(example, "tank.tst"), headless=HEADLESS) as sim:
    check("behaviour: 3 generators, 0 reactions, 0 scripts in force" in sim.log, "the tank's generators in force")
    with ModbusTcpClient("127.0.0.1", port=sim.tcp_port, timeout=2) as c:
        levels, energy, pump = [], set(), set()
        end = time.monotonic() + 10
        while time.monotonic() < end and (len(energy) < 2 or len(pump) < 2):
            words = c.read_holding_registers(10, 2, slave=1).registers
            levels.append(struct.unpack("<f", struct.pack("<HH", *words))[0])
            high, low = c.read_input_registers(19, 2, slave=1).registers   # swapped: the high word first
            energy.add(high << 16 | low)
            pump.add(c.read_coils(4, 1, slave=1).bits[0])
            time.sleep(0.05)
    check(all(0 <= v <= 100 for v in levels), "the tank level stays within 0 .. 100")
    check(len(energy) >= 2 and all(e % 7 == 0 for e in energy), "the energy counter counts by 7: %s" % sorted(energy))
    check(pump == {True, False}, "the pump runs and stops")

print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
