#!/usr/bin/python3
"""Sends an exact number of requests to a Modbus/TCP slave, for instruction counts per request.

kelvaro_loadgen runs for a time, so how many requests a server under callgrind answers depends on
how fast valgrind is. This client sends a fixed count instead, with the load generator's mix: FC3
of 125 registers and FC16 of 100 registers alternating, unit 1, start addresses rotating over
0..9999 with stride 131. C connections in lock-step: one request on each, then every reply.
Every reply is checked; exit status 1 on any mismatch.

    /usr/bin/python3 bench/fixed-requests.py --port P --connections 64 --rounds 100

Instructions per request: run the server under `valgrind --tool=callgrind` twice, with two round
counts, and divide the difference of the totals by the difference of the request counts (the
start-up cost cancels out). bench/callgrind-per-request.sh does exactly that.
"""
import argparse
import socket
import struct
import sys


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--connections", type=int, default=64)
    ap.add_argument("--rounds", type=int, default=100)
    a = ap.parse_args()

    socks = []
    for _ in range(a.connections):
        s = socket.create_connection((a.host, a.port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        socks.append(s)

    def recv_exact(s, n):
        data = b""
        while len(data) < n:
            chunk = s.recv(n - len(data))
            if not chunk:
                raise ConnectionError("connection closed")
            data += chunk
        return data

    errors = 0
    seq = 0
    payload = struct.pack(">100H", *range(100))
    for r in range(a.rounds):
        expected = []
        for i, s in enumerate(socks):
            tid = (r * a.connections + i) & 0xFFFF
            address = (seq * 131) % 10000
            if seq % 2 == 0:
                quantity = min(125, 10000 - address)
                pdu = struct.pack(">BHH", 3, address, quantity)
                reply_pdu = 2 + 2 * quantity
            else:
                quantity = min(100, 10000 - address)
                pdu = struct.pack(">BHHB", 16, address, quantity, 2 * quantity) + payload[: 2 * quantity]
                reply_pdu = 5
            seq += 1
            s.sendall(struct.pack(">HHHB", tid, 0, len(pdu) + 1, 1) + pdu)
            expected.append((tid, pdu[0], reply_pdu))
        for s, (tid, fc, reply_pdu) in zip(socks, expected):
            head = recv_exact(s, 7)
            rtid, proto, length, unit = struct.unpack(">HHHB", head)
            body = recv_exact(s, length - 1)
            if rtid != tid or proto != 0 or unit != 1 or body[0] != fc or len(body) != reply_pdu:
                errors += 1
    for s in socks:
        s.close()
    total = a.rounds * a.connections
    print(f"requests={total} errors={errors}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
