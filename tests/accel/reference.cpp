// reference.cpp: the reference rasterizer and test boards (see reference.h).
// Coverage: the edge functions of the snapped corners, evaluated directly at every pixel
// centre with exact integers (__int128 where the corners allow, else GMP). Shading: the documented
// per-pixel formulas, written plainly.
#include "reference.h"

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "clip.h"
#include "setup.h"

Board *test_board_new()
{
    Board *b = new Board;
    const size_t n = (size_t)SCREEN_W * SCREEN_H;
    b->fb.front = (uint32_t *)std::calloc(n, sizeof(uint32_t));
    b->fb.back = (uint32_t *)std::calloc(n, sizeof(uint32_t));
    b->fb.depth = (float *)std::calloc(n, sizeof(float));
    b->open = true;
    return b;
}

void test_board_free(Board *b)
{
    std::free(b->fb.front);
    std::free(b->fb.back);
    std::free(b->fb.depth);
    delete b;
}

Image test_board_image(const Board &b)
{
    const size_t n = (size_t)SCREEN_W * SCREEN_H;
    return Image{std::vector<uint32_t>(b.fb.back, b.fb.back + n),
                 std::vector<float>(b.fb.depth, b.fb.depth + n)};
}

void ref_clear(Image *img, uint32_t rgba, float depth)
{
    img->color.assign((size_t)SCREEN_W * SCREEN_H, rgba);
    img->depth.assign((size_t)SCREEN_W * SCREEN_H, depth);
}

namespace
{

float plane(const Plane &p, float px, float py)
{
    return (p.a0 + p.dy * py) + p.dx * px;
}

bool passes(int32_t func, float z, float stored)
{
    const bool less = (z < stored), same = (z == stored), more = (z > stored);
    const bool pass[8] = {false, less, same, less || same, more, !same, more || same, true};
    return func < 0 || func > 7 || pass[func];
}

int to_byte(float v)
{
    if (!(v > 0.0f))
        return 0;
    if (v > 255.0f)
        return 255;
    return (int)std::floor(v + 0.5f);
}

long floor_div(long a, long b)
{
    return (long)std::floor((double)a / (double)b);
}

// Bilinear with wrap, the weights as 8-bit fractions of the position less half a texel.
uint32_t bilinear(const MipLevel &lv, float s, float t)
{
    float fs = (s - 0.5f) * 256.0f, ft = (t - 0.5f) * 256.0f;
    fs = std::isnan(fs) ? -1073741824.0f : std::clamp(fs, -1073741824.0f, 1073741824.0f);
    ft = std::isnan(ft) ? -1073741824.0f : std::clamp(ft, -1073741824.0f, 1073741824.0f);
    const long is = (long)std::floor(fs), it = (long)std::floor(ft);
    const long w = 1L << lv.width_log2, h = 1L << lv.height_log2;
    const long x0 = ((floor_div(is, 256) % w) + w) % w, y0 = ((floor_div(it, 256) % h) + h) % h;
    const long x1 = (x0 + 1) % w, y1 = (y0 + 1) % h;
    const long fx = is - 256 * floor_div(is, 256), fy = it - 256 * floor_div(it, 256);
    uint32_t out = 0;
    for (int ch = 0; ch < 4; ch++) {
        auto texel = [&](long x, long y) { return (long)(lv.texels[y * w + x] >> (8 * ch)) & 255; };
        const long a = texel(x0, y0), b = texel(x1, y0), c = texel(x0, y1), d = texel(x1, y1);
        const long top = a + floor_div((b - a) * fx, 256),
                   bottom = c + floor_div((d - c) * fx, 256);
        out |= (uint32_t)(top + floor_div((bottom - top) * fy, 256)) << (8 * ch);
    }
    return out;
}

uint32_t times_colour(uint32_t texel, int ch, int c)
{
    const int t = (int)(texel >> (8 * ch)) & 255;
    return (uint32_t)((2 * t * c + 255) / 510); // t*c/255 to nearest
}

// One covered pixel, shaded from setup's planes.
void shade(Image *img, const TriSetup &tri, const RenderState &state, int px, int py)
{
    const float fx = px + 0.5f, fy = py + 0.5f;
    const size_t at = (size_t)py * SCREEN_W + px;
    const float z = plane(tri.z, fx, fy);
    const bool test = state.depth_mode == GR_DEPTHBUFFER_ZBUFFER;
    if (test && !passes(state.depth_func, z, img->depth[at]))
        return;
    const uint32_t texel =
        tri.textured ? bilinear(tri.level, plane(tri.s, fx, fy), plane(tri.t, fx, fy)) : ~0u;
    const int rgb[3] = {to_byte(plane(tri.r, fx, fy)), to_byte(plane(tri.g, fx, fy)),
                        to_byte(plane(tri.b, fx, fy))};
    uint32_t pixel = texel & 0xff000000u;
    for (int ch = 0; ch < 3; ch++)
        pixel |= times_colour(texel, ch, rgb[ch]) << (8 * ch);
    img->color[at] = pixel;
    if (test && state.depth_mask)
        img->depth[at] = z;
}

// The pixels of box x0..x1, y0..y1 whose centres the triangle with corners (sx, sy), in
// 1/16 pixels, covers: left edges (going down) and top edges (going left) keep centres
// on them.
template <typename Int>
void cover(Image *img, const double (&sx)[3], const double (&sy)[3], const TriSetup *tri,
           const RenderState &state, int x0, int x1, int y0, int y1)
{
    const Int x[3] = {Int(sx[0]), Int(sx[1]), Int(sx[2])},
              y[3] = {Int(sy[0]), Int(sy[1]), Int(sy[2])};
    const Int area = (x[1] - x[0]) * (y[2] - y[0]) - (y[1] - y[0]) * (x[2] - x[0]);
    if (area == 0)
        return;
    Int ea[3], eb[3], ec[3]; // E(p) = a * px + b * py + c, positive inside
    bool owns[3];
    for (int i = 0; i < 3; i++) {
        const int j = area > 0 ? (i + 1) % 3 : (i + 2) % 3;
        ea[i] = y[i] - y[j];
        eb[i] = x[j] - x[i];
        ec[i] = -(ea[i] * x[i] + eb[i] * y[i]);
        owns[i] = y[i] > y[j] || (y[i] == y[j] && x[j] < x[i]);
    }
    for (int py = y0; py <= y1; py++)
        for (int px = x0; px <= x1; px++) {
            bool in = true;
            for (int k = 0; k < 3 && in; k++) {
                const Int e = ea[k] * (px * 16 + 8) + eb[k] * (py * 16 + 8) + ec[k];
                in = e > 0 || (e == 0 && owns[k]);
            }
            if (in && !tri)
                ADD_FAILURE() << "clip dropped a triangle that covers pixel " << px << ", " << py;
            else if (in)
                shade(img, *tri, state, px, py);
        }
}

} // namespace

