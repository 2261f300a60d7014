// fuzz_tdf.cpp: the 3DF reader and texture memory, through the library's public calls.
// Writes the fuzzer's input to a memory file, reads it as the program does (header, then
// exactly mem_required bytes of texels), then allocates, downloads and draws with it on
// an open board. Checks the header against the layout the file format fixes.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gfx/gfx.h"

static int memfile = -1;
static char path[64];

static void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_tdf: %s\n", what);
    std::abort();
}

static int texel_bytes(int32_t format)
{
    if (format >= GR_TEXFMT_RGB_332 && format <= GR_TEXFMT_P_8)
        return 1;
    if (format >= GR_TEXFMT_ARGB_8332 && format <= GR_TEXFMT_AP_88)
        return 2;
    return 0;
}

// Width and height of the level of size `size` (its longer side) for an aspect.
static void level_shape(int size, int32_t aspect, uint32_t *w, uint32_t *h)
{
    static const int ratio_w[] = {8, 4, 2, 1, 1, 1, 1};
    static const int ratio_h[] = {1, 1, 1, 1, 2, 4, 8};
    const int rw = ratio_w[aspect], rh = ratio_h[aspect];
    *w = (uint32_t)std::max(1, rw >= rh ? size : size * rw / rh);
    *h = (uint32_t)std::max(1, rw >= rh ? size * rh / rw : size);
}

// What a valid header must say, worked out from the format's rules.
static void check_header(const Gu3dfInfo &info)
{
    const Gu3dfHeader &h = info.header;
    const int bytes = texel_bytes(h.format);
    if (!bytes)
        fail("accepted an unknown format");
    if (h.large_lod < GR_LOD_256 || h.small_lod > GR_LOD_1 || h.large_lod > h.small_lod)
        fail("accepted a lod range out of order");
    if (h.aspect_ratio < GR_ASPECT_8x1 || h.aspect_ratio > GR_ASPECT_1x8)
        fail("accepted an unknown aspect ratio");
    uint32_t w = 0, hh = 0;
    level_shape(256 >> h.large_lod, h.aspect_ratio, &w, &hh);
    if (h.width != w || h.height != hh)
        fail("width and height do not match the largest level and aspect");
    uint64_t total = 0;
    for (int lod = h.large_lod; lod <= h.small_lod; lod++) {
        level_shape(256 >> lod, h.aspect_ratio, &w, &hh);
        total += (uint64_t)w * hh * bytes;
    }
    if (total != info.mem_required)
        fail("mem_required is not the byte count of the levels");
}

static GrVertex corner(float x, float y, float s, float t)
{
    GrVertex v = {};
    v.x = x;
    v.y = y;
    v.r = v.g = v.b = 200;
    v.ooz = 1000;
    v.oow = 1.0f / 16;
    v.tmuvtx[0].sow = s / 16;
    v.tmuvtx[0].tow = t / 16;
    v.tmuvtx[0].oow = 1.0f / 16;
    return v;
}

// Covers every level: one texel per pixel and magnified, then squeezed to a few pixels,
// then far from the origin of texture space so that wrapping is exercised.
static void draw_with(GrMipMapId_t handle)
{
    guTexSource(handle);
    grBufferClear(0, 0, 0);
    const GrVertex big[3] = {corner(0, 0, 0, 0), corner(640, 0, 512, 0), corner(0, 480, 0, 700)};
    guDrawTriangleWithClip(&big[0], &big[1], &big[2]);
    const GrVertex tiny[3] = {corner(10, 10, 0, 0), corner(13, 10, 4096, 0),
                              corner(10, 13, 0, 4096)};
    guDrawTriangleWithClip(&tiny[0], &tiny[1], &tiny[2]);
    const GrVertex far[3] = {corner(100, 100, -1e6f, 3e7f), corner(300, 120, -1e6f + 90, 3e7f),
                             corner(150, 400, -1e6f, 3e7f - 333)};
    guDrawTriangleWithClip(&far[0], &far[1], &far[2]);
    grBufferSwap(0);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("ACCEL_DISPLAY", "none", 1);
    setenv("ACCEL_VSYNC", "0", 1);
    setenv("ACCEL_THREADS", "0", 1);
    unsetenv("ACCEL_TEXMEM");
    unsetenv("ACCEL_BOARDS");
    unsetenv("ACCEL_DUMP");
    memfile = memfd_create("fuzz.3DF", 0);
    if (memfile < 0)
        fail("memfd_create failed");
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", memfile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(memfile, 0) != 0 || pwrite(memfile, data, size, 0) != (ssize_t)size)
        fail("cannot write the memory file");

    Gu3dfInfo info;
    std::memset(&info, 0xa5, sizeof info);
    if (!gu3dfGetInfo(path, &info))
        return 0;
    check_header(info);

    // Exactly mem_required bytes, as the program allocates: ASan reports any byte
    // written past them.
    void *texels = std::malloc(info.mem_required);
    info.data = texels;
    const int32_t loaded = gu3dfLoad(path, &info);
    if (info.data != texels)
        fail("gu3dfLoad changed the data pointer");
    if (!loaded) {
        std::free(texels);
        return 0;
    }

    grGlideInit();
    GrHwConfiguration hw;
    if (!grSstQueryHardware(&hw) || hw.num_sst < 1)
        fail("no board to draw on");
    grSstSelect(0);
    if (!grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                   GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2))
        fail("the board does not open");
    const Gu3dfHeader &h = info.header;
    const GrMipMapId_t handle = guTexAllocateMemory(
        GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, (int32_t)h.width, (int32_t)h.height, h.format,
        GR_MIPMAP_NEAREST, h.small_lod, h.large_lod, h.aspect_ratio, GR_TEXTURECLAMP_WRAP,
        GR_TEXTURECLAMP_WRAP, GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
    // The largest texture there is takes well under the default 2 MiB.
    if (handle == GR_NULL_MIPMAP_HANDLE)
        fail("a texture from a valid file does not fit an empty board");
    guColorCombineFunction(GR_COLORCOMBINE_TEXTURE_TIMES_ITRGB);
    grTexCombineFunction(GR_TMU0, GR_TEXTURECOMBINE_DECAL);
    grDepthBufferMode(GR_DEPTHBUFFER_ZBUFFER);
    grDepthBufferFunction(GR_CMP_GREATER);
    grDepthMask(1);
    guTexDownloadMipMap(handle, texels, &info.table);
    std::free(texels); // the texture must hold its own copy now
    draw_with(handle);
    grGlideShutdown();
    return 0;
}
