// raster.cpp: the raster stage: coverage, depth test, colour and texture per pixel.
// Reads one tile's commands (triangles, set up here, and clears) in submission order;
// writes the colour and depth of that tile's pixels only, so any thread may draw a tile.
#include "raster.h"

#include <emmintrin.h>

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

// ---- The 32-bit path, four pixels at a time (SSE2) ----------------------------------
// Groups are four pixels aligned to x = 0 mod 4. Tiles and the screen are multiples of 4
// wide, so a group never leaves its tile or its row, and pixels of a group outside the
// triangle's box simply fail the edge test. Every lane computes exactly what shade_pixel
// computes, in the same order, so both paths give the same bytes.

inline __m128 plane4(float row, float dx, __m128 px)
{
    return _mm_add_ps(_mm_set1_ps(row), _mm_mul_ps(_mm_set1_ps(dx), px));
}

inline __m128i channel4(__m128 v)
{
    v = _mm_max_ps(v, _mm_setzero_ps()); // NaN becomes 0, as in tex_channel
    v = _mm_min_ps(v, _mm_set1_ps(255.0f));
    return _mm_cvttps_epi32(_mm_add_ps(v, _mm_set1_ps(0.5f)));
}

inline __m128i fixed4(__m128 v) // tex_fixed, four lanes
{
    __m128 f = _mm_mul_ps(_mm_sub_ps(v, _mm_set1_ps(0.5f)), _mm_set1_ps(256.0f));
    f = _mm_max_ps(f, _mm_set1_ps(-TEX_COORD_LIMIT));
    f = _mm_min_ps(f, _mm_set1_ps(TEX_COORD_LIMIT));
    const __m128i i = _mm_cvttps_epi32(f);
    return _mm_add_epi32(i, _mm_castps_si128(_mm_cmpgt_ps(_mm_cvtepi32_ps(i), f)));
}

inline __m128 depth4(int32_t func, __m128 z, __m128 stored)
{
    switch (func) {
    case GR_CMP_NEVER:
        return _mm_setzero_ps();
    case GR_CMP_LESS:
        return _mm_cmplt_ps(z, stored);
    case GR_CMP_EQUAL:
        return _mm_cmpeq_ps(z, stored);
    case GR_CMP_LEQUAL:
        return _mm_cmple_ps(z, stored);
    case GR_CMP_GREATER:
        return _mm_cmpgt_ps(z, stored);
    case GR_CMP_NOTEQUAL:
        return _mm_cmpneq_ps(z, stored);
    case GR_CMP_GEQUAL:
        return _mm_cmpge_ps(z, stored);
    default:
        return _mm_castsi128_ps(_mm_set1_epi32(-1));
    }
}

// (d * w) >> 8 for |d| <= 255, 0 <= w <= 255 in 16-bit lanes: the product needs 17 bits,
// so its bits 8..23 are put together from the low and high halves.
inline __m128i mul_shift8(__m128i d, __m128i w)
{
    return _mm_or_si128(_mm_srli_epi16(_mm_mullo_epi16(d, w), 8),
                        _mm_slli_epi16(_mm_mulhi_epi16(d, w), 8));
}

inline __m128i lerp16(__m128i a, __m128i b, __m128i w)
{
    return _mm_add_epi16(a, mul_shift8(_mm_sub_epi16(b, a), w));
}

// Two pixels' texels, channels widened to 16 bits: lanes 0-3 pixel p, 4-7 pixel p + 1.
inline __m128i texel_pair(const uint32_t *texels, const int *index, int p)
{
    return _mm_unpacklo_epi8(_mm_set_epi32(0, 0, (int)texels[index[p + 1]], (int)texels[index[p]]),
                             _mm_setzero_si128());
}

