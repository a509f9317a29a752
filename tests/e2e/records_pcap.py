#!/usr/bin/env python3
"""Writes the crafted capture of the records end-to-end run.

usage: records_pcap.py OUT.pcap FLOOD

HTTP requests from 10.78.0.2 as single TCP segments (no handshake: the
sniffer looks at each segment on its own): a request line longer than the
old 600-byte snapshot, a proxied name that starts with a digit, a direct
request whose Host: starts with a digit, a target full of terminal escape
bytes, and FLOOD more botched targets. Frames are stamped from
1000000000 (2001-09-09 01:46:40 UTC) on, one second apart.
"""
import struct
import sys

CLIENT = bytes([10, 78, 0, 2])
SERVER = bytes([10, 78, 0, 1])
PROXY = bytes([10, 78, 0, 3])
MAC_C = bytes.fromhex("020000004e02")
MAC_S = bytes.fromhex("020000004e01")


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def frame(dst, dport, payload, sport):
    tcp = struct.pack("!HHIIBBHHH", sport, dport, 1, 0, 5 << 4, 0x18, 65535, 0, 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), sport & 0xFFFF, 0x4000, 64, 6, 0, CLIENT, dst)
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return MAC_S + MAC_C + b"\x08\x00" + ip + tcp


def main():
    out, flood = sys.argv[1], int(sys.argv[2])
    long_path = "/" + "L" * 1200
    requests = [
        (SERVER, 80, "GET %s HTTP/1.1\r\nHost: www.e2e.test\r\n\r\n" % long_path),
        (PROXY, 8080, "GET http://9gag.com/x HTTP/1.1\r\nHost: 9gag.com\r\n\r\n"),
        (SERVER, 80, "GET /digits HTTP/1.1\r\nHost: 163.com\r\n\r\n"),
        (PROXY, 8080, "GET \x1b]0;owned\x07\x1b[2J HTTP/1.1\r\nHost: x\r\n\r\n"),
    ]
    for i in range(flood):
        requests.append((PROXY, 8080, "GET bogus%d HTTP/1.1\r\n\r\n" % i))
    with open(out, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for n, (dst, dport, text) in enumerate(requests):
            data = frame(dst, dport, text.encode("latin-1"), 40000 + n)
            f.write(struct.pack("<IIII", 1000000000 + n, 0, len(data), len(data)))
            f.write(data)


if __name__ == "__main__":
    main()
