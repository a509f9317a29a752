#!/usr/bin/env python3
"""Writes the focus file data/cfdump.bin from its readable source
data/cfdump.txt; with --check, only tells whether the two agree."""
import argparse
import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def compile_source(text, where):
    palette = [None] * 33
    foci = []
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split('#', 1)[0].strip() if raw.lstrip().startswith('#') else raw.strip()
        if not line:
            continue
        words = line.split()
        if words[0] == 'colour':
            index, rgb = int(words[1]), words[2]
            if not 0 <= index < 33 or palette[index] is not None:
                sys.exit(f'{where}:{number}: bad or repeated colour index {index}')
            r, g, b = int(rgb[0:2], 16), int(rgb[2:4], 16), int(rgb[4:6], 16)
            palette[index] = r | g << 8 | b << 16
        elif words[0] == 'focus':
            name = line[len('focus'):].strip()
            if not name or len(name) > 31:
                sys.exit(f'{where}:{number}: a focus name has 1 to 31 characters')
            foci.append((name, []))
        else:
            if not foci or len(words) != 2:
                sys.exit(f'{where}:{number}: expected "PROTOCOL INDEX" inside a focus')
            protocol, index = words[0], int(words[1])
            if len(protocol) > 18 or not 0 <= index < 32:
                sys.exit(f'{where}:{number}: protocol names have at most 18 characters, indices 0..31')
            foci[-1][1].append((protocol, index))
    if None in palette:
        sys.exit(f'{where}: colour {palette.index(None)} is missing')
    out = struct.pack('<I', 33) + b''.join(struct.pack('<I', c) for c in palette)
    for name, entries in foci:
        out += name.encode() + b'\n' + struct.pack('<i', len(entries))
        for protocol, index in entries:
            out += protocol.encode() + b'\n' + struct.pack('<i', index)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--source', default=ROOT / 'data' / 'cfdump.txt')
    parser.add_argument('--output', default=ROOT / 'data' / 'cfdump.bin')
    parser.add_argument('--check', action='store_true')
    args = parser.parse_args()
    source = pathlib.Path(args.source)
    data = compile_source(source.read_text(), source)
    output = pathlib.Path(args.output)
    if args.check:
        if not output.exists() or output.read_bytes() != data:
            sys.exit(f'{output} does not match {source}: run scripts/mkfocus.py')
        return
    output.write_bytes(data)


if __name__ == '__main__':
    main()
