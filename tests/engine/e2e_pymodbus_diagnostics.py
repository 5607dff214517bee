#!/usr/bin/python3
"""pymodbus masters identifying and diagnosing the engine's test server: Read Device
Identification (43/14) followed across answers, Read Exception Status, the diag_* calls, the
communication event counter and log, listen-only mode and Read FIFO Queue, over Modbus/TCP and
over RTU on a socat pseudo-terminal pair. Usage: e2e_pymodbus_diagnostics.py PATH/TO/pomrel_testserver

Run with Debian's /usr/bin/python3 (python3-pymodbus 3.0): slave= always given; requests built by
hand take the unit in unit_id. pymodbus 3.0's client has no methods for 11, 12, 24 and 43, so
those go through execute(). Its diag_* calls without data of their own pass slave= on as the data
field and leave the unit at 0: over TCP, where unit 0 reaches any device, they are called with
slave=0 (the data 0000 they need); on a serial line unit 0 is a broadcast, so there the same
requests are built by hand for unit 1.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

from pymodbus import diag_message as diag
from pymodbus.client import ModbusSerialClient, ModbusTcpClient
from pymodbus.file_message import ReadFifoQueueRequest
from pymodbus.mei_message import ReadDeviceInformationRequest
from pymodbus.other_message import GetCommEventCounterRequest, GetCommEventLogRequest
from pymodbus.transaction import ModbusRtuFramer

failures = []

# Event bytes of the log: 80 request received, a0 received while listening only, 40 answered,
# 41 answered with exception 1-3, 04 listen-only entered, 00 restart.
RECEIVED, RECEIVED_LISTENING, SENT, SENT_EXCEPTION, LISTEN_ONLY, RESTART = 0x80, 0xA0, 0x40, 0x41, 0x04, 0x00


def check(name, got, want):
    if got == want:
        print(f"ok   {name}")
    else:
        print(f"FAIL {name}: got {got!r}, want {want!r}")
        failures.append(name)


def execute(client, request, slave=1):
    request.unit_id = slave
    return client.execute(request)


# The diag_* calls that carry no data of their own, and their requests.
DIAG_REQUESTS = {
    "diag_read_bus_message_count": diag.ReturnBusMessageCountRequest,
    "diag_read_bus_exception_error_count": diag.ReturnBusExceptionErrorCountRequest,
    "diag_read_slave_message_count": diag.ReturnSlaveMessageCountRequest,
    "diag_read_slave_no_response_count": diag.ReturnSlaveNoResponseCountRequest,
    "diag_read_slave_nak_count": diag.ReturnSlaveNAKCountRequest,
    "diag_read_slave_busy_count": diag.ReturnSlaveBusyCountRequest,
    "diag_read_bus_char_overrun_count": diag.ReturnSlaveBusCharacterOverrunCountRequest,
    "diag_read_diagnostic_register": diag.ReturnDiagnosticRegisterRequest,
    "diag_read_bus_comm_error_count": diag.ReturnBusCommunicationErrorCountRequest,
    "diag_clear_counters": diag.ClearCountersRequest,
    "diag_force_listen_only": diag.ForceListenOnlyModeRequest,
}


def diag_call(client, name, serial):
    if serial:
        return execute(client, DIAG_REQUESTS[name]())
    return getattr(client, name)(slave=0)


def word(rr):
    """The one data word of a diagnostics answer."""
    return rr.message[0] if not rr.isError() else rr


def silent(rr):
    return rr.isError() and not hasattr(rr, "exception_code")


def identification(client, read_code, slave=1):
    """Reads a whole stream, following "more follows" with the next object id."""
    objects, answers, object_id = {}, 0, 0
    while answers < 10:
        rr = execute(client, ReadDeviceInformationRequest(read_code=read_code, object_id=object_id), slave)
        if rr.isError():
            return rr, answers
        answers += 1
        objects.update(rr.information)
        if rr.more_follows != 0xFF:
            return (rr.conformity, objects), answers
        object_id = rr.next_object_id
    return "no end", answers


def diagnose(label, client, serial):
    def call(name):
        return diag_call(client, name, serial)

    # pymodbus's toggle is the data field: True sends FF00 (clear the log), False 0000 (keep it).
    rr = client.diag_restart_communication(True, slave=1)
    check(f"{label}: restart clearing the log", word(rr), 0xFF00)
    rr = client.read_exception_status(slave=1)
    check(f"{label}: exception status", getattr(rr, "status", rr), 0)
    rr = client.diag_query_data(0x1234, slave=1)
    check(f"{label}: query data", word(rr), 0x1234)
    rr = client.read_holding_registers(0, 2, slave=1)
    check(f"{label}: a read", rr.registers if not rr.isError() else rr, [0, 10])
    rr = client.read_holding_registers(200, 1, slave=1)
    check(f"{label}: a read refused", getattr(rr, "exception_code", None), 2)
    # Since the restart: five requests with this one, one exception, six for us before this one.
    check(f"{label}: bus messages", word(call("diag_read_bus_message_count")), 5)
    check(f"{label}: exception errors", word(call("diag_read_bus_exception_error_count")), 1)
    check(f"{label}: server messages", word(call("diag_read_slave_message_count")), 6)
    check(f"{label}: no response", word(call("diag_read_slave_no_response_count")), 0)
    check(f"{label}: NAKs", word(call("diag_read_slave_nak_count")), 0)
    check(f"{label}: busy", word(call("diag_read_slave_busy_count")), 0)
    check(f"{label}: character overruns", word(call("diag_read_bus_char_overrun_count")), 0)
    check(f"{label}: diagnostic register", word(call("diag_read_diagnostic_register")), 0)
    check(f"{label}: communication errors", word(call("diag_read_bus_comm_error_count")), 0)
    # Every answer without an exception since the restart: 3 before the refused read, 9 after.
    rr = execute(client, GetCommEventCounterRequest())
    check(f"{label}: event counter", getattr(rr, "count", rr), 12)
    rr = execute(client, GetCommEventLogRequest())
    check(f"{label}: event log counts", (rr.event_count, rr.message_count) if not rr.isError() else rr, (12, 15))
    want = [SENT, RECEIVED] * 10 + [SENT_EXCEPTION, RECEIVED] + [SENT, RECEIVED] * 3 + [RESTART]
    check(f"{label}: event log, newest first", getattr(rr, "events", rr), want)
    call("diag_clear_counters")
    check(f"{label}: cleared", word(call("diag_read_slave_message_count")), 0)

    # pymodbus 3.0 reads count - 4 values of a FIFO answer (its decoder's bug), so a queue of 10
    # (register 2 holds 10, registers 3..12 hold 20..110) shows its first six.
    rr = execute(client, ReadFifoQueueRequest(address=1))
    check(f"{label}: FIFO queue", getattr(rr, "values", rr), [20, 30, 40, 50, 60, 70])
    rr = execute(client, ReadFifoQueueRequest(address=4))
    check(f"{label}: FIFO count 40 is too many", getattr(rr, "exception_code", None), 3)
    rr = execute(client, ReadFifoQueueRequest(address=500))
    check(f"{label}: FIFO pointer not held", getattr(rr, "exception_code", None), 2)

    long_identity = {0x00: b"Orvane", 0x01: b"PX-7", 0x02: b"2.1", 0x04: b"Pump",
                     0x80: b"a" * 100, 0x81: b"b" * 100, 0x82: b"c" * 100}
    check(f"{label}: extended identification in two answers", identification(client, 3),
          ((0x83, long_identity), 2))
    check(f"{label}: basic identification", identification(client, 1),
          ((0x83, {k: v for k, v in long_identity.items() if k <= 2}), 1))
    rr = execute(client, ReadDeviceInformationRequest(read_code=4, object_id=0x81))
    check(f"{label}: one object", getattr(rr, "information", rr), {0x81: b"b" * 100})
    rr = execute(client, ReadDeviceInformationRequest(read_code=4, object_id=0x10))
    check(f"{label}: an object not there", getattr(rr, "exception_code", None), 2)
    got, _ = identification(client, 2, slave=2)
    if isinstance(got, tuple):
        got = (got[0], got[1].get(0), got[1].get(1), 2 in got[1])
    check(f"{label}: the default identity", got, (0x81, b"Kelvaro", b"Kelvaro64", True))


def listen_only(label, client, serial):
    """No answers while listening only (each such call waits out the client's timeout)."""
    check(f"{label}: force listen-only is not answered", silent(diag_call(client, "diag_force_listen_only", serial)), True)
    check(f"{label}: nor a read", silent(client.read_holding_registers(0, 1, slave=1)), True)
    check(f"{label}: nor a restart", silent(client.diag_restart_communication(False, slave=1)), True)
    rr = client.read_holding_registers(0, 1, slave=1)
    check(f"{label}: answering again", rr.registers if not rr.isError() else rr, [0])
    rr = execute(client, GetCommEventLogRequest())
    check(f"{label}: the log kept across the restart", getattr(rr, "events", rr)[:7],
          [SENT, RECEIVED, RESTART, RECEIVED_LISTENING, RECEIVED_LISTENING, LISTEN_ONLY, RECEIVED])


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
            procs.append(subprocess.Popen(
                ["socat", "-d", "-d", f"pty,raw,echo=0,link={tmp}/rtu-master", f"pty,raw,echo=0,link={tmp}/rtu-slave"],
                stderr=subprocess.DEVNULL))
            for end in ("master", "slave"):
                if not wait_for(f"{tmp}/rtu-{end}"):
                    print(f"FAIL socat link rtu-{end} missing")
                    return 1
            server = subprocess.Popen([server_path, "--tcp-port", "0", "--rtu", f"{tmp}/rtu-slave"],
                                      stdout=subprocess.PIPE, text=True)
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

            with ModbusTcpClient("127.0.0.1", port=port, timeout=1, retries=0) as client:
                diagnose("tcp", client, False)
                listen_only("tcp", client, False)
            serial = dict(baudrate=9600, bytesize=8, parity="N", stopbits=1, timeout=1, retries=0)
            with ModbusSerialClient(f"{tmp}/rtu-master", framer=ModbusRtuFramer, **serial) as client:
                diagnose("rtu", client, True)
                listen_only("rtu", client, True)
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
