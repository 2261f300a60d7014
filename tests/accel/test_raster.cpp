// test_raster.cpp: the tiled, threaded rasterizer against the reference, pixel for pixel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "raster.h"
#include "reference.h"

namespace
{

uint32_t checker(int level, int x, int y)
{
    const uint32_t v = (uint32_t)(x * 37 + y * 91 + level * 50);
    return (v & 255) | ((v * 7) & 255) << 8 | ((x ^ y) * 16 & 255) << 16 |
           (uint32_t)(200 + level) << 24;
}

// Random triangles of every size class: dust, small, slivers, big, partly off screen, and
// wider than the 32-bit path takes; some drawn twice, to meet every compare at equality.
std::vector<Draw> random_draws(uint32_t seed, int count, const Texture *tex)
{
    Rng rng{seed};
    std::vector<Draw> out;
    for (int i = 0; i < count; i++) {
        Draw d = {{},
                  {(i % 5) ? GR_DEPTHBUFFER_ZBUFFER : GR_DEPTHBUFFER_DISABLE,
                   (i % 7) ? GR_CMP_GREATER : (int32_t)(rng_next(&rng) % 8), true,
                   (i % 3) ? tex : nullptr}};
        const int kind = (int)(rng_next(&rng) % 6);
        const float sizes[6] = {2.0f, 12.0f, 60.0f, 400.0f, 400.0f, 3000.0f};
        const float cx = rng_float(&rng, -50, SCREEN_W + 50),
                    cy = rng_float(&rng, -50, SCREEN_H + 50);
        for (int k = 0; k < 3; k++) {
            const float size = sizes[kind];
            float x = cx + rng_float(&rng, -size, size), y = cy + rng_float(&rng, -size, size);
            if (kind == 4 && k == 2) { // sliver: the third corner near the first edge
                x = (d.v[0].x + d.v[1].x) * 0.5f + rng_float(&rng, -0.3f, 0.3f);
                y = (d.v[0].y + d.v[1].y) * 0.5f + rng_float(&rng, -0.3f, 0.3f);
            }
            d.v[k] = vtx(x, y, rng_float(&rng, -60, 320), rng_float(&rng, 1, 300),
                         rng_float(&rng, -300, 300), rng_float(&rng, -300, 300));
            if (i % 4 == 1) { // coloured, not grey: each channel its own plane
                d.v[k].g = rng_float(&rng, -60, 320);
                d.v[k].b = rng_float(&rng, -60, 320);
            }
        }
        if (i % 6 == 5 && out.back().state.depth_mode == GR_DEPTHBUFFER_ZBUFFER) {
            // The one before again, depth tested at equal depth, in other shades.
            d = out.back();
            d.state.depth_func = (int32_t)(rng_next(&rng) % 8);
            for (GrVertex &v : d.v)
                v.r = 255.0f - v.r;
        }
        out.push_back(d);
    }
    return out;
}

// Every SIMD target the processor runs.
TEST(Raster, RandomTrianglesMatchTheReference)
{
    TestTexture tex;
    test_texture(&tex, 6, 6, 7, checker);
    for (uint32_t seed = 1; seed <= 6; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        expect_reference_on_every_target(random_draws(seed, 150, &tex.tex));
    }
}

// A textured, depth-tested triangle with corners of different shades and depths.
Draw textured(const TestTexture &tex)
{
    return {{vtx(20, 30, 200, 5, 0, 0), vtx(500, 60, 100, 9, 256, 0), vtx(90, 450, 30, 2, 0, 256)},
            {GR_DEPTHBUFFER_ZBUFFER, GR_CMP_ALWAYS, true, &tex.tex}};
}

// A clear between triangles hides the first; render state changed after a triangle was
// queued does not reach it.
TEST(Raster, CommandsKeepTheirOrderAndTheirState)
{
    TestTexture tex;
    test_texture(&tex, 4, 4, 1, checker);
    Board *b = test_board_new();
    Pipeline *p = pipeline_create(2);
    const Draw d = textured(tex);
    pipeline_triangle(p, b, vtx(400, 100), vtx(600, 120), vtx(500, 300));
    pipeline_clear(p, b, 0xff0000ffu, 5.0f);
    b->state = d.state;
    pipeline_triangle(p, b, d.v[0], d.v[1], d.v[2]);
    b->state.texture = nullptr;
    b->state.depth_func = GR_CMP_NEVER;
    b->state.depth_mask = false;
    pipeline_finish(p);
    EXPECT_EQ(count_differences(test_board_image(*b), reference_image({d}, 0xff0000ffu, 5.0f)), 0);
    pipeline_destroy(p);
    test_board_free(b);
}

// A corner with a value that reaches a pixel and is not finite draws nothing; values the
// library never reads (z, a, unit 0's 1/w hint, unit 1) do not matter.
TEST(Raster, NonFiniteCornersDrawNothing)
{
    TestTexture tex;
    test_texture(&tex, 4, 4, 1, checker);
    const Draw good = textured(tex);
    const Image blank = reference_image({}), drawn = reference_image({good});
    ASSERT_NE(blank.color, drawn.color);
    for (int corner = 0; corner < 3; corner++)
        for (int field = 0; field < 15; field++) {
            Draw d = good;
            float f[15]; // the record's floats in order; z, a and all but unit 0's s, t unread
            std::memcpy(f, &d.v[corner], sizeof f);
            const float bad[3] = {NAN, INFINITY, -INFINITY};
            f[field] = bad[(corner + field) % 3];
            std::memcpy(&d.v[corner], f, sizeof f);
            const bool read = field != 2 && field != 7 && field < 11;
            EXPECT_EQ(pipeline_image({d}, 0).color, read ? blank.color : drawn.color)
                << "corner " << corner << ", field " << field;
        }
}

} // namespace
