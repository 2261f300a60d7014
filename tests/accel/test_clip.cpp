// test_clip.cpp: triangles reaching far off screen, to the float range, and past the
// int64 guard band, against the exact reference.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "reference.h"

namespace
{

const RenderState FLAT = {GR_DEPTHBUFFER_ZBUFFER, GR_CMP_ALWAYS, true, nullptr};

// Corners far off screen, to the float range and past the int64 guard band; triangles
// wholly off screen; colours and depths at the top of the float range (no NaN may reach
// a pixel).
TEST(Clip, HugeCoordinatesMatchTheReference)
{
    const float far[] = {1e30f, -1e30f,      FLT_MAX,      -FLT_MAX,   1e10f,
                         -3e7f, 33554432.0f, -33554433.0f, 33554431.5f};
    Rng rng{11};
    std::vector<Draw> draws = {Draw{{vtx(-100, 10), vtx(-0.5f, 100), vtx(-50, 400)}, FLAT},
                               Draw{{vtx(640.5f, 10), vtx(700, 100), vtx(1e30f, 400)}, FLAT},
                               Draw{{vtx(0, -1e30f), vtx(640, -1), vtx(300, -0.51f)}, FLAT},
                               Draw{{vtx(-1e30f, 480.5f), vtx(1e30f, 480.5f), vtx(0, 1e30f)}, FLAT},
                               Draw{{vtx(-1e30f, -1e30f, FLT_MAX, FLT_MAX),
                                     vtx(1e30f, 0, -FLT_MAX, 1), vtx(0, 1e30f, 3e38f, -FLT_MAX)},
                                    FLAT}};
    for (int i = 0; i < 24; i++) {
        Draw d = {{}, FLAT};
        for (int k = 0; k < 3; k++)
            d.v[k] = vtx(rng_float(&rng, -100, 740), rng_float(&rng, -100, 580),
                         rng_float(&rng, 0, 255), rng_float(&rng, 1, 100));
        // One or two corners thrown far out, in any direction.
        d.v[i % 3].x = far[rng_next(&rng) % 9] * (i % 2 ? 1.0f : 0.37f);
        d.v[i % 3].y = far[rng_next(&rng) % 9] * (i % 4 < 2 ? -0.5f : 1.0f);
        if (i % 3 == 0)
            d.v[(i + 1) % 3].y = far[rng_next(&rng) % 9];
        draws.push_back(d);
    }
    for (const Draw &d : draws) {
        const std::vector<Draw> one = {d};
        EXPECT_EQ(count_differences(pipeline_image(one, 0), reference_image(one)), 0)
            << d.v[0].x << "," << d.v[0].y << " " << d.v[1].x << "," << d.v[1].y << " " << d.v[2].x
            << "," << d.v[2].y;
    }
}

// Neighbouring triangles are clipped side by side, and those the side-by-side path cannot
// take (past the guard band, wider than the 32-bit path, not finite) one by one: a run
// mixing them in every lane position, cut by a clear at an odd place, against the
// reference through the library's calls, on every target.
TEST(Clip, RunsMixingEveryPathMatchTheReference)
{
    Rng rng{5};
    std::vector<Draw> before, after; // drawn before and after the clear
    std::vector<int> nan_at;         // where a triangle with a NaN corner is submitted
    for (int i = 0; i < 70; i++) {
        Draw d = {{}, FLAT};
        const float cx = rng_float(&rng, -20, 660), cy = rng_float(&rng, -20, 500);
        const float size = i % 3 == 0 ? 1.5f : 12.0f;
        for (int k = 0; k < 3; k++)
            d.v[k] = vtx(cx + rng_float(&rng, -size, size), cy + rng_float(&rng, -size, size),
                         rng_float(&rng, 0, 255), rng_float(&rng, 1, 100));
        if (i % 5 == 1)
            d.v[i % 3].x = i % 2 ? 3e9f : -2e3f; // past the band; wider than the 32-bit path
        if (i % 7 == 3)
            nan_at.push_back(i);
        (i < 13 ? before : after).push_back(d);
    }
    const Image want = reference_image(after, 0x11223344u, 7.0f);
    for (int64_t target : test_targets()) {
        simd_select(target);
        Board *b = test_board_new();
        Pipeline *p = pipeline_create(0);
        pipeline_clear(p, b, 0, 0.0f);
        size_t next_nan = 0;
        for (int i = 0; i < 70; i++) {
            const Draw &d = i < 13 ? before[(size_t)i] : after[(size_t)i - 13];
            b->state = d.state;
            if (i == 13)
                pipeline_clear(p, b, 0x11223344u, 7.0f);
            if (next_nan < nan_at.size() && nan_at[next_nan] == i) {
                next_nan++;
                GrVertex bad = d.v[1];
                bad.y = NAN;
                pipeline_triangle(p, b, d.v[0], bad, d.v[2]);
            }
            pipeline_triangle(p, b, d.v[0], d.v[1], d.v[2]);
        }
        pipeline_finish(p);
        EXPECT_EQ(count_differences(test_board_image(*b), want), 0) << simd_name(target);
        pipeline_destroy(p);
        test_board_free(b);
    }
    simd_select(simd_best());
}

} // namespace
