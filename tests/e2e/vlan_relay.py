#!/usr/bin/env python3
"""An 802.1Q trunk in user space, for kernels without VLAN devices.

  vlan_relay.py ACCESS_A TRUNK_A TRUNK_B ACCESS_B VID

Frames that arrive on ACCESS_A go out on TRUNK_A, those that arrive on
TRUNK_A go out on ACCESS_A; likewise ACCESS_B and TRUNK_B. TRUNK_A and
TRUNK_B are the two ends of one wire. Frames of the VLAN's addresses
(IPv4 10.78.0.0/24, IPv6 fd00:78::/64, and ARP for the IPv4 ones) are
tagged with VID on the trunk; everything else crosses it untagged. Tags are
taken off again on the way out of the trunk, so the hosts on either side
never see one, while a capture on the trunk sees real traffic tagged and
untagged.
"""
import select
import socket
import struct
import sys

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4
VLAN_IPV4 = bytes([10, 78, 0])
VLAN_IPV6 = bytes.fromhex("fd00007800000000")


def in_vlan(frame):
    if len(frame) < 14:
        return False
    ether_type = struct.unpack("!H", frame[12:14])[0]
    if ether_type == 0x0800 and len(frame) >= 34:
        return frame[26:29] == VLAN_IPV4 or frame[30:33] == VLAN_IPV4
    if ether_type == 0x86DD and len(frame) >= 54:
        return frame[22:30] == VLAN_IPV6 or frame[38:46] == VLAN_IPV6
    if ether_type == 0x0806 and len(frame) >= 42:
        return frame[28:31] == VLAN_IPV4 or frame[38:41] == VLAN_IPV4
    return False


def tag(frame, vid):
    return frame[:12] + struct.pack("!HH", 0x8100, vid) + frame[12:]


def untag(frame):
    # The kernel usually takes the tag off on receipt already.
    if len(frame) >= 18 and frame[12:14] == b"\x81\x00":
        return frame[:12] + frame[16:]
    return frame


def main():
    access_a, trunk_a, trunk_b, access_b, vid = sys.argv[1:6]
    vid = int(vid)
    socks = {}
    for name in (access_a, trunk_a, trunk_b, access_b):
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        s.bind((name, 0))
        socks[name] = s
    route = {access_a: trunk_a, trunk_a: access_a, trunk_b: access_b, access_b: trunk_b}
    by_fd = {s.fileno(): name for name, s in socks.items()}
    print("relaying", flush=True)
    while True:
        ready, _, _ = select.select(list(socks.values()), [], [])
        for s in ready:
            name = by_fd[s.fileno()]
            frame, address = s.recvfrom(65535)
            if address[2] == PACKET_OUTGOING:
                continue
            if name in (access_a, access_b):
                out = tag(frame, vid) if in_vlan(frame) else frame
            else:
                out = untag(frame)
            socks[route[name]].send(out)


if __name__ == "__main__":
    main()
