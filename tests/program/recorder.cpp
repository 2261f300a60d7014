// recorder.cpp: a stand-in for the accelerator library that the program tests load in its
// place (built as libaccel.so in a folder of its own). Reads RECORD_* from the
// environment; writes one line per call, with its arguments, to the file RECORD_FILE.
// It answers as a well-behaved library would, and fails the calls RECORD_FAIL names.
//
//   RECORD_FILE   lines are appended here; unset: nothing is written
//   RECORD_BOARDS num_sst that the query reports (default 1); "fail": the query fails
//   RECORD_FAIL   "call" or "call#n": the n-th such call (default the first) fails
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "gfx/gfx.h"

namespace
{

constexpr int HANDLE_BASE = 7001;
constexpr unsigned char DATA_FILL = 0x5a;

struct Recorder {
    char path[1024]; // the RECORD_FILE that fd is open on
    int fd;
    int calls_of_failing;    // calls so far of the call that RECORD_FAIL names
    int textures;            // handles given so far
    const void *loaded_data; // what the last gu3dfLoad filled
    const GuTexTable *loaded_table;
    uint32_t loaded_bytes;
};

Recorder rec = {{}, -1, 0, 0, nullptr, nullptr, 0};

// The file is named again at every call, so that a test can move to a fresh one.
int record_fd()
{
    const char *path = std::getenv("RECORD_FILE");
    if (!path || !*path || std::strlen(path) >= sizeof rec.path)
        return -1;
    if (rec.fd >= 0 && std::strcmp(path, rec.path) == 0)
        return rec.fd;
    if (rec.fd >= 0)
        close(rec.fd);
    rec.fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::strcpy(rec.path, path);
    return rec.fd;
}

// One whole line per write: a process killed between calls leaves whole lines only.
void record(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void record(const char *fmt, ...)
{
    const int fd = record_fd();
    if (fd < 0)
        return;
    char line[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (n > (int)sizeof line - 2)
        n = (int)sizeof line - 2;
    line[n++] = '\n';
    if (write(fd, line, (size_t)n) != n)
        return;
}

bool should_fail(const char *call)
{
    const char *wanted = std::getenv("RECORD_FAIL");
    if (!wanted)
        return false;
    const size_t len = std::strlen(call);
    if (std::strncmp(wanted, call, len) != 0 || (wanted[len] != 0 && wanted[len] != '#'))
        return false;
    const int nth = wanted[len] == '#' ? std::atoi(wanted + len + 1) : 1;
    return ++rec.calls_of_failing == nth;
}

void format_vertex(const GrVertex &v, char *out, size_t size)
{
    std::snprintf(out, size,
                  "%.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g "
                  "%.9g %.9g",
                  v.x, v.y, v.z, v.r, v.g, v.b, v.ooz, v.a, v.oow, v.tmuvtx[0].sow, v.tmuvtx[0].tow,
                  v.tmuvtx[0].oow, v.tmuvtx[1].sow, v.tmuvtx[1].tow, v.tmuvtx[1].oow);
}

} // namespace

extern "C" {

void grGlideInit(void)
{
    record("grGlideInit");
}

int32_t grSstQueryHardware(GrHwConfiguration *hwconfig)
{
    record("grSstQueryHardware");
    const char *boards = std::getenv("RECORD_BOARDS");
    if (should_fail("grSstQueryHardware") || (boards && std::strcmp(boards, "fail") == 0))
        return 0;
    *hwconfig = GrHwConfiguration{};
    hwconfig->num_sst = boards ? std::atoi(boards) : 1;
    return 1;
}

void grSstSelect(int32_t which_sst)
{
    record("grSstSelect %d", which_sst);
}

int32_t grSstOpen(int32_t resolution, int32_t refresh, int32_t color_format, int32_t origin,
                  int32_t smoothing, int32_t num_buffers)
{
    record("grSstOpen %d %d %d %d %d %d", resolution, refresh, color_format, origin, smoothing,
           num_buffers);
    return should_fail("grSstOpen") ? 0 : 1;
}

void guColorCombineFunction(int32_t function)
{
    record("guColorCombineFunction %d", function);
}
void grTexCombineFunction(int32_t tmu, int32_t function)
{
    record("grTexCombineFunction %d %d", tmu, function);
}
void grDepthBufferMode(int32_t mode)
{
    record("grDepthBufferMode %d", mode);
}
void grDepthBufferFunction(int32_t function)
{
    record("grDepthBufferFunction %d", function);
}
void grDepthMask(int32_t enable)
{
    record("grDepthMask %d", enable);
}

void grBufferClear(uint32_t color, uint8_t alpha, uint16_t depth)
{
    record("grBufferClear %u %u %u", color, (unsigned)alpha, (unsigned)depth);
}

// Stands in for the retrace, so that a run waiting for a key does not fill the disk.
void grBufferSwap(int32_t swap_interval)
{
    record("grBufferSwap %d", swap_interval);
    const timespec frame = {0, 5 * 1000 * 1000};
    nanosleep(&frame, nullptr);
}

// Two shapes, so that a test sees which file's header reached guTexAllocateMemory.
int32_t gu3dfGetInfo(const char *filename, Gu3dfInfo *info)
{
    record("gu3dfGetInfo %s", filename ? filename : "(null)");
    if (should_fail("gu3dfGetInfo") || !filename || !info)
        return 0;
    const bool first = std::strcmp(filename, "quib.3DF") == 0;
    info->header.width = first ? 256 : 64;
    info->header.height = first ? 128 : 64;
    info->header.small_lod = first ? GR_LOD_1 : GR_LOD_8;
    info->header.large_lod = first ? GR_LOD_256 : GR_LOD_64;
    info->header.aspect_ratio = first ? GR_ASPECT_2x1 : GR_ASPECT_1x1;
    info->header.format = first ? GR_TEXFMT_RGB_565 : GR_TEXFMT_P_8;
    info->mem_required = 1000;
    return 1;
}

// Fills every byte the caller said it has: a buffer too small shows under the sanitizers.
int32_t gu3dfLoad(const char *filename, Gu3dfInfo *info)
{
    record("gu3dfLoad %s %s", filename ? filename : "(null)",
           info && info->data ? "data" : "no-data");
    if (should_fail("gu3dfLoad") || !filename || !info || !info->data)
        return 0;
    std::memset(info->data, DATA_FILL, info->mem_required);
    std::memset(&info->table, 0, sizeof info->table);
    rec.loaded_data = info->data;
    rec.loaded_table = &info->table;
    rec.loaded_bytes = info->mem_required;
    return 1;
}

GrMipMapId_t guTexAllocateMemory(int32_t tmu, int32_t odd_even_mask, int32_t width, int32_t height,
                                 int32_t format, int32_t mipmap_mode, int32_t small_lod,
                                 int32_t large_lod, int32_t aspect_ratio, int32_t s_clamp,
                                 int32_t t_clamp, int32_t min_filter, int32_t mag_filter,
                                 float lod_bias, int32_t trilinear)
{
    record("guTexAllocateMemory %d %d %d %d %d %d %d %d %d %d %d %d %d %.9g %d", tmu, odd_even_mask,
           width, height, format, mipmap_mode, small_lod, large_lod, aspect_ratio, s_clamp, t_clamp,
           min_filter, mag_filter, (double)lod_bias, trilinear);
    if (should_fail("guTexAllocateMemory"))
        return GR_NULL_MIPMAP_HANDLE;
    return HANDLE_BASE + rec.textures++;
}

// "loaded" when src and table are what the last gu3dfLoad filled, and src still holds it.
void guTexDownloadMipMap(GrMipMapId_t mmid, const void *src, const GuTexTable *table)
{
    bool same = src && src == rec.loaded_data && table == rec.loaded_table;
    for (uint32_t i = 0; same && i < rec.loaded_bytes; i++)
        same = ((const unsigned char *)src)[i] == DATA_FILL;
    record("guTexDownloadMipMap %d %s", mmid, same ? "loaded" : "other");
}

void guTexSource(GrMipMapId_t mmid)
{
    record("guTexSource %d", mmid);
}

void guDrawTriangleWithClip(const GrVertex *a, const GrVertex *b, const GrVertex *c)
{
    char va[1024], vb[1024], vc[1024];
    format_vertex(*a, va, sizeof va);
    format_vertex(*b, vb, sizeof vb);
    format_vertex(*c, vc, sizeof vc);
    record("guDrawTriangleWithClip %s %s %s", va, vb, vc);
}

void grGlideShutdown(void)
{
    record("grGlideShutdown");
}

} // extern "C"
