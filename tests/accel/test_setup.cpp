// test_setup.cpp: the fill rule, windings, zero area, attribute planes and depth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "reference.h"
#include "setup.h"

namespace
{

// Fans around a centre, with corners on pixel centres, on pixel corners and in between
// and edges of every slope: no pixel is covered twice, and together they cover what the
// reference covers, so no pixel falls between two triangles either.
TEST(FillRule, FansCoverEveryPixelOnce)
{
    std::vector<std::vector<GrVertex>> rings; // the centre, then the ring's corners
    const float grid[12][2] = {{140, 100}, {140, 103}, {140, 140}, {103, 140},
                               {100, 140}, {60, 141},  {60, 100},  {61, 60},
                               {100, 60},  {120, 61},  {140, 60},  {141, 80}};
    for (float o : {0.5f, 0.0f, 0.3125f}) {
        rings.push_back({vtx(100 + o, 100 + o)});
        for (const auto &p : grid)
            rings.back().push_back(vtx(p[0] + o, p[1] + o));
    }
    Rng rng{7};
    for (int round = 0; round < 4; round++) {
        const float cx = rng_float(&rng, 100, 500), cy = rng_float(&rng, 100, 380);
        rings.push_back({vtx(cx + 0.1f, cy - 0.2f)});
        for (int i = 0; i < 10; i++) {
            const float ang = (float)i * 0.6283185f + rng_float(&rng, 0, 0.3f);
            const float r = rng_float(&rng, 20, 90);
            rings.back().push_back(vtx(cx + r * std::cos(ang), cy + r * std::sin(ang)));
        }
    }
    for (const std::vector<GrVertex> &r : rings) {
        std::vector<Draw> fan;
        std::vector<int> count((size_t)SCREEN_W * SCREEN_H, 0);
        for (size_t i = 1; i < r.size(); i++) {
            fan.push_back(Draw{{r[0], r[i], r[i % (r.size() - 1) + 1]}, RenderState{}});
            const Image one = pipeline_image({fan.back()}, 0);
            for (size_t k = 0; k < count.size(); k++)
                count[k] += one.color[k] != 0;
        }
        EXPECT_EQ(std::count_if(count.begin(), count.end(), [](int k) { return k > 1; }), 0)
            << "pixels covered by two triangles of the fan around " << r[0].x << ", " << r[0].y;
        expect_reference_on_every_target(fan);
    }
}

// Zero area (collinear, repeated corners, corners that snap together), slivers narrower
// than a pixel, and dust whose corners lie on the sub-pixel grid within two pixels of a
// centre, so that edges often run exactly through centres and corners sit on them: the
// cases where the quick test for tiny boxes must agree with the fill rule. Also near the
// screen's edges, where the box is cut short.
TEST(FillRule, ZeroAreaSliversAndDustMatchTheReference)
{
    std::vector<Draw> d = {
        Draw{{vtx(10.5f, 10.5f), vtx(100.5f, 100.5f), vtx(50.5f, 50.5f)}, RenderState{}},
        Draw{{vtx(10, 10), vtx(10, 10), vtx(300, 200)}, RenderState{}},
        Draw{{vtx(20, 20), vtx(20.01f, 20.01f), vtx(20.02f, 19.99f)}, RenderState{}},
        Draw{{vtx(5.5f, 7), vtx(400.5f, 7), vtx(200.5f, 7)}, RenderState{}}};
    EXPECT_EQ(count_differences(pipeline_image(d, 0), pipeline_image({}, 0)), 0);
    for (int i = 0; i < 20; i++) {
        const float y = 10.0f + 20.0f * (float)i, dy = 0.0625f * (float)(i % 4 + 1);
        d.push_back(Draw{{vtx(3.5f, y + 0.5f), vtx(630.5f, y + 3.5f), vtx(320.5f, y + 0.5f + dy)},
                         RenderState{}});
    }
    Rng rng{42};
    for (int i = 0; i < 3000; i++) {
        const int px = i % 7 == 0 ? (int)(rng_next(&rng) % 3) : (int)(rng_next(&rng) % SCREEN_W);
        const int py = i % 11 == 0 ? SCREEN_H - 1 : (int)(rng_next(&rng) % SCREEN_H);
        Draw dust{{}, RenderState{}};
        for (GrVertex &v : dust.v) {
            const float sx = (float)((int)(rng_next(&rng) % 65) - 32) / 16.0f;
            const float sy = (float)((int)(rng_next(&rng) % 65) - 32) / 16.0f;
            v = vtx((float)px + 0.5f + sx, (float)py + 0.5f + sy, (float)(i % 250));
        }
        d.push_back(dust);
    }
    expect_reference_on_every_target(d);
}

// The reference shades from setup's own planes, so these check the planes themselves:
// at the corners they give back the corners' values (float rounding), and the texture
// planes, moved into the first period and scaled to the chosen level, reach each corner's
// s and t up to whole periods, for every texture shape and for coordinates far from the
// origin on either side.
TEST(Planes, AttributesReachTheCornerValues)
{
    const GrVertex a = vtx(10.5f, 20.5f, 10, 100), b = vtx(600.25f, 40.5f, 250, 3000),
                   c = vtx(200.5f, 470.75f, 128, 7);
    TriInput in;
    TriSetup tri;
    ASSERT_TRUE(test_setup(a, b, c, RenderState{}, &in, &tri));
    for (const GrVertex *p : {&a, &b, &c}) {
        EXPECT_NEAR((tri.z.a0 + tri.z.dy * p->y) + tri.z.dx * p->x, p->ooz, 1e-3 * p->ooz);
        EXPECT_NEAR((tri.r.a0 + tri.r.dy * p->y) + tri.r.dx * p->x, p->r, 1e-3);
    }
}

// The bin stage solves the depth and red planes of a vector of triangles side by side;
// every bit must be setup_triangle's, on every target: ordinary, huge and degenerate
// values, and corners past the guard band.
TEST(Planes, SolvedSideBySideAsOneByOne)
{
    Rng rng{3};
    std::vector<TriInput> in;
    const float far[4] = {3e9f, -1e30f, 7e5f, FLT_MAX};
    while (in.size() < 61) {
        const int i = (int)in.size();
        const float size = i % 4 ? 8.0f : 300.0f, cx = rng_float(&rng, 0, 640);
        GrVertex v[3];
        for (int k = 0; k < 3; k++)
            v[k] = vtx(cx + rng_float(&rng, -size, size), rng_float(&rng, 0, 480),
                       i % 9 ? rng_float(&rng, -300, 300) : far[(i + k) % 4] * (float)(k - 1),
                       rng_float(&rng, 1e-3f, 1e4f));
        if (i % 7 == 2)
            v[i % 3].y = far[(i / 7) % 4];
        if (i % 11 == 5)
            v[2].x = v[0].x + 1e-3f, v[2].y = v[0].y;
        ScreenTri st;
        if (!clip_corners(RawTri{{v[0].x, v[1].x, v[2].x}, {v[0].y, v[1].y, v[2].y}}, &st))
            continue;
        in.push_back(TriInput{st, {}, RenderState{}, {}});
        for (int k = 0; k < 3; k++)
            setup_corner(v[k], &in.back().c[k]);
        setup_order(&in.back());
    }
    std::vector<TriSetup> want(in.size());
    for (size_t i = 0; i < in.size(); i++)
        setup_triangle(in[i], &want[i]);
    std::vector<TriInput *> ptr;
    for (TriInput &t : in)
        ptr.push_back(&t);
    for (int64_t target : test_targets()) {
        simd_select(target);
        setup_planes_side_by_side(ptr.data(), (int)ptr.size());
        for (size_t i = 0; i < in.size(); i++) {
            const TriPlanes &p = in[i].planes;
            EXPECT_EQ(std::memcmp(&p.basis, &want[i].basis, sizeof p.basis), 0) << i;
            EXPECT_EQ(std::memcmp(&p.z, &want[i].z, sizeof p.z), 0) << i;
            EXPECT_EQ(std::memcmp(&p.r, &want[i].r, sizeof p.r), 0) << i << simd_name(target);
        }
    }
    simd_select(simd_best());
}

TEST(Planes, TexturePlanesReachTheCornersUpToWholePeriods)
{
    Rng rng{7};
    for (int shape = 0; shape < 6; shape++) {
        TestTexture tex;
        const int wl = 3 + shape % 3, hl = 3 + shape / 2;
        test_texture(&tex, wl, hl, std::min(wl, hl) + 1,
                     [](int, int x, int y) { return (uint32_t)(x ^ y) | 0xff000000u; });
        RenderState state;
        state.texture = &tex.tex;
        for (int i = 0; i < 50; i++) {
            const float cx = rng_float(&rng, 20, 620), cy = rng_float(&rng, 20, 460);
            const float size = i % 2 ? 3.0f : 150.0f, far = i % 3 ? 100.0f : 1e6f;
            const float s0 = rng_float(&rng, -far, far), t0 = rng_float(&rng, -far, far);
            GrVertex v[3];
            for (GrVertex &p : v)
                p = vtx(cx + rng_float(&rng, -size, size), cy + rng_float(&rng, -size, size), 255,
                        1, s0 + rng_float(&rng, -300, 300), t0 + rng_float(&rng, -300, 300));
            TriInput in;
            TriSetup tri;
            if (!test_setup(v[0], v[1], v[2], state, &in, &tri))
                continue;
            ASSERT_TRUE(tri.textured);
            const Plane *planes[2] = {&tri.s, &tri.t};
            const int log2[2] = {tri.level.width_log2, tri.level.height_log2}, top[2] = {wl, hl};
            for (int axis = 0; axis < 2; axis++) {
                const Plane &pl = *planes[axis];
                const double period = (double)(1 << log2[axis]);
                const double per_unit =
                    tex.tex.texels_per_unit / (double)(1 << (top[axis] - log2[axis]));
                EXPECT_GE(pl.a0, 0.0f);
                EXPECT_LT(pl.a0, period);
                for (int k = 0; k < 3; k++) { // at the snapped corners, in clipped order
                    const double px = in.st.x[k] / 16.0, py = in.st.y[k] / 16.0;
                    const double want = axis ? in.c[k].tow : in.c[k].sow;
                    const double d =
                        ((double)pl.a0 + (double)pl.dy * py + pl.dx * px) - want * per_unit;
                    EXPECT_NEAR(d - std::round(d / period) * period, 0.0, 0.01) << shape;
                }
            }
        }
    }
}

// (Shades outside 0..255 clamped per pixel and texels modulated exactly: the random
// triangles of test_raster, against the reference.)

// Stored depth 50 on the left half, the triangle at 50 then 60 and 40 across; a 16-bit
// buffer would tie the last triangle's depth with the one before.
TEST(Depth, EveryFunctionMaskAndMode)
{
    for (int func = GR_CMP_NEVER; func <= GR_CMP_ALWAYS; func++)
        for (int mode : {GR_DEPTHBUFFER_DISABLE, GR_DEPTHBUFFER_ZBUFFER})
            for (bool mask : {false, true}) {
                const RenderState st = {mode, func, mask, nullptr};
                std::vector<Draw> d = {
                    Draw{{vtx(0, 0, 30, 50), vtx(640, 0, 30, 50), vtx(0, 480, 30, 50)}, st},
                    Draw{{vtx(0, 0, 100, 40), vtx(640, 0, 100, 60), vtx(0, 480, 100, 40)}, st},
                    Draw{{vtx(0, 0, 200, 50), vtx(640, 0, 200, 50), vtx(0, 480, 200, 50)}, st},
                    Draw{{vtx(0, 0, 9, 50.001f), vtx(640, 0, 9, 50.001f), vtx(0, 480, 9, 50.001f)},
                         st}};
                EXPECT_EQ(
                    count_differences(pipeline_image(d, 0, 0, 50.0f), reference_image(d, 0, 50.0f)),
                    0)
                    << "func " << func << " mode " << mode << " mask " << mask;
            }
}

} // namespace
