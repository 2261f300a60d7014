// tdf.cpp: the 3DF reader behind gu3dfGetInfo and gu3dfLoad.
// Reads a texture file: four header lines, the palette or compression table, the texels.
// Writes Gu3dfInfo: the header values and mem_required, then the table and the caller's
// texel buffer (16-bit texels in host order). Nothing is read past the end of the file.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "texture.h"

namespace
{

// The longest valid line needs about 30 bytes; blanks around the numbers may pad it, but
// a line that runs on past this is not a header line.
constexpr size_t LINE_MAX_BYTES = 128;
constexpr size_t HEADER_MAX_BYTES = 4 * LINE_MAX_BYTES;
// Nine digits cannot overflow an int32 and already reach far past any valid size.
constexpr int NUMBER_MAX_DIGITS = 9;

struct FormatName {
    const char *name;
    int32_t format;
};

constexpr FormatName FORMAT_NAMES[] = {
    {"rgb332", GR_TEXFMT_RGB_332},
    {"yiq", GR_TEXFMT_YIQ_422},
    {"a8", GR_TEXFMT_ALPHA_8},
    {"i8", GR_TEXFMT_INTENSITY_8},
    {"ai44", GR_TEXFMT_ALPHA_INTENSITY_44},
    {"p8", GR_TEXFMT_P_8},
    {"argb8332", GR_TEXFMT_ARGB_8332},
    {"ayiq8422", GR_TEXFMT_AYIQ_8422},
    {"rgb565", GR_TEXFMT_RGB_565},
    {"argb1555", GR_TEXFMT_ARGB_1555},
    {"argb4444", GR_TEXFMT_ARGB_4444},
    {"ai88", GR_TEXFMT_ALPHA_INTENSITY_88},
    {"ap88", GR_TEXFMT_AP_88},
};

// Width to height, in GR_ASPECT_* order.
constexpr int ASPECTS[][2] = {{8, 1}, {4, 1}, {2, 1}, {1, 1}, {1, 2}, {1, 4}, {1, 8}};

// One header line without its line end.
struct Line {
    const char *p = nullptr;
    size_t len = 0;
};

struct ParsedHeader {
    Gu3dfHeader header = {};
    uint32_t mem_required = 0;
    int table_bytes = 0;
    off_t data_offset = 0; // first byte after the header
};

// Only regular files: a FIFO or a device could block or never end.
int open_regular(const char *filename)
{
    const int fd = open(filename, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads up to len bytes at offset; returns how many it got (short only at end of file),
// or -1 on a read error.
ssize_t read_at(int fd, void *dst, size_t len, off_t offset)
{
    size_t got = 0;
    while (got < len) {
        const ssize_t n = pread(fd, (char *)dst + got, len - got, offset + (off_t)got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += (size_t)n;
    }
    return (ssize_t)got;
}

// Takes the next line from buf[*pos, len); a line must end in LF within LINE_MAX_BYTES.
// A CR right before the LF is part of the line end.
bool next_line(const char *buf, size_t len, size_t *pos, Line *line)
{
    const size_t limit = std::min(len, *pos + LINE_MAX_BYTES);
    const void *lf = std::memchr(buf + *pos, '\n', limit - *pos);
    if (!lf)
        return false;
    const size_t end = (size_t)((const char *)lf - buf);
    line->p = buf + *pos;
    line->len = end - *pos;
    if (line->len > 0 && line->p[line->len - 1] == '\r')
        line->len--;
    *pos = end + 1;
    return true;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}
bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

void skip_blanks(const Line &l, size_t *i)
{
    while (*i < l.len && is_blank(l.p[*i]))
        (*i)++;
}

bool take_prefix(const Line &l, const char *prefix, size_t *i)
{
    const size_t n = std::strlen(prefix);
    if (l.len - *i < n || std::memcmp(l.p + *i, prefix, n) != 0)
        return false;
    *i += n;
    return true;
}

// Unsigned decimal of 1..NUMBER_MAX_DIGITS digits.
bool take_number(const Line &l, size_t *i, int *value)
{
    int v = 0, digits = 0;
    while (*i < l.len && is_digit(l.p[*i])) {
        if (++digits > NUMBER_MAX_DIGITS)
            return false;
        v = v * 10 + (l.p[*i] - '0');
        (*i)++;
    }
    *value = v;
    return digits > 0;
}

// "3df v<digits>.<digits>"; blanks may follow the version number.
bool parse_magic(const Line &l)
{
    size_t i = 0;
    int major, minor;
    if (!take_prefix(l, "3df v", &i) || !take_number(l, &i, &major) || !take_prefix(l, ".", &i) ||
        !take_number(l, &i, &minor))
        return false;
    skip_blanks(l, &i);
    return i == l.len;
}

bool parse_format(const Line &l, int32_t *format)
{
    for (const FormatName &f : FORMAT_NAMES) {
        if (l.len == std::strlen(f.name) && std::memcmp(l.p, f.name, l.len) == 0) {
            *format = f.format;
            return true;
        }
    }
    return false;
}

// "<prefix> A B" with blanks around the numbers (at least one between them).
bool parse_pair(const Line &l, const char *prefix, int *a, int *b)
{
    size_t i = 0;
    if (!take_prefix(l, prefix, &i))
        return false;
    skip_blanks(l, &i);
    if (!take_number(l, &i, a))
        return false;
    const size_t before = i;
    skip_blanks(l, &i);
    if (i == before || !take_number(l, &i, b))
        return false;
    skip_blanks(l, &i);
    return i == l.len;
}

// GR_LOD_* of a level size that is a power of two from 1 to 256, else -1.
int32_t lod_of_size(int size)
{
    for (int32_t lod = GR_LOD_256; lod <= GR_LOD_1; lod++)
        if (size == 256 >> lod)
            return lod;
    return -1;
}

int32_t aspect_of(int w, int h)
{
    for (int32_t a = 0; a < (int32_t)(sizeof ASPECTS / sizeof ASPECTS[0]); a++)
        if (ASPECTS[a][0] == w && ASPECTS[a][1] == h)
            return a;
    return -1;
}

bool parse_header(int fd, ParsedHeader *out)
{
    char buf[HEADER_MAX_BYTES];
    const ssize_t got = read_at(fd, buf, sizeof buf, 0);
    if (got <= 0)
        return false;
    const size_t len = (size_t)got;
    size_t pos = 0;
    Line magic, format, lods, aspect;
    if (!next_line(buf, len, &pos, &magic) || !next_line(buf, len, &pos, &format) ||
        !next_line(buf, len, &pos, &lods) || !next_line(buf, len, &pos, &aspect))
        return false;

    Gu3dfHeader h = {};
    int small_size, large_size, aspect_w, aspect_h;
    if (!parse_magic(magic) || !parse_format(format, &h.format) ||
        !parse_pair(lods, "lod range:", &small_size, &large_size) ||
        !parse_pair(aspect, "aspect ratio:", &aspect_w, &aspect_h))
        return false;
    h.small_lod = lod_of_size(small_size);
    h.large_lod = lod_of_size(large_size);
    h.aspect_ratio = aspect_of(aspect_w, aspect_h);
    if (h.small_lod < 0 || h.large_lod < 0 || h.aspect_ratio < 0)
        return false;
    TexShape shape;
    if (!tex_shape(h.format, h.small_lod, h.large_lod, h.aspect_ratio, &shape))
        return false; // smallest size above the largest
    h.width = (uint32_t)shape.width;
    h.height = (uint32_t)shape.height;

    out->header = h;
    out->mem_required = shape.bytes;
    out->table_bytes = tex_table_bytes(h.format);
    out->data_offset = (off_t)pos;
    return true;
}

uint16_t be16(const uint8_t *p)
{
    return (uint16_t)(p[0] << 8 | p[1]);
}

// The table as the file stores it, into host values. False for a compression table
// whose values are outside their documented ranges.
bool decode_table(int32_t format, const uint8_t *src, GuTexTable *table)
{
    std::memset(table, 0, sizeof *table);
    if (format == GR_TEXFMT_P_8 || format == GR_TEXFMT_AP_88) {
        for (int e = 0; e < 256; e++)
            table->palette[e] = (uint32_t)be16(src + 4 * e) << 16 | be16(src + 4 * e + 2);
        return true;
    }
    if (format != GR_TEXFMT_YIQ_422 && format != GR_TEXFMT_AYIQ_8422)
        return true;
    int16_t v[40];
    for (int k = 0; k < 40; k++)
        v[k] = (int16_t)be16(src + 2 * k);
    for (int k = 0; k < 16; k++) {
        if (v[k] < 0 || v[k] > 255)
            return false;
        table->ncc.y[k] = v[k];
    }
    for (int k = 16; k < 40; k++)
        if (v[k] < -256 || v[k] > 255)
            return false;
    std::memcpy(table->ncc.i, v + 16, sizeof table->ncc.i);
    std::memcpy(table->ncc.q, v + 28, sizeof table->ncc.q);
    return true;
}

bool same_header(const Gu3dfHeader &a, const Gu3dfHeader &b)
{
    return a.width == b.width && a.height == b.height && a.small_lod == b.small_lod &&
           a.large_lod == b.large_lod && a.aspect_ratio == b.aspect_ratio && a.format == b.format;
}

bool load(int fd, Gu3dfInfo *info)
{
    ParsedHeader ph;
    if (!parse_header(fd, &ph))
        return false;
    // The file may have been replaced since gu3dfGetInfo sized the caller's buffer.
    if (!same_header(ph.header, info->header) || ph.mem_required != info->mem_required)
        return false;

    uint8_t raw_table[1024];
    GuTexTable table;
    if (read_at(fd, raw_table, (size_t)ph.table_bytes, ph.data_offset) != ph.table_bytes ||
        !decode_table(ph.header.format, raw_table, &table))
        return false;

    const ssize_t want = (ssize_t)ph.mem_required;
    if (read_at(fd, info->data, ph.mem_required, ph.data_offset + ph.table_bytes) != want)
        return false;
    if (tex_texel_bytes(ph.header.format) == 2) {
        uint8_t *p = (uint8_t *)info->data;
        for (uint32_t k = 0; k + 1 < ph.mem_required; k += 2) {
            const uint16_t v = be16(p + k);
            std::memcpy(p + k, &v, 2);
        }
    }
    info->table = table;
    return true;
}

} // namespace

int32_t tdf_get_info(const char *filename, Gu3dfInfo *info)
{
    const int fd = open_regular(filename);
    if (fd < 0)
        return 0;
    ParsedHeader ph;
    const bool ok = parse_header(fd, &ph);
    close(fd);
    if (!ok)
        return 0;
    info->header = ph.header;
    info->mem_required = ph.mem_required;
    return 1;
}

int32_t tdf_load(const char *filename, Gu3dfInfo *info)
{
    if (!info->data)
        return 0;
    const int fd = open_regular(filename);
    if (fd < 0)
        return 0;
    const bool ok = load(fd, info);
    close(fd);
    return ok ? 1 : 0;
}
