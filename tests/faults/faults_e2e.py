#!/usr/bin/env python3
"""End to end: fault scenarios against kelvaro64-headless, seen by real masters.

pymodbus and mbpoll over Modbus/TCP, pymodbus over a socat pseudo-terminal (RTU): exception
codes, no reply, late answers, a dropped connection the master reopens, trigger counts, a seeded
probability that gives the same requests on two runs, a time window, a refused scenario that
leaves the rules in force, rules restored with a test configuration, a bad CRC and a split RTU
answer.

usage: faults_e2e.py KELVARO64_HEADLESS KELVARO64_CTL EXAMPLES_DIR   (run with /usr/bin/python3)
"""

import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

from pymodbus.client import ModbusSerialClient, ModbusTcpClient
from pymodbus.exceptions import ConnectionException
from pymodbus.transaction import ModbusRtuFramer

HEADLESS, CTL, EXAMPLES = sys.argv[1:4]
PATIENCE = 60
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def archive_string(text):
    data = text.encode()
    assert len(data) < 255
    return bytes([len(data)]) + data


def test_config(documents, open_port=None):
    """A test configuration: the documents, port `open_port` open as RTU 9600 8N1, the server open."""
    out = struct.pack("<H", len(documents) | 0x8000)
    for d in documents:
        out += archive_string(d)
    out += struct.pack("<H", 3)
    for port in range(1, 33):
        settings = struct.pack("<IBBBBIIBBBB", 9600, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0)
        out += struct.pack("<IB", 1 if port == open_port else 0, 1) + settings
    out += struct.pack("<Ii", 1, 0)
    return out


class Headless:
    def __init__(self, folder, files, extra_args=()):
        self.tcp, self.automation = free_ports(2)
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"), QT_QPA_PLATFORM="offscreen")
        self.proc = subprocess.Popen([HEADLESS, "--tcp-port", str(self.tcp), "--automation-port", str(self.automation),
                                      *extra_args, *files], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True)
        deadline = time.monotonic() + PATIENCE
        self.output = []
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            self.output.append(line)
            if line.startswith("automation:"):
                break
        # The set-up may still be restoring: wait until the Modbus/TCP server takes connections.
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.tcp), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("headless did not start: " + "".join(self.output))

    def ctl(self, *args):
        r = subprocess.run(["/usr/bin/python3", CTL, "--port", str(self.automation), *args], capture_output=True,
                           text=True, timeout=PATIENCE)
        return r.returncode, r.stdout.strip(), r.stderr.strip()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=PATIENCE)


def outcomes(client, count, address=0, unit=1):
    """For each of `count` reads: 'ok', 'exc N', 'none' (no answer) or 'closed' (by the server)."""
    seen = []
    for _ in range(count):
        try:
            rr = client.read_holding_registers(address, count=1, slave=unit)
        except ConnectionException:
            seen.append("closed")
            continue
        if hasattr(rr, "exception_code"):
            seen.append("exc %d" % rr.exception_code)
        elif rr.isError():
            seen.append("none")
        else:
            seen.append("ok")
    return seen


def main():
    with tempfile.TemporaryDirectory() as folder:
        os.makedirs(os.path.join(folder, "config", "Orvane"))
        docs = []
        for name in ("demo-holding-registers.kvd", "demo-coils.kvd", "demo-input-registers.kvd"):
            shutil.copy(os.path.join(EXAMPLES, name), folder)
            docs.append(os.path.join(folder, name))
        setup = os.path.join(folder, "set-up.tst")
        with open(setup, "wb") as f:
            f.write(test_config(docs))

        server = Headless(folder, [setup])
        try:
            tcp(server)
            scenario_files(server, folder)
        finally:
            server.stop()
        replay(folder, setup)
        rtu(folder, docs)
    if failures:
        print("%d failed" % len(failures))
        return 1
    print("all passed")
    return 0


