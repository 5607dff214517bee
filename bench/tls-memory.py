#!/usr/bin/python3
"""Resident memory of kelvaro64-headless around many Modbus/TCP Security sessions: at start, with
N sessions open (each has shaken hands and had one answer), and after they have all closed.

    /usr/bin/python3 bench/tls-memory.py BUILD_DIR [--sessions 2048] [--rounds 2] [--tls12] [--no-client-cert]

Certificates (EC P-256; mutual TLS with a role in the client certificate unless --no-client-cert)
are made in a scratch folder with the openssl command. The program is started there with a
private settings folder and the TLS server on a port of the system's choice, and stopped by PID.
Each round opens every session (at most 256 handshakes at a time), keeps them all open, then
closes them; the resident size (VmRSS) is read at each step once it has settled. Measurements
only: nothing here passes or fails.
"""
import argparse
import asyncio
import os
import resource
import ssl
import struct
import subprocess
import sys
import tempfile
import time

READ = bytes([3, 0, 0, 0, 10])


def certificates(d):
    def run(*args):
        subprocess.run(["openssl", *args], check=True, cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for name in ("ca", "server", "client"):
        run("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", f"{name}.key")
    run("req", "-x509", "-new", "-key", "ca.key", "-subj", "/CN=bench-ca", "-days", "2", "-out", "ca.pem")
    for name, ext in (("server", "subjectAltName=IP:127.0.0.1"), ("client", "1.3.6.1.4.1.50316.802.1=ASN1:UTF8String:Operator")):
        with open(os.path.join(d, f"{name}.ext"), "w") as f:
            f.write(ext + "\n")
        run("req", "-new", "-key", f"{name}.key", "-subj", f"/CN={name}", "-out", f"{name}.csr")
        run("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
            "-extfile", f"{name}.ext", "-out", f"{name}.pem")


def document_bytes():
    """A document file (version 1.06): holding registers 40001-40020 of device 1."""
    out = bytearray(b"\x00\x00\x00\x041.06")
    out += struct.pack("<BBHHH", 3, 1, 1, 20, 0)
    out += struct.pack("<1000H", *([0] * 1000))
    out += struct.pack("<i", 0)
    face = b"Courier".ljust(32, b"\x00")
    out += struct.pack("<5i8B", -13, 0, 0, 0, 400, 0, 0, 0, 0, 0, 0, 0, 0x31) + face
    out += struct.pack("<II", 0x000000, 0xC0C0C0)
    return bytes(out)


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def settled_rss_mb(pid, quiet=1.0, limit=15.0):
    """VmRSS once it has not moved by more than 256 kB for `quiet` seconds (at most `limit`)."""
    start = time.monotonic()
    last = rss_kb(pid)
    since = time.monotonic()
    while time.monotonic() - start < limit:
        time.sleep(0.1)
        now = rss_kb(pid)
        if abs(now - last) > 256:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            break
    return last / 1024.0


async def open_sessions(port, ctx, count):
    limit = asyncio.Semaphore(256)

    async def one(i):
        async with limit:
            reader, writer = await asyncio.open_connection("127.0.0.1", port, ssl=ctx, server_hostname="127.0.0.1")
            writer.write(struct.pack(">HHHB", i & 0xFFFF, 0, len(READ) + 1, 1) + READ)
            head = await reader.readexactly(7)
            await reader.readexactly(struct.unpack(">H", head[4:6])[0] - 1)
            return writer
    return await asyncio.wait_for(asyncio.gather(*(one(i) for i in range(count))), 120)


async def close_sessions(writers):
    for w in writers:
        w.close()
    for w in writers:
        try:
            await w.wait_closed()
        except (ConnectionError, ssl.SSLError):
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--sessions", type=int, default=2048)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--tls12", action="store_true", help="clients offer TLS 1.2 only")
    parser.add_argument("--no-client-cert", action="store_true", help="no CA: clients show no certificate")
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "app", "kelvaro64-headless"))
    if not os.access(program, os.X_OK):
        sys.exit(f"no {program}")
    want = args.sessions + 512
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))

    with tempfile.TemporaryDirectory() as d:
        certificates(d)
        with open(os.path.join(d, "block"), "wb") as f:
            f.write(document_bytes())
        command = [program, "--tcp-port", "0", "--automation-port", "0", "--tls-port", "0",
                   "--tls-cert", "server.pem", "--tls-key", "server.key",
                   "--max-connections", str(args.sessions + 16), "--request-timeout-ms", "0", "block"]
        if not args.no_client_cert:
            command += ["--tls-ca", "ca.pem"]
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=os.path.join(d, "config"), HOME=d)
        proc = subprocess.Popen(command, cwd=d, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
        try:
            port = None
            deadline = time.monotonic() + 30
            while port is None and time.monotonic() < deadline:
                line = proc.stdout.readline()
                if not line:
                    break
                if "Security" in line and "port" in line:
                    port = int(line.rsplit("port", 1)[1].strip(" )\n"))
            if port is None:
                sys.exit("the program did not open its TLS server")
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.load_verify_locations(os.path.join(d, "ca.pem"))
            if args.tls12:
                ctx.maximum_version = ssl.TLSVersion.TLSv1_2
            if not args.no_client_cert:
                ctx.load_cert_chain(os.path.join(d, "client.pem"), os.path.join(d, "client.key"))
            start = settled_rss_mb(proc.pid)
            print(f"{args.sessions} TLS sessions ({'TLS 1.2' if args.tls12 else 'TLS 1.3'}, "
                  f"{'no client certificate' if args.no_client_cert else 'mutual TLS'}); {program}")
            print(f"  at start                 {start:7.1f} MB")
            for r in range(args.rounds):
                t0 = time.monotonic()
                writers = asyncio.run(_open_and_measure(port, ctx, args.sessions, proc.pid, start, r))
                del writers
                print(f"    (round {r + 1} took {time.monotonic() - t0:.1f} s)")
        finally:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


async def _open_and_measure(port, ctx, count, pid, start, r):
    writers = await open_sessions(port, ctx, count)
    open_mb = settled_rss_mb(pid)
    await close_sessions(writers)
    closed_mb = settled_rss_mb(pid, quiet=2.0)
    print(f"  round {r + 1}: open {open_mb:7.1f} MB ({(open_mb - start) * 1024 / count:5.1f} kB a session), "
          f"after close {closed_mb:7.1f} MB ({closed_mb - start:+.1f} MB)")
    return []


if __name__ == "__main__":
    main()