void ref_triangle(Image *img, const GrVertex &a, const GrVertex &b, const GrVertex &c,
                  const RenderState &state)
{
    const GrVertex *v[3] = {&a, &b, &c};
    double sx[3], sy[3], lo_x = INFINITY, hi_x = -INFINITY, lo_y = INFINITY, hi_y = -INFINITY;
    bool small = true;
    for (int i = 0; i < 3; i++) {
        sx[i] = std::nearbyint((double)v[i]->x * 16.0);
        sy[i] = std::nearbyint((double)v[i]->y * 16.0);
        small = small && std::fabs(sx[i]) < 0x1p40 && std::fabs(sy[i]) < 0x1p40;
        lo_x = std::min(lo_x, sx[i]), hi_x = std::max(hi_x, sx[i]);
        lo_y = std::min(lo_y, sy[i]), hi_y = std::max(hi_y, sy[i]);
    }
    // Pixels with centres in the corners' box.
    const int x0 = (int)std::max(0.0, std::ceil((std::max(lo_x, -1e9) - 8) / 16));
    const int x1 = (int)std::min(SCREEN_W - 1.0, std::floor((std::min(hi_x, 1e9) - 8) / 16));
    const int y0 = (int)std::max(0.0, std::ceil((std::max(lo_y, -1e9) - 8) / 16));
    const int y1 = (int)std::min(SCREEN_H - 1.0, std::floor((std::min(hi_y, 1e9) - 8) / 16));
    TriInput in;
    TriSetup tri;
    const int64_t drawing = simd_selected();
    simd_select(test_targets().back());
    const bool drawn = test_setup(a, b, c, state, &in, &tri);
    simd_select(drawing);
    if (small)
        cover<__int128>(img, sx, sy, drawn ? &tri : nullptr, state, x0, x1, y0, y1);
    else
        cover<mpz_class>(img, sx, sy, drawn ? &tri : nullptr, state, x0, x1, y0, y1);
}

