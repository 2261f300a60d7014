// test_texmem.cpp: texture memory through the library's calls as a program makes them:
// allocation until the board's memory is full, refusals that cost nothing, separate
// memory per board, and handles that belong to another board or an earlier run, seen
// through the frames the boards show.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

#include <stb/stb_image.h>

#include "gfx/gfx.h"
#include "tex_test.h"

constexpr uint32_t FULL_CHAIN_565 = 2 * 87381; // 256x256 down to 1x1, rgb565
constexpr uint16_t RED = 0xf800, GREEN = 0x07e0, BLUE = 0x001f;

// guTexAllocateMemory with the program's values for a square texture unless told.
static GrMipMapId_t allocate(int32_t size, int32_t format = GR_TEXFMT_RGB_565,
                             int32_t mipmap = GR_MIPMAP_NEAREST, int32_t tmu = GR_TMU0,
                             int32_t small_lod = GR_LOD_1, int32_t width = 0)
{
    return guTexAllocateMemory(tmu, GR_MIPMAPLEVELMASK_BOTH, width ? width : size, size, format,
                               mipmap, small_lod, GR_LOD_1 - __builtin_ctz((unsigned)size),
                               GR_ASPECT_1x1, GR_TEXTURECLAMP_WRAP, GR_TEXTURECLAMP_WRAP,
                               GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
}

// A 1x1 texture of one rgb565 colour.
static GrMipMapId_t solid_texture(uint16_t rgb565)
{
    const GrMipMapId_t h = allocate(1);
    guTexDownloadMipMap(h, &rgb565, nullptr);
    return h;
}

// The library reads its environment at grGlideInit; each test starts it afresh, with
// every board open and every shown frame dumped.
class TexMem : public ::testing::Test
{
  protected:
    std::string dump = scratch_path(testing::UnitTest::GetInstance()->current_test_info()->name());

    void start(const char *texmem, const char *boards = "1")
    {
        std::filesystem::create_directories(dump);
        setenv("ACCEL_DISPLAY", "none", 1);
        setenv("ACCEL_VSYNC", "0", 1);
        setenv("ACCEL_BOARDS", boards, 1);
        setenv("ACCEL_DUMP", dump.c_str(), 1);
        texmem ? setenv("ACCEL_TEXMEM", texmem, 1) : unsetenv("ACCEL_TEXMEM");
        grGlideInit();
        GrHwConfiguration hw;
        ASSERT_NE(grSstQueryHardware(&hw), 0);
        for (int b = hw.num_sst - 1; b >= 0; b--) {
            grSstSelect(b);
            ASSERT_NE(grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                                GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2),
                      0);
        }
    }
    void TearDown() override { grGlideShutdown(); }

    // A textured triangle over the screen's centre at full colour, so that pixel = texel,
    // `units` of texture space per pixel, shown; the centre pixel of the frame that
    // `board` showed, as 0xRRGGBB.
    uint32_t draw_and_show(int board, GrMipMapId_t texture, float units = 0.125f)
    {
        guTexSource(texture);
        grBufferClear(0, 0, 0);
        GrVertex v[3];
        for (int k = 0; k < 3; k++) {
            const float x = k == 0 ? 100 : k == 1 ? 540 : 320, y = k == 2 ? 430 : 50;
            v[k] = {x, y, 0, 255, 255, 255, 0, 0, 1, {{x * units, y * units, 1}, {}}};
        }
        guDrawTriangleWithClip(&v[0], &v[1], &v[2]);
        grBufferSwap(0);
        std::string newest; // the names count frames up from 0
        const std::string prefix = "board" + std::to_string(board) + "-";
        for (const auto &e : std::filesystem::directory_iterator(dump))
            if (e.path().filename().string().rfind(prefix, 0) == 0)
                newest = std::max(newest, e.path().string());
        int w, h, n;
        unsigned char *px = stbi_load(newest.c_str(), &w, &h, &n, 3);
        const unsigned char *p = px ? px + ((size_t)(h / 2) * w + w / 2) * 3 : nullptr;
        const uint32_t c = p ? (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2] : 0xdeadbeef;
        stbi_image_free(px);
        return c;
    }
};

