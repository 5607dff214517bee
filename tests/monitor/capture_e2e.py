#!/usr/bin/env python3
"""End to end: captures and traffic logs of kelvaro64-headless, read back by tshark.

pymodbus polls over Modbus/TCP (a port of its own, and 502 when it is free) and over a socat
pseudo-terminal (RTU and ASCII) while the program writes --capture and --traffic-log. tshark
must find every request and answer in the capture (with the documented options), the JSON log
must pair every answer with its request, with round-trip times inside what the master itself
measured, and a capture whose program was killed must still read.

Automation (kelvaro64-ctl capture / traffic-log) starts and stops them in a running program.

usage: capture_e2e.py KELVARO64_HEADLESS EXAMPLES_DIR KELVARO64_CTL   (run with /usr/bin/python3)
"""

import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

from pymodbus.client import ModbusSerialClient, ModbusTcpClient
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer

HEADLESS, EXAMPLES, CTL = sys.argv[1:4]
PATIENCE = 60
SERIAL_UDP_PORT = 5020  # where the capture puts serial frames (documented in the manual)
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_free(port):
    try:
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("0.0.0.0", port))
        return True
    except OSError:
        return False


def test_config(documents, open_port, mode):
    """A test configuration: the documents, serial port `open_port` open at 9600 8N1 (mode 1 RTU, 0 ASCII)."""
    out = struct.pack("<H", len(documents) | 0x8000)
    for d in documents:
        data = d.encode()
        out += bytes([len(data)]) + data
    out += struct.pack("<H", 3)
    for port in range(1, 33):
        settings = struct.pack("<IBBBBIIBBBB", 9600, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0)
        out += struct.pack("<IB", 1 if port == open_port else 0, mode) + settings
    out += struct.pack("<Ii", 0, 0)
    return out


