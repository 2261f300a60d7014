// test_setup.cpp: the fill rule, windings, zero area, attribute planes and depth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "reference.h"
#include "setup.h"

namespace
{

// Which pixels a lone white triangle covers on a black board.
std::vector<bool> coverage(const GrVertex &a, const GrVertex &b, const GrVertex &c)
{
    const Image img = pipeline_image({Draw{{a, b, c}, RenderState{}}}, 0);
    std::vector<bool> out(img.color.size());
    for (size_t i = 0; i < out.size(); i++)
        out[i] = img.color[i] != 0;
    return out;
}

// Covers polygon p (convex, n corners) by a fan around centre c and checks that every
// pixel is covered at most once and that the two diagonal splits of each quad agree.
void check_fan(const GrVertex *p, int n, const GrVertex &c, const char *what)
{
    std::vector<int> count((size_t)SCREEN_W * SCREEN_H, 0);
    for (int i = 0; i < n; i++) {
        const std::vector<bool> cov = coverage(c, p[i], p[(i + 1) % n]);
        for (size_t k = 0; k < cov.size(); k++)
            count[k] += cov[k];
    }
    int twice = 0;
    for (int k : count)
        twice += k > 1;
    EXPECT_EQ(twice, 0) << what << ": pixels covered by two triangles of the fan";

    for (int i = 0; i < n; i++) { // quad c, p[i], p[i+1], p[i+2]: split both ways
        const GrVertex &q0 = c, &q1 = p[i], &q2 = p[(i + 1) % n], &q3 = p[(i + 2) % n];
        const std::vector<bool> a1 = coverage(q0, q1, q2), a2 = coverage(q0, q2, q3);
        const std::vector<bool> b1 = coverage(q0, q1, q3), b2 = coverage(q1, q2, q3);
        int gaps = 0, doubles = 0;
        for (size_t k = 0; k < a1.size(); k++) {
            gaps += (a1[k] || a2[k]) != (b1[k] || b2[k]);
            doubles += (a1[k] && a2[k]) || (b1[k] && b2[k]);
        }
        // Only a convex quad can be split along both diagonals.
        auto side = [](const GrVertex &a, const GrVertex &b, const GrVertex &p) {
            return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x) > 0;
        };
        if (side(q1, q3, q0) != side(q1, q3, q2) && side(q0, q2, q1) != side(q0, q2, q3)) {
            EXPECT_EQ(gaps, 0) << what << ": the two splits of quad " << i << " differ";
            EXPECT_EQ(doubles, 0) << what << ": quad " << i;
        }
    }
}

// Fans on a grid, and `rounds` fans of random slopes.
void check_fans(int rounds)
{
    // Corners on pixel centres, on pixel corners and in between; edges horizontal,
    // vertical, diagonal, shallow and steep in both directions.
    const float offsets[] = {0.5f, 0.0f, 0.3125f};
    for (float o : offsets) {
        const GrVertex c = vtx(100 + o, 100 + o);
        const GrVertex ring[] = {
            vtx(140 + o, 100 + o), vtx(140 + o, 103 + o), vtx(140 + o, 140 + o),
            vtx(103 + o, 140 + o), vtx(100 + o, 140 + o), vtx(60 + o, 141 + o),
            vtx(60 + o, 100 + o),  vtx(61 + o, 60 + o),   vtx(100 + o, 60 + o),
            vtx(120 + o, 61 + o),  vtx(140 + o, 60 + o),  vtx(141 + o, 80 + o)};
        check_fan(ring, 12, c, "grid ring");
    }
    Rng rng{7};
    for (int round = 0; round < rounds; round++) {
        GrVertex ring[10];
        const float cx = rng_float(&rng, 100, 500), cy = rng_float(&rng, 100, 380);
        for (int i = 0; i < 10; i++) {
            const float ang = (float)i * 0.6283185f + rng_float(&rng, 0, 0.3f);
            const float r = rng_float(&rng, 20, 90);
            ring[i] = vtx(cx + r * std::cos(ang), cy + r * std::sin(ang));
        }
        check_fan(ring, 10, vtx(cx + 0.1f, cy - 0.2f), "random ring");
    }
}

TEST(FillRule, SharedEdgesAreCoveredOnceForEverySlope)
{
    for (int64_t target : test_targets()) {
        simd_select(target);
        SCOPED_TRACE(simd_name(target));
        check_fans(target == simd_best() ? 6 : 2); // the other targets more briefly
    }
    simd_select(simd_best());
}

TEST(FillRule, BothWindingsDrawTheSamePixels)
{
    Rng rng{3};
    for (int i = 0; i < 40; i++) {
        GrVertex v[3];
        for (GrVertex &p : v)
            p = vtx(rng_float(&rng, -20, 660), rng_float(&rng, -20, 500), rng_float(&rng, 0, 255),
                    rng_float(&rng, 1, 100));
        RenderState st;
        st.depth_mode = GR_DEPTHBUFFER_ZBUFFER;
        st.depth_func = GR_CMP_ALWAYS;
        const Image ccw = pipeline_image({Draw{{v[0], v[1], v[2]}, st}}, 0);
        const Image cw = pipeline_image({Draw{{v[0], v[2], v[1]}, st}}, 0);
        const Image rot = pipeline_image({Draw{{v[1], v[2], v[0]}, st}}, 0);
        EXPECT_EQ(count_differences(ccw, cw), 0);
        EXPECT_EQ(count_differences(ccw, rot), 0);
    }
}

