#!/usr/bin/env python3
"""kelvaro64-headless and the ports its command line names.

A port named by an option that cannot be opened (here: held by another socket) ends the program
with exit status 1 and a message naming the option, the port and the reason; a server the set-up
extras name that cannot open is reported and the program keeps serving.
Usage: headless_ports.py KELVARO64_HEADLESS SOURCE_DIR
"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

BIN, SRC = sys.argv[1], sys.argv[2]
DEMO = os.path.join(SRC, "examples", "demo.tst")
T = tempfile.mkdtemp()
failures = []


def check(name, ok, detail=""):
    print(("ok      " if ok else "FAILED  ") + name + ("" if ok else "\n        " + detail))
    if not ok:
        failures.append(name)


def held(kind, address="127.0.0.1"):
    """A socket holding a free port (no SO_REUSEADDR, so nobody can share it)."""
    s = socket.socket(socket.AF_INET, kind)
    s.bind((address, 0))
    if kind == socket.SOCK_STREAM:
        s.listen()
    return s


def environment(**extra):
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(T, "config"), QT_QPA_PLATFORM="offscreen",
               KELVARO64_AUTOMATION_PORT="0")
    env.pop("XDG_RUNTIME_DIR", None)
    env.update(extra)
    return env


# The TLS server needs a certificate and key before it tries its port.
cert, key = os.path.join(T, "cert.pem"), os.path.join(T, "key.pem")
subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                "-subj", "/CN=localhost", "-days", "2"], check=True, capture_output=True)

# option, socket kind that holds its port (on every address: the servers bind the wildcard)
CASES = [
    ("--tcp-port", socket.SOCK_STREAM, "0.0.0.0", [DEMO]),
    ("--udp-port", socket.SOCK_DGRAM, "0.0.0.0", [DEMO]),
    ("--rtu-over-tcp-port", socket.SOCK_STREAM, "0.0.0.0", [DEMO]),
    ("--tls-port", socket.SOCK_STREAM, "0.0.0.0", ["--tls-cert", cert, "--tls-key", key, DEMO]),
    ("--automation-port", socket.SOCK_STREAM, "127.0.0.1", [DEMO]),
]

for option, kind, address, rest in CASES:
    holder = held(kind, address)
    port = holder.getsockname()[1]
    args = [BIN, option, str(port)] + ([] if option == "--tcp-port" else ["--tcp-port", "0"]) + rest
    try:
        run = subprocess.run(args, env=environment(), capture_output=True, text=True, timeout=30)
        rc, err = run.returncode, run.stderr
    except subprocess.TimeoutExpired as e:
        rc, err = "still running after 30 s", (e.stderr or b"").decode()
    holder.close()
    check(f"{option} on a port in use: exit status 1", rc == 1, f"exit status {rc}; stderr: {err!r}")
    line = f"kelvaro64-headless: {option} {port}: cannot open the port"
    check(f"{option} on a port in use: stderr names option, port and reason",
          line in err and "in use" in err.lower(), f"stderr: {err!r}")

# The set-up extras' servers are the set-up's: one that cannot open is reported, the rest served.
holder = held(socket.SOCK_DGRAM, "0.0.0.0")
port = holder.getsockname()[1]
extras = os.path.join(T, "extras.json")
with open(extras, "w") as f:
    json.dump({"servers": {"udp": {"port": port}}}, f)
proc = subprocess.Popen([BIN, "--tcp-port", "0", "--scenario", extras, DEMO], env=environment(),
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
out_lines = []
deadline = time.monotonic() + 30
while time.monotonic() < deadline:
    line = proc.stdout.readline()
    if not line:
        break
    out_lines.append(line)
    if line.startswith("failed: Modbus/UDP"):
        break
alive = proc.poll() is None
proc.send_signal(signal.SIGTERM)
out, err = proc.communicate(timeout=30)
holder.close()
text = "".join(out_lines) + out
check("a set-up server on a port in use is reported on stdout", f"failed: Modbus/UDP server (port {port})" in text,
      f"stdout: {text!r}")
check("a set-up server on a port in use leaves the program running", alive, f"stderr: {err!r}")
check("... which then ends as usual (exit status 0)", proc.returncode == 0, f"exit status {proc.returncode}")

print(f"{len(CASES) * 2 + 3 - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
