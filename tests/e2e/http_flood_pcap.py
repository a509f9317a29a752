#!/usr/bin/env python3
"""Writes a pcap of HTTP requests from many clients to 40 servers.

usage: http_flood_pcap.py OUT.pcap REQUESTS CLIENTS

Every seventh request names a Host that is not a host name
("anything attacker.example"), which must never reach the name service.
"""
import struct
import sys


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    s = (s >> 16) + (s & 0xFFFF)
    s += s >> 16
    return ~s & 0xFFFF


def main():
    out, requests, clients = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with open(out, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        t = 1700000000.0
        for i in range(requests):
            c = i % clients
            src = bytes([10, 20, c // 250, 1 + c % 250])
            dst = bytes([10, 30, 0, 1 + i % 40])
            host = "www%d.example" % (i % 40) if i % 7 else "anything attacker.example"
            payload = ("GET /page%d HTTP/1.1\r\nHost: %s\r\n\r\n" % (i % 300, host)).encode()
            tcp = struct.pack("!HHIIBBHHH", 40000 + i % 20000, 80, i, 0, 5 << 4, 0x18, 65535, 0, 0) + payload
            ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), i & 0xFFFF, 0, 64, 6, 0, src, dst)
            ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
            frame = b"\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02\x08\x00" + ip + tcp
            t += 0.0005
            f.write(struct.pack("<IIII", int(t), int((t % 1) * 1e6), len(frame), len(frame)) + frame)


if __name__ == "__main__":
    main()
