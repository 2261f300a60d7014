// raster.cpp: the raster stage: coverage, depth test, colour and texture per pixel.
// Reads one tile's commands (TriSetup records, clears) in submission order; writes the
// colour and depth of that tile's pixels only, so tiles can be drawn on any thread.
#include "raster.h"

#include <algorithm>

#include "sample.h"

namespace
{

struct TileRect {
    int x0, y0, x1, y1; // pixels, inclusive
};

TileRect tile_rect(int tile)
{
    const int tx = tile % TILES_X, ty = tile / TILES_X;
    return TileRect{tx * TILE_SIZE, ty * TILE_SIZE, std::min(SCREEN_W, (tx + 1) * TILE_SIZE) - 1,
                    std::min(SCREEN_H, (ty + 1) * TILE_SIZE) - 1};
}

inline float plane_at(const Plane &p, float px, float py)
{
    return (p.a0 + p.dy * py) + p.dx * px;
}

inline bool depth_passes(int32_t func, float z, float stored)
{
    switch (func) {
    case GR_CMP_NEVER:
        return false;
    case GR_CMP_LESS:
        return z < stored;
    case GR_CMP_EQUAL:
        return z == stored;
    case GR_CMP_LEQUAL:
        return z <= stored;
    case GR_CMP_GREATER:
        return z > stored;
    case GR_CMP_NOTEQUAL:
        return z != stored;
    case GR_CMP_GEQUAL:
        return z >= stored;
    default:
        return true;
    }
}

// One covered pixel: depth test, colour, texel, store.
template <bool TEXTURED, bool DEPTH>
inline void shade_pixel(const TriSetup &tri, int x, float py, uint32_t *color, float *depth)
{
    const float px = (float)x + 0.5f;
    const float z = plane_at(tri.z, px, py);
    if (DEPTH && !depth_passes(tri.depth_func, z, depth[x]))
        return;
    const uint32_t r = tex_channel(plane_at(tri.r, px, py));
    const uint32_t g = tex_channel(plane_at(tri.g, px, py));
    const uint32_t b = tex_channel(plane_at(tri.b, px, py));
    const uint32_t texel =
        TEXTURED ? tex_bilinear(tri.level, plane_at(tri.s, px, py), plane_at(tri.t, px, py))
                 : 0xffffffffu;
    color[x] = tex_modulate(texel, r, g, b);
    if (DEPTH && tri.depth_write)
        depth[x] = z;
}

// Edge values are stepped, never recomputed: one pixel right adds a*16, one row up b*16.
template <bool TEXTURED, bool DEPTH>
void raster_edges(const TriSetup &tri, const TileRect &r, uint32_t *color_buf, float *depth_buf)
{
    int64_t row[3], step_x[3], step_y[3];
    for (int e = 0; e < 3; e++) {
        const EdgeFn &f = tri.edge[e];
        row[e] = f.a * (r.x0 * SUBPIXEL_ONE + SUBPIXEL_ONE / 2) +
                 f.b * (r.y0 * SUBPIXEL_ONE + SUBPIXEL_ONE / 2) + f.c;
        step_x[e] = f.a * SUBPIXEL_ONE;
        step_y[e] = f.b * SUBPIXEL_ONE;
    }
    for (int y = r.y0; y <= r.y1; y++) {
        uint32_t *color = color_buf + y * SCREEN_W;
        float *depth = depth_buf + y * SCREEN_W;
        const float py = (float)y + 0.5f;
        int64_t e0 = row[0], e1 = row[1], e2 = row[2];
        for (int x = r.x0; x <= r.x1; x++, e0 += step_x[0], e1 += step_x[1], e2 += step_x[2])
            if ((e0 | e1 | e2) >= 0)
                shade_pixel<TEXTURED, DEPTH>(tri, x, py, color, depth);
        for (int e = 0; e < 3; e++)
            row[e] += step_y[e];
    }
}

// Pixel i's centre in 28.4 units.
int centre(int i)
{
    return i * (int)SUBPIXEL_ONE + (int)SUBPIXEL_ONE / 2;
}

bool exact_inside(const ExactEdges &x, int e, int px, int py)
{
    const int j = (e + 1) % 3;
    const int s = clip_orient_sign(x.x[e], x.y[e], x.x[j], x.y[j], (double)px, (double)py);
    return s > 0 || (s == 0 && x.owns[e]);
}

// Narrows [*lo, *hi] to the centres of row y inside edge e. Along a row the edge value is
// monotonic, so the boundary is found by bisection with exact signs.
void exact_span(const ExactEdges &x, int e, int y, int *lo, int *hi)
{
    const int j = (e + 1) % 3;
    const int py = centre(y);
    if (*lo > *hi)
        return;
    if (x.y[e] == x.y[j]) { // horizontal: the same answer along the whole row
        if (!exact_inside(x, e, centre(*lo), py))
            *hi = *lo - 1;
        return;
    }
    const bool rising = x.y[e] > x.y[j]; // a > 0: inside to the right of the boundary
    int a = *lo, b = *hi;
    if (rising) {
        if (!exact_inside(x, e, centre(b), py)) {
            *hi = *lo - 1;
            return;
        }
        while (a < b) { // first inside centre
            const int m = a + (b - a) / 2;
            if (exact_inside(x, e, centre(m), py))
                b = m;
            else
                a = m + 1;
        }
        *lo = a;
    } else {
        if (!exact_inside(x, e, centre(a), py)) {
            *hi = *lo - 1;
            return;
        }
        while (a < b) { // last inside centre
            const int m = a + (b - a + 1) / 2;
            if (exact_inside(x, e, centre(m), py))
                a = m;
            else
                b = m - 1;
        }
        *hi = a;
    }
}

template <bool TEXTURED, bool DEPTH>
void raster_exact(const TriSetup &tri, const TileRect &r, uint32_t *color_buf, float *depth_buf)
{
    for (int y = r.y0; y <= r.y1; y++) {
        int lo = r.x0, hi = r.x1;
        for (int e = 0; e < 3; e++)
            exact_span(tri.exact_edges, e, y, &lo, &hi);
        const float py = (float)y + 0.5f;
        for (int x = lo; x <= hi; x++)
            shade_pixel<TEXTURED, DEPTH>(tri, x, py, color_buf + y * SCREEN_W,
                                         depth_buf + y * SCREEN_W);
    }
}

template <bool TEXTURED, bool DEPTH>
void raster_triangle(const TriSetup &tri, const TileRect &r, uint32_t *color, float *depth)
{
    if (tri.exact)
        raster_exact<TEXTURED, DEPTH>(tri, r, color, depth);
    else
        raster_edges<TEXTURED, DEPTH>(tri, r, color, depth);
}

void clear_rect(const ClearCmd &c, const TileRect &r, uint32_t *color, float *depth)
{
    for (int y = r.y0; y <= r.y1; y++) {
        std::fill(color + y * SCREEN_W + r.x0, color + y * SCREEN_W + r.x1 + 1, c.rgba);
        std::fill(depth + y * SCREEN_W + r.x0, depth + y * SCREEN_W + r.x1 + 1, c.depth);
    }
}

} // namespace

void raster_tile(const Batch &batch, int tile)
{
    const TileRect t = tile_rect(tile);
    for (int i = 0; i < batch.bin_count[tile]; i++) {
        const Command &cmd = batch.cmd[batch.bin[tile][i]];
        if (cmd.kind == CMD_CLEAR) {
            clear_rect(cmd.clear, t, batch.color, batch.depth);
            continue;
        }
        const TriSetup &tri = cmd.tri;
        const TileRect r = {std::max<int>(t.x0, tri.min_x), std::max<int>(t.y0, tri.min_y),
                            std::min<int>(t.x1, tri.max_x), std::min<int>(t.y1, tri.max_y)};
        if (r.x0 > r.x1 || r.y0 > r.y1)
            continue;
        // The fill routine is chosen per triangle, never per pixel.
        if (tri.textured && tri.depth_test)
            raster_triangle<true, true>(tri, r, batch.color, batch.depth);
        else if (tri.textured)
            raster_triangle<true, false>(tri, r, batch.color, batch.depth);
        else if (tri.depth_test)
            raster_triangle<false, true>(tri, r, batch.color, batch.depth);
        else
            raster_triangle<false, false>(tri, r, batch.color, batch.depth);
    }
}