// Per-lane weight w of pixels p, p + 1 spread over their four channels.
inline __m128i weight_pair(__m128i w32, bool high)
{
    const __m128i w16 = _mm_packs_epi32(w32, w32);    // w0 w1 w2 w3 w0 w1 w2 w3
    const __m128i dup = _mm_unpacklo_epi16(w16, w16); // w0 w0 w1 w1 w2 w2 w3 w3
    return high ? _mm_unpackhi_epi32(dup, dup) : _mm_unpacklo_epi32(dup, dup);
}

// tex_bilinear then tex_modulate for four pixels; colour channels as 16-bit lanes
// (r g b 255) for pixels 0-1 and 2-3.
// round(t * c / 255) per 16-bit lane: t * c + 128 < 2^16, so unsigned lanes hold it.
inline __m128i modulate16(__m128i texel, __m128i colour)
{
    __m128i x = _mm_add_epi16(_mm_mullo_epi16(texel, colour), _mm_set1_epi16(128));
    return _mm_srli_epi16(_mm_add_epi16(x, _mm_srli_epi16(x, 8)), 8);
}

// `live` has bit i set when pixel i is stored; a pair of pixels with neither stored is not
// sampled at all (its lanes come out 0 and are masked off by the caller).
inline __m128i textured4(const MipLevel &lv, __m128 s, __m128 t, __m128i col01, __m128i col23,
                         int live)
{
    const __m128i si = fixed4(s), ti = fixed4(t);
    const __m128i wmask = _mm_set1_epi32((1 << lv.width_log2) - 1);
    const __m128i hmask = _mm_set1_epi32((1 << lv.height_log2) - 1);
    const __m128i one = _mm_set1_epi32(1), shift = _mm_cvtsi32_si128(lv.width_log2);
    const __m128i x0 = _mm_and_si128(_mm_srai_epi32(si, 8), wmask);
    const __m128i x1 = _mm_and_si128(_mm_add_epi32(x0, one), wmask);
    const __m128i y0 = _mm_and_si128(_mm_srai_epi32(ti, 8), hmask);
    const __m128i y1 = _mm_and_si128(_mm_add_epi32(y0, one), hmask);
    const __m128i r0 = _mm_sll_epi32(y0, shift), r1 = _mm_sll_epi32(y1, shift);
    const __m128i fx = _mm_and_si128(si, _mm_set1_epi32(255));
    const __m128i fy = _mm_and_si128(ti, _mm_set1_epi32(255));
    __m128i out[2];
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(x0, wmask)) == 0) {
        // No lane wraps across the right edge: each pixel's two horizontal neighbours
        // are adjacent in memory and come in one 8-byte load per row. One lerp then does
        // the top and bottom rows of a pixel together.
        alignas(16) int i0[4], i1[4], wx[4];
        _mm_store_si128((__m128i *)i0, _mm_add_epi32(r0, x0));
        _mm_store_si128((__m128i *)i1, _mm_add_epi32(r1, x0));
        _mm_store_si128((__m128i *)wx, fx);
        const __m128i zero = _mm_setzero_si128();
        for (int half = 0; half < 2; half++) {
            if ((live >> (half * 2) & 3) == 0) {
                out[half] = zero;
                continue;
            }
            __m128i rows[2];
            for (int k = 0; k < 2; k++) {
                const int p = half * 2 + k;
                const __m128i ab =
                    _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(lv.texels + i0[p])), zero);
                const __m128i cd =
                    _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(lv.texels + i1[p])), zero);
                const __m128i w = _mm_set1_epi16((short)wx[p]);
                rows[k] = lerp16(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd), w);
            }
            const __m128i texel =
                lerp16(_mm_unpacklo_epi64(rows[0], rows[1]), _mm_unpackhi_epi64(rows[0], rows[1]),
                       weight_pair(fy, half));
            out[half] = modulate16(texel, half ? col23 : col01);
        }
        return _mm_packus_epi16(out[0], out[1]);
    }
    alignas(16) int i00[4], i01[4], i10[4], i11[4];
    _mm_store_si128((__m128i *)i00, _mm_add_epi32(r0, x0));
    _mm_store_si128((__m128i *)i01, _mm_add_epi32(r0, x1));
    _mm_store_si128((__m128i *)i10, _mm_add_epi32(r1, x0));
    _mm_store_si128((__m128i *)i11, _mm_add_epi32(r1, x1));
    for (int half = 0; half < 2; half++) {
        if ((live >> (half * 2) & 3) == 0) {
            out[half] = _mm_setzero_si128();
            continue;
        }
        const int p = half * 2;
        const __m128i wx = weight_pair(fx, half), wy = weight_pair(fy, half);
        const __m128i top =
            lerp16(texel_pair(lv.texels, i00, p), texel_pair(lv.texels, i01, p), wx);
        const __m128i bot =
            lerp16(texel_pair(lv.texels, i10, p), texel_pair(lv.texels, i11, p), wx);
        out[half] = modulate16(lerp16(top, bot, wy), half ? col23 : col01);
    }
    return _mm_packus_epi16(out[0], out[1]);
}