TEST(FillRule, ZeroAreaAndSubpixelSliversMatchTheReference)
{
    const Image blank = pipeline_image({}, 0);
    // Zero area: collinear, repeated corners, corners that snap together.
    const GrVertex zero[][3] = {{vtx(10.5f, 10.5f), vtx(100.5f, 100.5f), vtx(50.5f, 50.5f)},
                                {vtx(10, 10), vtx(10, 10), vtx(300, 200)},
                                {vtx(20, 20), vtx(20.01f, 20.01f), vtx(20.02f, 19.99f)},
                                {vtx(5.5f, 7), vtx(400.5f, 7), vtx(200.5f, 7)}};
    for (const auto &z : zero)
        EXPECT_EQ(
            count_differences(pipeline_image({Draw{{z[0], z[1], z[2]}, RenderState{}}}, 0), blank),
            0);
    // Slivers narrower than a pixel, through and beside centres.
    std::vector<Draw> slivers;
    for (int i = 0; i < 20; i++) {
        const float y = 10.0f + 20.0f * (float)i, d = 0.0625f * (float)(i % 4 + 1);
        slivers.push_back(
            Draw{{vtx(3.5f, y + 0.5f), vtx(630.5f, y + 3.5f), vtx(320.5f, y + 0.5f + d)},
                 RenderState{}});
    }
    EXPECT_EQ(count_differences(pipeline_image(slivers, 0), reference_image(slivers)), 0);
}

// Dust whose corners lie on the sub-pixel grid within two pixels of a centre, so that
// edges often run exactly through centres and corners sit on them: the cases where the
// quick test for tiny boxes must agree with the fill rule. Also near the screen's edges,
// where the box is cut short.
TEST(FillRule, DustOnTheSubpixelGridMatchesTheReference)
{
    Rng rng{42};
    std::vector<Draw> dust;
    for (int i = 0; i < 3000; i++) {
        const int px = i % 7 == 0 ? (int)(rng_next(&rng) % 3) : (int)(rng_next(&rng) % SCREEN_W);
        const int py = i % 11 == 0 ? SCREEN_H - 1 : (int)(rng_next(&rng) % SCREEN_H);
        Draw d{{}, RenderState{}};
        for (GrVertex &v : d.v) {
            const float sx = (float)((int)(rng_next(&rng) % 65) - 32) / 16.0f;
            const float sy = (float)((int)(rng_next(&rng) % 65) - 32) / 16.0f;
            v = vtx((float)px + 0.5f + sx, (float)py + 0.5f + sy, (float)(i % 250));
        }
        dust.push_back(d);
    }
    const Image want = reference_image(dust);
    for (int64_t target : test_targets()) {
        simd_select(target);
        EXPECT_EQ(count_differences(pipeline_image(dust, 0), want), 0) << simd_name(target);
    }
    simd_select(simd_best());
}

TEST(Planes, AttributesReachTheCornerValues)
{
    // Planes evaluated at the corners come back to the corners' values (float rounding).
    const GrVertex a = vtx(10.5f, 20.5f, 10, 100), b = vtx(600.25f, 40.5f, 250, 3000),
                   c = vtx(200.5f, 470.75f, 128, 7);
    ScreenTri st;
    ASSERT_TRUE(clip_corners(RawTri{{a.x, b.x, c.x}, {a.y, b.y, c.y}}, &st));
    TriSetup tri;
    const GrVertex *v[3] = {&a, &b, &c};
    TriInput in{st, {setup_corner(a), setup_corner(b), setup_corner(c)}, RenderState{}};
    setup_order(&in);
    setup_triangle(in, &tri);
    for (const GrVertex *p : v) {
        EXPECT_NEAR((tri.z.a0 + tri.z.dy * p->y) + tri.z.dx * p->x, p->ooz, 1e-3 * p->ooz);
        EXPECT_NEAR((tri.r.a0 + tri.r.dy * p->y) + tri.r.dx * p->x, p->r, 1e-3);
    }
}

