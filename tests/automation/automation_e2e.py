#!/usr/bin/env python3
"""End to end: automation clients and third-party Modbus masters on the same data.

Against kelvaro64-headless and the desktop kelvaro64 (offscreen): a stdlib JSON-RPC client and
kelvaro64-ctl write values that mbpoll and pymodbus read over Modbus/TCP, and read back what
the masters wrote. Also: EnableSlave, a second instance on a taken port, a hidden start ending
after its last client.

usage: automation_e2e.py KELVARO64_HEADLESS KELVARO64 KELVARO64_CTL   (run with /usr/bin/python3)
"""

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

HEADLESS, DESKTOP, CTL = sys.argv[1:4]
PY = "/usr/bin/python3"
PATIENCE = 60          # seconds: only a hang ever waits this long
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def free_ports(count):
    """Distinct free ports: all held until all are chosen."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def wait_for_port(port, proc):
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class Rpc:
    """The raw protocol, as any language would speak it: one JSON object per line."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=PATIENCE)
        self.buffer = b""
        self.next_id = 0

    def call(self, method, *params):
        self.next_id += 1
        line = json.dumps({"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": list(params)})
        self.sock.sendall(line.encode() + b"\n")
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("connection closed")
            self.buffer += chunk
        reply, self.buffer = self.buffer.split(b"\n", 1)
        reply = json.loads(reply)
        assert reply["id"] == self.next_id, reply
        return reply["result"]

    def close(self):
        self.sock.close()


def ctl(port, *args):
    p = subprocess.run([PY, CTL, "--port", str(port)] + [str(a) for a in args],
                       capture_output=True, text=True, timeout=PATIENCE)
    return p.returncode, p.stdout.strip(), p.stderr.strip()


def mbpoll(port, *args):
    p = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(port), "-a", "1", "-t", "4", "-1"] + [str(a) for a in args],
                       capture_output=True, text=True, timeout=PATIENCE)
    values = {}
    for line in p.stdout.splitlines():
        if line.startswith("[") and "]:" in line:
            ref, value = line[1:].split("]:", 1)
            values[int(ref)] = value.strip()
    return p.returncode, values


def pymodbus(port, code):
    """Runs `code` with a connected pymodbus client `c`; returns its printed output."""
    script = ("from pymodbus.client import ModbusTcpClient\n"
              "import struct\n"
              "with ModbusTcpClient('127.0.0.1', port=%d, timeout=2) as c:\n" % port +
              "".join("    " + line + "\n" for line in code.splitlines()))
    p = subprocess.run([PY, "-c", script], capture_output=True, text=True, timeout=PATIENCE)
    return p.stdout.strip()


def test_config(path):
    """A test configuration with no documents and the Modbus/TCP server open."""
    port = struct.pack("<IBBBBIIBBBB", 9600, 8, 1, 0, 0, 0, 0, 0, 0, 0, 0)
    data = struct.pack("<H", 0x8000) + struct.pack("<H", 3)
    data += (struct.pack("<IB", 0, 1) + port) * 32
    data += struct.pack("<II", 1, 0)
    with open(path, "wb") as f:
        f.write(data)


def settings_file(folder, service_port):
    """kv64comm2.cfg with the service port; everything else the defaults."""
    os.makedirs(folder, exist_ok=True)
    port = struct.pack("<IBBBBIIBBBB", 9600, 8, 1, 0, 0, 0, 0, 0, 0, 0, 0)
    font = struct.pack("<iiiiiBBBBBBBB32s", -13, 0, 0, 0, 400, 0, 0, 0, 0, 1, 2, 1, 0x31, b"Courier")
    data = struct.pack("<H", service_port) + (b"\x01" + port) * 32 + font + struct.pack("<III", 0, 0xC0C0C0, 0xFF)
    with open(os.path.join(folder, "kv64comm2.cfg"), "wb") as f:
        f.write(data)


def environment(home):
    env = dict(os.environ, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=tempfile.mkdtemp(dir=home),
               QT_QPA_PLATFORM="offscreen", QT_LOGGING_RULES="qt.qpa.*=false")
    env.pop("KELVARO64_AUTOMATION_PORT", None)
    return env


def exercise(name, tcp, auto, proc):
    try:
        run_calls(name, tcp, auto, proc)
    except Exception as e:   # a dead program or a closed connection: report, go on with the rest
        check(False, "%s: %s: %s" % (name, type(e).__name__, e))