template <bool TEXTURED, bool DEPTH, bool WIDE>
inline void shade4(const TriSetup &tri, const float (&row)[6], int x4, __m128i cover,
                   uint32_t *color, float *depth)
{
    const __m128 px = _mm_add_ps(_mm_set1_ps((float)x4), _mm_setr_ps(0.5f, 1.5f, 2.5f, 3.5f));
    const __m128 z = plane4(row[0], tri.z.dx, px);
    __m128 keep = _mm_castsi128_ps(cover);
    if (DEPTH) {
        keep = _mm_and_ps(keep, depth4(tri.depth_func, z, _mm_loadu_ps(depth + x4)));
    }
    const __m128i r = channel4(plane4(row[1], tri.r.dx, px));
    const __m128i g = tri.grey ? r : channel4(plane4(row[2], tri.g.dx, px));
    const __m128i b = tri.grey ? r : channel4(plane4(row[3], tri.b.dx, px));
    __m128i pixels;
    if (TEXTURED) {
        const __m128i rg = _mm_unpacklo_epi16(_mm_packs_epi32(r, r), _mm_packs_epi32(g, g));
        const __m128i ba =
            _mm_unpacklo_epi16(_mm_packs_epi32(b, b), _mm_set1_epi16(255)); // b 255 b 255 ...
        const __m128 s = plane4(row[4], tri.s.dx, px), t = plane4(row[5], tri.t.dx, px);
        const __m128i col01 = _mm_unpacklo_epi32(rg, ba), col23 = _mm_unpackhi_epi32(rg, ba);
        if (!WIDE || !sample_wide4(tri.level, fixed4(s), fixed4(t), col01, col23, &pixels))
            pixels = textured4(tri.level, s, t, col01, col23, _mm_movemask_ps(keep));
    } else {
        pixels =
            _mm_or_si128(_mm_or_si128(r, _mm_slli_epi32(g, 8)),
                         _mm_or_si128(_mm_slli_epi32(b, 16), _mm_set1_epi32((int)0xff000000u)));
    }
    const __m128i k = _mm_castps_si128(keep);
    const __m128i old = _mm_loadu_si128((const __m128i *)(color + x4));
    _mm_storeu_si128((__m128i *)(color + x4),
                     _mm_or_si128(_mm_and_si128(k, pixels), _mm_andnot_si128(k, old)));
    if (DEPTH && tri.depth_write) {
        const __m128 d = _mm_loadu_ps(depth + x4);
        _mm_storeu_ps(depth + x4, _mm_or_ps(_mm_and_ps(keep, z), _mm_andnot_ps(keep, d)));
    }
}

// Edge values of the 32-bit path at the group that starts row r.y0, and their steps.
struct SmallEdges {
    __m128i row[3], step4[3], step_y[3];
};

