#!/usr/bin/python3
"""Hostile neighbours and hostile load against kelvaro64-headless, on loopback only.

Starts the headless program (a document served on Modbus/TCP, automation on), then:

  1. other users: a process of uid 65534 (setpriv, needs root) calls WritePoint over the
     automation port from several 127.x source addresses and from ::1; every call must be refused
     and nothing stored, while the owner is served from the same addresses;
  2. 64 idle automation clients held open, then fresh clients call ReadPoint one after another:
     how many are answered and how fast; and one client that sends requests and never reads its
     replies: the server's CPU time meanwhile;
  3. 2 100 idle and 500 slow-loris Modbus/TCP connections held by an attacker process (one that
     reopens whatever the server closes), while new masters connect one at a time and read one
     register: how many are answered, and the latency (connect to answer) percentiles; the
     server's CPU time meanwhile;
  4. the same with the common limit of 1 024 open files (prlimit), where the connections exceed
     the descriptors the server may open.

Everything is bounded in count and time; every process started is ended by its PID.

    /usr/bin/python3 bench/hostile-load.py build-cc [--masters 200] [--hold 2100] [--loris 500]
"""
import argparse
import json
import multiprocessing
import os
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DOCUMENT = os.path.join(HERE, "..", "examples", "demo-holding-registers.kvd")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def raise_own_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


class Server:
    def __init__(self, headless, nofile=None, extra=()):
        self.tcp = free_port()
        self.auto = free_port()
        self.home = tempfile.mkdtemp(prefix="hostile-")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=self.home, XDG_CONFIG_HOME=self.home,
                   XDG_RUNTIME_DIR=self.home)
        command = [headless, "--tcp-port", str(self.tcp), "--automation-port", str(self.auto)] + list(extra) + [DOCUMENT]
        if nofile:
            command = ["prlimit", "--nofile=%d:%d" % (nofile, nofile), "--"] + command
        self.proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        deadline = time.monotonic() + 20
        seen = ""
        while "automation:" not in seen and time.monotonic() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            seen += line
        if "automation:" not in seen:
            self.stop()
            raise SystemExit("headless did not start: %r" % seen)

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


# ---- Modbus/TCP -----------------------------------------------------------------------------------

def read_request(tid):
    return struct.pack(">HHHBBHH", tid, 0, 6, 1, 3, 0, 1)


def one_master(port, tid, timeout=5.0):
    """Connect, read one register, close. Latency in seconds, or None when not answered."""
    start = time.perf_counter()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.sendall(read_request(tid))
            answer = b""
            while len(answer) < 9:
                chunk = s.recv(256)
                if not chunk:
                    return None
                answer += chunk
            if struct.unpack(">H", answer[:2])[0] != tid:
                return None
    except OSError:
        return None
    return time.perf_counter() - start


def attacker(port, idle, loris, ready, stop):
    """Holds `idle` silent and `loris` slow connections until told to stop; reopens closed ones."""
    raise_own_limit()
    header = read_request(0)[:7] + b"\x03"   # a header announcing more than ever comes

    def connect():
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.setblocking(False)
            return s
        except OSError:
            return None

    pool_idle = [connect() for _ in range(idle)]
    pool_loris = [connect() for _ in range(loris)]
    progress = [0] * loris
    ready.set()
    while not stop.is_set():
        for i, s in enumerate(pool_idle):
            try:
                if s is None or s.recv(1, socket.MSG_PEEK) == b"":
                    raise OSError
            except BlockingIOError:
                continue
            except OSError:
                if s:
                    s.close()
                pool_idle[i] = connect()
        for i, s in enumerate(pool_loris):
            try:
                if s is None:
                    raise OSError
                s.send(header[progress[i] % len(header):progress[i] % len(header) + 1])
                progress[i] += 1
            except BlockingIOError:
                pass
            except OSError:
                if s:
                    s.close()
                pool_loris[i] = connect()
                progress[i] = 0
        stop.wait(0.5)
    for s in pool_idle + pool_loris:
        if s:
            s.close()


def masters_under_attack(server, masters, idle, loris, label):
    stop = multiprocessing.Event()
    ready = multiprocessing.Event()
    attack = multiprocessing.Process(target=attacker, args=(server.tcp, idle, loris, ready, stop))
    attack.start()
    try:
        ready.wait(120)
        time.sleep(1.0)
        cpu0, wall0 = cpu_seconds(server.proc.pid), time.monotonic()
        latencies = []
        for i in range(masters):
            latency = one_master(server.tcp, (i + 1) & 0xFFFF)
            if latency is not None:
                latencies.append(latency)
            time.sleep(0.02)
        cpu = (cpu_seconds(server.proc.pid) - cpu0) / (time.monotonic() - wall0)
        auto = automation_calls(server.auto, 50)
    finally:
        stop.set()
        attack.join(60)
        if attack.is_alive():
            attack.kill()
    print("%s: new masters answered %d/%d while %d idle and %d slow-loris connections were held; "
          "latency p50 %.2f ms, p99 %.2f ms, max %.2f ms; server CPU %.0f %%; automation calls answered %d/50"
          % (label, len(latencies), masters, idle, loris, 1000 * percentile(latencies, 50),
             1000 * percentile(latencies, 99), 1000 * max(latencies or [float("nan")]), 100 * cpu, auto[0]))


