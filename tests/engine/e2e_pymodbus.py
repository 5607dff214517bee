#!/usr/bin/python3
"""pymodbus masters against the engine's test server: Modbus/TCP on loopback, RTU and ASCII over
socat pseudo-terminal pairs. Usage: e2e_pymodbus.py PATH/TO/pomrel_testserver

Run with Debian's /usr/bin/python3 (python3-pymodbus 3.0): integer timeouts, slave= always given.
"""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

from pymodbus.client import ModbusSerialClient, ModbusTcpClient
from pymodbus.other_message import ReportSlaveIdRequest
from pymodbus.register_read_message import ReadWriteMultipleRegistersRequest
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer
from pymodbus.utilities import computeCRC, computeLRC

failures = []


def check(name, got, want):
    if got == want:
        print(f"ok   {name}")
    else:
        print(f"FAIL {name}: got {got!r}, want {want!r}")
        failures.append(name)


def registers(rr):
    return rr.registers if not rr.isError() else rr


def bits(rr, n):
    return rr.bits[:n] if not rr.isError() else rr


def exercise(label, client, base):
    """The same master session on every transport; writes go to addresses from `base`."""
    check(f"{label}: read holding", registers(client.read_holding_registers(0, 5, slave=1)), [0, 10, 20, 30, 40])
    client.write_register(base, 1234, slave=1)
    check(f"{label}: write single", registers(client.read_holding_registers(base, 1, slave=1)), [1234])
    client.write_registers(base + 1, [7, 8, 9], slave=1)
    check(f"{label}: write multiple", registers(client.read_holding_registers(base, 4, slave=1)), [1234, 7, 8, 9])
    check(f"{label}: coils", bits(client.read_coils(0, 10, slave=1), 10), [i % 3 == 0 for i in range(10)])
    client.write_coil(base, True, slave=1)
    client.write_coils(base + 1, [True, False, True], slave=1)
    check(f"{label}: write coils", bits(client.read_coils(base, 4, slave=1), 4), [True, True, False, True])
    check(f"{label}: inputs", bits(client.read_discrete_inputs(0, 8, slave=1), 8), [i % 2 == 0 for i in range(8)])
    check(f"{label}: input registers", registers(client.read_input_registers(0, 3, slave=1)), [1000, 1001, 1002])
    client.write_register(base + 5, 0x12, slave=1)
    client.mask_write_register(address=base + 5, and_mask=0xF2, or_mask=0x25, slave=1)
    check(f"{label}: mask write", registers(client.read_holding_registers(base + 5, 1, slave=1)), [0x17])
    request = ReadWriteMultipleRegistersRequest(
        read_address=base + 6, read_count=2, write_address=base + 6, write_registers=[0x4242])
    request.unit_id = 1  # requests built by hand take the unit here in pymodbus 3.0
    rr = client.execute(request)
    check(f"{label}: read/write", registers(rr), [0x4242, (base + 7) * 10])
    rr = client.read_holding_registers(200, 1, slave=1)
    check(f"{label}: illegal address", getattr(rr, "exception_code", None), 2)
    rr = client.read_holding_registers(0, 126, slave=1)
    check(f"{label}: illegal quantity", getattr(rr, "exception_code", None), 3)
    check(f"{label}: device 2", registers(client.read_holding_registers(1000, 2, slave=2)), [2000, 2001])
    request = ReportSlaveIdRequest()
    request.unit_id = 1
    rr = client.execute(request)
    check(f"{label}: report slave id", getattr(rr, "identifier", b"")[:1], b"\x01")