// Straight from the snapped corners, as clip_edges' values taken relative to corner i of
// each edge: every offset from a corner stays below 2^14 + 48 (clip.h), so each product,
// and the value, fits 32 bits.
SmallEdges small_edges(const ScreenTri &st, const TileRect &r)
{
    const int32_t cx = (r.x0 & ~3) * (int32_t)SUBPIXEL_ONE + (int32_t)SUBPIXEL_ONE / 2;
    const int32_t cy = r.y0 * (int32_t)SUBPIXEL_ONE + (int32_t)SUBPIXEL_ONE / 2;
    const int32_t ix[3] = {(int32_t)st.x[0], (int32_t)st.x[1], (int32_t)st.x[2]};
    const int32_t iy[3] = {(int32_t)st.y[0], (int32_t)st.y[1], (int32_t)st.y[2]};
    SmallEdges s;
    for (int e = 0; e < 3; e++) {
        const int i = e, j = e == 2 ? 0 : e + 1;
        const int32_t a = iy[i] - iy[j], b = ix[j] - ix[i];
        const int32_t owns = a > 0 || (a == 0 && b < 0);
        const int32_t start = a * (cx - ix[i]) + b * (cy - iy[i]) - (1 - owns);
        const int32_t sx = a * (int32_t)SUBPIXEL_ONE;
        s.row[e] = _mm_add_epi32(_mm_set1_epi32(start), _mm_setr_epi32(0, sx, 2 * sx, 3 * sx));
        s.step4[e] = _mm_set1_epi32(4 * sx);
        s.step_y[e] = _mm_set1_epi32(b * (int32_t)SUBPIXEL_ONE);
    }
    return s;
}

// Whether some pixel of r is covered and passes the depth test. A hidden triangle then
// costs no colour or texture setup; the test reads the depth that its own pixels would
// meet, since a triangle never covers a pixel twice. Every group of the box is tested,
// with no early way out: most boxes are a few groups, and a branch on each group's
// depth result would mostly be guessed wrong.
bool small_visible(const TriSetup &tri, const TileRect &r, SmallEdges s, const float *depth_buf)
{
    const int xs = r.x0 & ~3;
    const __m128i minus_one = _mm_set1_epi32(-1);
    __m128 any = _mm_setzero_ps();
    for (int y = r.y0; y <= r.y1; y++) {
        const float py = (float)y + 0.5f;
        const float zrow = tri.z.a0 + tri.z.dy * py;
        const float *depth = depth_buf + y * SCREEN_W;
        __m128i e0 = s.row[0], e1 = s.row[1], e2 = s.row[2];
        for (int x4 = xs; x4 <= r.x1; x4 += 4) {
            const __m128i cover =
                _mm_cmpgt_epi32(_mm_or_si128(_mm_or_si128(e0, e1), e2), minus_one);
            const __m128 px =
                _mm_add_ps(_mm_set1_ps((float)x4), _mm_setr_ps(0.5f, 1.5f, 2.5f, 3.5f));
            any = _mm_or_ps(any, _mm_and_ps(_mm_castsi128_ps(cover),
                                            depth4(tri.depth_func, plane4(zrow, tri.z.dx, px),
                                                   _mm_loadu_ps(depth + x4))));
            e0 = _mm_add_epi32(e0, s.step4[0]);
            e1 = _mm_add_epi32(e1, s.step4[1]);
            e2 = _mm_add_epi32(e2, s.step4[2]);
        }
        for (int e = 0; e < 3; e++)
            s.row[e] = _mm_add_epi32(s.row[e], s.step_y[e]);
    }
    return _mm_movemask_ps(any) != 0;
}

