// fuzz_tdf.cpp: the 3DF reader and texture memory, through the library's public calls.
// Writes the fuzzer's input to a memory file and reads it as the program does (header,
// then exactly mem_required bytes of texels, so that ASan reports any byte written past
// them); a file that loads must then allocate, download and draw on an empty board.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "gfx/gfx.h"

static int memfile = -1;
static char path[64];

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
        fail("fuzz_tdf: memfd_create failed");
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", memfile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(memfile, 0) != 0 || pwrite(memfile, data, size, 0) != (ssize_t)size)
        fail("fuzz_tdf: cannot write the memory file");
    Gu3dfInfo info;
    std::memset(&info, 0xa5, sizeof info);
    if (!gu3dfGetInfo(path, &info))
        return 0;
    void *texels = std::malloc(info.mem_required);
    info.data = texels;
    const int32_t loaded = gu3dfLoad(path, &info);
    if (info.data != texels)
        fail("fuzz_tdf: gu3dfLoad changed the data pointer");
    if (loaded) {
        grGlideInit();
        grSstSelect(0);
        if (!grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                       GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2))
            fail("fuzz_tdf: the board does not open");
        const Gu3dfHeader &h = info.header;
        const GrMipMapId_t handle = guTexAllocateMemory(
            GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, (int32_t)h.width, (int32_t)h.height, h.format,
            GR_MIPMAP_NEAREST, h.small_lod, h.large_lod, h.aspect_ratio, GR_TEXTURECLAMP_WRAP,
            GR_TEXTURECLAMP_WRAP, GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
        // The largest texture there is takes well under the default 2 MiB.
        if (handle == GR_NULL_MIPMAP_HANDLE)
            fail("fuzz_tdf: a texture from a valid file does not fit an empty board");
        guTexDownloadMipMap(handle, texels, &info.table);
        std::free(texels); // the texture must hold its own copy now
        texels = nullptr;
        guTexSource(handle);
        grBufferClear(0, 0, 0);
        // Every level: one texel per pixel and magnified, squeezed to a few pixels, and
        // far from the origin of texture space, where wrapping counts.
        const float corners[3][3][4] = {
            {{0, 0, 0, 0}, {640, 0, 512, 0}, {0, 480, 0, 700}},
            {{10, 10, 0, 0}, {13, 10, 4096, 0}, {10, 13, 0, 4096}},
            {{100, 100, -1e6f, 3e7f}, {300, 120, -1e6f + 90, 3e7f}, {150, 400, -1e6f, 3e7f - 333}}};
        for (const auto &tri : corners) {
            GrVertex v[3] = {};
            for (int k = 0; k < 3; k++) {
                v[k].x = tri[k][0], v[k].y = tri[k][1], v[k].r = v[k].g = v[k].b = 200;
                v[k].oow = v[k].tmuvtx[0].oow = 1.0f / 16;
                v[k].tmuvtx[0].sow = tri[k][2] / 16, v[k].tmuvtx[0].tow = tri[k][3] / 16;
            }
            guDrawTriangleWithClip(&v[0], &v[1], &v[2]);
        }
        grBufferSwap(0);
        grGlideShutdown();
    }
    std::free(texels);
    return 0;
}
