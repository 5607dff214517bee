#!/usr/bin/env python3
"""End to end: reactions and scripts on a real kelvaro64-headless, with pymodbus as the master.

- Reactions: the master writes (functions 5, 6, 15, 16), waits for the answer, then after the
  reaction's after_ms reads the target and sees copy, set, add, toggle or clear done; a value
  other than `equals` does nothing.
- The filler example (examples/behaviour): writing 1 to 40100 fills the float at 40001 by 0.5 a
  tick to 100, then coil 1 and 40101 say it is done.
- A runaway script and failing scripts while a master polls: every poll answered; the stopped
  calls told with file:line on standard error and in ListBehaviour; ten failures in a row stop a
  script.
- Refusals: a script that does not load and a reaction with a bad field refuse --scenario (exit
  status 1) and LoadScenario, naming the script or reaction, and leave the behaviour in force.

usage: behaviour_react_e2e.py KELVARO64_HEADLESS KELVARO64_CTL SOURCE_DIR   (run with /usr/bin/python3)
"""

import ctypes
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HEADLESS, CTL, SOURCE = (os.path.abspath(a) for a in sys.argv[1:4])
sys.path.insert(0, os.path.join(SOURCE, "python", "src"))

import kelvaro64 as kv                               # noqa: E402
from pymodbus.client import ModbusTcpClient          # noqa: E402