def tcp(server):
    # Exception 6 on the 5th, 8th, 11th, 14th and 17th read of holding register 1 by device 1.
    code, rule_id, _ = server.ctl("fault", "add", json.dumps(
        {"name": "HR 1 busy", "unit": 1, "functions": [3], "type": 3, "first": 1, "last": 1,
         "action": "exception", "code": 6, "after": 2, "every": 3, "times": 5}))
    check(code == 0 and rule_id.isdigit(), "fault add prints the rule's id (%r)" % rule_id)
    with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1) as c:
        seen = outcomes(c, 20)
        want = ["exc 6" if n in (5, 8, 11, 14, 17) else "ok" for n in range(1, 21)]
        check(seen == want, "after 2, every 3, 5 times: exceptions at 5, 8, 11, 14, 17 (%s)" % seen)
        check(outcomes(c, 1, address=1) == ["ok"], "another address is not matched")
    code, listing, _ = server.ctl("fault", "list")
    rules = json.loads(listing)
    check(rules[0]["matched"] == 20 and rules[0]["fired"] == 5, "ListFaults counts 20 matched, 5 fired")
    # mbpoll sees the exception as its master would.
    server.ctl("fault", "clear")
    server.ctl("fault", "add", '{"unit": 1, "action": "exception", "code": 4}')
    r = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(server.tcp), "-a", "1", "-r", "1", "-c", "1", "-t", "4", "-1",
                        "127.0.0.1"], capture_output=True, text=True, timeout=PATIENCE)
    check("Slave device or server failure" in r.stdout + r.stderr or "failure" in (r.stdout + r.stderr).lower(),
          "mbpoll reports exception 4 (%s)" % (r.stdout + r.stderr).strip().splitlines()[-1:])

    # A gateway answering 0x0B for a device it does not have.
    server.ctl("fault", "clear")
    server.ctl("fault", "add", '{"name": "no device 9", "unit": 9, "action": "exception", "code": 11}')
    with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1) as c:
        check(outcomes(c, 1, unit=9) == ["exc 11"], "unit 9 without a block answers exception 0x0B")

    # No reply once: the master times out, then is answered.
    server.ctl("fault", "clear")
    server.ctl("fault", "add", '{"action": "no-reply", "times": 1}')
    with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1, retries=0) as c:
        started = time.monotonic()
        first = outcomes(c, 1)
        check(first == ["none"] and time.monotonic() - started >= 0.9, "no-reply: the master times out")
    with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1) as c:
        check(outcomes(c, 1) == ["ok"], "the next request is answered")

    # Late answers: never earlier than asked.
    server.ctl("fault", "clear")
    server.ctl("fault", "add", '{"action": "delay", "delay_ms": 300}')
    with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=2) as c:
        started = time.monotonic()
        seen = outcomes(c, 2)
        elapsed = time.monotonic() - started
        check(seen == ["ok", "ok"] and elapsed >= 0.6, "delay 300 ms: two answers after %.3f s" % elapsed)

    # The server drops the connection; the master opens a new one.
    server.ctl("fault", "clear")
    server.ctl("fault", "add", '{"link": "tcp", "action": "close", "times": 1}')
    with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1, retries=0) as c:
        check(outcomes(c, 1) == ["closed"], "close: the master sees the connection dropped")
    with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1) as c:
        check(outcomes(c, 1) == ["ok"], "close: a new connection is served")

    # A seeded probability gives the same requests on two runs.
    runs = []
    for _ in range(2):
        server.ctl("fault", "clear")
        server.ctl("fault", "add", '{"action": "exception", "code": 6, "probability": 0.3, "seed": 7}')
        with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1) as c:
            runs.append(outcomes(c, 40))
    check(runs[0] == runs[1] and 0 < runs[0].count("exc 6") < 40, "seeded probability: the same %d requests twice"
          % runs[0].count("exc 6"))

    # Only inside the window 1-2 s after loading.
    server.ctl("fault", "clear")
    server.ctl("fault", "add", '{"action": "exception", "code": 6, "from_s": 1, "until_s": 2}')
    with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1) as c:
        before = outcomes(c, 1)
        time.sleep(1.2)
        inside = outcomes(c, 1)
        time.sleep(1.2)
        after = outcomes(c, 1)
    check((before, inside, after) == (["ok"], ["exc 6"], ["ok"]), "time window: %s %s %s" % (before, inside, after))
    server.ctl("fault", "clear")


