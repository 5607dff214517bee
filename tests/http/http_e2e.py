#!/usr/bin/env python3
"""End to end: the HTTP doors of kelvaro64-headless, called with curl as a user would.

/rpc single and batch, /points read and written with every value name (the words checked
through the automation methods against Python's own packing), /health, /metrics through
`promtool check metrics` on both doors, the error answers (400, 403, 404, 405, 413, 415), another
local user refused (setpriv to nobody) on the loopback door and served on the metrics door, a
client that stops half-way through a request never holding the door, and SIGTERM ending the
program with status 0 while a kept-alive connection is open.

The desktop program, when given, serves the same door from KELVARO64_HTTP_PORT.

usage: http_e2e.py KELVARO64_HEADLESS [KELVARO64]   (run with /usr/bin/python3)
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
import threading
import time

HEADLESS = sys.argv[1]
DESKTOP = sys.argv[2] if len(sys.argv) > 2 else None
PATIENCE = 60
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
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


def curl(url, method="GET", body=None, headers=(), user=()):
    """(status, body text, headers text) of one call with curl."""
    args = [*user, "curl", "-s", "-S", "-D", "-", "-X", method, "--max-time", str(PATIENCE)]
    for h in headers:
        args += ["-H", h]
    if body is not None:
        if isinstance(body, str) and body.startswith("@"):
            args += ["--data-binary", body]
        else:
            args += ["--data-binary", body if isinstance(body, str) else json.dumps(body)]
        if not any(h.lower().startswith("content-type") for h in headers):
            args += ["-H", "Content-Type: application/json"]
    out = subprocess.run(args + [url], capture_output=True, timeout=PATIENCE * 2)
    text = out.stdout.decode("utf-8", "replace")   # kept as bytes first: the header lines end in CR LF
    # The last header block is the answer (a 100 Continue may come first).
    head, _, rest = text.rpartition("\r\n\r\n")
    head = head.split("\r\n\r\n")[-1]
    status_line = head.split("\r\n", 1)[0] if head else ""
    status = int(status_line.split()[1]) if len(status_line.split()) > 1 else 0
    return status, rest, head


def as_json(text):
    try:
        return json.loads(text)
    except ValueError:
        return None


class Program:
    def __init__(self, folder):
        self.tcp, self.automation, self.http, self.udp = free_ports(4)
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"), QT_QPA_PLATFORM="offscreen")
        env.pop("KELVARO64_HTTP_PORT", None)
        self.proc = subprocess.Popen(
            [HEADLESS, "--tcp-port", str(self.tcp), "--automation-port", str(self.automation), "--http-port",
             str(self.http), "--udp-port", str(self.udp), "--metrics-address", "127.0.0.1:0"],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.output = []
        deadline = time.monotonic() + PATIENCE
        self.metrics = None
        while time.monotonic() < deadline and not self.metrics:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("headless ended: " + "".join(self.output))
            self.output.append(line)
            if line.startswith("metrics: "):
                self.metrics = line.split()[1]
        if not self.metrics:
            raise RuntimeError("headless did not start: " + "".join(self.output))
        self.base = "http://127.0.0.1:%d" % self.http

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


def rpc(p, method, *params, id=1):
    status, body, _ = curl(p.base + "/rpc", "POST", {"jsonrpc": "2.0", "id": id, "method": method, "params": list(params)})
    return as_json(body) if status == 200 else {"http": status, "body": body}


VALUES = [  # name, words, struct format, a value to write
    ("bit", 1, None, 1),
    ("int16", 1, "h", -1234),
    ("uint16", 1, "H", 54321),
    ("int32", 2, "i", -123456789),
    ("uint32", 2, "I", 4000000000),
    ("int64", 4, "q", -1234567890123456789),
    ("uint64", 4, "Q", 18446744073709551000),
    ("float32", 2, "f", 2.5),
    ("float64", 4, "d", -1234.5678),
]


def words_of(fmt, words, value, swapped):
    """The register words as the Python client lays them out: low-order word first unless swapped."""
    if fmt is None:
        return [value]
    parts = list(struct.unpack(">%dH" % words, struct.pack(">" + fmt, value)))
    return parts if swapped else parts[::-1]


def test_rpc(p):
    reply = rpc(p, "CreateDocument")
    check(reply == {"jsonrpc": "2.0", "id": 1, "result": {"status": 0}}, "/rpc single request: %s" % reply)
    batch = [{"jsonrpc": "2.0", "id": "a", "method": "WritePoint", "params": [1, 40003, 777]},
             {"jsonrpc": "2.0", "method": "WritePoint", "params": [1, 40004, 888]},   # a notification
             {"jsonrpc": "2.0", "id": 7, "method": "ReadPoint", "params": [1, 40003]},
             {"jsonrpc": "2.0", "id": 8, "method": "NoSuchMethod"}]
    status, body, _ = curl(p.base + "/rpc", "POST", batch)
    replies = as_json(body)
    check(status == 200 and isinstance(replies, list) and len(replies) == 3, "/rpc batch: one reply per request with an id")
    if isinstance(replies, list) and len(replies) == 3:
        check(replies[0] == {"jsonrpc": "2.0", "id": "a", "result": {"status": 0}}, "batch reply 1 %s" % replies[0])
        check(replies[1]["id"] == 7 and replies[1]["result"] == {"status": 0, "value": 777}, "batch reply 2 %s" % replies[1])
        check(replies[2]["id"] == 8 and replies[2]["error"]["code"] == -32601, "batch reply 3 %s" % replies[2])
    check(rpc(p, "ReadPoint", 1, 40004)["result"]["value"] == 888, "a notification in a batch is carried out")
    status, body, _ = curl(p.base + "/rpc", "POST", [{"jsonrpc": "2.0", "method": "WritePoint", "params": [1, 40004, 1]}])
    check(status == 204 and body == "", "a batch of notifications only: 204, no body")
    status, body, _ = curl(p.base + "/rpc", "POST", "[]")
    check(status == 200 and as_json(body)["error"]["code"] == -32600, "an empty batch: Invalid Request")
    status, body, _ = curl(p.base + "/rpc", "POST", "{nope")
    check(status == 200 and as_json(body)["error"]["code"] == -32700, "not JSON: Parse error")
    status, body, _ = curl(p.base + "/rpc", "POST",
                           '[{"jsonrpc":"2.0","id":1,"method":"WritePoint","params":[1,40004,5],"params":[1,40004,6]}]')
    reply = as_json(body)
    check(status == 200 and reply[0]["error"]["code"] in (-32600, -32602) and rpc(p, "ReadPoint", 1, 40004)["result"]["value"] == 1,
          "a key given twice in a batch element is refused and nothing written: %s" % body)


def test_points(p):
    for swapped in (False, True):
        query = "&swapped=1" if swapped else ""
        for name, words, fmt, value in VALUES:
            url = "%s/points/1/40005?value=%s%s" % (p.base, name, query)
            status, body, _ = curl(url, "PUT", {"value": value})
            check(status == 200 and as_json(body) == {"value": value}, "PUT %s%s: %d %s" % (name, query, status, body))
            status, body, _ = curl(url)
            check(status == 200 and as_json(body) == {"value": value}, "GET %s%s: %d %s" % (name, query, status, body))
            seen = [rpc(p, "ReadPoint", 1, 40005 + i)["result"]["value"] for i in range(words)]
            check(seen == words_of(fmt, words, value, swapped), "%s%s lies in the registers as %s" % (name, query, seen))
    status, body, _ = curl(p.base + "/points/1/40001")
    check(status == 200 and "value" in as_json(body), "GET without a value name reads uint16")
    status, body, _ = curl(p.base + "/points/1/400001?value=uint16")
    check(status == 200, "six-digit references reach the same registers")
    check(curl(p.base + "/points/9/40001")[0] == 404, "a point no document serves: 404")
    for url in ("/points/1/20001", "/points/1/40001?value=float16", "/points/300/40001", "/points/1/40001?swapped=maybe"):
        status, body, _ = curl(p.base + url)
        check(status == 400 and as_json(body)["error"] == "bad_request", "%s: 400 %s" % (url, body))
    status, body, _ = curl(p.base + "/points/1/40001", "PUT", {"value": 70000})
    check(status == 400 and "uint16" in as_json(body)["message"], "a value out of range: 400 saying why")


def test_health_and_metrics(p):
    status, body, head = curl(p.base + "/health")
    health = as_json(body)
    listed = rpc(p, "ListServers")["result"]["value"]
    check(status == 200 and health["status"] == "ok" and health["documents"] == 1, "/health: %s" % body)
    check(health["servers"] == listed and any(s.get("protocol") == "udp" for s in listed),
          "/health lists the servers as ListServers does")
    for door in (p.base, "http://" + p.metrics):
        status, body, head = curl(door + "/metrics")
        check(status == 200 and "text/plain; version=0.0.4" in head, "%s/metrics: 200, text format 0.0.4" % door)
        lint = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True, text=True, timeout=PATIENCE)
        check(lint.returncode == 0, "promtool check metrics passes: %s%s" % (lint.stdout, lint.stderr))
        check("\nkelvaro64_documents 1\n" in body and 'kelvaro64_invalid_frames_total{link="udp"} 0' in body,
              "the metrics count the document and the links")
        for family in ("requests_total", "exceptions_total", "invalid_frames_total", "connections", "fault_fired_total",
                       "frame_records_dropped_total", "documents"):
            check("# TYPE kelvaro64_%s " % family in body, "family kelvaro64_%s" % family)
    metrics = "http://" + p.metrics
    check(curl(metrics + "/points/1/40001")[0] == 404 and curl(metrics + "/rpc", "POST", {})[0] == 404,
          "the metrics door serves neither points nor /rpc")
    check(curl(metrics + "/health", user=NOBODY)[0] == 200, "the metrics door serves another user")


def test_errors(p):
    status, body, _ = curl(p.base + "/nothing")
    check(status == 404 and as_json(body)["error"] == "not_found", "unknown path: 404 %s" % body)
    status, body, head = curl(p.base + "/rpc", "DELETE")
    check(status == 405 and "Allow: POST" in head and as_json(body)["error"] == "method_not_allowed", "DELETE /rpc: 405")
    check(curl(p.base + "/health", "POST", {})[0] == 405, "POST /health: 405")
    status, body, _ = curl(p.base + "/rpc", "POST", "{}", headers=["Content-Type: text/plain"])
    check(status == 415, "a body that is not application/json: 415 (a web page cannot send one without asking)")
    status, _, _ = curl(p.base + "/health", headers=["Origin: http://example.com"])
    check(status == 403, "a request a web page makes: 403")
    status, _, _ = curl(p.base + "/health", headers=["Host: rebound.example.com"])
    check(status == 403, "a request for another host name: 403")
    with tempfile.NamedTemporaryFile() as big:
        big.write(b" " * (10 * 1024 * 1024))
        big.flush()
        for expect in ("Expect: 100-continue", "Expect:"):
            status, body, _ = curl(p.base + "/rpc", "POST", "@" + big.name, headers=[expect])
            check(status == 413 and as_json(body)["error"] == "payload_too_large", "a 10 MB body (%s): 413" % expect)
    check(rpc(p, "ReadPoint", 1, 40001).get("result") is not None, "the program still answers")


def test_other_user(p):
    before = rpc(p, "ReadPoint", 1, 40002)["result"]["value"]
    status, body, _ = curl(p.base + "/points/1/40002", "PUT", {"value": (before + 1) % 65536}, user=NOBODY)
    check(status == 403 and as_json(body)["error"] == "forbidden", "another local user: 403 %s" % body)
    check(curl(p.base + "/health", user=NOBODY)[0] == 403, "another local user gets not even /health")
    status, _, _ = curl("http://[::1]:%d/rpc" % p.http, "POST", {"jsonrpc": "2.0", "id": 1, "method": "CreateDocument"},
                        user=NOBODY)
    check(status in (0, 403), "another local user on [::1]: refused")
    check(rpc(p, "ReadPoint", 1, 40002)["result"]["value"] == before, "nothing was written for them")
    check(curl(p.base.replace("127.0.0.1", "[::1]") + "/health")[0] in (0, 200), "[::1] serves this user")


def test_stalled_client(p):
    """A client that sends half a request is closed by the read limit; others are served meanwhile."""
    s = socket.create_connection(("127.0.0.1", p.http))
    s.sendall(b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    check(curl(p.base + "/health")[0] == 200, "served while another client stalls")
    s.settimeout(PATIENCE)
    try:
        closed = s.recv(4096) is not None
    except OSError:
        closed = True
    s.close()
    check(closed, "the stalled client is closed (no hang)")


def test_endless_headers(p):
    """Header lines that never end are cut off: the connection is closed, the program answers on."""
    for door in (("127.0.0.1", p.http), tuple(p.metrics.rsplit(":", 1))):
        s = socket.create_connection((door[0], int(door[1])))
        s.settimeout(PATIENCE)
        line = b"X-Filler: " + b"a" * 200 + b"\r\n"
        sent, closed = 0, False
        try:
            s.sendall(b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            while sent < 256 * 1024 * 1024:
                s.sendall(line * 1000)
                sent += len(line) * 1000
        except OSError:
            closed = True
        s.close()
        check(closed, "%s: endless header lines closed after %.1f MB" % (door[1], sent / 1e6))
        check(curl(p.base + "/health")[0] == 200, "still serving after endless headers")


def test_stop_with_clients_holding_on(p):
    """SIGTERM ends the program with status 0 while one client keeps its connection alive and
    another trickles a request a byte at a time, for longer than the test waits."""
    kept = socket.create_connection(("127.0.0.1", p.http))
    kept.sendall(b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    kept.settimeout(PATIENCE)
    check(kept.recv(4096).startswith(b"HTTP/1.1 200"), "kept-alive connection answered")
    trickle = socket.create_connection(("127.0.0.1", p.http))
    trickle.sendall(b"PUT /points/1/40001 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                    b"Content-Length: 1000000\r\n\r\n")
    stop = threading.Event()

    def drip():
        while not stop.is_set():
            try:
                trickle.sendall(b" ")
            except OSError:
                return
            stop.wait(1)
    dripper = threading.Thread(target=drip, daemon=True)
    dripper.start()
    time.sleep(2)   # the trickle under way (the program is stopped the same way if it is not yet)
    p.proc.send_signal(signal.SIGTERM)
    try:
        code = p.proc.wait(PATIENCE)
    except subprocess.TimeoutExpired:
        code = None
    stop.set()
    dripper.join()
    kept.close()
    trickle.close()
    check(code == 0, "SIGTERM ends the program with status 0 while clients hold on (%s)" % code)


def test_stop_with_kept_alive_connection(p):
    s = socket.create_connection(("127.0.0.1", p.http))
    s.sendall(b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    s.settimeout(PATIENCE)
    answer = s.recv(4096)
    check(answer.startswith(b"HTTP/1.1 200"), "kept-alive connection answered")
    code = p.stop()
    s.close()
    check(code == 0, "SIGTERM ends the program with status 0 while a connection is kept alive (%s)" % code)


def test_desktop(folder):
    automation, port = free_ports(2)
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "desktop"), QT_QPA_PLATFORM="offscreen",
               KELVARO64_AUTOMATION_PORT=str(automation), KELVARO64_HTTP_PORT=str(port))
    proc = subprocess.Popen([DESKTOP], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        status, body = 0, ""
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline and status != 200 and proc.poll() is None:
            status, body, _ = curl("http://127.0.0.1:%d/health" % port)
            if status != 200:
                time.sleep(0.2)
        health = as_json(body) or {}
        check(status == 200 and health.get("status") == "ok", "the desktop program serves KELVARO64_HTTP_PORT: %s" % body)
        status, body, _ = curl("http://127.0.0.1:%d/rpc" % port, "POST",
                               {"jsonrpc": "2.0", "id": 1, "method": "ListServers"})
        check(status == 200 and "result" in (as_json(body) or {}), "the desktop program's /rpc")
    finally:
        proc.terminate()
        try:
            proc.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def main():
    for tool in ("curl", "promtool", "setpriv"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return 0
    folder = tempfile.mkdtemp(prefix="kelvaro64-http-")
    p = None
    try:
        p = Program(folder)
        test_rpc(p)
        test_points(p)
        test_health_and_metrics(p)
        test_errors(p)
        test_other_user(p)
        test_stalled_client(p)
        test_endless_headers(p)
        test_stop_with_clients_holding_on(p)
        if DESKTOP:
            test_desktop(folder)
    finally:
        if p:
            p.stop()
        shutil.rmtree(folder, ignore_errors=True)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
