#!/usr/bin/env python3
"""kelvaro64-headless writing its capture or traffic log to a FIFO: without a reader it stops at
once with the reason instead of hanging at start-up; with one the reader gets the stream; when
the reader goes away the program says so on standard error at that moment and keeps serving."""
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

BIN = sys.argv[1]
failures = []


def check(what, ok, detail=""):
    if not ok:
        failures.append(f"{what} {detail}")
        print(f"FAILED: {what} {detail}")


def wait_for(predicate, limit=20.0):
    """A guard against a hang, not a measure of speed."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    return None


def ask(port, tid):
    """Read Holding Registers 0, one register: the transaction id of the answer, or None."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(bytes([0, tid, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1]))
        answer = s.recv(260)
    return answer[1] if len(answer) >= 9 else None


def read_some(fd, size, limit=20.0):
    got = b""
    end = time.monotonic() + limit
    while len(got) < size and time.monotonic() < end:
        if select.select([fd], [], [], 0.1)[0]:
            chunk = os.read(fd, size - len(got))
            if not chunk:
                break
            got += chunk
    return got


with tempfile.TemporaryDirectory() as t:
    doc = os.path.join(t, "doc")
    with open(doc, "wb") as f:
        f.write(b"\0\0\0\x041.06\x03\x01\x01\x00\x0a\x00\x00\x00" + bytes(2004))
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(t, "config"), KELVARO64_AUTOMATION_PORT="0",
               QT_QPA_PLATFORM="offscreen")
    # (option, what stops, the reader's first bytes)
    for option, name, first in (("--capture", "capture", b"\x0a\x0d\x0d\x0a"),
                                ("--traffic-log", "traffic log", b'{"t":')):
        fifo = os.path.join(t, name.replace(" ", "-") + ".fifo")
        os.mkfifo(fifo)

        # No reader: refused at once, naming the file and why.
        p = subprocess.Popen([BIN, option, fifo, "--tcp-port", "0", doc], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            out, err = p.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            p.kill()
            out, err = p.communicate()
            check(f"{option} FIFO without a reader ends start-up", False, "(it hung in open)")
        check(f"{option} FIFO without a reader: a failing exit code", p.returncode not in (0, None), f"({p.returncode})")
        check(f"{option} FIFO without a reader: the reason", f"{fifo}: a FIFO with no reader" in err, repr(err))

        # With a reader: streamed to; the reader leaving is told when it happens.
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        errors = open(os.path.join(t, name + ".err"), "w+")
        p = subprocess.Popen([BIN, option, fifo, "--tcp-port", "0", doc], env=env,
                             stdout=subprocess.PIPE, stderr=errors, text=True)
        try:
            line = wait_for(lambda: p.stdout.readline())
            m = re.search(r"^open: Modbus/TCP server \(port (\d+)\)", line or "")
            check(f"{option} FIFO with a reader: the server opens", m is not None, repr(line))
            if m:
                port = int(m.group(1))
                check(f"{option}: served", ask(port, 1) == 1)
                got = read_some(reader, len(first))
                check(f"{option}: the reader gets the stream", got == first, repr(got))
                os.close(reader)
                reader = None
                told = f"kelvaro64: {name} stopped: {fifo}: Broken pipe"

                def stopped():
                    ask(port, 2)
                    errors.seek(0)
                    return told in errors.read()
                check(f"{option}: the reader leaving is told on stderr", wait_for(stopped) is True)
                check(f"{option}: still serving after the reader left", ask(port, 3) == 3)
                check(f"{option}: still running", p.poll() is None)
        finally:
            if reader is not None:
                os.close(reader)
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            errors.close()

print(f"{len(failures)} failed")
sys.exit(1 if failures else 0)
