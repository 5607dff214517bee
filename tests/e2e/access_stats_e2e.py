"""A real master (pymodbus) against kelvaro64-headless: it polls 40001-40010 every 100 ms and
writes 40020 once; GetAccessStats and the access report written at exit must agree with the
requests it made, and name its address and port as the last writer.

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
# --learn: a unit nobody serves is listed, learnt (said on stdout) and then served.
tcp, automation = free_port(), free_port()
proc = subprocess.Popen([headless, "--learn", "--tcp-port", str(tcp), "--automation-port", str(automation), doc],
                        stdout=subprocess.PIPE, text=True)
try:
    for line in proc.stdout:
        if line.startswith("automation:"):
            break
    deadline = time.monotonic() + 20
    while True:
        try:
            raw = socket.create_connection(("127.0.0.1", tcp), timeout=5)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)
    read9 = bytes([0, 1, 0, 0, 0, 6, 9, 3, 0, 0, 0, 4])
    raw.sendall(read9)   # unanswered: nobody serves unit 9 yet
    learnt = ""
    for line in proc.stdout:
        if line.startswith("learnt:"):
            learnt = line.strip()
            break
    check(learnt.startswith("learnt: unit 9 holding registers 1..4"), "headless says what it learnt: %r" % learnt)
    raw.sendall(read9)
    answer = b""
    while len(answer) < 17:
        chunk = raw.recv(64)
        if not chunk:
            break
        answer += chunk
    check(answer[7:] == bytes([3, 8] + [0] * 8), "the learnt window answers 0: %s" % answer.hex())
    listed = rpc(automation, "ListUnserved")["requests"]
    check(any(q["unit"] == 9 and q["address"] == 1 and q["quantity"] == 4 for q in listed), "unit 9 listed")
    raw.close()
finally:
    proc.send_signal(signal.SIGTERM)
    proc.wait(timeout=30)
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
