// test_texmem.cpp: texture memory through the library's calls as a program makes them:
// allocation until the board's memory is full, values the board cannot honour, separate
// memory per board, and handles that belong to another board or an earlier run.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include <stb/stb_image.h>

#include "gfx/gfx.h"
#include "tex_test.h"

namespace
{

constexpr uint32_t FULL_CHAIN_565 = 2 * 87381; // 256x256 down to 1x1, rgb565

struct Shape {
    int32_t width, height, format, small_lod, large_lod, aspect;
};
constexpr Shape BIG = {256, 256, GR_TEXFMT_RGB_565, GR_LOD_1, GR_LOD_256, GR_ASPECT_1x1};
constexpr Shape TINY = {1, 1, GR_TEXFMT_RGB_565, GR_LOD_1, GR_LOD_1, GR_ASPECT_1x1};

GrMipMapId_t allocate(const Shape &s)
{
    return guTexAllocateMemory(GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, s.width, s.height, s.format,
                               GR_MIPMAP_NEAREST, s.small_lod, s.large_lod, s.aspect,
                               GR_TEXTURECLAMP_WRAP, GR_TEXTURECLAMP_WRAP,
                               GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
}

// The library reads its environment at grGlideInit; each test starts it afresh.
class TexMem : public ::testing::Test
{
  protected:
    std::string dump;

    void start(const char *texmem, const char *boards = "1")
    {
        dump = scratch_path(::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dump);
        setenv("ACCEL_DISPLAY", "none", 1);
        setenv("ACCEL_VSYNC", "0", 1);
        setenv("ACCEL_BOARDS", boards, 1);
        setenv("ACCEL_DUMP", dump.c_str(), 1);
        if (texmem)
            setenv("ACCEL_TEXMEM", texmem, 1);
        else
            unsetenv("ACCEL_TEXMEM");
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
};

TEST_F(TexMem, AllocatesUntilTheBoardIsFull)
{
    // The default 2 MiB holds twelve full 256x256 rgb565 chains (file bytes) and not 13.
    start(nullptr);
    for (int k = 0; k < 12; k++)
        ASSERT_NE(allocate(BIG), -1) << k;
    EXPECT_EQ(allocate(BIG), -1);
    // What is left (2097152 - 12 * 174762 = 8 bytes) still takes four 1x1 textures.
    for (int k = 0; k < 4; k++)
        EXPECT_NE(allocate(TINY), -1) << k;
    EXPECT_EQ(allocate(TINY), -1);
}

TEST_F(TexMem, EightBitTexelsTakeHalfTheMemory)
{
    const std::string cap = std::to_string(FULL_CHAIN_565);
    start(cap.c_str());
    const Shape p8 = {256, 256, GR_TEXFMT_P_8, GR_LOD_1, GR_LOD_256, GR_ASPECT_1x1};
    EXPECT_NE(allocate(p8), -1);
    EXPECT_NE(allocate(p8), -1);
    EXPECT_EQ(allocate(p8), -1);
    EXPECT_EQ(allocate(TINY), -1);
}

TEST_F(TexMem, ValuesTheBoardCannotHonourAreRefusedAndCostNothing)
{
    const std::string cap = std::to_string(FULL_CHAIN_565);
    start(cap.c_str());
    const auto a = [](int32_t tmu, int32_t mask, int32_t w, int32_t h, int32_t fmt, int32_t mip,
                      int32_t small, int32_t large, int32_t aspect, int32_t sc, int32_t tc,
                      int32_t minf, int32_t magf, float bias, int32_t tri) {
        return guTexAllocateMemory(tmu, mask, w, h, fmt, mip, small, large, aspect, sc, tc, minf,
                                   magf, bias, tri);
    };
    const int32_t W = GR_TEXTURECLAMP_WRAP, B = GR_TEXTUREFILTER_BILINEAR, F = GR_TEXFMT_RGB_565;
    EXPECT_EQ(a(GR_TMU1, 3, 256, 256, F, 1, 8, 0, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(2, 3, 256, 256, F, 1, 8, 0, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, GR_MIPMAPLEVELMASK_EVEN, 256, 256, F, 1, 8, 0, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, GR_MIPMAPLEVELMASK_ODD, 256, 256, F, 1, 8, 0, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, GR_MIPMAP_NEAREST_DITHER, 8, 0, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 7, 8, 0, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 8, 0, 3, GR_TEXTURECLAMP_CLAMP, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 8, 0, 3, W, GR_TEXTURECLAMP_CLAMP, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 8, 0, 3, W, W, GR_TEXTUREFILTER_POINT_SAMPLED, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 8, 0, 3, W, W, B, GR_TEXTUREFILTER_POINT_SAMPLED, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 8, 0, 3, W, W, B, B, 0.5f, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 8, 0, 3, W, W, B, B, NAN, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 8, 0, 3, W, W, B, B, 0, 1), -1);
    // Shapes: sides that do not match the levels and aspect, unknown formats, lods in
    // the wrong order or out of range, unknown aspects.
    EXPECT_EQ(a(0, 3, 128, 256, F, 1, 8, 0, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 32, F, 1, 8, 0, GR_ASPECT_4x1, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, -256, 256, F, 1, 8, 0, 3, W, W, B, B, 0, 0), -1);
    for (int32_t fmt : {-1, 6, 7, 15, 1000})
        EXPECT_EQ(a(0, 3, 256, 256, fmt, 1, 8, 0, 3, W, W, B, B, 0, 0), -1) << fmt;
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 0, 8, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 9, 0, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 512, 512, F, 1, 8, -1, 3, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 8, 0, 7, W, W, B, B, 0, 0), -1);
    EXPECT_EQ(a(0, 3, 256, 256, F, 1, 8, 0, -1, W, W, B, B, 0, 0), -1);

    // None of that took memory: the one texture that fills it exactly still fits.
    EXPECT_NE(allocate(BIG), -1);
    EXPECT_EQ(allocate(TINY), -1);
}

// ---- handles, seen through the pictures the boards show -----------------------------

// One texel of colour (rgb565) in a 1x1 texture.
GrMipMapId_t solid_texture(uint16_t rgb565)
{
    const GrMipMapId_t h = allocate(TINY);
    if (h != -1)
        guTexDownloadMipMap(h, &rgb565, nullptr);
    return h;
}

// A textured triangle over the screen's centre, at full colour so that pixel = texel,
// `units` of texture space per pixel, then a swap: the frame goes to the dump folder.
void draw_and_show(float units = 0.125f)
{
    grBufferClear(0, 0, 0);
    GrVertex v[3] = {};
    const float xy[3][2] = {{100, 50}, {540, 50}, {320, 430}};
    for (int k = 0; k < 3; k++) {
        v[k].x = xy[k][0];
        v[k].y = xy[k][1];
        v[k].r = v[k].g = v[k].b = 255;
        v[k].oow = v[k].tmuvtx[0].oow = 1;
        v[k].tmuvtx[0].sow = xy[k][0] * units;
        v[k].tmuvtx[0].tow = xy[k][1] * units;
    }
    guDrawTriangleWithClip(&v[0], &v[1], &v[2]);
    grBufferSwap(0);
}

// The centre pixel of the newest frame that `board` showed, as 0xRRGGBB.
uint32_t shown_centre(const std::string &dir, int board)
{
    std::string newest;
    const std::string prefix = "board" + std::to_string(board) + "-";
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && name > newest)
            newest = name;
    }
    if (newest.empty())
        return 0xdeadbeef;
    int w, h, n;
    unsigned char *px = stbi_load((dir + "/" + newest).c_str(), &w, &h, &n, 3);
    if (!px)
        return 0xdeadbeef;
    const unsigned char *p = px + ((size_t)(h / 2) * w + w / 2) * 3;
    const uint32_t c = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
    stbi_image_free(px);
    return c;
}

