#!/usr/bin/env python3
# make_seeds.py: writes the fuzzers' seed inputs into fuzz/corpus/mesh, tdf and draw.
# Small files that reach deep: valid meshes and 3DF files of every format, and call
# sequences shaped like the program's own run. Rerun after changing an input encoding.
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "corpus")


def put(folder, name, data):
    os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(HERE, folder, name), "wb") as f:
        f.write(data)


# ---- mesh: the text of obj.dat ----
put("mesh", "triangle", "3 1\n0 0 0 0 0\n1 0 0 256 0\n0 1 0 0 256\n0 1 2\n")
put("mesh", "empty", "0 0\n")
put("mesh", "split", "3\n1 -1.5e0 +2 .5\n1e-1 2.5E+1\t0 0 0 0\n0 0 0 1\r\n2 0 1 2\n")
put("mesh", "quad", "4 2 0 0 0 0 0 1 0 0 255 0 1 1 0 255 255 0 1 0 0 255 0 1 2 0 2 3 trailing")
put("mesh", "repeated_corner", "1 1 0.5 0.5 0.5 1 1 0 0 0")
put("mesh", "short", "3 1\n0 0 0 0 0\n1 0 0 256 0\n")
put("mesh", "bad_index", "3 1 0 0 0 0 0 1 0 0 0 0 0 1 0 0 0 0 1 3")
put("mesh", "odd_numbers", "2 0 nan inf -0 1e39 -1e-46 0x1p3 1 2 3 4")

# ---- tdf: 3DF files ----
FORMATS = [  # name, bytes per texel, table kind
    ("rgb332", 1, None), ("yiq", 1, "ncc"), ("a8", 1, None), ("i8", 1, None),
    ("ai44", 1, None), ("p8", 1, "pal"), ("argb8332", 2, None), ("ayiq8422", 2, "ncc"),
    ("rgb565", 2, None), ("argb1555", 2, None), ("argb4444", 2, None), ("ai88", 2, None),
    ("ap88", 2, "pal"),
]
ASPECTS = [(8, 1), (4, 1), (2, 1), (1, 1), (1, 2), (1, 4), (1, 8)]


