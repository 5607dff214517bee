#!/usr/bin/python3
"""Modbus/TCP Security: how long 100 masters connecting at once take until every handshake is
done and every first answer is in, and steady lock-step throughput over TLS beside plain
Modbus/TCP from the same client. Certificates (EC P-256, mutual TLS) are made in a scratch folder
with the openssl command; the engine's test server serves both; it is stopped by PID.

    /usr/bin/python3 bench/tls-bench.py BUILD_DIR [--masters 100] [--seconds 3] [--lockstep 8]

The client is Python (asyncio + ssl): in the throughput figures it is the client, not the server,
that runs out first, so read them as a floor and as a TLS-to-TCP ratio seen by one client.
"""
import argparse
import asyncio
import os
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


async def call(reader, writer, tid):
    writer.write(struct.pack(">HHHB", tid & 0xFFFF, 0, len(READ) + 1, 1) + READ)
    head = await reader.readexactly(7)
    await reader.readexactly(struct.unpack(">H", head[4:6])[0] - 1)


async def connect_all(port, ctx, masters):
    start = time.monotonic()

    async def one(i):
        reader, writer = await asyncio.open_connection("127.0.0.1", port, ssl=ctx, server_hostname="127.0.0.1" if ctx else None)
        await call(reader, writer, i)
        return writer
    writers = await asyncio.wait_for(asyncio.gather(*(one(i) for i in range(masters))), 30)
    elapsed = time.monotonic() - start
    for w in writers:
        w.close()
    return elapsed


async def lockstep(port, ctx, connections, seconds):
    streams = [await asyncio.open_connection("127.0.0.1", port, ssl=ctx, server_hostname="127.0.0.1" if ctx else None)
               for _ in range(connections)]
    done = 0
    stop = time.monotonic() + seconds

    async def run(reader, writer):
        nonlocal done
        tid = 0
        while time.monotonic() < stop:
            await call(reader, writer, tid)
            tid += 1
            done += 1
    await asyncio.gather(*(run(r, w) for r, w in streams))
    for _, w in streams:
        w.close()
    return done / seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build_dir")
    ap.add_argument("--masters", type=int, default=100)
    ap.add_argument("--seconds", type=float, default=3)
    ap.add_argument("--lockstep", type=int, default=8)
    args = ap.parse_args()
    server_path = os.path.join(args.build_dir, "tests", "engine", "pomrel_testserver")
    with tempfile.TemporaryDirectory() as d:
        certificates(d)
        server = subprocess.Popen([server_path, "--tcp-port", "0", "--tls-port", "0",
                                   "--tls-cert", f"{d}/server.pem", "--tls-key", f"{d}/server.key", "--tls-ca", f"{d}/ca.pem"],
                                  stdout=subprocess.PIPE, text=True)
        try:
            ports = {}
            for line in server.stdout:
                if line.strip() == "ready":
                    break
                name, port = line.split()
                ports[name] = int(port)
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.load_verify_locations(f"{d}/ca.pem")
            ctx.load_cert_chain(f"{d}/client.pem", f"{d}/client.key")
            t = asyncio.run(connect_all(ports["tls"], ctx, args.masters))
            print(f"{args.masters} TLS masters at once: all handshakes and first answers in {t * 1000:.0f} ms")
            t = asyncio.run(connect_all(ports["tcp"], None, args.masters))
            print(f"{args.masters} Modbus/TCP masters at once: all first answers in {t * 1000:.0f} ms")
            tls = asyncio.run(lockstep(ports["tls"], ctx, args.lockstep, args.seconds))
            tcp = asyncio.run(lockstep(ports["tcp"], None, args.lockstep, args.seconds))
            print(f"{args.lockstep} lock-step masters: TLS {tls:.0f} req/s, Modbus/TCP {tcp:.0f} req/s "
                  f"(TLS / TCP {tls / tcp:.2f})")
        finally:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()


if __name__ == "__main__":
    main()