constexpr uint16_t RED = 0xf800, GREEN = 0x07e0, BLUE = 0x001f;

TEST_F(TexMem, BoardsKeepSeparateMemoryAndIgnoreEachOthersHandles)
{
    const std::string cap = std::to_string(FULL_CHAIN_565);
    start(cap.c_str(), "2");
    grSstSelect(0);
    const GrMipMapId_t green0 = solid_texture(GREEN);
    ASSERT_NE(green0, -1);
    grSstSelect(1);
    const GrMipMapId_t red1 = solid_texture(RED);
    ASSERT_NE(red1, -1);
    EXPECT_NE(green0, red1);

    guTexSource(red1);
    draw_and_show();
    ASSERT_EQ(shown_centre(dump, 1), 0xff0000u) << "the control picture shows no texture";

    // Board 0's handle means nothing on board 1: neither selected nor written through.
    guTexSource(green0);
    guTexDownloadMipMap(green0, &BLUE, nullptr);
    draw_and_show();
    EXPECT_EQ(shown_centre(dump, 1), 0xff0000u);
    grSstSelect(0);
    guTexSource(green0);
    draw_and_show();
    EXPECT_EQ(shown_centre(dump, 0), 0x00ff00u);

    // Board 0 full does not make board 1 full.
    grSstSelect(0);
    const Shape big_minus_one = {128, 128, GR_TEXFMT_RGB_565, GR_LOD_1, GR_LOD_128, GR_ASPECT_1x1};
    int on0 = 0;
    while (allocate(big_minus_one) != -1)
        on0++;
    EXPECT_EQ(on0, (int)((FULL_CHAIN_565 - 2) / (2 * 21845)));
    grSstSelect(1);
    EXPECT_NE(allocate(big_minus_one), -1);
}

