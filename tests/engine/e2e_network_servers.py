#!/usr/bin/python3
"""Third-party masters against the engine's network servers: pymodbus over Modbus/UDP and RTU over
TCP, a plain Modbus/TCP endpoint on its own address, and Modbus/TCP Security with certificates
made here by the openssl command (Python's ssl module and openssl s_client as clients).
Usage: e2e_network_servers.py PATH/TO/pomrel_testserver

Run with Debian's /usr/bin/python3 (python3-pymodbus 3.0).
"""
import os
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading

from pymodbus.client import ModbusTcpClient, ModbusUdpClient
from pymodbus.transaction import ModbusRtuFramer
from pymodbus.utilities import computeCRC

failures = []


def check(name, got, want):
    if got == want:
        print(f"ok   {name}")
    else:
        print(f"FAIL {name}: got {got!r}, want {want!r}")
        failures.append(name)


def registers(rr):
    return rr.registers if not rr.isError() else rr


def rtu(frame):
    return frame + struct.pack(">H", computeCRC(frame))


def make_certificates(d):
    """A CA, a server certificate for 127.0.0.1, clients with the role Operator, with the role
    Engineer, without a role, and one signed by a CA the server does not trust."""
    def run(*args):
        subprocess.run(["openssl", *args], check=True, cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def key(name):
        run("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", f"{name}.key")

    for ca in ("ca", "rogue-ca"):
        key(ca)
        run("req", "-x509", "-new", "-key", f"{ca}.key", "-subj", f"/CN={ca}", "-days", "2", "-out", f"{ca}.pem")
    extensions = {
        "server": "subjectAltName=IP:127.0.0.1\n",
        "operator": "1.3.6.1.4.1.50316.802.1=ASN1:UTF8String:Operator\n",
        "engineer": "1.3.6.1.4.1.50316.802.1=ASN1:UTF8String:Engineer\n",
        "plain": "basicConstraints=CA:FALSE\n",
        "rogue": "1.3.6.1.4.1.50316.802.1=ASN1:UTF8String:Engineer\n",
    }
    for name, ext in extensions.items():
        key(name)
        with open(os.path.join(d, f"{name}.ext"), "w") as f:
            f.write(ext)
        ca = "rogue-ca" if name == "rogue" else "ca"
        run("req", "-new", "-key", f"{name}.key", "-subj", f"/CN={name}", "-out", f"{name}.csr")
        run("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key", "-CAcreateserial",
            "-days", "2", "-extfile", f"{name}.ext", "-out", f"{name}.pem")


def tls_connect(d, port, client):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.load_verify_locations(os.path.join(d, "ca.pem"))
    if client:
        ctx.load_cert_chain(os.path.join(d, f"{client}.pem"), os.path.join(d, f"{client}.key"))
    raw = socket.create_connection(("127.0.0.1", port), timeout=5)
    s = ctx.wrap_socket(raw, server_hostname="127.0.0.1")
    s.settimeout(5)
    return s


def mbap_call(s, tid, pdu, unit=1):
    s.sendall(struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu)
    head = b""
    while len(head) < 7:
        chunk = s.recv(7 - len(head))
        if not chunk:
            return None
        head += chunk
    length = struct.unpack(">H", head[4:6])[0]
    body = b""
    while len(body) < length - 1:
        body += s.recv(length - 1 - len(body))
    return head + body


def read_status(server):
    """The server's counters, by name: (valid, invalid, sessions, handshake failures, roles)."""
    server.send_signal(signal.SIGUSR1)
    status = {}
    while True:
        line = server.stdout.readline().split()
        if not line or line[0] != "status":
            break
        name = line[1] if line[1] != "endpoint" else " ".join(line[1:3])
        values = line[3:] if line[1] == "endpoint" else line[2:]
        status[name] = (int(values[0]), int(values[1]), int(values[2]), int(values[3]), sorted(values[4:]))
        if name == "tls":
            break
    return status


def main():
    testserver = sys.argv[1]
    with tempfile.TemporaryDirectory() as d:
        make_certificates(d)
        server = subprocess.Popen(
            [testserver, "--tcp-port", "0", "--udp-port", "0", "--rtu-over-tcp-port", "0",
             "--endpoint", "tcp", "127.0.0.2", "0", "2",
             "--tls-port", "0", "--tls-cert", os.path.join(d, "server.pem"), "--tls-key", os.path.join(d, "server.key"),
             "--tls-ca", os.path.join(d, "ca.pem"), "--tls-read-only", "Operator", "--tls-unit", "1", "1"],
            stdout=subprocess.PIPE, text=True)
        try:
            ports = {}
            for line in server.stdout:
                words = line.split()
                if words == ["ready"]:
                    break
                ports[" ".join(words[:-1])] = int(words[-1])
            run_masters(d, ports, server)
        finally:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
    if failures:
        print(f"{len(failures)} failed")
        sys.exit(1)
    print("all passed")


def run_masters(d, ports, server):
    # Modbus/UDP: the same values as over TCP.
    with ModbusUdpClient("127.0.0.1", port=ports["udp"], timeout=2) as client:
        check("udp: read holding", registers(client.read_holding_registers(0, 5, slave=1)), [0, 10, 20, 30, 40])
        client.write_register(60, 4321, slave=1)
        check("udp: write single", registers(client.read_holding_registers(60, 1, slave=1)), [4321])
        check("udp: input registers", registers(client.read_input_registers(0, 3, slave=1)), [1000, 1001, 1002])
    with ModbusTcpClient("127.0.0.1", port=ports["tcp"], timeout=2) as client:
        check("tcp: sees the udp write", registers(client.read_holding_registers(60, 1, slave=1)), [4321])

    # RTU over TCP with pymodbus's RTU framer on a TCP client.
    with ModbusTcpClient("127.0.0.1", port=ports["rtu-over-tcp"], framer=ModbusRtuFramer, timeout=2) as client:
        check("rtu-over-tcp: read holding", registers(client.read_holding_registers(0, 5, slave=1)), [0, 10, 20, 30, 40])
        client.write_registers(61, [7, 8, 9], slave=1)
        check("rtu-over-tcp: write multiple", registers(client.read_holding_registers(61, 3, slave=1)), [7, 8, 9])
        check("rtu-over-tcp: coils", client.read_coils(0, 6, slave=1).bits[:6], [i % 3 == 0 for i in range(6)])
        check("rtu-over-tcp: device 2", registers(client.read_holding_registers(1000, 2, slave=2)), [2000, 2001])
    # A damaged request, then a good one on the same stream: only the good one is answered.
    with socket.create_connection(("127.0.0.1", ports["rtu-over-tcp"]), timeout=2) as s:
        good = rtu(bytes([1, 3, 0, 1, 0, 1]))
        s.sendall(good[:-1] + bytes([good[-1] ^ 0xFF]) + good)
        check("rtu-over-tcp: bad CRC skipped, retry answered", s.recv(64), rtu(bytes([1, 3, 2, 0, 10])))
    # Several masters at once.
    results = []

    def master(n):
        with ModbusTcpClient("127.0.0.1", port=ports["rtu-over-tcp"], framer=ModbusRtuFramer, timeout=2) as c:
            ok = sum(registers(c.read_holding_registers(n, 1, slave=1)) == [n * 10] for _ in range(50))
            results.append(ok)
    threads = [threading.Thread(target=master, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    check("rtu-over-tcp: 8 masters at once", results, [50] * 8)

    # A plain Modbus/TCP endpoint at 127.0.0.2 serving device 2 as unit 1.
    with ModbusTcpClient("127.0.0.2", port=ports["endpoint 1"], timeout=2) as client:
        rr = client.read_holding_registers(1000, 2, slave=1)
        check("endpoint 127.0.0.2: unit 1 is device 2", registers(rr), [2000, 2001])

    # Modbus/TCP Security.
    tls = ports["tls"]
    read = bytes([3, 0, 0, 0, 2])
    write = bytes([6, 0, 62, 0x12, 0x34])
    operator = tls_connect(d, tls, "operator")
    check("tls operator: read", mbap_call(operator, 1, read), bytes.fromhex("0001 0000 0007 01 03 04 0000 000a"))
    check("tls operator: write refused (exception 01)", mbap_call(operator, 2, write), bytes.fromhex("0002 0000 0003 01 86 01"))
    # The TLS server maps unit 1 to device 1 alone: unit 255 reaches device 1, unit 2 no device
    # (device 2 is served elsewhere), so the answer to the request after it comes first.
    check("tls: unit 255 reaches the mapped device", mbap_call(operator, 10, read, unit=255),
          bytes.fromhex("000a 0000 0007 ff 03 04 0000 000a"))
    operator.sendall(struct.pack(">HHHB", 11, 0, len(read) + 1, 2) + read)
    check("tls: unit 2 reaches no device", mbap_call(operator, 12, read), bytes.fromhex("000c 0000 0007 01 03 04 0000 000a"))
    status = read_status(server)
    check("tls: the operator's role shown", status["tls"][4], ["Operator"])
    for client in ("engineer", "plain"):
        with tls_connect(d, tls, client) as s:
            check(f"tls {client}: write", mbap_call(s, 3, write), bytes.fromhex("0003 0000 0006 01") + write)
    failures_before = read_status(server)["tls"][3]
    for client in (None, "rogue"):
        try:
            with tls_connect(d, tls, client) as s:
                # TLS 1.3 reports a refused client certificate at the first read.
                got = mbap_call(s, 4, read)
        except (ssl.SSLError, ConnectionError, OSError):
            got = "refused"
        check(f"tls without a valid client certificate ({client}): refused", got, "refused")
    # Protocol versions: 1.2 and 1.3 accepted, 1.1 refused by the server.
    for version, accepted in (("-tls1_2", True), ("-tls1_3", True), ("-tls1_1", False)):
        r = subprocess.run(["openssl", "s_client", "-connect", f"127.0.0.1:{tls}", version,
                            "-cipher", "DEFAULT@SECLEVEL=0", "-CAfile", os.path.join(d, "ca.pem"),
                            "-cert", os.path.join(d, "engineer.pem"), "-key", os.path.join(d, "engineer.key")],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
        negotiated = "Protocol  : TLSv1" in r.stdout or "New, TLSv1" in r.stdout
        check(f"tls: openssl s_client {version} {'accepted' if accepted else 'refused'}",
              r.returncode == 0 and negotiated, accepted)
    status = read_status(server)
    check("tls: failed handshakes counted", status["tls"][3] - failures_before, 3)
    check("tls: still serving the operator", mbap_call(operator, 5, read), bytes.fromhex("0005 0000 0007 01 03 04 0000 000a"))
    operator.close()
    check("rtu-over-tcp: the damaged request counted", status["rtu-over-tcp"][1], 1)


if __name__ == "__main__":
    main()
