#!/usr/bin/env python3
"""UDP traffic for the capture end-to-end test.

  capture_udp.py server ADDRESS PORT      echo every datagram back
  capture_udp.py client ADDRESS PORT N [SOURCE]
                                          send N datagrams of growing size,
                                          waiting for each echo
"""
import socket
import sys


def server(address, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, port))
    while True:
        data, peer = s.recvfrom(65535)
        s.sendto(data, peer)


def client(address, port, count, source=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if source:
        s.bind((source, 0))
    s.settimeout(2.0)
    lost = 0
    for i in range(count):
        size = 10 + (i * 97) % 1400
        s.sendto(bytes([i % 256]) * size, (address, port))
        try:
            s.recvfrom(65535)
        except socket.timeout:
            lost += 1
    if lost:
        print(f"capture_udp: {lost} echoes lost", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    if sys.argv[1] == "server":
        server(sys.argv[2], int(sys.argv[3]))
    else:
        client(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5] if len(sys.argv) > 5 else None)