PY = "/usr/bin/python3"
EXAMPLE = os.path.join(SOURCE, "examples", "behaviour")
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def ends_with_us():
    """In the child before it runs the program: SIGTERM when this test process dies, however."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)   # PR_SET_PDEATHSIG


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Headless:
    """kelvaro64-headless on free ports with its standard output and error kept apart (the
    behaviour log goes to standard error)."""

    def __init__(self, folder, args):
        self.folder = folder
        env = dict(os.environ)
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
            env[name] = os.path.join(folder, name.lower())
            os.makedirs(env[name], 0o700, exist_ok=True)
        env.pop("KELVARO64_AUTOMATION_PORT", None)
        for _ in range(5):
            self.tcp_port, self.automation_port = free_port(), free_port()
            self.lines = {"out": [], "err": []}
            self.changed = threading.Condition()
            self.proc = subprocess.Popen(
                [HEADLESS, "--tcp-port", str(self.tcp_port), "--automation-port", str(self.automation_port)] + args,
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=folder,
                preexec_fn=ends_with_us)
            self.readers = [threading.Thread(target=self._read, args=(s, k), daemon=True)
                            for s, k in ((self.proc.stdout, "out"), (self.proc.stderr, "err"))]
            for r in self.readers:
                r.start()
            ready = self.wait("out", "open: Modbus/TCP server (port %d)" % self.tcp_port, 30) and \
                self.wait("out", "automation: 127.0.0.1:%d" % self.automation_port, 5)
            if ready:
                self.client = kv.Client(self.automation_port)
                return
            self.stop()
            if "cannot open the port" not in self.err and "failed: " not in self.out:
                raise RuntimeError("kelvaro64-headless did not start:\n%s%s" % (self.out, self.err))
        raise RuntimeError("no free ports")

    def _read(self, stream, kind):
        for raw in iter(stream.readline, b""):
            with self.changed:
                self.lines[kind].append(raw.decode("utf-8", "replace"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    @property
    def out(self):
        with self.changed:
            return "".join(self.lines["out"])

    @property
    def err(self):
        with self.changed:
            return "".join(self.lines["err"])

    def wait(self, kind, text, seconds):
        """True once `text` is in that stream; False when the program ended or time ran out."""
        deadline = time.monotonic() + seconds
        with self.changed:
            while text not in "".join(self.lines[kind]):
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    return text in "".join(self.lines[kind])
                self.changed.wait(0.1)
            return True

    def stop(self):
        if getattr(self, "client", None) is not None:
            self.client.close()
            self.client = None
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for r in self.readers:
            r.join(5)
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        code = self.stop()
        check(code == 0, "kelvaro64-headless ends cleanly on SIGTERM (%s)" % code)


def write_json(path, value):
    with open(path, "w") as f:
        json.dump(value, f)
    return path


def write_text(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def until(condition, seconds=10):
    """Waits for `condition()` to hold (a state the program reaches, not a time it must keep)."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def ctl(port, *args):
    r = subprocess.run([PY, CTL, "--port", str(port)] + list(args), capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout, r.stderr


def by_name(items):
    return {i.get("name"): i for i in items}


folder = tempfile.mkdtemp(prefix="behaviour-react-e2e-")
blocks = [kv.Simulator.block(1, 3, 1, 200).write(os.path.join(folder, "hr.kvd")),
          kv.Simulator.block(1, 1, 1, 64).write(os.path.join(folder, "coils.kvd")),
          kv.Simulator.block(1, 4, 1, 64).write(os.path.join(folder, "ir.kvd"))]


# -- reactions seen by a master -------------------------------------------------------------

REACTIONS = {"reactions": [
    {"name": "copy", "unit": 1, "type": 3, "address": 10, "equals": 7, "action": "copy",
     "target": {"unit": 1, "type": 3, "address": 11}},
    {"name": "set", "unit": 1, "type": 3, "address": 20, "equals": 1, "action": "set", "value": 1234,
     "target": {"unit": 1, "type": 3, "address": 21}, "after_ms": 200},
    {"name": "add", "unit": 1, "type": 3, "address": 30, "equals": 1, "action": "add", "value": 70000,
     "width": "uint32", "target": {"unit": 1, "type": 4, "address": 31}, "after_ms": 200},
    {"name": "toggle", "unit": 1, "type": 1, "address": 40, "action": "toggle",
     "target": {"unit": 1, "type": 1, "address": 41}, "after_ms": 200},
    {"name": "clear", "unit": 1, "type": 3, "address": 50, "action": "clear", "after_ms": 200},
]}


def hr(address):
    return lambda c: c.read_holding_registers(address - 1, 1, slave=1).registers[0]


def coil(address):
    return lambda c: int(c.read_coils(address - 1, 1, slave=1).bits[0])


def ir32(address):
    def read(c):
        low, high = c.read_input_registers(address - 1, 2, slave=1).registers   # the low word first
        return high << 16 | low
    return read


def f6(address, value):
    return lambda c: c.write_register(address - 1, value, slave=1)


def f16(first, values):
    return lambda c: c.write_registers(first - 1, values, slave=1)


def f5(address, value):
    return lambda c: c.write_coil(address - 1, value, slave=1)


def f15(first, values):
    return lambda c: c.write_coils(first - 1, values, slave=1)


SAME = None
# (what, the write, the target read, the target after after_ms from its value before (SAME: as it
# was), after_ms[, the target before it is due when not its value before: clear's own write]).
# Copy and set targets are reset to 0 before each case; nothing watches them.
CASES = [
    ("copy: function 6 writes 7 to 40010", f6(10, 7), hr(11), lambda b: 7, 0),
    ("copy: 8 is not equals 7", f6(10, 8), hr(11), SAME, 0),
    ("copy: function 16 over 40009-40010", f16(9, [3, 7]), hr(11), lambda b: 7, 0),
    ("copy: function 16 with 8 at 40010", f16(9, [7, 8]), hr(11), SAME, 0),
    ("set: function 6 writes 1 to 40020", f6(20, 1), hr(21), lambda b: 1234, 200),
    ("set: 2 is not equals 1", f6(20, 2), hr(21), SAME, 200),
    ("set: function 16 over 40016-40020", f16(16, [9, 9, 9, 9, 1]), hr(21), lambda b: 1234, 200),
    ("add: function 6 adds 70000 to the uint32 at 30031", f6(30, 1), ir32(31), lambda b: (b + 70000) % 2**32, 200),
    ("add: 0 is not equals 1", f6(30, 0), ir32(31), SAME, 200),
    ("add: function 16 over 40029-40031", f16(29, [5, 1, 0]), ir32(31), lambda b: (b + 70000) % 2**32, 200),
    ("add: the watched uint32 is 40030-40031 whole", f16(30, [1, 5]), ir32(31), SAME, 200),
    ("toggle: function 5 on coil 40 flips coil 41", f5(40, True), coil(41), lambda b: 1 - b, 200),
    ("toggle: function 5 writing 0 flips it too", f5(40, False), coil(41), lambda b: 1 - b, 200),
    ("toggle: function 15 over coils 37-40", f15(37, [True, True, True, False]), coil(41), lambda b: 1 - b, 200),
    ("clear: function 6 writes 99 to 40050", f6(50, 99), hr(50), lambda b: 0, 200, 99),
    ("clear: function 16 over 40049-40051", f16(49, [5, 6, 7]), hr(50), lambda b: 0, 200, 6),
]


def reaction_case(c, what, write, read, want, after_ms, early_value=None):
    """Writes, waits for the answer, reads the target when the reaction is due (+ 5 ms): None when
    it was as wanted, else what was seen. A write that must do nothing is given 200 ms to do it
    wrongly."""
    f6(11, 0)(c)
    f6(21, 0)(c)
    before = read(c)
    answer = write(c)
    answered = time.monotonic()
    if answer.isError():
        return "the write answered %s" % answer
    if after_ms > 0 and want is not SAME:
        # Halfway to due, the write long handed over, the target is as it was (the write itself
        # for clear); told only when the read was answered well before due, or a slow read would
        # see it done already.
        time.sleep(max(0.0, answered + after_ms / 2000 - time.monotonic()))
        early = read(c)
        expected = before if early_value is None else early_value
        if time.monotonic() - answered < after_ms * 0.9 / 1000 and early != expected:
            return "%d halfway to due (%d wanted)" % (early, expected)
    due = answered + (after_ms if want is not SAME else 200) / 1000 + 0.005
    time.sleep(max(0.0, due - time.monotonic()))
    got = read(c)
    wanted = before if want is SAME else want(before)
    if got == wanted:
        return None
    seen = "%d after %d ms + 5 ms (%d before; %d wanted)" % (got, after_ms, before, wanted)
    if want is not SAME and until(lambda: read(c) == wanted, 2):
        seen += ", seen %.0f ms after the answer" % ((time.monotonic() - answered) * 1000)
    return seen


def reactions_with_a_master():
    extras = write_json(os.path.join(folder, "reactions.json"), REACTIONS)
    with Headless(os.path.join(folder, "run-reactions"), blocks + ["--scenario", extras]) as h:
        check(h.wait("out", "behaviour: 0 generators, 5 reactions, 0 scripts in force", 10), "the reactions in force")
        fires = {}
        with ModbusTcpClient("127.0.0.1", port=h.tcp_port, timeout=2) as c:
            for case in CASES:
                what, want = case[0], case[3]
                late = reaction_case(c, *case)
                tries = 1
                if late is not None and want is not SAME and "halfway to due" not in late:
                    # A loaded machine can hold the behaviour thread up once; a fault misses again.
                    print("      %s: %s; again" % (what, late), flush=True)
                    late, tries = reaction_case(c, *case), 2
                check(late is None, "%s%s" % (what, ": " + late if late else ""))
                name = what.split(":")[0]
                fires[name] = fires.get(name, 0) + (tries if want is not SAME else 0)
        fired = {r["name"]: r["fired"] for r in h.client.list_behaviour()["reactions"]}
        check(fired == fires, "each reaction fired once per matching write: %s (%s)" % (fired, fires))
        refusals(h)


# -- refusals: --scenario and LoadScenario --------------------------------------------------

def refused_files():
    """(file, the refusal after the file's name) for scripts that do not load and bad reactions."""
    write_text(os.path.join(folder, "broken.lua"), "-- one\nfunction on_write(w)\n  kv.set(1, 3, 3,\nend\n")
    write_text(os.path.join(folder, "top.lua"), "local x = 1\nerror('no tank here')\n")
    cases = [
        ({"scripts": [{"name": "ok", "file": "filler.lua"}, {"name": "broken", "file": "broken.lua"}]},
         'script 2 ("broken"): broken.lua:4: unexpected symbol near \'end\''),
        ({"scripts": [{"name": "gone", "file": "nothere.lua"}]}, 'script 1 ("gone"): nothere.lua: no such file'),
        ({"scripts": [{"file": "top.lua"}]}, "script 1: top.lua:2: no tank here"),
        ({"reactions": [REACTIONS["reactions"][0],
                        {"name": "late", "unit": 1, "type": 3, "address": 1, "action": "clear", "after_ms": -5}]},
         'reaction 2 ("late"): field "after_ms": must be 0 to 3600000'),
        ({"reactions": [{"name": "ro", "unit": 1, "type": 4, "address": 1, "action": "clear"}]},
         'reaction 1 ("ro"): field "type": a master writes only coils (1) and holding registers (3)'),
    ]
    shutil.copy(os.path.join(EXAMPLE, "filler.lua"), folder)
    return [(write_json(os.path.join(folder, "refused%d.json" % i), extras), said)
            for i, (extras, said) in enumerate(cases)]


def refusals(h):
    """LoadScenario on the running program: refused with the message, the reactions stay."""
    before = [r["name"] for r in h.client.list_behaviour()["reactions"]]
    for path, said in refused_files():
        try:
            h.client.load_scenario(path)
            check(False, "LoadScenario refuses %s" % said)
        except kv.Error as e:
            check(e.status == -1 and e.message == "%s: %s" % (path, said), "LoadScenario refuses: %s" % e.message)
    after = h.client.list_behaviour()
    check([r["name"] for r in after["reactions"]] == before and after["scripts"] == [],
          "refused scenarios leave the behaviour in force")
    path, said = refused_files()[0]
    rc, _, err = ctl(h.automation_port, "scenario", "load", path)
    check(rc == 1 and "LoadScenario failed: %s: %s" % (path, said) in err, "ctl scenario load: %r" % err)


def refusals_at_start():
    """--scenario: the program ends with status 1, the refusal on standard error."""
    env = dict(os.environ)
    for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
        env[name] = os.path.join(folder, "refused", name.lower())
        os.makedirs(env[name], 0o700, exist_ok=True)
    for path, said in refused_files():
        for _ in range(5):
            r = subprocess.run([HEADLESS, "--tcp-port", str(free_port()), "--automation-port", "0"] + blocks +
                               ["--scenario", path], capture_output=True, text=True, timeout=60, env=env, cwd=folder)
            if "cannot open the port" not in r.stderr:
                break
        told = "kelvaro64-headless: Set-up extras refused: %s: %s\n" % (path, said)
        check(r.returncode == 1 and told in r.stderr,
              "--scenario refused (%d): %s" % (r.returncode, r.stderr.strip()))


# -- the filler example ---------------------------------------------------------------------

def level(c):
    words = c.read_holding_registers(0, 2, slave=1).registers
    return struct.unpack("<f", struct.pack("<HH", *words))[0]


def filler_example():
    args = [os.path.join(EXAMPLE, "tank.tst"), "--scenario", os.path.join(EXAMPLE, "filler.tst.json")]
    with Headless(os.path.join(folder, "run-filler"), args) as h:
        check(h.wait("out", "behaviour: 0 generators, 1 reaction, 1 script in force", 10), "the filler in force")
        with ModbusTcpClient("127.0.0.1", port=h.tcp_port, timeout=2) as c:
            check(not c.write_register(99, 1, slave=1).isError(), "1 written to 40100")
            seen, full_early = [], []
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                full = c.read_coils(0, 1, slave=1).bits[0]   # the coil first: once set, the level is 100
                value = level(c)
                seen.append(value)
                if full:
                    if value != 100:
                        full_early.append(value)
                    break
                time.sleep(0.02)
            state, ack = c.read_holding_registers(100, 2, slave=1).registers
            steps = [b - a for a, b in zip(seen, seen[1:])]
            check(len(seen) > 100 and seen[-1] == 100, "the level ends at 100 (%d reads, last %s)" % (len(seen), seen[-1:]))
            check(all(s >= 0 and s * 2 == int(s * 2) for s in steps) and all(v * 2 == int(v * 2) for v in seen),
                  "the level only rises, by halves: %s" % sorted(set(steps)))
            check(len(set(seen)) > 100, "it rises a tick at a time (%d distinct levels)" % len(set(seen)))
            check(full and not full_early, "coil 1 is set once the level is 100")
            check(state == 2 and ack == 1, "40101 reads 2 (done), 40102 1 (the reaction's ack): %d %d" % (state, ack))
        check(h.wait("err", "behaviour: filler: filling\n", 5) and h.wait("err", "behaviour: filler: full after ", 5),
              "the script's log on standard error: %r" % h.err)


# -- runaway and failing scripts while a master polls ---------------------------------------

RUNAWAY = "-- Never comes back from a write.\nfunction on_write(w)\n  while true do end\nend\n"
TICKING = "function on_tick(ms)\n  error('level sensor lost')\nend\n"
PICKY = "function on_write(w)\n  if w.values[1] ~= 0 then\n    error('bad command ' .. w.values[1])\n  end\nend\n"


class Poller(threading.Thread):
    """A master reading 10 registers over and over: answers and failures counted."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.answered, self.failed, self.slowest = port, 0, [], 0.0
        self.stopping = threading.Event()

    def run(self):
        with ModbusTcpClient("127.0.0.1", port=self.port, timeout=2) as c:
            while not self.stopping.is_set():
                sent = time.monotonic()
                try:
                    rr = c.read_holding_registers(0, 10, slave=1)
                    ok = not rr.isError()
                except Exception as e:   # noqa: BLE001 - a failed poll is what is counted
                    rr, ok = e, False
                self.slowest = max(self.slowest, time.monotonic() - sent)
                if ok:
                    self.answered += 1
                else:
                    self.failed.append(str(rr))


def failing_scripts():
    run = os.path.join(folder, "run-scripts")
    os.makedirs(run)
    for name, text in (("runaway.lua", RUNAWAY), ("ticking.lua", TICKING), ("picky.lua", PICKY)):
        write_text(os.path.join(run, name), text)
    extras = write_json(os.path.join(run, "scripts.json"), {"scripts": [
        {"name": "runaway", "file": "runaway.lua"},
        {"name": "ticking", "file": "ticking.lua", "tick_ms": 20},
        {"name": "picky", "file": "picky.lua"}]})
    with Headless(run, blocks + ["--scenario", extras]) as h:
        check(h.wait("out", "behaviour: 0 generators, 0 reactions, 3 scripts in force", 10), "the scripts in force")
        poller = Poller(h.tcp_port)
        poller.start()
        scripts = lambda: by_name(h.client.list_behaviour()["scripts"])   # noqa: E731
        with ModbusTcpClient("127.0.0.1", port=h.tcp_port, timeout=2) as c:
            # Nine failing writes, one that works, nine failing: not ten in a row yet.
            written = [c.write_register(99, v, slave=1) for v in [1] * 9 + [0] + [1] * 9]
            check(until(lambda: scripts()["picky"]["calls"] == 19 and scripts()["runaway"]["state"] == "stopped"),
                  "the behaviour thread took the writes")
            s = scripts()
            check(s["picky"]["state"] == "running" and s["picky"]["error"] == "picky.lua:3: bad command 1",
                  "nine failures in a row leave a script running: %s" % s["picky"])
            written.append(c.write_register(99, 1, slave=1))
            check(until(lambda: scripts()["picky"]["state"] == "stopped"), "the tenth failure in a row stops it")
            written += [c.write_register(99, 1, slave=1) for _ in range(3)]
            check(all(not w.isError() for w in written), "every write answered (%d)" % len(written))
        check(until(lambda: poller.answered > 200), "the master polls meanwhile")
        poller.stopping.set()
        poller.join(10)
        check(not poller.failed and poller.answered > 200,
              "every poll answered: %d answered, %d failed %s" % (poller.answered, len(poller.failed), poller.failed[:3]))
        print("      slowest poll %.1f ms" % (poller.slowest * 1000), flush=True)

        check(until(lambda: scripts()["ticking"]["state"] == "stopped"), "the failing tick script stops")
        rc, out, _ = ctl(h.automation_port, "behaviour", "list")
        s = by_name(json.loads(out)["scripts"]) if rc == 0 else {}
        stopped = "runaway.lua:3: stopped: the call ran longer than 100 ms"
        check(s.get("runaway", {}).get("state") == "stopped" and s["runaway"]["calls"] == 10 and
              s["runaway"]["error"] == stopped, "ctl behaviour list: the runaway stopped after ten calls: %s"
              % s.get("runaway"))
        check(s.get("ticking", {}).get("state") == "stopped" and s["ticking"]["calls"] == 10 and
              s["ticking"]["error"] == "ticking.lua:2: level sensor lost",
              "ctl behaviour list: the failing tick stopped after ten calls: %s" % s.get("ticking"))
        check(s.get("picky", {}).get("calls") == 20, "a stopped script is called no more: %s" % s.get("picky"))
        for name, told in (("runaway", stopped), ("ticking", "ticking.lua:2: level sensor lost"),
                           ("picky", "picky.lua:3: bad command 1")):
            lines = [l for l in h.err.splitlines() if l.startswith("behaviour: %s: " % name)]
            check(h.wait("err", "behaviour: %s: stopped: 10 failing calls in a row\n" % name, 5) and
                  "behaviour: %s: %s" % (name, told) in lines, "standard error tells %s: %s" % (name, lines[:1]))
        check("stopped" not in h.out, "the behaviour log is not on standard output")


try:
    reactions_with_a_master()
    refusals_at_start()
    failing_scripts()
    filler_example()
finally:
    shutil.rmtree(folder, ignore_errors=True)

print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
