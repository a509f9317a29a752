#!/usr/bin/env python3
"""Writes a pcap of generated LAN traffic: HOSTS hosts in a few subnets talking
web, TLS, SSH, DNS, NTP, ICMP and ARP to each other and to a few servers, at
RATE frames a second over the capture's span, with the bytes a live adapter
would carry (checksums are not computed: nothing here reads them).

With --ipv6 the same conversations run between IPv6 hosts (one /64 per
subnet, fd00:0:0:N::H), frames carrying the longer header and ICMPv6 for
ICMP; ARP stays ARP.

usage: make_lan_capture.py OUT.pcap [--frames N] [--hosts H] [--rate R] [--seed S] [--max-payload B] [--ipv6]
"""
import argparse
import random
import struct


def ether(dst, src, etype):
    return dst + src + struct.pack("!H", etype)


def ipv4(src, dst, proto, payload_len, ident):
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + payload_len, ident & 0xFFFF, 0x4000, 64, proto, 0,
                       bytes(src), bytes(dst))


def ipv6(src, dst, proto, payload_len):
    return struct.pack("!IHBB16s16s", 0x60000000, payload_len, proto, 64, addr6(src), addr6(dst))


def addr6(addr):
    """fd00:0:0:N::H for the IPv4 host a.b.c.h of subnet number N."""
    subnet = SUBNETS.index(tuple(addr[:3]))
    return bytes([0xFD, 0, 0, 0, 0, 0, 0, subnet] + [0] * 7 + [addr[3]])


def tcp(sport, dport, flags=0x18):
    return struct.pack("!HHIIBBHHH", sport, dport, 1, 1, 0x50, flags, 65535, 0, 0)


def udp(sport, dport, payload_len):
    return struct.pack("!HHHH", sport, dport, 8 + payload_len, 0)


def mac_of(addr):
    return bytes([0x02, 0x00] + list(addr))


KINDS = [  # (weight, ip protocol, server port, payload size range)
    (30, 6, 443, (0, 1400)),
    (15, 6, 80, (0, 1200)),
    (8, 6, 22, (32, 300)),
    (6, 6, 445, (60, 1400)),
    (8, 17, 53, (30, 120)),
    (3, 17, 123, (48, 48)),
    (4, 17, 443, (1100, 1250)),
    (2, 1, 0, (56, 56)),
    (1, 0, 0, (0, 0)),  # ARP
]


SUBNETS = [(192, 168, 1), (192, 168, 2), (10, 1, 0), (10, 2, 5), (172, 16, 9)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--frames", type=int, default=600000)
    ap.add_argument("--hosts", type=int, default=300)
    ap.add_argument("--rate", type=float, default=15000.0)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--max-payload", type=int, default=1400,
                    help="cut payloads to this size (a smaller file for frame-rate runs)")
    ap.add_argument("--ipv6", action="store_true", help="the same traffic between IPv6 hosts")
    a = ap.parse_args()
    rnd = random.Random(a.seed)
    subnets = SUBNETS
    hosts = [list(subnets[i % len(subnets)]) + [1 + (i // len(subnets)) % 253] for i in range(a.hosts)]
    servers = hosts[: max(4, a.hosts // 20)]
    weights = [k[0] for k in KINDS]
    # Conversations: a client and a server that keep talking, as real ones do.
    convs = []
    for _ in range(a.hosts * 4):
        kind = rnd.choices(KINDS, weights)[0]
        convs.append((rnd.choice(hosts), rnd.choice(servers if rnd.random() < 0.7 else hosts), kind,
                      rnd.randint(1024, 65000)))
    conv_weights = [rnd.paretovariate(1.2) for _ in convs]
    t = 1_700_000_000.0
    step = 1.0 / a.rate
    with open(a.out, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        picks = rnd.choices(range(len(convs)), conv_weights, k=a.frames)
        for n, ci in enumerate(picks):
            client, server, kind, cport = convs[ci]
            _, proto, port, (lo, hi) = kind
            reply = rnd.random() < 0.5
            src, dst = (server, client) if reply else (client, server)
            size = min(rnd.randint(lo, hi), a.max_payload)
            if proto == 0:
                frame = ether(b"\xff" * 6, mac_of(src), 0x0806) + bytes(28)
            else:
                if proto == 6:
                    l4 = tcp(port if reply else cport, cport if reply else port)
                elif proto == 17:
                    l4 = udp(port if reply else cport, cport if reply else port, size)
                else:
                    l4 = struct.pack("!BBHHH", 0 if reply else 8, 0, 0, 1, n & 0xFFFF)
                body = l4 + bytes(size)
                if a.ipv6:
                    frame = ether(mac_of(dst), mac_of(src), 0x86DD) + ipv6(src, dst, 58 if proto == 1 else proto,
                                                                          len(body)) + body
                else:
                    frame = ether(mac_of(dst), mac_of(src), 0x0800) + ipv4(src, dst, proto, len(body), n) + body
            t += rnd.expovariate(1.0) * step
            sec = int(t)
            usec = int((t - sec) * 1e6)
            f.write(struct.pack("<IIII", sec, usec, len(frame), len(frame)))
            f.write(frame)


if __name__ == "__main__":
    main()