def levels(small, large, aw, ah):
    out = []
    size = large
    while size >= small:
        if aw >= ah:
            out.append((size, max(1, size * ah // aw)))
        else:
            out.append((max(1, size * aw // ah), size))
        size //= 2
    return out


def tdf(fmt, small, large, aspect, eol="\n", pad=""):
    name, bpt, table = next(f for f in FORMATS if f[0] == fmt)
    aw, ah = aspect
    head = (f"3df v1.0{eol}{fmt}{eol}lod range:{pad}{small} {large}{pad}{eol}"
            f"aspect ratio: {aw} {ah}{eol}").encode()
    body = b""
    if table == "pal":
        body += b"".join(struct.pack(">I", 0xFF000000 | (i * 0x010203)) for i in range(256))
    elif table == "ncc":
        body += struct.pack(">16h", *[i * 16 for i in range(16)])
        body += struct.pack(">24h", *[(i * 37) % 512 - 256 for i in range(24)])
    n = 0
    for w, h in levels(small, large, aw, ah):
        for i in range(w * h):
            body += bytes([(n * 13 + i) & 255 for _ in range(bpt)])
            n += 1
    return head + body


for i, (fmt, bpt, table) in enumerate(FORMATS):
    aspect = ASPECTS[i % len(ASPECTS)]
    put("tdf", f"{fmt}", tdf(fmt, 1, 8, aspect))
put("tdf", "crlf_blanks", tdf("rgb565", 2, 16, (1, 1), eol="\r\n", pad="  "))
put("tdf", "one_level", tdf("i8", 4, 4, (1, 1)))
put("tdf", "wide_8x1", tdf("argb4444", 1, 32, (8, 1)))
put("tdf", "tall_1x8", tdf("ai44", 1, 32, (1, 8)))
put("tdf", "truncated", tdf("rgb565", 1, 8, (1, 1))[:-7])
put("tdf", "bad_lod", tdf("rgb565", 1, 8, (1, 1)).replace(b"1 8", b"3 8"))

# ---- draw: call sequences, in fuzz_draw.cpp's encoding ----
def f32(x):  # selector 13: raw bits, big-endian
    return bytes([13]) + struct.pack(">f", x)


def vertex(x, y, c, ooz, s, t):  # every float of the record, in its order
    return b"".join(f32(v) for v in (x, y, 0, c, c, c, ooz, 255, 1 / 16, s / 16, t / 16, 1 / 16,
                                      0, 0, 0))


def tri(a, b, c, nulls=0):
    return bytes([10]) + vertex(*a) + vertex(*b) + vertex(*c) + bytes([nulls])


def i32(v):  # small values go as one byte: v + 3
    return bytes([v + 3])


def allocate(fmt, large, small_off, aspect):  # a shape the program could ask for
    return bytes([7]) + i32(large) + i32(small_off) + i32(aspect) + i32(0) * 11 + bytes([1 | fmt << 1])


def program(boards_env=0, threads_env=0, fmt=8, large=2, small_off=6, aspect=3):
    env = (threads_env << 6) | boards_env
    s = bytes([0, env, 0])                          # grGlideInit
    s += bytes([1, 0])                              # grSstQueryHardware
    s += bytes([2]) + i32(0) + bytes([3, 0])        # select 0, open
    s += allocate(fmt, large, small_off, aspect)    # guTexAllocateMemory
    s += bytes([8, 0, 0x10])                        # guTexDownloadMipMap
    s += bytes([4, 0]) + i32(0) + i32(6) + bytes([4, 1]) + i32(0) + i32(1)
    s += bytes([4, 2]) + i32(0) + i32(1) + bytes([4, 3]) + i32(0) + i32(4)
    s += bytes([4, 4]) + i32(0) + i32(1)
    s += bytes([9, 0])                              # guTexSource
    for frame in range(2):
        s += bytes([5, 0, 0, 0, 0, 0, 0])           # grBufferClear
        s += tri((10, 10, 112, 100, 0, 0), (600, 40, 200, 130, 256, 0), (300, 470, -20, 90, 0, 256))
        s += tri((-5e4, 100, 300, 50, 0, 0), (7e4, 120, 0, 60, 1e5, 0), (320, 1e6, 128, 70, 0, -1e5))
        s += bytes([6]) + i32(1)                    # grBufferSwap
    s += bytes([11])                                # grGlideShutdown
    return s


put("draw", "program", program())
put("draw", "two_boards_threads", program(boards_env=3, threads_env=2, fmt=5, large=0))
put("draw", "tiny_texmem", program(boards_env=0 | (1 << 3), fmt=12))
put("draw", "after_shutdown", program() + bytes([5, 1, 2, 3, 4, 5, 6, 9, 0, 6, 4, 11, 11]))
put("draw", "before_init", bytes([1, 0, 2, 3, 3, 0, 5, 0, 0, 0, 0, 0, 0, 6, 4]) + program())
put("draw", "non_finite", bytes([0, 0, 0, 2, 3, 3, 0, 5, 0, 0, 0, 0, 0, 0]) +
    tri((float("nan"), 0, 0, 0, 0, 0), (1, 1, 1, 1, 1, 1), (2, 0, 0, 0, 0, 0)) +
    tri((float("inf"), 0, 0, 0, 0, 0), (1e38, 1e38, 1, 1, 1, 1), (-1e38, 0, 0, 0, 0, 0)) +
    tri((-0.0, -0.0, 0, 0, 0, 0), (640, 0, 1, 1, 1, 1), (0, 480, 0, 0, 0, 0)) +
    tri((5, 5, 9, 9, 0, 0), (60, 5, 9, 9, 0, 0), (5, 60, 9, 9, 0, 0), nulls=2) +
    bytes([13]) + vertex(5, 5, 100, 10, 0, 0) * 3 + bytes([30, 2, 200, 3, 9, 10, 7]) +
    bytes([6, 4]))
put("draw", "fill_texmem", bytes([0, 0, 0, 2, 3, 3, 0, 12, 255]) + allocate(3, 8, 0, 3)[1:])
