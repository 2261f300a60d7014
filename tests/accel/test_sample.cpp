// test_sample.cpp: bilinear weights, wrap seams, the mipmap level and texture space.
#include <gtest/gtest.h>

#include <cmath>

#include "reference.h"
#include "setup.h"

namespace
{

// Texel (x, y) of level l as R = x, G = y, B = level, A = 255: every sample is readable.
uint32_t coords(int level, int x, int y)
{
    return (uint32_t)x | (uint32_t)y << 8 | (uint32_t)level << 16 | 0xff000000u;
}

// A screen-aligned rectangle of two triangles whose s, t are s0 + ds * x, t0 + dt * y in
// texture units at pixel corner (x, y), white shade.
std::vector<Draw> textured_rect(const Texture *tex, float s0, float ds, float t0, float dt)
{
    RenderState st;
    st.texture = tex;
    const float w = SCREEN_W, h = SCREEN_H;
    const GrVertex a = vtx(0, 0, 255, 1, s0, t0), b = vtx(w, 0, 255, 1, s0 + ds * w, t0),
                   c = vtx(w, h, 255, 1, s0 + ds * w, t0 + dt * h),
                   d = vtx(0, h, 255, 1, s0, t0 + dt * h);
    return {Draw{{a, b, c}, st}, Draw{{a, c, d}, st}};
}

uint32_t at(const Image &img, int x, int y)
{
    return img.color[(size_t)y * SCREEN_W + x];
}

// 256 units span the longer side, the shorter one 256 * short / long units. At one texel
// per pixel with pixel centres on texel centres every pixel shows its texel exactly,
// wrapped; half a texel off, the weights blend neighbours, across the wrap seams too.
TEST(Sample, TextureSpaceWeightsAndWrapSeamsForEveryAspectRatio)
{
    for (int wl : {1, 4, 8})
        for (int hl : {wl - 3, wl, wl + 3}) {
            if (hl < 0 || hl > 8)
                continue;
            TestTexture tex;
            test_texture(&tex, wl, hl, 1, coords);
            const float unit = 256.0f / (float)(1 << std::max(wl, hl)); // units per texel
            const int w = 1 << wl, h = 1 << hl;
            const Image img = pipeline_image(textured_rect(&tex.tex, 0, unit, 0, unit), 0);
            const int pixels[4][2] = {{5, 3}, {255, 3}, {256, 9}, {300, 200}};
            for (const auto &xy : pixels)
                EXPECT_EQ(at(img, xy[0], xy[1]), coords(0, xy[0] % w, xy[1] % h)) << w << "x" << h;
            for (float s0 : {0.0f, 256.0f, -256.0f}) {
                const std::vector<Draw> d =
                    textured_rect(&tex.tex, s0 - unit * 0.5f, unit, unit * 0.25f, unit);
                EXPECT_EQ(count_differences(pipeline_image(d, 0), reference_image(d)), 0)
                    << w << "x" << h << ", s0 " << s0;
            }
        }
}

TEST(Sample, LevelIsChosenOnBothSidesOfEachThreshold)
{
    // Level l is chosen when the gradient rho (level-0 texels per pixel) is in
    // [sqrt(2) * 2^(l-1), sqrt(2) * 2^l); past the last level it stays there.
    TestTexture tex;
    test_texture(&tex, 8, 8, 9, coords);
    for (int level = 1; level < 9; level++) {
        const float threshold = std::sqrt(2.0f) * (float)(1 << (level - 1));
        for (float k : {0.999f, 1.001f}) {
            const float rho = threshold * k;
            const int want = k < 1 ? level - 1 : level;
            EXPECT_EQ(setup_choose_level(rho, 0, 0, 0, 9), want) << "rho " << rho;
            EXPECT_EQ(setup_choose_level(0, rho * 0.6f, 0, rho * 0.8f, 9), want) << "rho " << rho;
            const Image img = pipeline_image(textured_rect(&tex.tex, 0, rho, 0, 0.25f), 0);
            EXPECT_EQ((at(img, 100, 100) >> 16) & 255, (uint32_t)want) << "rho " << rho;
        }
    }
    EXPECT_EQ(setup_choose_level(1e30f, 0, 0, 0, 9), 8);
    EXPECT_EQ(setup_choose_level(1e30f, 0, 0, 0, 3), 2);
}

TEST(Sample, MissingTexturePositionsDrawUntextured)
{
    TestTexture tex;
    test_texture(&tex, 2, 2, 1, coords);
    std::vector<Draw> d = textured_rect(&tex.tex, 0, 1, 0, 1);
    d[0].v[1].oow = 0; // no texture position: drawn with a white texel
    d[1].v[0].tmuvtx[0] = GrTmuVertex{3e38f, 1, 0};
    d[1].v[0].oow = 1e-30f; // s overflows
    const Image img = pipeline_image(d, 0);
    EXPECT_EQ(at(img, 600, 10), 0xffffffffu);
    EXPECT_EQ(at(img, 10, 400), 0xffffffffu);
}

} // namespace