bool test_setup(const GrVertex &a, const GrVertex &b, const GrVertex &c, const RenderState &state,
                TriInput *in, TriSetup *tri)
{
    if (!clip_corners(RawTri{{a.x, b.x, c.x}, {a.y, b.y, c.y}}, &in->st))
        return false;
    *in = TriInput{in->st, {}, state, {}};
    setup_corner(a, &in->c[0]);
    setup_corner(b, &in->c[1]);
    setup_corner(c, &in->c[2]);
    setup_order(in);
    setup_triangle(*in, tri);
    return true;
}

GrVertex vtx(float x, float y, float shade, float ooz, float s, float t)
{
    // Unit 0's own 1/w is unused, as the program leaves it.
    return {x, y, 0.0f, shade, shade, shade, ooz, 0.0f, 1.0f, {{s, t, 0.0f}, {}}};
}

int count_differences(const Image &a, const Image &b, int report)
{
    int n = 0;
    for (size_t i = 0; i < a.color.size(); i++) {
        const bool depth_differs = std::memcmp(&a.depth[i], &b.depth[i], sizeof(float)) != 0;
        if (a.color[i] == b.color[i] && !depth_differs)
            continue;
        if (n++ < report)
            ADD_FAILURE() << "pixel (" << i % SCREEN_W << ", " << i / SCREEN_W << "): colour "
                          << std::hex << a.color[i] << " vs " << b.color[i] << std::dec
                          << ", depth " << a.depth[i] << " vs " << b.depth[i];
    }
    return n;
}

void test_texture(TestTexture *t, int width_log2, int height_log2, int levels,
                  uint32_t (*fill)(int level, int x, int y))
{
    t->tex = Texture{};
    t->store.assign((size_t)levels, {});
    t->tex.live = true;
    t->tex.level_count = levels;
    t->tex.texels_per_unit = (float)(1 << std::max(width_log2, height_log2)) / 256.0f;
    for (int l = 0; l < levels; l++) {
        const int wl = std::max(0, width_log2 - l), hl = std::max(0, height_log2 - l);
        std::vector<uint32_t> &px = t->store[(size_t)l];
        px.resize((size_t)1 << (wl + hl));
        for (int y = 0; y < (1 << hl); y++)
            for (int x = 0; x < (1 << wl); x++)
                px[(size_t)(y << wl) + x] = fill(l, x, y);
        t->tex.level[l] = MipLevel{px.data(), wl, hl};
    }
}

std::vector<int64_t> test_targets()
{
    int64_t targets[SIMD_MAX_TARGETS];
    return std::vector<int64_t>(targets, targets + simd_available(targets));
}

uint32_t rng_next(Rng *r)
{
    r->state = r->state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (uint32_t)(r->state >> 33);
}

float rng_float(Rng *r, float lo, float hi)
{
    return lo + (hi - lo) * (float)(rng_next(r) & 0xffffff) / 16777216.0f;
}

Image pipeline_image(const std::vector<Draw> &draws, int threads, uint32_t clear, float depth)
{
    Board *b = test_board_new();
    Pipeline *p = pipeline_create(threads, threads); // every worker may run at once
    pipeline_clear(p, b, clear, depth);
    for (const Draw &d : draws) {
        b->state = d.state;
        pipeline_triangle(p, b, d.v[0], d.v[1], d.v[2]);
    }
    pipeline_finish(p);
    Image img = test_board_image(*b);
    pipeline_destroy(p);
    test_board_free(b);
    return img;
}

Image reference_image(const std::vector<Draw> &draws, uint32_t clear, float depth)
{
    Image img;
    ref_clear(&img, clear, depth);
    for (const Draw &d : draws)
        ref_triangle(&img, d.v[0], d.v[1], d.v[2], d.state);
    return img;
}

void expect_reference_on_every_target(const std::vector<Draw> &draws)
{
    const Image want = reference_image(draws);
    for (int64_t target : test_targets()) {
        simd_select(target);
        EXPECT_EQ(count_differences(pipeline_image(draws, 0), want), 0) << simd_name(target);
    }
    simd_select(simd_best());
}
