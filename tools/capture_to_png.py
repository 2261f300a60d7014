#!/usr/bin/env python3
"""capture_to_png.py: turns a terminal capture with colours (tmux capture-pane -e -p)
into a PNG, cropped to the cells written, drawing each cell as an 8 x 16 block: the block
element's shape (U+2580..U+259F) in the foreground colour, the rest in the background.
Other characters show as their background.
Usage: capture_to_png.py CAPTURE.txt OUT.png"""
import re
import struct
import sys
import zlib

CELL_W, CELL_H = 8, 16
DEFAULT_BG = None  # never set: the margins, cropped away; black where inside
DEFAULT_FG = (200, 200, 200)


def covers(ch, x, y):
    """Whether block element ch inks pixel (x, y) of an 8 x 8 cell, y down."""
    c = ord(ch)
    left, upper = x < 4, y < 4
    if c == 0x2580:
        return upper
    if 0x2581 <= c <= 0x2588:
        return y >= 8 - (c - 0x2580)
    if 0x2589 <= c <= 0x258F:
        return x < 0x2590 - c
    quads = {0x2596: (0, 0, 1, 0), 0x2597: (0, 0, 0, 1), 0x2598: (1, 0, 0, 0),
             0x2599: (1, 0, 1, 1), 0x259A: (1, 0, 0, 1), 0x259B: (1, 1, 1, 0),
             0x259C: (1, 1, 0, 1), 0x259D: (0, 1, 0, 0), 0x259E: (0, 1, 1, 0),
             0x259F: (0, 1, 1, 1)}
    if c in quads:
        return bool(quads[c][(0 if upper else 2) + (0 if left else 1)])
    return {0x2590: not left, 0x2594: y < 1, 0x2595: x >= 7}.get(c, False)


def parse(text):
    rows = []
    for line in text.split("\n"):
        fg, bg, row = DEFAULT_FG, DEFAULT_BG, []
        for token in re.finditer(r"\x1b\[([0-9;]*)m|(.)", line):
            if token.group(1) is not None:
                p = [int(v) if v else 0 for v in token.group(1).split(";")]
                i = 0
                while i < len(p):
                    if p[i] == 0:
                        fg, bg = DEFAULT_FG, DEFAULT_BG
                    elif p[i] == 39:
                        fg = DEFAULT_FG
                    elif p[i] == 49:
                        bg = DEFAULT_BG
                    elif p[i] in (38, 48) and i + 4 < len(p) and p[i + 1] == 2:
                        colour = tuple(p[i + 2:i + 5])
                        fg, bg = (colour, bg) if p[i] == 38 else (fg, colour)
                        i += 4
                    i += 1
            else:
                ch = token.group(2)
                row.append(tuple(fg if covers(ch, x, y) else bg
                                 for y in range(8) for x in range(8)))
        rows.append(row)
    while rows and not rows[-1]:
        rows.pop()
    return rows


def write_png(path, width, height, pixel_rows):
    raw = b"".join(b"\0" + bytes(r) for r in pixel_rows)
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    rows = parse(open(sys.argv[1], encoding="utf-8", errors="replace").read())
    cols = max(len(r) for r in rows)
    empty = (DEFAULT_BG,) * 64
    rows = [r + [empty] * (cols - len(r)) for r in rows]
    used = [x for x in range(cols) if any(r[x] != empty for r in rows)]
    first, last = (used[0], used[-1]) if used else (0, cols - 1)
    cols = last - first + 1
    pixel_rows = []
    for row in rows:
        for y in range(8):
            line = bytearray()
            for cell in row[first:last + 1]:
                for x in range(8):
                    line += bytes(cell[y * 8 + x] or (0, 0, 0))
            pixel_rows += [line] * (CELL_H // 8)
    write_png(sys.argv[2], cols * CELL_W, len(rows) * CELL_H, pixel_rows)


main()
