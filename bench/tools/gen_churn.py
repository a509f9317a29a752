#!/usr/bin/env python3
"""Writes a pcap in which COUNT distinct source addresses each appear once,
RATE new ones a second: DHCP churn, a scan or a forged-source flood as the
monitor sees it. Each new address sends FRAMES UDP frames to one of a few
servers, so every new host brings one new link. Used to measure what a host
costs and that the model's bound keeps memory flat.

usage: gen_churn.py OUT.pcap [--count N] [--rate R] [--frames F] [--servers S] [--payload B]
"""
import argparse
import struct


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--count", type=int, default=400000)
    ap.add_argument("--rate", type=float, default=1000.0)
    ap.add_argument("--frames", type=int, default=1)
    ap.add_argument("--servers", type=int, default=4)
    ap.add_argument("--payload", type=int, default=18)
    a = ap.parse_args()

    udp_len = 8 + a.payload
    ip_len = 20 + udp_len
    payload = bytes(a.payload)
    total = 0
    with open(a.out, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i in range(a.count):
            # 10.64.0.0 upwards: outside the local /24 of 10.0.0.x, as churn
            # from elsewhere on the segment or forged sources are.
            n = 0x0A400000 + i
            src = struct.pack("!I", n)
            dst = bytes([10, 0, 0, 1 + i % a.servers])
            t = 1700000000.0 + i / a.rate
            for k in range(a.frames):
                tk = t + k * 1e-4
                sec = int(tk)
                usec = int(round((tk - sec) * 1e6)) % 1000000
                frame = (bytes([2, 0, 0, 0, 0, 1 + i % a.servers]) + b"\x02\x01" + src + b"\x08\x00" +
                         struct.pack("!BBHHHBBH4s4s", 0x45, 0, ip_len, i & 0xFFFF, 0, 64, 17, 0, src, dst) +
                         struct.pack("!HHHH", 40000 + k, 9999, udp_len, 0) + payload)
                f.write(struct.pack("<IIII", sec, usec, len(frame), len(frame)))
                f.write(frame)
                total += 1
    print(f"{a.out}: {a.count} sources, {total} frames")


if __name__ == "__main__":
    main()
