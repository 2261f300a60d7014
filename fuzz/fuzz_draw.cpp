// fuzz_draw.cpp: the library's calls in any order with any arguments, drawn by two
// worker threads beside the caller. Reads the fuzzer's input as a program of calls (one
// opcode byte, then its arguments; tools/make_seeds.py writes seeds in this encoding);
// values are drawn from the edges that break rasterizers: NaN, infinities, -0, huge and
// tiny magnitudes, handles never given, states out of range. Ends every input with a
// shutdown so that each one runs from a fresh library. A fault shows as a sanitizer
// report or an abort from a check.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "gfx/gfx.h"

struct Input {
    const uint8_t *p, *end;
};

static uint8_t u8(Input *in)
{
    return in->p < in->end ? *in->p++ : 0;
}

static uint32_t u32(Input *in)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v = v << 8 | u8(in);
    return v;
}

// Mostly around the valid enumerations, on both sides; now and then an extreme.
static int32_t i32(Input *in)
{
    const uint8_t b = u8(in);
    const int32_t edge[5] = {INT32_MIN, INT32_MAX, 256, 1 << 30, 65535};
    return b < 0xf0 ? b % 20 - 3 : (b & 7) < 5 ? edge[b & 7] : (int32_t)u32(in);
}

static float f32(Input *in)
{
    static const float edge[13] = {0.0f,    -0.0f,  NAN,     INFINITY, -INFINITY,
                                   1e30f,   -1e30f, FLT_MAX, -FLT_MAX, FLT_TRUE_MIN,
                                   FLT_MIN, 1e-30f, 0.5f};
    const uint8_t b = u8(in) % 16;
    if (b < 13)
        return edge[b];
    if (b == 13) // any bits at all
        return std::bit_cast<float>(u32(in));
    if (b == 14) { // on and around the screen, in sub-pixel steps; low byte first
        const int lo = u8(in);
        return (float)(lo | u8(in) << 8) / 64.0f - 200.0f;
    }
    return (float)u8(in) * 1.5f - 16.0f; // colours, depths, half-pixels near the edges
}

static GrVertex vertex(Input *in)
{
    float f[sizeof(GrVertex) / sizeof(float)];
    for (float &v : f)
        v = f32(in);
    return std::bit_cast<GrVertex>(f);
}

// A clear touches every pixel, a burst draws thousands of triangles and a swap shows a
// frame; a few per input find what more would, and keep each input to milliseconds.
struct Run {
    int clears = 3, bursts = 2, swaps = 4;
    GrMipMapId_t handle[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    int next = 0;
};

static GrMipMapId_t handle(Input *in, const Run &run)
{
    const uint8_t b = u8(in);
    if (b < 0x80)
        return run.handle[b % 8];
    if (b < 0xc0) // another board's or another run's handle of the same slot
        return run.handle[b % 8] ^ (1 << (10 + b % 12));
    return (GrMipMapId_t)u32(in);
}

// Anything at all, or a shape the program could ask for, so that the texture exists.
static GrMipMapId_t allocate(Input *in, Run *run)
{
    int32_t a[14];
    for (int32_t &v : a)
        v = i32(in);
    const uint8_t how = u8(in);
    if (how & 1) {
        const int32_t formats[13] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, 14};
        const int32_t large = (a[0] & 15) % 9, small = large + (a[1] & 15) % (9 - large);
        const int32_t aspect = (a[2] & 7) % 7, size = 256 >> large;
        a[0] = GR_TMU0, a[1] = GR_MIPMAPLEVELMASK_BOTH, a[4] = formats[(how >> 1) % 13];
        a[2] = aspect <= GR_ASPECT_1x1 ? size : std::max(1, size >> (aspect - 3));
        a[3] = aspect >= GR_ASPECT_1x1 ? size : std::max(1, size >> (3 - aspect));
        a[5] = GR_MIPMAP_NEAREST, a[6] = small, a[7] = large, a[8] = aspect;
        a[9] = a[10] = GR_TEXTURECLAMP_WRAP, a[11] = a[12] = GR_TEXTUREFILTER_BILINEAR;
        a[13] = 0;
    }
    const GrMipMapId_t h =
        guTexAllocateMemory(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10],
                            a[11], a[12], (how & 1) ? 0.0f : f32(in), a[13]);
    if (h < -1)
        fail("fuzz_draw: guTexAllocateMemory returned a negative handle other than -1");
    if (h != -1)
        run->handle[run->next++ % 8] = h;
    return h;
}

