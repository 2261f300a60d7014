// dump.cpp: writes each shown frame into the ACCEL_DUMP folder as a PNG file (8-bit RGB,
// top row first, through zlib). A frame file is whole or absent; the first one that cannot
// be written is said on standard error and ends the dump.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
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

void add_chunk(std::vector<uint8_t> *png, const char type[4], const uint8_t *data, size_t len)
{
    uint8_t head[8];
    put_be32(head, (uint32_t)len);
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0, head + 4, 4);
    if (len > 0) // crc32 of a null buffer restarts the sum
        crc = crc32(crc, data, (uInt)len);
    uint8_t tail[4];
    put_be32(tail, (uint32_t)crc);
    png->insert(png->end(), head, head + 8);
    if (len > 0)
        png->insert(png->end(), data, data + len);
    png->insert(png->end(), tail, tail + 4);
}

// PNG bytes of rgba (bottom row first), top row first; empty when zlib fails.
std::vector<uint8_t> encode_png(const uint32_t *rgba, int width, int height)
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
        return {};

    uint8_t ihdr[13];
    put_be32(ihdr, (uint32_t)width);
    put_be32(ihdr + 4, (uint32_t)height);
    ihdr[8] = 8;  // bits per channel
    ihdr[9] = 2;  // truecolour
    ihdr[10] = 0; // deflate
    ihdr[11] = 0; // adaptive filtering
    ihdr[12] = 0; // not interlaced
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<uint8_t> png(signature, signature + 8);
    png.reserve(8 + 3 * 12 + 13 + packed_len);
    add_chunk(&png, "IHDR", ihdr, 13);
    add_chunk(&png, "IDAT", packed.data(), packed_len);
    add_chunk(&png, "IEND", nullptr, 0);
    return png;
}

// A new file in the folder under a name of its own. O_EXCL never opens what is there, a
// link planted by someone else included, so nothing outside the folder is written.
int create_new(int dir, const char *name, char *temp, size_t temp_size)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; attempt++) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        std::snprintf(temp, temp_size, ".%s.%d.%x%lx.part", name, (int)getpid(), counter++,
                      (unsigned long)ts.tv_nsec);
        const int fd =
            openat(dir, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            if (k == 0)
                errno = ENOSPC;
            return false;
        }
        p += k;
        n -= (size_t)k;
    }
    return true;
}

} // namespace

bool dump_open(Dump *d, const Env &env)
{
    *d = Dump{};
    const int dir = open(env.dump_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        debug_log(env, "ACCEL_DUMP='%s' is not a folder that can be opened: %s", env.dump_dir,
                  std::strerror(errno));
        return false;
    }
    // A folder that takes no file (read-only, not ours) is found now, not after the run.
    char temp[128];
    const int fd = create_new(dir, "board-check", temp, sizeof temp);
    if (fd < 0) {
        debug_log(env, "ACCEL_DUMP='%s' is a folder where no file can be made: %s", env.dump_dir,
                  std::strerror(errno));
        close(dir);
        return false;
    }
    close(fd);
    unlinkat(dir, temp, 0);
    d->dir = dir;
    std::snprintf(d->path, sizeof d->path, "%s", env.dump_dir);
    return true;
}

void dump_close(Dump *d)
{
    if (d->dir >= 0)
        close(d->dir);
    *d = Dump{};
}

bool dump_frame(Dump *d, int board, uint64_t frame, const uint32_t *rgba)
{
    if (d->dir < 0 || d->stopped)
        return false;
    char name[64], temp[128];
    std::snprintf(name, sizeof name, "board%d-frame%06" PRIu64 ".png", board, frame);
    const std::vector<uint8_t> png = encode_png(rgba, SCREEN_W, SCREEN_H);
    int err = png.empty() ? ENOMEM : 0;
    const int fd = err ? -1 : create_new(d->dir, name, temp, sizeof temp);
    if (fd < 0 && !err)
        err = errno;
    if (fd >= 0) {
        // Written under its own name, then renamed into place: a frame file is whole or
        // absent, and a rename replaces a link at the frame's name, never its target.
        if (!write_all(fd, png.data(), png.size()))
            err = errno;
        if (close(fd) != 0 && !err)
            err = errno;
        if (!err && renameat(d->dir, temp, d->dir, name) != 0)
            err = errno;
        if (err)
            unlinkat(d->dir, temp, 0);
    }
    if (!err)
        return true;
    // The user asked for these files: losing them is said once, whatever ACCEL_DEBUG says.
    d->stopped = true;
    std::fprintf(stderr, "accel: cannot write %s/%s (%s): no more frames are dumped\n", d->path,
                 name, std::strerror(err));
    return false;
}
