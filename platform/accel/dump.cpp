// dump.cpp: writes a shown frame as a PNG file (8-bit RGB, top row first), through zlib.
#include <cstdio>
#include <cstring>
#include <vector>
#include <zlib.h>

#include "accel.h"

namespace
{

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

bool write_chunk(FILE *f, const char type[4], const uint8_t *data, size_t len)
{
    uint8_t head[8];
    put_be32(head, (uint32_t)len);
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0, head + 4, 4);
    if (len > 0) // crc32 of a null buffer restarts the sum
        crc = crc32(crc, data, (uInt)len);
    uint8_t tail[4];
    put_be32(tail, (uint32_t)crc);
    return std::fwrite(head, 1, 8, f) == 8 && (len == 0 || std::fwrite(data, 1, len, f) == len) &&
           std::fwrite(tail, 1, 4, f) == 4;
}

} // namespace

bool dump_png(const char *path, const uint32_t *rgba, int width, int height)
{
    // Each row: filter byte 0, then R, G, B. PNG rows run top down; ours bottom up.
    const size_t row_bytes = 1 + (size_t)width * 3;
    std::vector<uint8_t> raw(row_bytes * height);
    for (int y = 0; y < height; y++) {
        uint8_t *out = &raw[row_bytes * y];
        const uint32_t *in = rgba + (size_t)(height - 1 - y) * width;
        *out++ = 0;
        for (int x = 0; x < width; x++) {
            *out++ = (uint8_t)in[x];
            *out++ = (uint8_t)(in[x] >> 8);
            *out++ = (uint8_t)(in[x] >> 16);
        }
    }
    uLongf packed_len = compressBound((uLong)raw.size());
    std::vector<uint8_t> packed(packed_len);
    if (compress2(packed.data(), &packed_len, raw.data(), (uLong)raw.size(), 1) != Z_OK)
        return false;

    uint8_t ihdr[13];
    put_be32(ihdr, (uint32_t)width);
    put_be32(ihdr + 4, (uint32_t)height);
    ihdr[8] = 8;  // bits per channel
    ihdr[9] = 2;  // truecolour
    ihdr[10] = 0; // deflate
    ihdr[11] = 0; // adaptive filtering
    ihdr[12] = 0; // not interlaced
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

    FILE *f = std::fopen(path, "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(signature, 1, 8, f) == 8 && write_chunk(f, "IHDR", ihdr, 13) &&
              write_chunk(f, "IDAT", packed.data(), packed_len) &&
              write_chunk(f, "IEND", nullptr, 0);
    ok = std::fclose(f) == 0 && ok;
    return ok;
}