// s: small_edges(st, r), for the 32-bit path.
template <bool TEXTURED, bool DEPTH, bool WIDE>
void raster_small(const TriSetup &tri, const TileRect &r, SmallEdges s, uint32_t *color_buf,
                  float *depth_buf)
{
    const int xs = r.x0 & ~3;
    const __m128i minus_one = _mm_set1_epi32(-1);
    for (int y = r.y0; y <= r.y1; y++) {
        const float py = (float)y + 0.5f;
        const float rows[6] = {tri.z.a0 + tri.z.dy * py, tri.r.a0 + tri.r.dy * py,
                               tri.g.a0 + tri.g.dy * py, tri.b.a0 + tri.b.dy * py,
                               tri.s.a0 + tri.s.dy * py, tri.t.a0 + tri.t.dy * py};
        uint32_t *color = color_buf + y * SCREEN_W;
        float *depth = depth_buf + y * SCREEN_W;
        __m128i e0 = s.row[0], e1 = s.row[1], e2 = s.row[2];
        for (int x4 = xs; x4 <= r.x1; x4 += 4) {
            const __m128i cover =
                _mm_cmpgt_epi32(_mm_or_si128(_mm_or_si128(e0, e1), e2), minus_one);
            if (_mm_movemask_epi8(cover))
                shade4<TEXTURED, DEPTH, WIDE>(tri, rows, x4, cover, color, depth);
            e0 = _mm_add_epi32(e0, s.step4[0]);
            e1 = _mm_add_epi32(e1, s.step4[1]);
            e2 = _mm_add_epi32(e2, s.step4[2]);
        }
        for (int e = 0; e < 3; e++)
            s.row[e] = _mm_add_epi32(s.row[e], s.step_y[e]);
    }
}

template <bool TEXTURED, bool DEPTH, bool WIDE = false>
void raster_triangle(const TriSetup &tri, const TileRect &r, const SmallEdges &s, uint32_t *color,
                     float *depth)
{
    if (tri.small)
        raster_small<TEXTURED, DEPTH, WIDE>(tri, r, s, color, depth);
    else if (tri.exact)
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

// Decided once, at load; tests may turn it off between frames.
bool wide_sampling = sample_available_wide();

} // namespace

bool raster_wide()
{
    return wide_sampling;
}

void raster_set_wide(bool on)
{
    wide_sampling = on && sample_available_wide();
}

void raster_tile(const Batch &batch, int tile)
{
    const TileRect t = tile_rect(tile);
    for (int i = 0; i < batch.bin_count[tile]; i++) {
        const Command &cmd = batch.cmd[batch.bin[tile][i]];
        if (cmd.kind == CMD_CLEAR) {
            clear_rect(cmd.clear, t, batch.color, batch.depth);
            continue;
        }
        const ScreenTri &st = cmd.tri.st;
        TileRect r = {std::max(t.x0, st.min_x), std::max(t.y0, st.min_y), std::min(t.x1, st.max_x),
                      std::min(t.y1, st.max_y)};
        if (r.x0 > r.x1 || r.y0 > r.y1)
            continue;
        TriSetup tri;
        setup_coverage(cmd.tri, &tri);
        SmallEdges s;
        if (tri.small) {
            s = small_edges(st, r);
            if (tri.depth_test && !small_visible(tri, r, s, batch.depth))
                continue;
        }
        setup_shading(cmd.tri, &tri);
        // The fill routine is chosen per triangle, never per pixel.
        if (tri.textured && tri.depth_test && wide_sampling)
            raster_triangle<true, true, true>(tri, r, s, batch.color, batch.depth);
        else if (tri.textured && tri.depth_test)
            raster_triangle<true, true>(tri, r, s, batch.color, batch.depth);
        else if (tri.textured && wide_sampling)
            raster_triangle<true, false, true>(tri, r, s, batch.color, batch.depth);
        else if (tri.textured)
            raster_triangle<true, false>(tri, r, s, batch.color, batch.depth);
        else if (tri.depth_test)
            raster_triangle<false, true>(tri, r, s, batch.color, batch.depth);
        else
            raster_triangle<false, false>(tri, r, s, batch.color, batch.depth);
    }
}
