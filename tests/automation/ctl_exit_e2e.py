#!/usr/bin/env python3
"""End to end: kelvaro64-ctl's exit status against a real kelvaro64-headless.

Every call the program refuses exits 1, whether it answers status -1 (no such rule, server,
capture, point) or a JSON-RPC error (unknown method, parameters of the wrong shape); a bad
argument caught before calling exits 2; a call that is carried out exits 0.

usage: ctl_exit_e2e.py KELVARO64_HEADLESS KELVARO64_CTL   (run with /usr/bin/python3)
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile

HEADLESS, CTL = sys.argv[1:3]
PY = "/usr/bin/python3"
PATIENCE = 60          # seconds: only a hang ever waits this long

# (arguments, exit status, what standard error says)
CASES = (
    # status -1 from each family
    (["read", "1", "25000"], 1, "no such point"),
    (["fault", "rm", "99"], 1, "no fault rule 99"),
    (["fault", "add", '{"action": "exception"}'], 1, 'field "code"'),
    (["gen", "rm", "99"], 1, "no generator 99"),
    (["gen", "add", '{"name": "g", "unit": 1, "type": 3, "address": 1, "kind": "sine"}'], 1, 'field "period_ms"'),
    (["server", "close", "99999"], 1, "no server 99999"),
    (["server", "open", "udp", "70000"], 1, "port: a whole number from 0 to 65535"),
    (["capture", "stop"], 1, "no capture is running"),
    (["traffic-log", "stop"], 1, "no traffic log is running"),
    (["capture", "start", "/nonexistent-folder/x.pcapng"], 1, "No such file or directory"),
    # JSON-RPC errors from each family
    (["call", "NoSuchMethod"], 1, "-32601"),
    (["call", "ReadPoint", "[1]"], 1, "-32602"),
    (["call", "AddFault", '["not a rule"]'], 1, "rule: a JSON object"),
    (["call", "AddGenerator", '[7]'], 1, "generator: a JSON object"),
    (["call", "OpenServer", '["udp", 1.5, {}]'], 1, "port: a whole number"),
    (["call", "StartCapture", '[""]'], 1, "path: a file name"),
    # refused before calling
    (["write", "1", "40001", "70000"], 2, "not from -32768 to 65535"),
    (["fault", "rm"], 2, "needs a rule id"),
    (["gen", "off"], 2, "needs a generator id"),
    (["gen", "add", "[1]"], 2, "a generator is a JSON object"),
    # carried out
    (["fault", "list"], 0, ""),
    (["call", "ListServers"], 0, ""),
    (["behaviour", "list"], 0, ""),
    (["behaviour", "clear"], 0, ""),
)


def main():
    failures = []
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=tempfile.mkdtemp(dir=home),
                   QT_QPA_PLATFORM="offscreen")
        env.pop("KELVARO64_AUTOMATION_PORT", None)
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        proc = subprocess.Popen([HEADLESS, "--automation-port", str(port)], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            # It prints this line once it serves.
            line = proc.stdout.readline()
            if "automation: 127.0.0.1:%d" % port not in line:
                print("FAIL headless did not serve: %r %s" % (line, proc.stderr.read() if proc.poll() is not None else ""))
                return 1
            for args, want, said in CASES:
                r = subprocess.run([PY, CTL, "--port", str(port)] + args, capture_output=True, text=True,
                                   timeout=PATIENCE, env=env)
                ok = r.returncode == want and said in r.stderr
                print(("ok   " if ok else "FAIL ") + "%s: exit %d (want %d) %r" % (" ".join(args), r.returncode, want,
                                                                              r.stderr.strip().splitlines()[-1:]),
                      flush=True)
                if not ok:
                    failures.append(args)
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(PATIENCE)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
