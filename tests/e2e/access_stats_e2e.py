"""A real master (pymodbus) against kelvaro64-headless: it polls 40001-40010 every 100 ms and
writes 40020 once; GetAccessStats and the access report written at exit must agree with the
requests it made, and name its address and port as the last writer. Then requests nothing
serves are listed with their counts, and learn mode (--learn, SetLearn) serves them.

usage: access_stats_e2e.py KELVARO64_HEADLESS PYTHON_SRC
"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

from pymodbus.client import ModbusTcpClient

headless, python_src = sys.argv[1], sys.argv[2]
sys.path.insert(0, python_src)
from kelvaro64.documents import Block  # noqa: E402

POLLS = 20
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rpc(port, method, *params):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": list(params)}).encode() + b"\n")
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return json.loads(data)["result"]


folder = tempfile.mkdtemp(prefix="kv64-access-")
doc = Block(1, 3, 1, 100).write(os.path.join(folder, "plant.kvd"))
report = os.path.join(folder, "report.json")
tcp, automation = free_port(), free_port()
proc = subprocess.Popen([headless, "--tcp-port", str(tcp), "--automation-port", str(automation),
                         "--access-report", report, doc], stdout=subprocess.PIPE, text=True)
try:
    for line in proc.stdout:
        if line.startswith("automation:"):
            break
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", tcp), timeout=1).close()
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)

    master = ModbusTcpClient("127.0.0.1", port=tcp)
    assert master.connect()
    me = "tcp 127.0.0.1:%d" % master.socket.getsockname()[1]
    for i in range(POLLS):
        r = master.read_holding_registers(0, 10, slave=1)
        check(not r.isError(), "poll %d answered" % i)
        if i == 5:
            check(not master.write_register(19, 4242, slave=1).isError(), "write of 40020 answered")
        time.sleep(0.1)

    def agree(points, source):
        by = {p["address"]: p for p in points if p["unit"] == 1 and p["type"] == 3}
        for a in range(1, 11):
            check(by[a]["reads"] == POLLS, "%s: 4%04d read %d times, not %s" % (source, a, POLLS, by[a]["reads"]))
            check("last_read" in by[a] and by[a]["last_read"].endswith("Z"), "%s: 4%04d has its last read" % (source, a))
        check(by[20]["writes"] == 1, "%s: 40020 written once (%s)" % (source, by[20]["writes"]))
        check(by[20].get("last_writer") == me, "%s: last writer %r, not %r" % (source, by[20].get("last_writer"), me))
        check(all(by[a]["reads"] == 0 and by[a]["writes"] == 0 for a in range(21, 101)),
              "%s: no other point touched" % source)

    result = rpc(automation, "GetAccessStats", 1, 3, 1, 100)
    check(result["status"] == 0, "GetAccessStats status 0")
    agree(result["points"], "GetAccessStats")
    master.close()
finally:
    proc.send_signal(signal.SIGTERM)
    rc = proc.wait(timeout=30)
check(rc == 0, "headless ended with 0, not %s" % rc)
with open(report) as f:
    written = json.load(f)
check(set(written) == {"points", "requests"}, "the report holds points and requests")
agree(written["points"], "access report")
check(written["requests"] == [], "nothing unserved in the report")
# Requests nothing serves, from a real master: a unit no document serves (no answer) and 45000 of
# unit 1, whose block ends at 40100 (exception 02). Both are listed with their counts; with learn
# mode switched on they are served next time, and what a master writes there is kept. The run
# starts with --learn, which a request for unit 7 shows, then learning is switched off.
tcp, automation = free_port(), free_port()
proc = subprocess.Popen([headless, "--learn", "--tcp-port", str(tcp), "--automation-port", str(automation), doc],
                        stdout=subprocess.PIPE, text=True)
try:
    for line in proc.stdout:
        if line.startswith("automation:"):
            break
    master = ModbusTcpClient("127.0.0.1", port=tcp, timeout=1, retries=0)
    deadline = time.monotonic() + 20
    while not master.connect():
        check(time.monotonic() < deadline, "the master connects")
        time.sleep(0.05)
    seven = [master.read_holding_registers(0, 1, slave=7) for _ in range(2)]
    check(not seven[1].isError(), "--learn: unit 7 served at the second request: %s" % seven)
    check(rpc(automation, "SetLearn", False)["status"] == 0, "SetLearn off")
    check(rpc(automation, "ResetAccessStats")["status"] == 0, "ResetAccessStats")
    for _ in range(2):
        check(master.read_holding_registers(0, 4, slave=9).isError(), "unit 9 gets no answer")
    for _ in range(3):
        r = master.read_holding_registers(4999, 2, slave=1)
        check(r.isError() and getattr(r, "exception_code", None) == 2, "45000 of unit 1 gets exception 02: %s" % r)
    listed = rpc(automation, "ListUnserved")["requests"]
    counts = {(q["unit"], q["function"], q["address"], q["quantity"]): q["count"] for q in listed}
    check(counts.get((9, 3, 1, 4)) == 2, "unit 9 listed twice: %s" % listed)
    check(counts.get((1, 3, 5000, 2)) == 3, "45000 of unit 1 listed three times: %s" % listed)
    check(all(q["link"] == "tcp" and q["first"] <= q["last"] for q in listed), "listed with link and times: %s" % listed)

    check(rpc(automation, "SetLearn", True)["status"] == 0, "SetLearn on")
    learnt = []
    for slave, address in ((9, 0), (1, 4999)):
        # The first request after learn mode came on makes the window; the one after it is served.
        answered = None
        for _ in range(3):
            r = master.read_holding_registers(address, 4 if slave == 9 else 2, slave=slave)
            if not r.isError():
                answered = r.registers
                break
        check(answered is not None and set(answered) == {0}, "unit %d 4%04d learnt and read as 0: %s"
              % (slave, address + 1, answered))
        check(not master.write_register(address + 1, 4321, slave=slave).isError(), "write to the learnt window answered")
        r = master.read_holding_registers(address + 1, 1, slave=slave)
        check(not r.isError() and r.registers == [4321], "the learnt window kept the write: %s" % r)
    master.close()
    proc.send_signal(signal.SIGTERM)
    out, _ = proc.communicate(timeout=30)
    learnt = [line for line in out.splitlines() if line.startswith("learnt:")]
    check(any(line.startswith("learnt: unit 7 holding registers 1..1") for line in learnt),
          "headless says it learnt unit 7: %s" % learnt)
    check(any(line.startswith("learnt: unit 9 holding registers 1..4") for line in learnt),
          "headless says it learnt unit 9: %s" % learnt)
    check(any(line.startswith("learnt: unit 1 holding registers 5000..5001") for line in learnt),
          "headless says it learnt 45000 of unit 1: %s" % learnt)
finally:
    if proc.poll() is None:
        proc.kill()
        proc.wait()
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