def scenario_files(server, folder):
    good = os.path.join(folder, "good.json")
    with open(good, "w") as f:
        json.dump({"faults": [{"name": "busy", "unit": 1, "action": "exception", "code": 6}]}, f)
    bad = os.path.join(folder, "bad.json")
    with open(bad, "w") as f:
        json.dump({"faults": [{"name": "ok", "action": "no-reply"}, {"name": "wrong", "action": "exception", "code": 0}]}, f)
    code, _, _ = server.ctl("scenario", "load", good)
    check(code == 0, "scenario load good.json")
    code, _, err = server.ctl("scenario", "load", bad)
    check(code == 1 and 'rule 2 ("wrong"): field "code"' in err, "a refused scenario names rule and field (%s)" % err)
    _, listing, _ = server.ctl("fault", "list")
    check([r["name"] for r in json.loads(listing)] == ["busy"], "the rules in force stay as they were")
    server.ctl("fault", "clear")


def replay(folder, setup):
    """Rules kept beside a test configuration are in force when it is restored, every run alike."""
    with open(setup + ".json", "w") as f:
        json.dump({"faults": [{"name": "flaky", "action": "exception", "code": 6, "after": 1, "every": 4,
                               "probability": 0.5, "seed": 3}]}, f)
    runs = []
    for _ in range(2):
        server = Headless(folder, [setup])
        try:
            with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1) as c:
                runs.append(outcomes(c, 30))
        finally:
            server.stop()
    check(runs[0] == runs[1] and "exc 6" in runs[0], "restored set-up replays the same faults (%d)" % runs[0].count("exc 6"))
    # --scenario replaces the set-up's own rules.
    scenario = os.path.join(folder, "none.json")
    with open(scenario, "w") as f:
        json.dump({"faults": []}, f)
    server = Headless(folder, [setup], ["--scenario", scenario])
    try:
        # The scenario is put in force once the set-up is restored, while the server already serves.
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline and json.loads(server.ctl("fault", "list")[1] or "null") != []:
            time.sleep(0.05)
        with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=1) as c:
            check(outcomes(c, 10) == ["ok"] * 10, "--scenario with no rules replaces the set-up's")
    finally:
        server.stop()
    os.remove(setup + ".json")


def rtu(folder, docs):
    pair = subprocess.Popen(["socat", "-d", "-d", "pty,raw,echo=0,link=%s/master" % folder,
                             "pty,raw,echo=0,link=%s/slave" % folder], stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not (os.path.exists(folder + "/master") and os.path.exists(folder + "/slave")):
            if time.monotonic() > deadline:
                check(False, "socat made its pair")
                return
            time.sleep(0.05)
        with open(os.path.join(folder, "config", "Orvane", "kelvaro64.ports"), "w") as f:
            f.write("30=%s\n" % os.path.realpath(folder + "/slave"))
        setup = os.path.join(folder, "serial.tst")
        with open(setup, "wb") as f:
            f.write(test_config(docs, open_port=30))
        with open(setup + ".json", "w") as f:
            json.dump({"faults": [{"name": "bad crc", "link": "serial:30", "action": "bad-checksum", "times": 1},
                                  {"name": "split", "link": "serial", "action": "split", "gap_ms": 1500, "times": 1}]}, f)
        server = Headless(folder, [setup])
        try:
            def serial_read():
                with ModbusSerialClient(folder + "/master", framer=ModbusRtuFramer, baudrate=9600, bytesize=8,
                                        parity="N", stopbits=1, timeout=1, retries=0) as c:
                    result = outcomes(c, 1)
                time.sleep(1.5)  # whatever came late is gone before the next master opens the line
                return result
            check(serial_read() == ["none"], "bad-checksum: the master refuses the answer")
            check(serial_read() == ["none"], "split with a gap beyond the master's timeout: it sees a broken frame")
            check(serial_read() == ["ok"], "then answers are whole again")
            _, listing, _ = server.ctl("fault", "list")
            check([r["fired"] for r in json.loads(listing)] == [1, 1], "each rule fired once")
        finally:
            server.stop()
    finally:
        pair.terminate()


if __name__ == "__main__":
    sys.exit(main())