// The texture planes, moved into the first period and scaled to the chosen level, still
// reach each corner's s and t there, up to whole periods, for every texture shape and
// for coordinates far from the origin on either side.
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
            ScreenTri st;
            if (!clip_corners(RawTri{{v[0].x, v[1].x, v[2].x}, {v[0].y, v[1].y, v[2].y}}, &st))
                continue;
            TriInput in{st, {setup_corner(v[0]), setup_corner(v[1]), setup_corner(v[2])}, state};
            setup_order(&in);
            TriSetup tri;
            setup_triangle(in, &tri);
            ASSERT_TRUE(tri.textured);
            const int lw = tri.level.width_log2, lh = tri.level.height_log2;
            const double ws = (double)(1 << lw), hs = (double)(1 << lh);
            const double per_unit_s = tex.tex.texels_per_unit / (double)(1 << (wl - lw));
            const double per_unit_t = tex.tex.texels_per_unit / (double)(1 << (hl - lh));
            EXPECT_GE(tri.s.a0, 0.0f);
            EXPECT_LT(tri.s.a0, ws);
            EXPECT_GE(tri.t.a0, 0.0f);
            EXPECT_LT(tri.t.a0, hs);
            for (int k = 0; k < 3; k++) { // at the snapped corners, in clipped order
                const double px = st.x[k] / 16.0, py = st.y[k] / 16.0;
                const double ds = ((double)tri.s.a0 + (double)tri.s.dy * py + tri.s.dx * px) -
                                  (double)in.c[k].sow * per_unit_s;
                const double dt = ((double)tri.t.a0 + (double)tri.t.dy * py + tri.t.dx * px) -
                                  (double)in.c[k].tow * per_unit_t;
                EXPECT_NEAR(ds - std::round(ds / ws) * ws, 0.0, 0.01) << "shape " << shape;
                EXPECT_NEAR(dt - std::round(dt / hs) * hs, 0.0, 0.01) << "shape " << shape;
            }
        }
    }
}

TEST(Planes, ColourIsClampedPerPixelAndModulatedExactly)
{
    // Shades far outside 0..255 across the triangle: clamped per pixel, not per corner.
    std::vector<Draw> d = {
        Draw{{vtx(0, 0, -500), vtx(640, 0, 900), vtx(0, 480, 128)}, RenderState{}}};
    const Image img = pipeline_image(d, 0);
    EXPECT_EQ(count_differences(img, reference_image(d)), 0);
    EXPECT_EQ(img.color[5 * SCREEN_W + 2], 0xff000000u);            // left: black
    EXPECT_EQ(img.color[5 * SCREEN_W + 630] & 0xffffff, 0xffffffu); // right: white
    // A flat shade of 128 on a texel of 255: 128; on 77: round(77 * 128 / 255) = 39.
    TestTexture tex;
    test_texture(&tex, 0, 0, 1, [](int, int, int) { return 0x7f4dff00u | 0xffu; });
    Draw flat = {{vtx(0, 0, 128), vtx(640, 0, 128), vtx(0, 480, 128)}, RenderState{}};
    flat.state.texture = &tex.tex;
    const Image f = pipeline_image({flat}, 0);
    EXPECT_EQ(f.color[10 * SCREEN_W + 10], 0x7f278080u);
}

TEST(Depth, NearerSurfaceWinsAndTiesDoNotOverwrite)
{
    RenderState st;
    st.depth_mode = GR_DEPTHBUFFER_ZBUFFER;
    st.depth_func = GR_CMP_GREATER;
    const Draw far = {{vtx(0, 0, 50, 100), vtx(640, 0, 50, 100), vtx(0, 480, 50, 100)}, st};
    const Draw near = {{vtx(0, 0, 200, 101), vtx(640, 0, 200, 101), vtx(0, 480, 200, 101)}, st};
    const Draw tie = {{vtx(0, 0, 90, 101), vtx(640, 0, 90, 101), vtx(0, 480, 90, 101)}, st};
    const Image a = pipeline_image({far, near, tie}, 2), b = pipeline_image({near, far, tie}, 2);
    EXPECT_EQ(count_differences(a, b), 0);
    EXPECT_EQ(a.color[10 * SCREEN_W + 10], 0xffc8c8c8u); // near's shade 200
    EXPECT_EQ(a.depth[10 * SCREEN_W + 10], 101.0f);
    // Depth values that a 16-bit buffer would tie are still told apart.
    const Draw closer = {
        {vtx(0, 0, 10, 101.001f), vtx(640, 0, 10, 101.001f), vtx(0, 480, 10, 101.001f)}, st};
    EXPECT_EQ(pipeline_image({near, closer}, 0).color[10 * SCREEN_W + 10], 0xff0a0a0au);
}

TEST(Depth, EveryFunctionMaskAndMode)
{
    for (int func = GR_CMP_NEVER; func <= GR_CMP_ALWAYS; func++)
        for (int mode : {GR_DEPTHBUFFER_DISABLE, GR_DEPTHBUFFER_ZBUFFER})
            for (bool mask : {false, true}) {
                RenderState st;
                st.depth_mode = mode;
                st.depth_func = func;
                st.depth_mask = mask;
                // Stored depth 50 on the left half, the triangle at 50 then 60 and 40 across.
                std::vector<Draw> d = {
                    Draw{{vtx(0, 0, 30, 50), vtx(640, 0, 30, 50), vtx(0, 480, 30, 50)}, st},
                    Draw{{vtx(0, 0, 100, 40), vtx(640, 0, 100, 60), vtx(0, 480, 100, 40)}, st},
                    Draw{{vtx(0, 0, 200, 50), vtx(640, 0, 200, 50), vtx(0, 480, 200, 50)}, st}};
                const Image img = pipeline_image(d, 1, 0, 50.0f);
                EXPECT_EQ(count_differences(img, reference_image(d, 0, 50.0f)), 0)
                    << "func " << func << " mode " << mode << " mask " << mask;
            }
}

} // namespace
