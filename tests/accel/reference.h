// reference.h: a short, obviously correct rasterizer, and the boards the tests draw on.
// The reference snaps the corners, decides coverage at every pixel centre of the box with
// exact integers (GMP when the coordinates are huge) and shades each pixel from the
// planes that setup solved; no tiles, no threads, no stepping.
#pragma once

#include <cstdint>
#include <vector>

#include "accel.h"
#include "pipeline.h"
#include "simd.h"

struct Image {
    std::vector<uint32_t> color; // SCREEN_W * SCREEN_H, bottom row first
    std::vector<float> depth;
};

// A board the pipeline can draw on: buffers and render state, no display.
Board *test_board_new();
void test_board_free(Board *b);
// The board's back buffer and depth as an Image.
Image test_board_image(const Board &b);

// The reference: a clear and one triangle with the given render state.
void ref_clear(Image *img, uint32_t rgba, float depth);
void ref_triangle(Image *img, const GrVertex &a, const GrVertex &b, const GrVertex &c,
                  const RenderState &state);

// Clips and sets up a triangle as the pipeline does, with the SIMD target selected; false
// when clipping drops it (setup.h: not included here, the program's parts have a Corner).
struct TriInput;
struct TriSetup;
bool test_setup(const GrVertex &a, const GrVertex &b, const GrVertex &c, const RenderState &state,
                TriInput *in, TriSetup *tri);

// A corner with position, colour and depth; texture coordinates s, t with 1/w = 1.
GrVertex vtx(float x, float y, float shade = 255.0f, float ooz = 1.0f, float s = 0.0f,
             float t = 0.0f);

// Pixels whose colour differs between two images (at most `report` listed on failure).
int count_differences(const Image &a, const Image &b, int report = 5);

// A texture record with the given level sizes (log2, largest first) whose texels are
// filled by `fill(level, x, y)`, owning its storage through `store`.
struct TestTexture {
    Texture tex;
    std::vector<std::vector<uint32_t>> store;
};
void test_texture(TestTexture *t, int width_log2, int height_log2, int levels,
                  uint32_t (*fill)(int level, int x, int y));

// The SIMD targets this processor runs, best first, the portable one last (simd.h). The
// tests draw with each in turn (simd_select); the reference clips and sets up with the
// portable one, so every other is held to it.
std::vector<int64_t> test_targets();

// Small deterministic random numbers for the random-triangle tests.
struct Rng {
    uint64_t state;
};
uint32_t rng_next(Rng *r);
float rng_float(Rng *r, float lo, float hi);

// A triangle with the render state it is drawn with.
struct Draw {
    GrVertex v[3];
    RenderState state;
};
// The draws on a fresh board cleared to clear/depth, through the pipeline with `threads`
// workers, and through the reference.
Image pipeline_image(const std::vector<Draw> &draws, int threads, uint32_t clear = 0,
                     float depth = 0.0f);
Image reference_image(const std::vector<Draw> &draws, uint32_t clear = 0, float depth = 0.0f);
// The draws through the pipeline (no workers) with every SIMD target, each held to the
// reference; the best target is selected again after.
void expect_reference_on_every_target(const std::vector<Draw> &draws);
