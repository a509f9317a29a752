#!/usr/bin/env python3
"""Compares the headless program's links with tshark's view of the same file.

  capture_compare.py CONV_TXT FIELDS_TXT TARNIX_JSON [min_links]

CONV_TXT is `tshark -r FILE -q -z conv,ip`; FIELDS_TXT is
`tshark -r FILE -Y ip -T fields -E occurrence=f -e ip.src -e ip.dst -e frame.len`.
Every direction of every conversation must be a link with the same frame
count (from the conversation table, bytes in its own rounding) and the same
byte total (summed from the per-frame fields), and the program must show no
link that tshark does not.
"""
import collections
import json
import re
import sys

UNITS = {"bytes": 1, "kB": 1000, "MB": 1000**2, "GB": 1000**3, "TB": 1000**4}


def parse_conv(path):
    """{(a, b): (frames, bytes_value, unit)} for each direction."""
    out = {}
    row = re.compile(
        r"^(\S+)\s+<->\s+(\S+)\s+(\d+)\s+(\d+)\s+(\S+)\s+(\d+)\s+(\d+)\s+(\S+)\s+(\d+)\s+(\d+)\s+(\S+)")
    for line in open(path, encoding="utf-8", errors="replace"):
        m = row.match(line.strip())
        if not m:
            continue
        a, b = m.group(1), m.group(2)
        # "<-" is B to A, "->" is A to B.
        back = (int(m.group(3).replace(",", "")), int(m.group(4)), m.group(5))
        forth = (int(m.group(6)), int(m.group(7)), m.group(8))
        if back[0]:
            out[(b, a)] = back
        if forth[0]:
            out[(a, b)] = forth
    return out


def parse_fields(path):
    frames = collections.Counter()
    octets = collections.Counter()
    for line in open(path, encoding="utf-8", errors="replace"):
        parts = line.split()
        if len(parts) != 3:
            continue
        key = (parts[0], parts[1])
        frames[key] += 1
        octets[key] += int(parts[2])
    return frames, octets


def matches_rounded(value, shown, unit):
    scale = UNITS.get(unit)
    if scale is None:
        return False
    if scale == 1:
        return value == shown
    return abs(value / scale - shown) < 1.0


def main():
    conv = parse_conv(sys.argv[1])
    f_frames, f_bytes = parse_fields(sys.argv[2])
    summary = json.load(open(sys.argv[3]))
    min_links = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    links = {(l["source"], l["destination"]): l for l in summary["links"]}
    problems = []
    if len(conv) < min_links:
        problems.append(f"tshark saw only {len(conv)} directed conversations, expected at least {min_links}")
    for key, (frames, shown, unit) in sorted(conv.items()):
        link = links.get(key)
        if link is None:
            problems.append(f"{key[0]} -> {key[1]}: missing ({frames} frames in tshark)")
            continue
        if link["frames"] != frames:
            problems.append(f"{key[0]} -> {key[1]}: {link['frames']} frames, tshark {frames}")
        if link["frames"] != f_frames[key]:
            problems.append(f"{key[0]} -> {key[1]}: {link['frames']} frames, tshark fields {f_frames[key]}")
        if link["bytes"] != f_bytes[key]:
            problems.append(f"{key[0]} -> {key[1]}: {link['bytes']} bytes, tshark fields {f_bytes[key]}")
        if not matches_rounded(link["bytes"], shown, unit):
            problems.append(f"{key[0]} -> {key[1]}: {link['bytes']} bytes, tshark shows {shown} {unit}")
    for key in sorted(set(links) - set(conv)):
        problems.append(f"{key[0]} -> {key[1]}: shown by tarnix-cli, unknown to tshark")
    total = sum(l["frames"] for l in summary["links"])
    if total != summary["frames_counted"]:
        problems.append(f"links carry {total} frames, {summary['frames_counted']} counted")
    sent = sum(h["frames_sent"] for h in summary["hosts"])
    if sent != total:
        problems.append(f"hosts sent {sent} frames, links carry {total}")
    for p in problems:
        print("capture_compare:", p, file=sys.stderr)
    if problems:
        sys.exit(1)
    print(f"capture_compare: {len(conv)} directions, {total} frames match")


if __name__ == "__main__":
    main()
