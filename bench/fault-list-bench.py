#!/usr/bin/python3
"""What a long fault list costs kelvaro64-headless: time and resident size.

Starts the headless program (a document on Modbus/TCP, automation on), then over automation:
loads a scenario of N rules (LoadScenario), calls ListFaults a few times (the time of each whole
answer, read to its end), clears the rules (ClearFaults), and reads the resident size (VmRSS)
before, after each step and at the end. Then the refusals: a list of N + 1 rules, one AddFault
beyond the most, a rule with a key given twice.

    /usr/bin/python3 bench/fault-list-bench.py build-test/app/kelvaro64-headless [--rules 10000] [--lists 3]

A measurement, never a test; every process started is ended by its PID.
"""
import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DOCUMENT = os.path.join(HERE, "..", "examples", "demo-holding-registers.kvd")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def call_raw(port, line, timeout=120):
    with socket.socket() as s:
        s.settimeout(timeout)
        s.connect(("127.0.0.1", port))
        s.sendall(line.encode() + b"\n")
        buffer = b""
        while b"\n" not in buffer:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            buffer += chunk
    return json.loads(buffer.split(b"\n")[0]) if buffer else None


def call(port, method, params):
    return call_raw(port, json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": params}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("headless")
    ap.add_argument("--rules", type=int, default=10000)
    ap.add_argument("--lists", type=int, default=3)
    a = ap.parse_args()

    home = tempfile.mkdtemp(prefix="fault-list-")
    tcp, auto = free_port(), free_port()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=home, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=home)
    proc = subprocess.Popen([a.headless, "--tcp-port", str(tcp), "--automation-port", str(auto), DOCUMENT], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        seen = ""
        deadline = time.monotonic() + 20
        while "automation:" not in seen and time.monotonic() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            seen += line
        if "automation:" not in seen:
            raise SystemExit("headless did not start: %r" % seen)
        # What it prints later must not fill the pipe and stop it.
        threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()

        def scenario(count):
            path = os.path.join(home, "rules-%d.json" % count)
            rules = [{"name": "rule %d" % i, "unit": i % 256, "functions": [3, 16], "first": 1 + i % 60000,
                      "last": 1 + i % 60000 + 5, "action": "exception", "code": 6, "after": 1} for i in range(count)]
            with open(path, "w") as f:
                json.dump({"faults": rules}, f)
            return path

        path, bigger = scenario(a.rules), scenario(a.rules + 1)
        time.sleep(0.5)
        print("resident at start: %d kB" % rss_kb(proc.pid))
        started = time.perf_counter()
        reply = call(auto, "LoadScenario", [path])
        print("LoadScenario of %d rules: %.3f s, %s; resident %d kB"
              % (a.rules, time.perf_counter() - started, reply.get("result", reply), rss_kb(proc.pid)))
        for i in range(a.lists):
            started = time.perf_counter()
            reply = call(auto, "ListFaults", [])
            took = time.perf_counter() - started
            listed = reply["result"]
            count = len(listed["value"]) if isinstance(listed, dict) and "value" in listed else len(listed)
            print("ListFaults %d: %d rules in %.3f s; resident %d kB" % (i + 1, count, took, rss_kb(proc.pid)))
        reply = call(auto, "AddFault", [{"action": "no-reply"}])
        print("AddFault beyond: %s" % json.dumps(reply.get("result", reply)))
        started = time.perf_counter()
        reply = call(auto, "ClearFaults", [])
        print("ClearFaults: %.3f s; resident %d kB" % (time.perf_counter() - started, rss_kb(proc.pid)))
        time.sleep(1.0)
        print("resident 1 s later: %d kB" % rss_kb(proc.pid))
        reply = call(auto, "LoadScenario", [bigger])
        print("LoadScenario of %d rules: %s" % (a.rules + 1, json.dumps(reply.get("result", reply))))
        reply = call_raw(auto, '{"jsonrpc": "2.0", "id": 1, "method": "AddFault", '
                               '"params": [{"action": "delay", "unit": 1, "unit": 2}]}')
        print("AddFault with \"unit\" twice: %s" % json.dumps(reply.get("error", reply.get("result"))))
        print("resident at the end: %d kB" % rss_kb(proc.pid))
    finally:
        if proc.poll() is None:
            os.kill(proc.pid, signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait()


if __name__ == "__main__":
    sys.exit(main())
