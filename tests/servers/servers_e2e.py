#!/usr/bin/env python3
"""End to end: the network servers of kelvaro64-headless, seen by real masters.

A set-up whose extras open a Modbus/UDP, an RTU over TCP and a Modbus/TCP Security server (with
certificates made here by the openssl command, named relative to the extras file) and 200 plain
Modbus/TCP endpoints on 127.0.0.2 ... 127.0.0.201, each with its own units map. pymodbus masters
over UDP, RTU over TCP and TLS read what mbpoll reads over plain Modbus/TCP; each endpoint answers
unit 1 as its own device; read-only roles get exception 01 for a write; FC 43 identity from the
extras. The command-line options open the same servers and say what is wrong with bad ones; the
automation methods open, list and close them.

usage: servers_e2e.py KELVARO64_HEADLESS KELVARO64_CTL EXAMPLES_DIR   (run with /usr/bin/python3)
"""

import json
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time

from pymodbus.client import ModbusTcpClient, ModbusTlsClient, ModbusUdpClient
from pymodbus.mei_message import ReadDeviceInformationRequest
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer

HEADLESS, CTL, EXAMPLES = sys.argv[1:4]
PATIENCE = 60
ENDPOINTS = 200
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def free_ports(count, kind=socket.SOCK_STREAM):
    sockets = [socket.socket(socket.AF_INET, kind) for _ in range(count)]
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


def test_config(documents):
    """A test configuration: the documents, no serial port open, the Modbus/TCP server open."""
    out = struct.pack("<H", len(documents) | 0x8000)
    for d in documents:
        out += archive_string(d)
    out += struct.pack("<H", 3)
    for _ in range(1, 33):
        out += struct.pack("<IB", 0, 1) + struct.pack("<IBBBBIIBBBB", 9600, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0)
    out += struct.pack("<Ii", 1, 0)
    return out


def device_document(template, folder, device):
    """The demo's input registers (100, 200, ...) as device `device`, its first register = 1000 + device."""
    data = bytearray(template)
    data[9] = device                                  # device id
    data[16:18] = struct.pack("<H", 1000 + device)    # input register 1
    path = os.path.join(folder, "device-%d.kvd" % device)
    with open(path, "wb") as f:
        f.write(data)
    return path


def make_certificates(d):
    """A CA, a server certificate for 127.0.0.1, a client with the role Operator, one without."""
    def run(*args):
        subprocess.run(["openssl", *args], check=True, cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=PATIENCE)
    for name in ("ca", "server", "operator", "plain"):
        run("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", name + ".key")
    run("req", "-x509", "-new", "-key", "ca.key", "-subj", "/CN=ca", "-days", "2", "-out", "ca.pem")
    extensions = {"server": "subjectAltName=IP:127.0.0.1\n",
                  "operator": "1.3.6.1.4.1.50316.802.1=ASN1:UTF8String:Operator\n",
                  "plain": "basicConstraints=CA:FALSE\n"}
    for name, ext in extensions.items():
        with open(os.path.join(d, name + ".ext"), "w") as f:
            f.write(ext)
        run("req", "-new", "-key", name + ".key", "-subj", "/CN=" + name, "-out", name + ".csr")
        run("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
            "-extfile", name + ".ext", "-out", name + ".pem")