// The variables grGlideInit reads, with good and bad spellings; only values that keep
// the run fast and quiet (no display, no waiting, no dump).
static void set_env(Input *in)
{
    const uint8_t e = u8(in), display = u8(in);
    setenv("ACCEL_VSYNC", "0", 1);
    unsetenv("ACCEL_DEBUG");
    unsetenv("ACCEL_DUMP");
    setenv("ACCEL_DISPLAY", display == 0xff ? "bogus" : "none", 1);
    static const char *const boards[8] = {nullptr, "0", "1", "2", "8", "9", "-1", "x"};
    static const char *const texmem[8] = {nullptr, "1",       "100", "4096",
                                          "65536", "2097152", "0",   "1e3"};
    static const char *const threads[4] = {"2", "0", "8", "zz"};
    boards[e & 7] ? setenv("ACCEL_BOARDS", boards[e & 7], 1) : unsetenv("ACCEL_BOARDS");
    texmem[e >> 3 & 7] ? setenv("ACCEL_TEXMEM", texmem[e >> 3 & 7], 1) : unsetenv("ACCEL_TEXMEM");
    setenv("ACCEL_THREADS", threads[e >> 6], 1);
}

static uint8_t texels[256 * 256 * 2 * 2]; // every level of the largest texture, widest format
static GuTexTable table;

static void step(Input *in, Run *run)
{
    switch (u8(in) % 14) {
    case 0:
        set_env(in);
        grGlideInit();
        break;
    case 1: {
        GrHwConfiguration hw;
        std::memset(&hw, 0x5a, sizeof hw);
        const bool null = u8(in) & 1;
        if (grSstQueryHardware(null ? nullptr : &hw) && !null &&
            (hw.num_sst < 0 || hw.num_sst > GR_MAX_BOARDS))
            fail("fuzz_draw: grSstQueryHardware reported an impossible board count");
        break;
    }
    case 2:
        grSstSelect(i32(in));
        break;
    case 3: {
        int32_t a[6] = {GR_RESOLUTION_640x480, GR_REFRESH_60Hz,     GR_COLORFORMAT_ABGR,
                        GR_ORIGIN_LOWER_LEFT,  GR_SMOOTHING_ENABLE, 2};
        if (u8(in) & 1)
            for (int32_t &v : a)
                v = i32(in);
        grSstOpen(a[0], a[1], a[2], a[3], a[4], a[5]);
        break;
    }
    case 4: { // render state
        const int32_t which = u8(in) % 5, tmu = i32(in), v = i32(in);
        which == 0   ? guColorCombineFunction(v)
        : which == 1 ? grTexCombineFunction(tmu, v)
        : which == 2 ? grDepthBufferMode(v)
        : which == 3 ? grDepthBufferFunction(v)
                     : grDepthMask(v);
        break;
    }
    case 5: // the arguments are read whether or not the clear is made
        if (const uint32_t color = u32(in), alpha = u8(in), depth = u8(in); run->clears-- > 0)
            grBufferClear(color, (uint8_t)alpha, (uint16_t)(depth * 257));
        break;
    case 6:
        if (const int32_t interval = i32(in); run->swaps-- > 0)
            grBufferSwap(interval);
        break;
    case 7:
        allocate(in, run);
        break;
    case 8: {
        const GrMipMapId_t h = handle(in, *run);
        const uint8_t how = u8(in);
        std::memset(texels, how, sizeof texels);
        std::memset(&table, how ^ 0x5a, sizeof table);
        guTexDownloadMipMap(h, (how & 1) ? nullptr : texels, (how & 2) ? nullptr : &table);
        break;
    }
    case 9:
        guTexSource(handle(in, *run));
        break;
    case 10: {
        const GrVertex v[3] = {vertex(in), vertex(in), vertex(in)};
        const uint8_t nulls = u8(in);
        guDrawTriangleWithClip(nulls == 1 ? nullptr : &v[0], nulls == 2 ? nullptr : &v[1],
                               nulls == 3 ? nullptr : &v[2]);
        break;
    }
    case 11:
        grGlideShutdown();
        break;
    case 12: { // texture memory and its handle table filled up, the same arguments each time
        const int count = 1 + u8(in) * 5;
        const Input shape = *in;
        for (int i = 0; i < count; i++) {
            *in = shape;
            if (allocate(in, run) == -1)
                break;
        }
        break;
    }
    case 13: { // many small triangles in one frame: the queues fill and flush
        GrVertex v[3] = {vertex(in), vertex(in), vertex(in)};
        const int count = run->bursts-- > 0 ? u8(in) * 16 : 0;
        const float dx = (float)(u8(in) % 64) * 0.37f, dy = (float)(u8(in) % 64) * 0.29f;
        for (int k = 1; k < 3; k++) {
            v[k].x = v[0].x + (float)(u8(in) % 32) - 16.0f;
            v[k].y = v[0].y + (float)(u8(in) % 32) - 16.0f;
        }
        for (int i = 0; i < count; i++) {
            for (GrVertex &c : v) {
                c.x = std::fmod(c.x + dx, 700.0f);
                c.y = std::fmod(c.y + dy, 540.0f);
            }
            guDrawTriangleWithClip(&v[0], &v[1], &v[2]);
        }
        break;
    }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in = {data, data + size};
    Run run;
    while (in.p < in.end)
        step(&in, &run);
    grGlideShutdown();
    return 0;
}
