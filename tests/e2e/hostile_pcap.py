#!/usr/bin/env python3
"""Writes the hostile captures of the wire-input end-to-end run.

usage: hostile_pcap.py DIR

DIR/hostile.pcap  HTTP requests, one TCP segment each, whose paths and Host
                  values carry terminal escape sequences (ESC [2J, ESC ]2;
                  title BEL), a C1 CSI and a spreadsheet formula; a header
                  section with X-Forwarded-Host before a lower-case host:,
                  and a Host: line that appears only in the body. Stamped at
                  0 (1970-01-01 00:00:00 UTC) and at 2208988800
                  (2040-01-01 00:00:00 UTC).
DIR/damaged.pcap  5,000 good frames, then a record whose captured length
                  is 0xFFFFFFFF.
"""
import os
import struct
import sys

CLIENT = bytes([10, 79, 0, 2])
SERVER = bytes([10, 79, 0, 1])
MAC_C = bytes.fromhex("020000004f02")
MAC_S = bytes.fromhex("020000004f01")
T2040 = 2208988800

REQUESTS = [
    (0, b"GET /clear\x1b[2J HTTP/1.1\r\nHost: esc\x1b[2J.example\r\n\r\n"),
    (0, b"GET /title\x1b]2;owned\x07 HTTP/1.1\r\nHost: bel\x1b]2;owned\x07.example\r\n\r\n"),
    (T2040, b"GET /c1\xc2\x9b2J HTTP/1.1\r\nHost: =cmd|calc.example\r\n\r\n"),
    (T2040, b"GET /fwd HTTP/1.1\r\nX-Forwarded-Host: evil.test\r\nhost: lower.example\r\n\r\n"),
    (T2040 + 1, b"POST /body HTTP/1.1\r\nUser-Agent: x\r\n\r\nHost: body.test\r\n"),
]


def frame(payload, sport):
    tcp = struct.pack("!HHIIBBHHH", sport, 80, 1, 0, 5 << 4, 0x18, 65535, 0, 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), sport, 0x4000, 64, 6, 0, CLIENT, SERVER)
    return MAC_S + MAC_C + b"\x08\x00" + ip + tcp


def header(f):
    f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))


def main():
    out = sys.argv[1]
    with open(os.path.join(out, "hostile.pcap"), "wb") as f:
        header(f)
        for n, (sec, text) in enumerate(REQUESTS):
            data = frame(text, 40000 + n)
            f.write(struct.pack("<IIII", sec, 0, len(data), len(data)))
            f.write(data)
    with open(os.path.join(out, "damaged.pcap"), "wb") as f:
        header(f)
        for n in range(5000):
            data = frame(b"x" * 10, 20000 + n % 20000)
            f.write(struct.pack("<IIII", 1000000000 + n // 100, (n % 100) * 10000, len(data), len(data)))
            f.write(data)
        f.write(struct.pack("<IIII", 1000000100, 0, 0xFFFFFFFF, 0xFFFFFFFF))
        f.write(b"\0" * 64)


if __name__ == "__main__":
    main()