TEST_F(TexMem, HandlesOfAnEarlierRunAreIgnored)
{
    start(nullptr);
    const GrMipMapId_t old_green = solid_texture(GREEN);
    ASSERT_NE(old_green, -1);
    grGlideShutdown();
    // After shutdown nothing is allocated or drawn, and nothing breaks.
    EXPECT_EQ(allocate(TINY), -1);
    guTexSource(old_green);
    guTexDownloadMipMap(old_green, &BLUE, nullptr);

    start(nullptr);
    const GrMipMapId_t red = solid_texture(RED);
    ASSERT_NE(red, -1);
    guTexSource(red);
    guTexSource(old_green);
    guTexDownloadMipMap(old_green, &BLUE, nullptr);
    draw_and_show();
    EXPECT_EQ(shown_centre(dump, 0), 0xff0000u);

    // Made-up handles change nothing either.
    for (GrMipMapId_t h : {-1, -2, red + 1, red + 1024, INT32_MAX, INT32_MIN}) {
        guTexSource(h);
        guTexDownloadMipMap(h, &BLUE, nullptr);
    }
    draw_and_show();
    EXPECT_EQ(shown_centre(dump, 0), 0xff0000u);
}

TEST_F(TexMem, MipmapDisableShowsOnlyTheLargestLevel)
{
    start(nullptr);
    // 2x2 red over a 1x1 green, drawn at about 8 texels per pixel: the nearest level is
    // the green one, unless mipmapping is off.
    const uint16_t texels[5] = {RED, RED, RED, RED, GREEN};
    for (int32_t mode : {GR_MIPMAP_NEAREST, GR_MIPMAP_DISABLE}) {
        const GrMipMapId_t h = guTexAllocateMemory(
            GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, 2, 2, GR_TEXFMT_RGB_565, mode, GR_LOD_1, GR_LOD_2,
            GR_ASPECT_1x1, GR_TEXTURECLAMP_WRAP, GR_TEXTURECLAMP_WRAP, GR_TEXTUREFILTER_BILINEAR,
            GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
        ASSERT_NE(h, -1);
        guTexDownloadMipMap(h, texels, nullptr);
        guTexSource(h);
        draw_and_show(1024.0f);
        EXPECT_EQ(shown_centre(dump, 0), mode == GR_MIPMAP_DISABLE ? 0xff0000u : 0x00ff00u);
    }
}

} // namespace
