#!/usr/bin/python3
"""Idle masters on two stream servers under a common open-file limit, on loopback only.

Starts kelvaro64-headless under `prlimit --nofile=N:N` (default 1 024) with the Modbus/TCP server,
an RTU over TCP server and the automation port, then:

  1. holds IDLE silent connections on each server (default 700 + 700: more than the descriptors);
  2. while they are held, NEW masters connect one after another on each server and read one
     register (an MBAP request on the one, an RTU frame on the other): how many are answered, and
     the time from connecting to the answer;
  3. fresh automation clients call ReadPoint: how many are answered within 1 s, and how fast;
  4. how many of the idle connections the server closed to make room, and the descriptors it
     holds.

Everything is bounded in count and time; the server is ended by its PID.

    /usr/bin/python3 bench/descriptor-budget-probe.py build-test/app/kelvaro64-headless [--idle 700] [--new 25]
"""
import argparse
import json
import os
import resource
import select
import signal
import socket
import struct
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DOCUMENT = os.path.join(HERE, "..", "examples", "demo-holding-registers.kvd")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


def mbap_request(tid):
    return struct.pack(">HHHBBHH", tid, 0, 6, 1, 3, 0, 1)


RTU_REQUEST = bytes([1, 3, 0, 0, 0, 1]) + crc16(bytes([1, 3, 0, 0, 0, 1]))


def ask(port, request, answer_size, check, timeout):
    """Connect, send, read the answer. Seconds from connecting to the answer, or None."""
    start = time.perf_counter()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.sendall(request)
            answer = b""
            while len(answer) < answer_size:
                chunk = s.recv(256)
                if not chunk:
                    return None
                answer += chunk
            if not check(answer):
                return None
    except OSError:
        return None
    return time.perf_counter() - start


def automation_call(port, timeout):
    start = time.perf_counter()
    line = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "ReadPoint", "params": [1, 40001]}) + "\n"
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(line.encode())
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    return None
                reply += chunk
            if "result" not in json.loads(reply):
                return None
    except (OSError, ValueError):
        return None
    return time.perf_counter() - start


def closed_by_server(sockets):
    closed = 0
    for s in sockets:
        if s is None:
            closed += 1
            continue
        poller = select.poll()
        poller.register(s, select.POLLIN)
        if poller.poll(0):
            try:
                if s.recv(1, socket.MSG_PEEK) == b"":
                    closed += 1
            except OSError:
                closed += 1
    return closed


def connect_idle(port, count):
    sockets = []
    for _ in range(count):
        try:
            sockets.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        except OSError:
            sockets.append(None)
    return sockets


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("headless")
    parser.add_argument("--nofile", type=int, default=1024)
    parser.add_argument("--idle", type=int, default=700, help="idle connections on each server")
    parser.add_argument("--new", type=int, default=25, help="new masters on each server")
    parser.add_argument("--automation", type=int, default=3, help="automation calls")
    parser.add_argument("--settle", type=float, default=2.0, help="seconds for the server to take the idle ones")
    args = parser.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # this process holds every idle socket
    tcp, rtu, auto = free_port(), free_port(), free_port()
    home = tempfile.mkdtemp(prefix="budget-probe-")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=home, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=home)
    command = ["prlimit", "--nofile=%d:%d" % (args.nofile, args.nofile), "--", args.headless, "--tcp-port", str(tcp),
               "--rtu-over-tcp-port", str(rtu), "--automation-port", str(auto), DOCUMENT]
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    idle = []
    try:
        deadline = time.monotonic() + 20
        seen = ""
        while "automation:" not in seen and time.monotonic() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            seen += line
        if "automation:" not in seen:
            raise SystemExit("headless did not start: %r" % seen)

        tcp_idle = connect_idle(tcp, args.idle)
        rtu_idle = connect_idle(rtu, args.idle)
        idle = tcp_idle + rtu_idle
        time.sleep(args.settle)

        results = {}
        for name, port, request, size, check in (
                ("Modbus/TCP", tcp, mbap_request(7), 11, lambda a: a[:2] == b"\x00\x07" and a[7] == 3),
                ("RTU over TCP", rtu, RTU_REQUEST, 7, lambda a: a[:2] == b"\x01\x03" and crc16(a[:5]) == a[5:7])):
            start = time.monotonic()
            latencies = [ask(port, request, size, check, 5.0) for _ in range(args.new)]
            answered = [t for t in latencies if t is not None]
            results[name] = (answered, time.monotonic() - start)
        calls = [automation_call(auto, 1.0) for _ in range(args.automation)]
        fds = len(os.listdir("/proc/%d/fd" % proc.pid)) if os.path.isdir("/proc/%d/fd" % proc.pid) else -1
        held_closed = (closed_by_server(tcp_idle), closed_by_server(rtu_idle))

        print("limit %d open files; idle connections held: %d on Modbus/TCP, %d on RTU over TCP"
              % (args.nofile, args.idle, args.idle))
        for name, (answered, elapsed) in results.items():
            print("%s: new masters answered %d/%d in %.2f s; connect-to-answer p50 %.2f ms, max %.2f ms"
                  % (name, len(answered), args.new, elapsed, 1000 * percentile(answered, 50),
                     1000 * max(answered or [float("nan")])))
        ok = [t for t in calls if t is not None]
        print("automation: answered %d/%d within 1 s; max %.2f ms"
              % (len(ok), args.automation, 1000 * max(ok or [float("nan")])))
        print("idle connections closed by the server: %d of Modbus/TCP, %d of RTU over TCP; server descriptors open %d"
              % (held_closed[0], held_closed[1], fds))
    finally:
        for s in idle:
            if s:
                s.close()
        if proc.poll() is None:
            os.kill(proc.pid, signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait()


if __name__ == "__main__":
    main()
