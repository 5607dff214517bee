#!/usr/bin/python3
"""Start-up with a test configuration naming many documents, and document creation with many
windows open, measured on kelvaro64-headless.

    bench/restore-at-scale.py BUILD_DIR [--counts 1000,10000] [--creates 2000]

For each count it writes that many document files (version 1.06, no simulated points) and a
.tst naming them into a temporary folder, starts the headless program on the .tst and reports:
  - restore time: start to the "restored:" line (or to the refusal on stderr),
  - automation during the restore: the slowest answer to a call made while it runs,
  - SIGTERM during the restore: time from the signal to the exit (a second run),
  - resident memory at the end of the restore.
Then it calls CreateDocument CREATES times through automation and prints the time per call for
the first 10 and the last 10 windows.

Everything runs on loopback with ports chosen by the system; nothing outside the temporary
folder is written (the settings folder is private to the run). Measurements only: nothing here
passes or fails.
"""
import argparse
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

DEADLINE = 120.0   # seconds for any one run


def document_bytes(index):
    out = bytearray(b"\x00\x00\x00\x041.06")
    out += struct.pack("<BBHHH", 3, 1, 1, 100, 0)           # holding registers, device 1, 40001, 100
    words = [0] * 1000
    words[0] = index & 0xFFFF
    out += struct.pack("<1000H", *words)
    out += struct.pack("<i", 0)                             # no simulated points
    face = b"Courier".ljust(32, b"\x00")
    out += struct.pack("<5i8B", -13, 0, 0, 0, 400, 0, 0, 0, 0, 0, 0, 0, 0x31) + face
    out += struct.pack("<II", 0x000000, 0xC0C0C0)
    assert len(out) == 2088
    return bytes(out)


def archive_string(text):
    data = text.encode()
    if len(data) < 0xFF:
        return bytes([len(data)]) + data
    return b"\xff" + struct.pack("<H", len(data)) + data


def make_setup(folder, count):
    names = []
    for i in range(count):
        path = os.path.join(folder, "doc%05d" % i)
        with open(path, "wb") as f:
            f.write(document_bytes(i))
        names.append(path)
    tst = os.path.join(folder, "many.tst")
    with open(tst, "wb") as f:
        # The short form: the names and nothing else (no port settings to disturb).
        f.write(struct.pack("<H", count))
        for name in names:
            f.write(archive_string(name))
    return tst


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Run:
    def __init__(self, program, files, folder):
        self.port = free_port()
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=os.path.join(folder, "config"))
        self.start = time.monotonic()
        self.proc = subprocess.Popen([program, "--tcp-port", "0", "--automation-port", str(self.port)] + files,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
        self.lines = []
        self.restored_at = None
        self.refused = None
        self.automation_ready = threading.Event()
        threading.Thread(target=self._read_stdout, daemon=True).start()
        threading.Thread(target=self._read_stderr, daemon=True).start()

    def _read_stdout(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip())
            if line.startswith("automation:"):
                self.automation_ready.set()
            if line.startswith("restored:") and self.restored_at is None:
                self.restored_at = time.monotonic() - self.start

    def _read_stderr(self):
        for line in self.proc.stderr:
            if "document" in line and self.refused is None:
                self.refused = (time.monotonic() - self.start, line.strip())

    def rss_mb(self):
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) / 1024.0
        except OSError:
            pass
        return float("nan")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def call(port, method, params=(), ident=1, timeout=DEADLINE):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall((json.dumps({"jsonrpc": "2.0", "id": ident, "method": method, "params": list(params)}) + "\n").encode())
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return json.loads(data)


def measure_restore(program, count):
    with tempfile.TemporaryDirectory() as folder:
        tst = make_setup(folder, count)
        run = Run(program, [tst], folder)
        try:
            if not run.automation_ready.wait(DEADLINE):
                print("  no automation line; stdout: %s" % run.lines[:5])
                return
            worst = 0.0
            calls = 0
            first_answer = None
            while run.restored_at is None and run.refused is None and run.proc.poll() is None \
                    and time.monotonic() - run.start < DEADLINE:
                t0 = time.monotonic()
                call(run.port, "ReadPoint", [1, 3])   # may be refused (-1): the answer is what counts
                worst = max(worst, time.monotonic() - t0)
                calls += 1
                if first_answer is None:
                    first_answer = time.monotonic() - run.start
                time.sleep(0.05)
            end = run.restored_at if run.restored_at is not None else (run.refused[0] if run.refused else None)
            print("  %5d documents: %s in %.2f s, %d automation calls during it, slowest %.1f ms, RSS %.0f MB"
                  % (count, "refused" if run.refused else "restored", end if end is not None else float("nan"),
                     calls, worst * 1000, run.rss_mb()))
            if run.refused:
                print("    " + run.refused[1])
            if first_answer is not None:
                print("    first automation answer %.2f s after start" % first_answer)
        finally:
            run.stop()

        # SIGTERM in the middle of a restore.
        run = Run(program, [tst], folder)
        try:
            run.automation_ready.wait(DEADLINE)
            time.sleep(0.3)
            if run.restored_at is not None:
                print("    (restore ended before SIGTERM could be sent)")
            t0 = time.monotonic()
            run.proc.send_signal(signal.SIGTERM)
            try:
                rc = run.proc.wait(DEADLINE)
                print("    SIGTERM 0.3 s after start: exit %d after %.0f ms" % (rc, (time.monotonic() - t0) * 1000))
            except subprocess.TimeoutExpired:
                print("    SIGTERM 0.3 s after start: still running after %.0f s" % DEADLINE)
        finally:
            run.stop()


def measure_creates(program, creates):
    with tempfile.TemporaryDirectory() as folder:
        run = Run(program, [], folder)
        try:
            if not run.automation_ready.wait(DEADLINE):
                print("  no automation line")
                return
            with socket.create_connection(("127.0.0.1", run.port), timeout=DEADLINE) as s:
                f = s.makefile("rb")
                times = []
                for i in range(creates):
                    t0 = time.monotonic()
                    s.sendall((json.dumps({"jsonrpc": "2.0", "id": i, "method": "CreateDocument", "params": []})
                               + "\n").encode())
                    f.readline()
                    times.append(time.monotonic() - t0)
            first = sum(times[:10]) / 10 * 1000
            last = sum(times[-10:]) / 10 * 1000
            print("  CreateDocument x %d: %.2f ms per call for windows 1-10, %.2f ms for %d-%d; %.1f s in all, RSS %.0f MB"
                  % (creates, first, last, creates - 9, creates, sum(times), run.rss_mb()))
        finally:
            run.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--counts", default="1000,10000")
    parser.add_argument("--creates", type=int, default=2000)
    args = parser.parse_args()
    program = os.path.join(args.build, "app", "kelvaro64-headless")
    if not os.access(program, os.X_OK):
        program = os.path.join(args.build, "kelvaro64-headless")
    if not os.access(program, os.X_OK):
        sys.exit("no %s" % program)
    print("restore of a test configuration naming N documents (%s):" % program)
    for count in [int(c) for c in args.counts.split(",") if c]:
        measure_restore(program, count)
    if args.creates:
        print("document creation with many windows open:")
        measure_creates(program, args.creates)


if __name__ == "__main__":
    main()