class Headless:
    def __init__(self, folder, args, wait_for="automation:"):
        self.tcp, self.automation = free_ports(2)
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"), QT_QPA_PLATFORM="offscreen")
        self.proc = subprocess.Popen([HEADLESS, "--tcp-port", str(self.tcp), "--automation-port", str(self.automation),
                                      *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.output = []
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("headless ended: " + "".join(self.output))
            self.output.append(line)
            if line.startswith(wait_for):
                return
        raise RuntimeError("headless did not start: " + "".join(self.output))

    def opened(self, title):
        """The port of an "open: TITLE (port N)" / "(ADDRESS:N)" line, or None."""
        for line in self.output:
            if line.startswith("open: " + title + " ("):
                return int(line.rsplit(":", 1)[-1].rstrip(")\n").split()[-1])
        return None

    def line(self, start):
        return next((l.strip() for l in self.output if l.startswith(start)), None)

    def ctl(self, *args):
        r = subprocess.run(["/usr/bin/python3", CTL, "--port", str(self.automation), *args], capture_output=True,
                           text=True, timeout=PATIENCE)
        return r.returncode, r.stdout.strip(), r.stderr.strip()

    def stop(self):
        self.proc.terminate()
        try:
            return self.proc.wait(timeout=PATIENCE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return None


def mbpoll(port, unit, ref, count, kind="4"):
    """What mbpoll reads over plain Modbus/TCP: the values, in order."""
    r = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(port), "-a", str(unit), "-r", str(ref), "-c", str(count),
                        "-t", kind, "-1", "127.0.0.1"], capture_output=True, text=True, timeout=PATIENCE)
    values = []
    for line in r.stdout.splitlines():
        if line.startswith("[") and "]:" in line:
            values.append(int(line.split("]:")[1].split()[0]))
    return values


def registers(rr):
    return None if rr is None or rr.isError() else list(rr.registers)


def served_set_up(folder, certs):
    template = open(os.path.join(EXAMPLES, "demo-input-registers.kvd"), "rb").read()
    docs = [shutil.copy(os.path.join(EXAMPLES, "demo-holding-registers.kvd"), folder)]
    docs += [device_document(template, folder, device) for device in range(1, ENDPOINTS + 1)]
    setup = os.path.join(folder, "plant.tst")
    with open(setup, "wb") as f:
        f.write(test_config(docs))
    udp, = free_ports(1, socket.SOCK_DGRAM)
    rtu, tls, endpoint = free_ports(3)
    extras = {
        "servers": {"udp": {"port": udp}, "rtu-over-tcp": {"port": rtu},
                    "tls": {"port": tls, "cert": "certs/server.pem", "key": "certs/server.key", "ca": "certs/ca.pem",
                            "read_only_roles": ["Operator"]}},
        "endpoints": [{"protocol": "tcp", "address": "127.0.0.%d" % (n + 2), "port": endpoint, "units": {"1": n + 1}}
                      for n in range(ENDPOINTS)],
        "identity": {"7": {"VendorName": "Orvane", "ProductCode": "PX-7", "MajorMinorRevision": "2.1",
                           "0x80": "private object"}},
    }
    with open(setup + ".json", "w") as f:
        json.dump(extras, f)
    return setup, udp, rtu, tls, endpoint


class TlsClient(ModbusTlsClient):
    """pymodbus 3.0's TLS client waits in select() for bytes that the TLS layer already holds
    decrypted: it takes the first 8 bytes of an answer and never sees the rest (and a TLS 1.3
    session ticket alone ends its read with SSLWantReadError). This one reads what it asks for,
    within the socket's timeout; requests, framing and decoding stay pymodbus's."""

    def recv(self, size):
        data = b""
        want = 4096 if size is None else size
        while len(data) < want:
            try:
                chunk = self.socket.recv(want - len(data))
            except (socket.timeout, ssl.SSLError):
                break
            if not chunk:
                break
            data += chunk
            if size is None:
                break
        return data


def tls_client(certs, port, who):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(os.path.join(certs, "ca.pem"))
    context.load_cert_chain(os.path.join(certs, who + ".pem"), os.path.join(certs, who + ".key"))
    # Modbus/TCP Security carries the MBAP header; pymodbus's own TLS framer leaves it out.
    return TlsClient("127.0.0.1", port=port, framer=ModbusSocketFramer, sslctx=context,
                           server_hostname="127.0.0.1", timeout=5)


def every_kind_reads_the_same(server, certs, udp, rtu, tls, endpoint):
    check(server.line("restored:") is not None, "the set-up is restored: " + "".join(server.output[-3:]).strip())
    for title, port in (("Modbus/UDP server", udp), ("RTU over TCP server", rtu), ("Modbus/TCP Security server", tls)):
        check(server.opened(title) == port, "%s opened from the extras on port %d" % (title, port))
    opened = [l for l in server.output if l.startswith("open: Modbus/TCP endpoint ")]
    check(len(opened) == ENDPOINTS, "%d endpoints opened (%d)" % (ENDPOINTS, len(opened)))

    # Holding registers 1-8 of device 1 (the demo's four floats) and input registers of device 5.
    want = mbpoll(server.tcp, 1, 1, 8)
    want_inputs = mbpoll(server.tcp, 5, 1, 4, "3")
    check(len(want) == 8 and want_inputs[:1] == [1005], "mbpoll reads device 1 and 5 over Modbus/TCP")
    with ModbusUdpClient("127.0.0.1", port=udp, timeout=3) as c:
        check(registers(c.read_holding_registers(0, 8, slave=1)) == want, "Modbus/UDP reads what mbpoll reads")
        check(registers(c.read_input_registers(0, 4, slave=5)) == want_inputs, "Modbus/UDP: device 5 as mbpoll")
    with ModbusTcpClient("127.0.0.1", port=rtu, framer=ModbusRtuFramer, timeout=3) as c:
        check(registers(c.read_holding_registers(0, 8, slave=1)) == want, "RTU over TCP reads what mbpoll reads")
        check(registers(c.read_input_registers(0, 4, slave=5)) == want_inputs, "RTU over TCP: device 5 as mbpoll")
    with tls_client(certs, tls, "plain") as c:
        check(registers(c.read_holding_registers(0, 8, slave=1)) == want, "TLS reads what mbpoll reads")
        rr = c.write_register(14, 77, slave=1)
        check(rr is not None and not rr.isError(), "TLS without a role writes")
    check(mbpoll(server.tcp, 1, 15, 1) == [77], "mbpoll sees the TLS write")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.minimum_version = ssl.TLSVersion.TLSv1_3
    context.load_verify_locations(os.path.join(certs, "ca.pem"))
    context.load_cert_chain(os.path.join(certs, "plain.pem"), os.path.join(certs, "plain.key"))
    with context.wrap_socket(socket.create_connection(("127.0.0.1", tls), timeout=5), server_hostname="127.0.0.1") as s:
        s.sendall(struct.pack(">HHHBBHH", 9, 0, 6, 1, 3, 14, 1))
        answer = b""
        while len(answer) < 11:
            chunk = s.recv(11 - len(answer))
            if not chunk:
                break
            answer += chunk
        check(s.version() == "TLSv1.3" and answer == struct.pack(">HHHBBBH", 9, 0, 5, 1, 3, 2, 77),
              "TLS 1.3 reads the same register: %s %r" % (s.version(), answer))
    with tls_client(certs, tls, "operator") as c:
        check(registers(c.read_holding_registers(0, 2, slave=1)) == want[:2], "TLS Operator reads")
        rr = c.write_register(14, 78, slave=1)
        check(getattr(rr, "exception_code", None) == 1, "TLS Operator (read-only role) gets exception 01 for a write")

    # Every endpoint answers unit 1 as its own device.
    wrong = []
    for n in range(ENDPOINTS):
        with ModbusTcpClient("127.0.0.%d" % (n + 2), port=endpoint, timeout=3) as c:
            got = registers(c.read_input_registers(0, 1, slave=1))
            if got != [1001 + n]:
                wrong.append((n + 2, got))
    check(not wrong, "each of %d endpoints on 127.0.0.x answers unit 1 as its own device %s" % (ENDPOINTS, wrong[:3]))
    # An endpoint serves only the devices its map names: units 0 and 255 reach its device (2 at
    # 127.0.0.3), any other unit id none, even one a document serves elsewhere (unit 2 is device 2).
    with ModbusTcpClient("127.0.0.3", port=endpoint, timeout=1, retries=0) as c:
        for unit in (0, 255):
            got = registers(c.read_input_registers(0, 1, slave=unit))
            check(got == [1002], "unit %d at the endpoint of device 2 reads device 2: %r" % (unit, got))
        got = registers(c.read_input_registers(0, 1, slave=2))
        check(got is None, "unit 2 at the endpoint of device 2 reaches no device: %r" % got)

    # FC 43 / 14 from the extras' identity of device 7 (served over the plain endpoint of device 7).
    with ModbusTcpClient("127.0.0.1", port=server.tcp, timeout=3) as c:
        rr = c.execute(ReadDeviceInformationRequest(read_code=3, object_id=0, unit=7))
        if getattr(rr, "exception_code", None) == 1:
            print("skip FC 43 is not served by this engine yet", flush=True)
        else:
            info = getattr(rr, "information", {}) or {}
            check(info.get(0) == b"Orvane" and info.get(1) == b"PX-7" and info.get(2) == b"2.1",
                  "FC 43 basic objects from the extras: %r" % info)
            rr = c.execute(ReadDeviceInformationRequest(read_code=4, object_id=0x80, unit=7))
            info = getattr(rr, "information", {}) or {}
            check(info.get(0x80) == b"private object", "FC 43 extended object 0x80 from the extras: %r" % info)


def automation(server):
    rc, out, err = server.ctl("server", "list")
    listed = json.loads(out) if rc == 0 else []
    check(len(listed) == ENDPOINTS + 3 and all(s["state"] == "open" for s in listed), "server list: every server open")
    udp = next((s for s in listed if s["protocol"] == "udp"), None)
    check(udp is not None and udp["counters"]["valid"] >= 2, "server list: the UDP server's counters %r" % udp)
    rc, out, err = server.ctl("server", "close", str(udp["id"]))
    check(rc == 0, "server close " + err)
    with ModbusUdpClient("127.0.0.1", port=udp["port"], timeout=1, retries=0) as c:
        rr = c.read_holding_registers(0, 1, slave=1)
        check(rr is None or rr.isError(), "a closed UDP server answers nothing")
    rc, out, err = server.ctl("server", "open", "udp", "0")
    check(rc == 0 and len(out.split()) == 2, "server open udp 0 prints id and port: " + out + err)
    if rc == 0:
        with ModbusUdpClient("127.0.0.1", port=int(out.split()[1]), timeout=3) as c:
            check(registers(c.read_input_registers(0, 1, slave=3)) == [1003], "the reopened UDP server answers")
    rc, out, err = server.ctl("server", "endpoint", '{"protocol": "rtu-over-tcp", "address": "127.0.0.1", "port": 0}')
    check(rc == 0, "server endpoint opens an RTU over TCP endpoint " + err)
    rc, out, err = server.ctl("server", "open", "tls", "0")
    check(rc == 1 and "servers.tls.cert: missing" in err, "server open tls without files is refused: " + err)
    rc, out, err = server.ctl("server", "endpoint", '{"protocol": "tcp", "port": 1, "units": {"1": 300}}')
    check(rc == 1 and "endpoint.units.1" in err, "a bad endpoint names its field: " + err)
    rc, out, err = server.ctl("server", "close", "99999")
    check(rc == 1 and "no server 99999" in err, "closing an unknown server: " + err)


def options(folder, certs):
    docs = [os.path.join(EXAMPLES, "demo-holding-registers.kvd")]
    # A TLS port without its files, and files without a TLS port: refused before anything starts.
    for args, said in ((["--tls-port", "802"], "--tls-port needs --tls-cert FILE and --tls-key FILE"),
                       (["--tls-cert", "a.pem"], "need --tls-port"),
                       (["--udp-port", "70000"], "--udp-port: not a port number")):
        r = subprocess.run([HEADLESS, *args], capture_output=True, text=True, timeout=PATIENCE)
        check(r.returncode == 2 and said in r.stderr, "%s: exit 2, %r" % (" ".join(args), r.stderr.splitlines()[:1]))

    tls, rtu = free_ports(2)
    server = Headless(folder, ["--rtu-over-tcp-port", str(rtu),
                               "--tls-port", str(tls), "--tls-cert", os.path.join(certs, "server.pem"),
                               "--tls-key", os.path.join(certs, "server.key"), *docs], "open: Modbus/TCP server")
    try:
        time.sleep(0.5)   # the lines after the TCP server's
        check(server.opened("RTU over TCP server") == rtu and server.opened("Modbus/TCP Security server") == tls,
              "--rtu-over-tcp-port and --tls-port open their servers")
        with ModbusTcpClient("127.0.0.1", port=rtu, framer=ModbusRtuFramer, timeout=3) as c:
            check(registers(c.read_holding_registers(0, 2, slave=1)) == mbpoll(server.tcp, 1, 1, 2),
                  "the option's RTU over TCP server reads what mbpoll reads")
    finally:
        check(server.stop() == 0, "the run ends with 0")

    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"), QT_QPA_PLATFORM="offscreen")

    def run_headless(args):
        tcp, automation = free_ports(2)
        return subprocess.run([HEADLESS, "--tcp-port", str(tcp), "--automation-port", str(automation), *args],
                              env=env, capture_output=True, text=True, timeout=PATIENCE)

    # A port the command line names that is taken: the failed: line, then the run ends with 1.
    taken = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    taken.bind(("0.0.0.0", 0))
    try:
        port = taken.getsockname()[1]
        r = run_headless(["--udp-port", str(port), *docs])
        check("failed: Modbus/UDP server (port %d)" % port in r.stdout, "a UDP port taken: a failed: line " +
              r.stdout.strip().replace("\n", " | "))
        check(r.returncode == 1 and "--udp-port %d: cannot open the port" % port in r.stderr,
              "a UDP port taken ends the run with 1: %s %r" % (r.returncode, r.stderr.strip()))
    finally:
        taken.close()

    # Certificate files that cannot be read: the failed line gives the reason, and the TLS server
    # the command line asked for is not there, so the run ends with 1.
    tls, = free_ports(1)
    r = run_headless(["--tls-port", str(tls), "--tls-cert", os.path.join(folder, "missing.pem"),
                      "--tls-key", os.path.join(certs, "server.key"), *docs])
    failed = next((l for l in r.stdout.splitlines() if l.startswith("failed: Modbus/TCP Security server")), None)
    check(failed is not None and "missing.pem" in failed, "an unreadable certificate is named: %r" % failed)
    check(r.returncode == 1 and "--tls-port %d" % tls in r.stderr, "... and the run ends with 1: %r" % r.stderr)


def main():
    with tempfile.TemporaryDirectory() as folder:
        os.makedirs(os.path.join(folder, "config", "Orvane"))
        certs = os.path.join(folder, "certs")
        os.makedirs(certs)
        make_certificates(certs)
        setup, udp, rtu, tls, endpoint = served_set_up(folder, certs)
        # Started from another folder: the certificate names are found beside the extras file.
        server = Headless(folder, [setup], "restored:")
        try:
            every_kind_reads_the_same(server, certs, udp, rtu, tls, endpoint)
            automation(server)
        finally:
            server.stop()
        options(folder, certs)
    if failures:
        print("%d failed" % len(failures))
        sys.exit(1)
    print("all passed")


if __name__ == "__main__":
    main()
