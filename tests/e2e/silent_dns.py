#!/usr/bin/env python3
"""A name server that takes every query and never answers.

usage: silent_dns.py ADDRESS QUERIES_FILE SECONDS

Appends each query's name to QUERIES_FILE (after a first line "ready") and
stops by itself after SECONDS.
"""
import socket
import sys
import time


def main():
    address, path, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, 53))
    s.settimeout(0.5)
    end = time.time() + seconds
    with open(path, "a", buffering=1) as log:
        log.write("ready\n")
        while time.time() < end:
            try:
                data, _ = s.recvfrom(4096)
            except socket.timeout:
                continue
            i, labels = 12, []
            while i < len(data) and data[i]:
                labels.append(data[i + 1 : i + 1 + data[i]].decode("latin-1"))
                i += 1 + data[i]
            log.write(".".join(labels) + "\n")


if __name__ == "__main__":
    main()