# ---- Automation ------------------------------------------------------------------------------------

def rpc_line(method, params, ident=1):
    return (json.dumps({"jsonrpc": "2.0", "id": ident, "method": method, "params": params}) + "\n").encode()


def call(port, method, params, source=None, family=socket.AF_INET, host="127.0.0.1", timeout=10):
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        if source:
            s.bind((source, 0))
        s.connect((host, port))
        s.sendall(rpc_line(method, params))
        buffer = b""
        while b"\n" not in buffer:
            chunk = s.recv(4096)
            if not chunk:
                break
            buffer += chunk
    return json.loads(buffer.split(b"\n")[0]) if buffer else None


def automation_calls(port, count):
    answered, latencies = 0, []
    for _ in range(count):
        start = time.perf_counter()
        try:
            reply = call(port, "ReadPoint", [1, 40001], timeout=5)
        except OSError:
            reply = None
        if reply and "result" in reply:
            answered += 1
            latencies.append(time.perf_counter() - start)
    return answered, latencies


def other_users(server):
    if os.geteuid() != 0:
        print("other users: skipped (needs root for setpriv)")
        return
    script = ("import json, socket, sys\n"
              "fam = socket.AF_INET6 if ':' in sys.argv[1] else socket.AF_INET\n"
              "s = socket.socket(fam); s.settimeout(10); s.bind((sys.argv[1], 0)); s.connect((sys.argv[2], int(sys.argv[3])))\n"
              "s.sendall(sys.argv[4].encode())\n"
              "print(s.makefile().readline().strip())\n")
    rows = [("127.0.0.2", "127.0.0.1"), ("127.1.2.3", "127.0.0.1"), ("127.0.0.1", "127.0.0.1"), ("::1", "::1")]
    refused = stored = 0
    for n, (source, target) in enumerate(rows):
        line = rpc_line("WritePoint", [1, 40001, 4000 + n]).decode()
        out = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
                              script, source, target, str(server.auto), line],
                             capture_output=True, text=True, timeout=30).stdout
        reply = json.loads(out) if out.strip() else {}
        refused += reply.get("error", {}).get("code") == -32001
        value = call(server.auto, "ReadPoint", [1, 40001])["result"]["value"]
        stored += value == 4000 + n
    owner = sum(1 for source, target in rows
                if "result" in (call(server.auto, "ReadPoint", [1, 40001], source=source, host=target,
                                     family=socket.AF_INET6 if ":" in target else socket.AF_INET) or {}))
    print("other users: %d/%d refused, %d stored; the owner served from the same addresses %d/%d"
          % (refused, len(rows), stored, owner, len(rows)))


def idle_automation_clients(server):
    held = [socket.create_connection(("127.0.0.1", server.auto)) for _ in range(64)]
    time.sleep(2.5)   # longer than the idle time after which one of them makes room
    answered, latencies = automation_calls(server.auto, 50)
    print("automation: calls answered %d/50 while 64 idle clients were connected; p50 %.2f ms, p99 %.2f ms"
          % (answered, 1000 * percentile(latencies, 50), 1000 * percentile(latencies, 99)))
    for s in held:
        s.close()


def client_that_never_reads(server):
    s = socket.create_connection(("127.0.0.1", server.auto))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.setblocking(False)
    batch = rpc_line("ReadPoint", [1, 40001]) * 2000
    cpu0, wall0 = cpu_seconds(server.proc.pid), time.monotonic()
    closed_after = None
    sent = 0
    while time.monotonic() - wall0 < 15:
        try:
            sent += s.send(batch)
        except BlockingIOError:
            time.sleep(0.05)
        except OSError:
            closed_after = time.monotonic() - wall0
            break
    cpu = (cpu_seconds(server.proc.pid) - cpu0) / (time.monotonic() - wall0)
    answered, latencies = automation_calls(server.auto, 20)
    s.close()
    print("automation: a client that never reads sent %.1f MB; closed after %s; server CPU meanwhile %.0f %%; "
          "others' calls answered %d/20, p99 %.2f ms"
          % (sent / 1e6, "%.1f s" % closed_after if closed_after else "no close within 15 s", 100 * cpu, answered,
             1000 * percentile(latencies, 99)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--masters", type=int, default=200)
    parser.add_argument("--hold", type=int, default=2100)
    parser.add_argument("--loris", type=int, default=500)
    args = parser.parse_args()
    headless = os.path.join(args.build, "app", "kelvaro64-headless")
    raise_own_limit()

    server = Server(headless)
    try:
        other_users(server)
        idle_automation_clients(server)
        client_that_never_reads(server)
        masters_under_attack(server, args.masters, args.hold, args.loris, "Modbus/TCP (open files: the hard limit)")
    finally:
        server.stop()

    server = Server(headless, nofile=1024)
    try:
        masters_under_attack(server, args.masters, args.hold, args.loris, "Modbus/TCP (open files: 1024)")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