def enron(label, port_path, ascii_mode):
    """pymodbus's masters size a read answer from the request (2 bytes per register), so they cannot
    take ENRON's 4 bytes per register: the frames go through pyserial, checked with pymodbus's
    CRC and LRC."""
    import serial

    def transact(pdu, answer_pdu_size):
        frame = bytes([1]) + pdu
        if ascii_mode:
            raw = b":" + (frame + bytes([computeLRC(frame)])).hex().upper().encode() + b"\r\n"
            want = 1 + 2 * (1 + answer_pdu_size + 1) + 2
        else:
            raw = frame + computeCRC(frame).to_bytes(2, "big")
            want = 1 + answer_pdu_size + 2
        with serial.Serial(port_path, 9600, timeout=1) as line:
            line.write(raw)
            got = line.read(want)
        if ascii_mode:
            if len(got) != want or got[:1] != b":" or got[-2:] != b"\r\n":
                return None
            body = bytes.fromhex(got[1:-2].decode())
            return body[1:-1] if computeLRC(body[:-1]) == body[-1] else None
        if len(got) != want or computeCRC(got[:-2]) != int.from_bytes(got[-2:], "big"):
            return None
        return got[1:-2]

    # Point i holds 100000 * (i + 1) + i and the float 1.5 * (i + 1); high word first on the wire.
    answer = transact(struct.pack(">BHH", 3, 5000, 2), 2 + 8)
    check(f"{label}: ENRON longs", answer and struct.unpack(">BBii", answer), (3, 8, 100000, 200001))
    answer = transact(struct.pack(">BHH", 3, 7000, 1), 2 + 4)
    check(f"{label}: ENRON float", answer and struct.unpack(">BBf", answer), (3, 4, 1.5))
    answer = transact(struct.pack(">BHi", 6, 5002, -7), 7)
    check(f"{label}: ENRON write", answer and struct.unpack(">BHi", answer), (6, 5002, -7))
    answer = transact(struct.pack(">BHH", 3, 5002, 1), 2 + 4)
    check(f"{label}: ENRON read back", answer and struct.unpack(">BBi", answer), (3, 4, -7))


def wait_for(path, seconds=5):
    deadline = time.time() + seconds
    while not os.path.exists(path) and time.time() < deadline:
        time.sleep(0.05)
    return os.path.exists(path)


def main():
    server_path = sys.argv[1]
    procs = []
    with tempfile.TemporaryDirectory() as tmp:
        try:
            for pair in ("rtu", "ascii"):
                procs.append(subprocess.Popen(
                    ["socat", "-d", "-d", f"pty,raw,echo=0,link={tmp}/{pair}-master",
                     f"pty,raw,echo=0,link={tmp}/{pair}-slave"],
                    stderr=subprocess.DEVNULL))
            for pair in ("rtu", "ascii"):
                for end in ("master", "slave"):
                    if not wait_for(f"{tmp}/{pair}-{end}"):
                        print(f"FAIL socat link {pair}-{end} missing")
                        return 1
            server = subprocess.Popen(
                [server_path, "--tcp-port", "0", "--rtu", f"{tmp}/rtu-slave", "--ascii", f"{tmp}/ascii-slave",
                 "--enron"], stdout=subprocess.PIPE, text=True)
            procs.append(server)
            port = None
            for line in server.stdout:
                if line.startswith("tcp "):
                    port = int(line.split()[1])
                if line.strip() == "ready":
                    break
            if port is None:
                print("FAIL test server did not start")
                return 1

            with ModbusTcpClient("127.0.0.1", port=port, timeout=2) as client:
                exercise("tcp", client, 40)
                check("tcp: unit 0 reaches device 2",
                      registers(client.read_holding_registers(1000, 1, slave=0)), [2000])
            serial = dict(baudrate=9600, bytesize=8, parity="N", stopbits=1, timeout=1)
            with ModbusSerialClient(f"{tmp}/rtu-master", framer=ModbusRtuFramer, **serial) as client:
                exercise("rtu", client, 60)
                rr = client.read_holding_registers(0, 1, slave=9)
                check("rtu: unknown device is silent", rr.isError() and not hasattr(rr, "exception_code"), True)
            with ModbusSerialClient(f"{tmp}/ascii-master", framer=ModbusAsciiFramer, **serial) as client:
                exercise("ascii", client, 80)
            enron("rtu", f"{tmp}/rtu-master", False)
            enron("ascii", f"{tmp}/ascii-master", True)
        finally:
            for p in reversed(procs):
                if p.poll() is None:
                    p.send_signal(signal.SIGTERM)
            for p in reversed(procs):
                try:
                    p.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