// A full 256x256 rgb565 chain's worth of memory (file bytes) and 8 more: two such chains
// of 8-bit texels fill it, and then only four 1x1 rgb565 textures fit; refusals of values
// the board cannot honour (another unit, an unknown format, a level range reversed, sides
// that do not match the levels) take nothing.
TEST_F(TexMem, AllocatesUntilTheBoardIsFullAndRefusalsCostNothing)
{
    start(std::to_string(FULL_CHAIN_565 + 8).c_str());
    EXPECT_NE(allocate(256, GR_TEXFMT_P_8), -1);
    EXPECT_NE(allocate(256, GR_TEXFMT_P_8), -1);
    EXPECT_EQ(allocate(256, GR_TEXFMT_P_8), -1);
    EXPECT_EQ(allocate(4), -1);
    const int32_t F = GR_TEXFMT_RGB_565, M = GR_MIPMAP_NEAREST;
    EXPECT_EQ(allocate(1, F, M, GR_TMU1) & allocate(1, 6) & allocate(1, F, M, GR_TMU0, GR_LOD_256) &
                  allocate(1, F, M, GR_TMU0, GR_LOD_1, 2),
              -1);
    for (int k = 0; k < 4; k++)
        EXPECT_NE(allocate(1), -1) << k;
    EXPECT_EQ(allocate(1), -1);
}

TEST_F(TexMem, BoardsKeepSeparateMemoryAndIgnoreEachOthersHandles)
{
    start(std::to_string(FULL_CHAIN_565).c_str(), "2");
    grSstSelect(0);
    const GrMipMapId_t green0 = solid_texture(GREEN);
    grSstSelect(1);
    const GrMipMapId_t red1 = solid_texture(RED);
    ASSERT_EQ(draw_and_show(1, red1), 0xff0000u) << "the control picture shows no texture";
    // Board 0's handle means nothing on board 1: neither selected nor written through.
    guTexDownloadMipMap(green0, &BLUE, nullptr);
    EXPECT_EQ(draw_and_show(1, green0), 0xff0000u);
    grSstSelect(0);
    EXPECT_EQ(draw_and_show(0, green0), 0x00ff00u);
    // Board 0 full does not make board 1 full.
    while (allocate(128) != -1) {
    }
    grSstSelect(1);
    EXPECT_NE(allocate(128), -1);
}

// Memory and handles of an earlier run: freed, and never taken for a texture of this run;
// then a 2x2 red over a 1x1 green drawn at about 8 texels per pixel, where the nearest
// level is the green one unless mipmapping is off.
TEST_F(TexMem, EarlierRunsMemoryIsReusedItsHandlesIgnoredAndMipmapsObeyed)
{
    start(std::to_string(FULL_CHAIN_565 + 2).c_str());
    const GrMipMapId_t old_green = solid_texture(GREEN);
    ASSERT_NE(allocate(256), -1);
    grGlideShutdown();
    EXPECT_EQ(allocate(1), -1); // after shutdown nothing is allocated or drawn, nothing breaks
    guTexSource(old_green);
    guTexDownloadMipMap(old_green, &BLUE, nullptr);

    start(std::to_string(FULL_CHAIN_565 + 2).c_str());
    ASSERT_NE(allocate(256), -1) << "the earlier run's memory is free again";
    ASSERT_NE(allocate(1), -1);
    grGlideShutdown();
    start(nullptr);
    const GrMipMapId_t red = solid_texture(RED);
    for (GrMipMapId_t h : {old_green, -1, -2, red + 1, red + 1024, INT32_MAX, INT32_MIN}) {
        guTexDownloadMipMap(h, &BLUE, nullptr);
        guTexSource(red);
        EXPECT_EQ(draw_and_show(0, h), 0xff0000u) << h;
    }
    const uint16_t texels[5] = {RED, RED, RED, RED, GREEN};
    for (int32_t mode : {GR_MIPMAP_NEAREST, GR_MIPMAP_DISABLE}) {
        const GrMipMapId_t h = allocate(2, GR_TEXFMT_RGB_565, mode);
        guTexDownloadMipMap(h, texels, nullptr);
        EXPECT_EQ(draw_and_show(0, h, 1024.0f), mode == GR_MIPMAP_DISABLE ? 0xff0000u : 0x00ff00u);
    }
}