def run_calls(name, tcp, auto, proc):
    check(wait_for_port(auto, proc), name + ": automation port answers")
    rpc = Rpc(auto)
    check(rpc.call("CreateDocument") == {"status": 0}, name + ": CreateDocument")
    check(wait_for_port(tcp, proc), name + ": Modbus/TCP port answers")

    # stdlib client writes, mbpoll reads
    check(rpc.call("WritePoint", 1, 40001, 4321) == {"status": 0}, name + ": WritePoint 40001")
    rc, values = mbpoll(tcp, "-r", 1, "-c", 1, "127.0.0.1")
    check(rc == 0 and values.get(1) == "4321", name + ": mbpoll reads 4321 at 40001 (%s)" % values)

    # mbpoll writes, stdlib client and kelvaro64-ctl read back
    rc, _ = mbpoll(tcp, "-r", 2, "127.0.0.1", 777)
    check(rc == 0, name + ": mbpoll writes 777 at 40002")
    check(rpc.call("ReadPoint", 1, 40002) == {"status": 0, "value": 777}, name + ": ReadPoint 40002 is 777")
    check(ctl(auto, "read", 1, 40002)[:2] == (0, "777"), name + ": kelvaro64-ctl read 1 40002 prints 777")

    # kelvaro64-ctl writes, pymodbus reads (low word first, then swapped)
    check(ctl(auto, "write", 1, 40003, 123)[0] == 0, name + ": kelvaro64-ctl write")
    check(ctl(auto, "writefloat", 1, 40010, 2.5)[0] == 0, name + ": kelvaro64-ctl writefloat")
    check(ctl(auto, "writefloat", 1, 40012, -0.1, "--swapped")[0] == 0, name + ": kelvaro64-ctl writefloat --swapped")
    out = pymodbus(tcp, "r = c.read_holding_registers(2, count=1, slave=1).registers\n"
                        "f = c.read_holding_registers(9, count=4, slave=1).registers\n"
                        "print(r[0], struct.unpack('<f', struct.pack('<HH', f[0], f[1]))[0],"
                        " struct.unpack('>f', struct.pack('>HH', f[2], f[3]))[0])")
    fields = out.split()
    check(len(fields) == 3 and fields[0] == "123" and float(fields[1]) == 2.5
          and struct.pack("<f", float(fields[2])) == struct.pack("<f", -0.1),
          name + ": pymodbus reads 123, 2.5 and -0.1 (%s)" % out)

    # pymodbus writes a float, the clients read it
    pymodbus(tcp, "c.write_registers(19, list(struct.unpack('<HH', struct.pack('<f', 6.25))), slave=1)")
    check(ctl(auto, "readfloat", 1, 40020)[:2] == (0, "6.25"), name + ": kelvaro64-ctl readfloat 1 40020 prints 6.25")
    check(rpc.call("ReadFloat", 1, 40020, True)["status"] == 0, name + ": ReadFloat swapped")

    # failures
    check(ctl(auto, "read", 1, 25000)[0] == 1, name + ": kelvaro64-ctl read 1 25000 exits 1")
    check(ctl(auto, "writefloat", 1, 41000, 1.0)[0] == 1, name + ": writefloat at the last point exits 1")
    check(ctl(auto, "write", 1, 40001, 70000)[0] == 2, name + ": an out-of-range value is an error (exit 2)")

    # EnableSlave: off, the master gets no answer; on, it does again
    check(ctl(auto, "enable", 1, "off")[0] == 0, name + ": enable 1 off")
    rc, _ = mbpoll(tcp, "-r", 1, "-c", 1, "-o", 1, "127.0.0.1")
    check(rc != 0, name + ": device 1 switched off does not answer")
    check(ctl(auto, "enable", 1, "on")[0] == 0, name + ": enable 1 on")
    rc, values = mbpoll(tcp, "-r", 1, "-c", 1, "127.0.0.1")
    check(rc == 0 and values.get(1) == "4321", name + ": device 1 answers again")
    rpc.close()


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(PATIENCE)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait()


def main():
    with tempfile.TemporaryDirectory() as home:
        env = environment(home)
        tst = os.path.join(home, "server.tst")
        test_config(tst)

        # --- headless
        tcp, auto = free_ports(2)
        proc = subprocess.Popen([HEADLESS, "--tcp-port", str(tcp), "--automation-port", str(auto), tst],
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            exercise("headless", tcp, auto, proc)
            # A second instance on the same automation port, taken from the environment, runs
            # without automation and says so.
            second = subprocess.Popen([HEADLESS], env=dict(env, KELVARO64_AUTOMATION_PORT=str(auto)),
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            line = second.stderr.readline()
            check("not available" in line and "running without automation" in line and second.poll() is None,
                  "second instance: " + line.strip())
            check(stop(second) == 0, "second instance ends on SIGTERM")
            # Named on its command line, the port must open: the run ends with status 1.
            third = subprocess.run([HEADLESS, "--automation-port", str(auto)], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True, timeout=PATIENCE)
            check(third.returncode == 1 and "--automation-port %d: cannot open the port" % auto in third.stderr,
                  "third instance: %s %s" % (third.returncode, third.stderr.strip()))
        finally:
            rc = stop(proc)
        out = proc.stdout.read()
        if failures:
            print(out + proc.stderr.read())
        check(rc == 0, "headless ends on SIGTERM with 0")
        check("automation: 127.0.0.1:%d" % auto in out, "headless names its automation port")

        # --- desktop, offscreen, with the server from the test configuration
        tcp, auto = free_ports(2)
        settings_file(os.path.join(home, "Orvane"), tcp)
        env_desktop = dict(env, KELVARO64_AUTOMATION_PORT=str(auto))
        proc = subprocess.Popen([DESKTOP, tst], env=env_desktop, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            exercise("desktop", tcp, auto, proc)
        finally:
            stop(proc)

        # --- desktop started for a client: hidden, ends when its last client leaves
        auto, = free_ports(1)
        env_hidden = dict(env, KELVARO64_AUTOMATION_PORT=str(auto))
        proc = subprocess.Popen([DESKTOP, "-Automation"], env=env_hidden, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        # No probing here: a probe that connects and leaves would be its last client.
        first = None
        deadline = time.monotonic() + PATIENCE
        while first is None and time.monotonic() < deadline and proc.poll() is None:
            try:
                first = Rpc(auto)
            except OSError:
                time.sleep(0.05)
        check(first is not None, "hidden: automation port answers")
        if first is None:
            proc.kill()
            proc.wait()
            print("%d failed" % len(failures))
            return 1
        second = Rpc(auto)
        check(first.call("CreateDocument") == {"status": 0}, "hidden: CreateDocument")
        check(second.call("WritePoint", 1, 40001, 5) == {"status": 0}, "hidden: second client writes")
        first.close()
        check(second.call("ReadPoint", 1, 40001) == {"status": 0, "value": 5}, "hidden: still serves the other client")
        second.close()
        try:
            rc = proc.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            proc.kill()
            rc = "still running"
        check(rc == 0, "hidden: ends with 0 after the last client (%s)" % rc)

    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