class Headless:
    def __init__(self, folder, args, tcp_port=None, automation_port=0):
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"), QT_QPA_PLATFORM="offscreen")
        self.tcp = tcp_port
        self.automation = automation_port
        extra = ["--tcp-port", str(tcp_port)] if tcp_port else []
        self.proc = subprocess.Popen([HEADLESS, "--automation-port", str(automation_port), *extra, *args], env=env,
                                     cwd=folder,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        deadline = time.monotonic() + PATIENCE
        self.output = []
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("headless ended: " + "".join(self.output))
            self.output.append(line)
            if line.startswith(("open: ", "restored: ", "failed: ")):
                return
        raise RuntimeError("headless did not start: " + "".join(self.output))

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        try:
            rest, _ = self.proc.communicate(timeout=PATIENCE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rest, _ = self.proc.communicate()
        self.output.append(rest or "")
        return self.proc.returncode


def ctl(port, *args):
    r = subprocess.run(["/usr/bin/python3", CTL, "--port", str(port), *args], capture_output=True, text=True,
                       timeout=PATIENCE)
    return r.returncode, r.stdout.strip(), r.stderr.strip()


def tshark(path, *options, fields=("modbus.func_code", "mbtcp.trans_id")):
    args = ["tshark", "-r", path, *options, "-Y", "modbus", "-T", "fields"]
    for f in fields:
        args += ["-e", f]
    r = subprocess.run(args, capture_output=True, text=True, timeout=PATIENCE)
    return r.returncode, [line.split("\t") for line in r.stdout.splitlines()]


def read_log(path):
    with open(path) as f:
        return [json.loads(line) for line in f]


def poll_tcp(port):
    """Mixed requests; returns [(transaction id, function, master's round trip in µs)]."""
    seen = []
    with ModbusTcpClient("127.0.0.1", port=port, timeout=2) as c:
        calls = [lambda: c.read_holding_registers(0, 3, slave=1),
                 lambda: c.read_coils(0, 5, slave=1),
                 lambda: c.write_register(1, 7, slave=1),
                 lambda: c.write_registers(2, [1, 2, 3], slave=1),
                 lambda: c.read_holding_registers(5000, 3, slave=1),  # exception 2
                 lambda: c.write_coil(0, True, slave=1)]
        functions = [3, 1, 6, 16, 3, 5]
        for i in range(30):
            k = i % len(calls)
            before = time.monotonic()
            calls[k]()
            rtt = (time.monotonic() - before) * 1e6
            seen.append((c.transaction.getNextTID() - 1 if hasattr(c.transaction, "getNextTID") else None, functions[k], rtt))
    return seen


def tcp(folder, docs):
    port = free_port()
    capture, log = os.path.join(folder, "tcp.pcapng"), os.path.join(folder, "tcp.jsonl")
    server = Headless(folder, ["--capture", capture, "--traffic-log", log, *docs], tcp_port=port)
    try:
        polled = poll_tcp(port)
    finally:
        rc = server.stop()
    check(rc == 0, "the program ends cleanly (%r)" % rc)
    summary = "".join(server.output)
    check("capture: %s, " % capture in summary and " 0 frame records dropped" in summary,
          "the program says what it captured and that nothing was dropped (%s)" % summary.strip().splitlines()[-2:])

    code, rows = tshark(capture, "-d", "tcp.port==%d,mbtcp" % port)
    check(code == 0, "tshark reads the capture")
    got = [(int(f), int(t)) for f, t in rows]
    want = []
    for tid, fc, _ in polled:
        want += [(fc, tid), (fc, tid)]
    check(got == want, "tshark sees every request and answer, by function and transaction id (%d of %d)"
          % (len(got), len(want)))
    code, rows = tshark(capture, "-d", "tcp.port==%d,mbtcp" % port, fields=("modbus.exception_code",))
    check([r for r in rows if r != [""]] == [["2"]] * 5, "the exception answers carry code 2")
    # With the port as Modbus/TCP's own, tshark also tells requests from answers and warns of nothing.
    code, rows = tshark(capture, "-o", "mbtcp.tcp.port:%d" % port,
                        fields=("tcp.analysis.flags", "modbus.request_frame", "_ws.expert.severity"))
    check(len(rows) == 60 and all(r[0] == "" for r in rows), "no lost, out of order or retransmitted segments")
    linked = []
    for _, _, _ in polled:
        linked += [False, True]
    for i, (_, fc, _) in enumerate(polled):
        linked[2 * i + 1] = i % 6 != 4  # tshark links no exception answer to its request
    check([bool(r[1]) for r in rows] == linked, "every answer names its request's frame")
    check(all(r[2] in ("", "2097152") for r in rows), "no warnings beyond the exceptions' notes (%s)"
          % sorted(set(r[2] for r in rows)))

    lines = read_log(log)
    allowed = {"t", "link", "peer", "dir", "unit", "fc", "addr", "qty", "exception", "hex", "rtt_us", "fault", "error"}
    check(all(set(l) <= allowed for l in lines), "the log uses only its documented keys")
    check(len(lines) == 2 * len(polled), "one line per frame (%d for %d requests)" % (len(lines), len(polled)))
    check(all(l["link"] == "tcp" and l["peer"].startswith("127.0.0.1:") and "error" not in l for l in lines),
          "link, peer, no errors")
    answers = [l for l in lines if l["dir"] == "tx"]
    requests = [l for l in lines if l["dir"] == "rx"]
    check(len(answers) == len(polled) and all("rtt_us" in a for a in answers), "every answer is paired")
    ok = True
    for request, answer, (tid, fc, master_rtt) in zip(requests, answers, polled):
        same_tid = request["hex"][:4] == answer["hex"][:4] == "%04x" % tid
        ok = ok and same_tid and request["fc"] == answer["fc"] == fc and 0 <= answer["rtt_us"] <= master_rtt
    check(ok, "each answer pairs with its request's transaction id, rtt within the master's own")
    exceptions = [a for a in answers if "exception" in a]
    check(len(exceptions) == 5 and all(a["exception"] == 2 and a["fc"] == 3 for a in exceptions),
          "exception answers say their code and function")
    check(all(l["t"].endswith("Z") and len(l["t"]) == 27 for l in lines), "time stamps in µs, UTC")


def tcp_port_502(folder, docs):
    if not port_free(502):
        print("skip port 502 is taken", flush=True)
        return
    capture = os.path.join(folder, "502.pcapng")
    server = Headless(folder, ["--capture", capture, *docs], tcp_port=502)
    if any(line.startswith("failed: ") for line in server.output):
        server.stop()
        print("skip port 502 was taken meanwhile", flush=True)
        return
    try:
        with ModbusTcpClient("127.0.0.1", port=502, timeout=2) as c:
            c.read_holding_registers(0, 2, slave=1)
    finally:
        server.stop()
    code, rows = tshark(capture)
    check(code == 0 and [r[0] for r in rows] == ["3", "3"], "port 502 decodes with no options (%s)" % rows)


def killed(folder, docs):
    port = free_port()
    capture = os.path.join(folder, "killed.pcapng")
    server = Headless(folder, ["--capture", capture, *docs], tcp_port=port)
    with ModbusTcpClient("127.0.0.1", port=port, timeout=2) as c:
        for _ in range(10):
            c.read_holding_registers(0, 1, slave=1)
    time.sleep(0.5)  # a batch is written every 10 ms
    server.stop(signal.SIGKILL)
    code, rows = tshark(capture, "-d", "tcp.port==%d,mbtcp" % port)
    check(code == 0 and len(rows) == 20, "a capture whose program was killed reads whole (%d frames)" % len(rows))


def automation(folder, docs):
    port, control = free_port(), free_port()
    capture, log = os.path.join(folder, "auto.pcapng"), os.path.join(folder, "auto.jsonl")
    server = Headless(folder, docs, tcp_port=port, automation_port=control)
    try:
        # The automation server may start after the Modbus/TCP one.
        deadline = time.monotonic() + PATIENCE
        while ctl(control, "capture", "stop")[0] == 3 and time.monotonic() < deadline:
            time.sleep(0.1)
        code, _, err = ctl(control, "capture", "stop")
        check(code == 1 and "no capture is running" in err, "capture stop with none running is refused (%s)" % err)
        code, _, err = ctl(control, "traffic-log", "start", os.path.join(folder, "no-such-folder", "x.jsonl"))
        check(code == 1 and "No such file or directory" in err, "a log that cannot be written is refused (%s)" % err)
        with ModbusTcpClient("127.0.0.1", port=port, timeout=2) as c:
            c.read_holding_registers(0, 1, slave=1)  # before: in neither file
            check(ctl(control, "capture", "start", capture)[0] == 0, "capture start")
            check(ctl(control, "traffic-log", "start", log)[0] == 0, "traffic-log start")
            for _ in range(5):
                c.read_holding_registers(0, 1, slave=1)
            code, out, _ = ctl(control, "capture", "stop")
            check(code == 0 and json.loads(out)["packets"] == 13 and json.loads(out)["dropped"] == 0,
                  "capture stop says what it wrote: a handshake and ten frames (%s)" % out)
            c.read_holding_registers(0, 1, slave=1)  # after the capture: in the log only
            code, out, _ = ctl(control, "traffic-log", "stop")
            check(code == 0 and json.loads(out)["path"] == log, "traffic-log stop (%s)" % out)
    finally:
        server.stop()
    code, rows = tshark(capture, "-d", "tcp.port==%d,mbtcp" % port)
    check(code == 0 and len(rows) == 10, "the capture holds the frames between start and stop (%d)" % len(rows))
    check(len(read_log(log)) == 12, "the log holds the frames between its start and stop")


def serial(folder, docs, mode):
    name = "rtu" if mode == 1 else "ascii"
    link = os.path.join(folder, name)
    pair = subprocess.Popen(["socat", "-d", "-d", "pty,raw,echo=0,link=%s-master" % link,
                             "pty,raw,echo=0,link=%s-slave" % link], stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not (os.path.exists(link + "-master") and os.path.exists(link + "-slave")):
            if time.monotonic() > deadline:
                check(False, "socat made its pair")
                return
            time.sleep(0.05)
        with open(os.path.join(folder, "config", "Orvane", "kelvaro64.ports"), "w") as f:
            f.write("7=%s\n" % os.path.realpath(link + "-slave"))
        setup = os.path.join(folder, name + ".tst")
        with open(setup, "wb") as f:
            f.write(test_config(docs, 7, mode))
        capture, log = os.path.join(folder, name + ".pcapng"), os.path.join(folder, name + ".jsonl")
        server = Headless(folder, ["--capture", capture, "--traffic-log", log, setup])
        try:
            deadline = time.monotonic() + PATIENCE
            while not any(l.startswith("open: ") for l in server.output) and time.monotonic() < deadline:
                time.sleep(0.05)
            framer = ModbusRtuFramer if mode == 1 else ModbusAsciiFramer
            with ModbusSerialClient(link + "-master", framer=framer, baudrate=9600, bytesize=8, parity="N",
                                    stopbits=1, timeout=1) as c:
                answers = [c.read_holding_registers(0, 2, slave=1), c.write_register(3, 9, slave=1),
                           c.read_coils(0, 3, slave=1), c.read_holding_registers(5000, 1, slave=1)]
            check(all(a is not None for a in answers), "%s: the master is answered" % name)
        finally:
            server.stop()
        want = ["3", "3", "6", "6", "1", "1", "3", "3"]
        code, rows = tshark(capture, "-d", "udp.port==%d,mbrtu" % SERIAL_UDP_PORT,
                            fields=("modbus.func_code", "modbus.exception_code", "udp.srcport"))
        check(code == 0 and [r[0] for r in rows] == want,
              "%s: tshark decodes every frame as Modbus RTU with -d udp.port==%d,mbrtu (%s)"
              % (name, SERIAL_UDP_PORT, [r[0] for r in rows]))
        check([r[1] for r in rows][-1:] == ["2"], "%s: the exception answer's code" % name)
        check([r[2] == str(SERIAL_UDP_PORT) for r in rows] == [False, True] * 4,
              "%s: requests go to the serial port's UDP port, answers come from it" % name)
        # The manual's option: requests told from answers as well.
        code, rows = tshark(capture, "-o", "mbrtu.udp.port:%d" % SERIAL_UDP_PORT,
                            fields=("modbus.func_code", "modbus.request_frame"))
        check(code == 0 and [r[0] for r in rows] == want and [bool(r[1]) for r in rows] == [False, True] * 3 + [False] * 2,
              "%s: with -o mbrtu.udp.port:%d each answer names its request (%s)" % (name, SERIAL_UDP_PORT, rows))
        if mode == 0:
            _, rows = tshark(capture, "-d", "udp.port==%d,mbrtu" % SERIAL_UDP_PORT, fields=("frame.comment",))
            check(rows[0][0].startswith("ascii: :0103"), "ascii: the original frame is the packet's comment (%s)" % rows[0])
        lines = read_log(log)
        check([l["link"] for l in lines] == ["serial:7"] * 8 and all("peer" not in l for l in lines),
              "%s: the log names the serial port and no peer" % name)
        check(all("rtt_us" in l for l in lines if l["dir"] == "tx") and
              [l.get("exception") for l in lines][-1] == 2, "%s: answers paired by order" % name)
    finally:
        pair.terminate()
        pair.wait(timeout=PATIENCE)


def faults(folder, docs):
    """Answers a fault holds back or withholds: recorded as they left, or as what happened."""
    port = free_port()
    capture, log = os.path.join(folder, "faults.pcapng"), os.path.join(folder, "faults.jsonl")
    scenario = os.path.join(folder, "faults.json")
    with open(scenario, "w") as f:
        json.dump({"faults": [
            {"name": "slow", "functions": [3], "first": 1, "last": 1, "action": "delay", "delay_ms": 300},
            {"name": "silent", "functions": [3], "first": 2, "last": 2, "action": "no-reply"},
            {"name": "busy", "functions": [3], "first": 3, "last": 3, "action": "exception", "code": 6},
        ]}, f)
    server = Headless(folder, ["--capture", capture, "--traffic-log", log, "--scenario", scenario, *docs], tcp_port=port)
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            def ask(tid, address, wait=True):
                s.sendall(struct.pack(">HHHBBHH", tid, 0, 6, 1, 3, address, 1))
                return s.recv(64) if wait else None
            before = time.monotonic()
            ask(1, 0)
            slow = time.monotonic() - before
            ask(2, 1, wait=False)
            s.settimeout(0.5)
            try:
                silent = s.recv(64)
            except socket.timeout:
                silent = b""
            s.settimeout(5)
            busy = ask(3, 2)
    finally:
        server.stop()
    check(slow >= 0.3 and silent == b"" and busy[7:9] == bytes([0x83, 6]),
          "faults: the master sees the delay, the silence and the exception")
    code, rows = tshark(capture, "-d", "tcp.port==%d,mbtcp" % port,
                        fields=("mbtcp.trans_id", "frame.time_epoch", "modbus.exception_code"))
    check(code == 0 and [r[0] for r in rows] == ["1", "1", "2", "3", "3"],
          "faults: the capture holds every frame that went on the wire, none for the silence (%s)" % rows)
    if code == 0 and len(rows) == 5:
        late = float(rows[1][1]) - float(rows[0][1])
        check(late >= 0.3, "faults: the delayed answer's packet is stamped when it left (%.6f s after)" % late)
    lines = read_log(log)
    answers = {int(l["hex"][:4], 16) if l["hex"] else None: l for l in lines if l["dir"] == "tx"}
    slow_line = answers.get(1, {})
    check(slow_line.get("rtt_us", 0) >= 300000 and slow_line.get("fault") == "slow",
          "faults: the log's delayed answer says its round trip (%s)" % slow_line)
    withheld = answers.get(None, {})
    check(withheld.get("error") == "no reply" and withheld.get("fault") == "silent" and withheld.get("fc") == 3
          and withheld.get("addr") == 1 and "rtt_us" in withheld,
          "faults: the log tells the request that got no reply (%s)" % withheld)
    busy_line = answers.get(3, {})
    check(busy_line.get("exception") == 6 and busy_line.get("addr") == 2 and busy_line.get("qty") == 1,
          "faults: an exception answer carries its request's address and quantity (%s)" % busy_line)


def udp(folder, docs):
    """A Modbus/UDP server on every interface answers from the address the master sent to."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    capture = os.path.join(folder, "udp.pcapng")
    server = Headless(folder, ["--capture", capture, "--udp-port", str(port), *docs], tcp_port=free_port())
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.connect(("127.0.0.5", port))  # takes only datagrams from 127.0.0.5
            s.settimeout(2)
            s.send(struct.pack(">HHHBBHH", 0x55, 0, 6, 1, 3, 0, 1))
            try:
                answer = s.recv(64)
            except socket.timeout:
                answer = b""
    finally:
        server.stop()
    check(answer[:2] == b"\x00\x55" and answer[7:8] == b"\x03", "udp: a master connected to 127.0.0.5 gets its answer")
    code, rows = tshark(capture, "-d", "udp.port==%d,mbudp" % port, fields=("ip.src", "ip.dst", "mbtcp.trans_id"))
    check(code == 0 and [r[:2] for r in rows] == [["127.0.0.1", "127.0.0.5"], ["127.0.0.5", "127.0.0.1"]],
          "udp: the capture's packets carry the address the request was sent to (%s)" % rows)


def main():
    with tempfile.TemporaryDirectory() as folder:
        os.makedirs(os.path.join(folder, "config", "Orvane"))
        docs = []
        for name in ("demo-holding-registers.kvd", "demo-coils.kvd"):
            shutil.copy(os.path.join(EXAMPLES, name), folder)
            docs.append(os.path.join(folder, name))
        tcp(folder, docs)
        faults(folder, docs)
        udp(folder, docs)
        tcp_port_502(folder, docs)
        killed(folder, docs)
        automation(folder, docs)
        serial(folder, docs, 1)
        serial(folder, docs, 0)
    if failures:
        print("%d failed" % len(failures))
        return 1
    print("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
