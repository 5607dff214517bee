#!/usr/bin/python3
"""Resident memory of a document in kelvaro64-headless: the program is started once with no
document and once with N documents of 20 holding registers each (a .tst naming them), and the
difference of the resident sizes (VmRSS, once settled after the "restored:" line) is divided by N.

    /usr/bin/python3 bench/document-memory.py BUILD_DIR [--documents 2000] [--repeats 3]

A document's register memory is 1 000 words (2 000 bytes) whatever its length; the rest is what
the program keeps for it (the document, its window and view). Everything runs in a temporary
folder with a private settings folder; the program is stopped by PID. Measurements only.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time


def document_bytes(index):
    out = bytearray(b"\x00\x00\x00\x041.06")
    out += struct.pack("<BBHHH", 3, 1 + index % 247, 1, 20, 0)   # holding registers, 40001, 20 points
    words = [0] * 1000
    words[0] = index & 0xFFFF
    out += struct.pack("<1000H", *words)
    out += struct.pack("<i", 0)                                   # no simulated points
    face = b"Courier".ljust(32, b"\x00")
    out += struct.pack("<5i8B", -13, 0, 0, 0, 400, 0, 0, 0, 0, 0, 0, 0, 0x31) + face
    out += struct.pack("<II", 0x000000, 0xC0C0C0)
    return bytes(out)


def archive_string(text):
    data = text.encode()
    if len(data) < 0xFF:
        return bytes([len(data)]) + data
    return b"\xff" + struct.pack("<H", len(data)) + data


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def measure(program, folder, count):
    files = []
    if count:
        names = []
        for i in range(count):
            path = os.path.join(folder, "doc%05d" % i)
            if not os.path.exists(path):
                with open(path, "wb") as f:
                    f.write(document_bytes(i))
            names.append(path)
        tst = os.path.join(folder, "docs%d.tst" % count)
        with open(tst, "wb") as f:
            f.write(struct.pack("<H", count))
            for name in names:
                f.write(archive_string(name))
        files = [tst]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=os.path.join(folder, "config"), HOME=folder)
    proc = subprocess.Popen([program, "--tcp-port", "0", "--automation-port", "0"] + files, cwd=folder,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
    try:
        deadline = time.monotonic() + 120
        if count:
            while time.monotonic() < deadline:
                line = proc.stdout.readline()
                if not line or line.startswith("restored:"):
                    break
        time.sleep(1.0)
        last = rss_kb(proc.pid)
        while time.monotonic() < deadline:   # settled: unchanged by more than 64 kB for a second
            time.sleep(1.0)
            now = rss_kb(proc.pid)
            if abs(now - last) <= 64:
                break
            last = now
        return rss_kb(proc.pid)
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--documents", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "app", "kelvaro64-headless"))
    if not os.access(program, os.X_OK):
        sys.exit(f"no {program}")
    print(f"{args.documents} documents of 20 registers; {program}")
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(args.repeats):
            empty = measure(program, folder, 0)
            full = measure(program, folder, args.documents)
            per = (full - empty) / args.documents
            print(f"  none {empty / 1024:6.1f} MB, {args.documents} documents {full / 1024:6.1f} MB: "
                  f"{per:5.1f} kB a document ({per - 2000 / 1024:5.1f} kB beyond its 2 000 bytes of registers)")


if __name__ == "__main__":
    main()
