// clip.cpp: the clip stage: snapping to 28.4 and restricting a triangle to the screen.
// Reads GrVertex x, y; writes a ScreenTri. Coordinates may be any finite float: beyond
// the guard band the orientation is decided exactly by floating-point expansions, so a
// triangle reaching 1e30 covers the same centres as its ideal snapped shape.
#include "clip.h"

#include <algorithm>
#include <cmath>

#include <emmintrin.h>

#include "accel.h"

namespace
{

// Sum and product of doubles as an exact two-term expansion (Dekker, Knuth); fma gives
// the product's rounding error exactly whatever -ffp-contract says.
void two_sum(double a, double b, double *hi, double *lo)
{
    const double x = a + b;
    const double bv = x - a;
    const double av = x - bv;
    *hi = x;
    *lo = (a - av) + (b - bv);
}

// Adds term to a nonoverlapping expansion kept in increasing magnitude, dropping zeros
// (Shewchuk's grow-expansion); the last component then carries the sign.
void grow(double *e, int *n, double term)
{
    double q = term;
    int out = 0;
    for (int i = 0; i < *n; i++) {
        double hi, lo;
        two_sum(q, e[i], &hi, &lo);
        q = hi;
        if (lo != 0)
            e[out++] = lo;
    }
    if (q != 0)
        e[out++] = q;
    *n = out;
}

void add_product(double *e, int *n, double a, double b)
{
    const double p = a * b;
    grow(e, n, std::fma(a, b, -p));
    grow(e, n, p);
}

// First and last pixel whose centre (i*16 + 8) lies in [lo, hi]; the values are first
// clamped to a range well past the screen so that huge ones convert safely.
int first_centre(double lo)
{
    const int64_t v = (int64_t)std::clamp(lo, -1048576.0, 1048576.0);
    return (int)((v - SUBPIXEL_ONE / 2 + SUBPIXEL_ONE - 1) >> SUBPIXEL_BITS);
}

int last_centre(double hi)
{
    const int64_t v = (int64_t)std::clamp(hi, -1048576.0, 1048576.0);
    return (int)((v - SUBPIXEL_ONE / 2) >> SUBPIXEL_BITS);
}

} // namespace

namespace
{

// The edge from corner i to corner j.
inline EdgeFn edge_between(int64_t xi, int64_t yi, int64_t xj, int64_t yj)
{
    const int64_t a = yi - yj, b = xj - xi; // zero on the edge, positive inside
    // y points up. A centre exactly on an edge belongs to this triangle only for a left
    // edge (a > 0) or a top edge (a == 0, b < 0); the neighbour across the edge sees it
    // reversed, so exactly one of the two keeps it. Values are integers, so lowering c by
    // one turns "E >= 0" into "E > 0".
    const int64_t owns = a > 0 || (a == 0 && b < 0);
    return EdgeFn{a, b, -(a * xi + b * yi) - (1 - owns)};
}

} // namespace

void clip_edges(const ScreenTri &t, EdgeFn (&edge)[3])
{
    const int64_t x0 = (int64_t)t.x[0], x1 = (int64_t)t.x[1], x2 = (int64_t)t.x[2];
    const int64_t y0 = (int64_t)t.y[0], y1 = (int64_t)t.y[1], y2 = (int64_t)t.y[2];
    edge[0] = edge_between(x0, y0, x1, y1);
    edge[1] = edge_between(x1, y1, x2, y2);
    edge[2] = edge_between(x2, y2, x0, y0);
}

int clip_orient_sign(double xi, double yi, double xj, double yj, double px, double py)
{
    // The determinant multiplied out: the xi*yi terms cancel, six products remain, each
    // exact as two doubles. Inputs are integers, so no error term underflows.
    double e[16];
    int n = 0;
    add_product(e, &n, xj, py);
    add_product(e, &n, -xj, yi);
    add_product(e, &n, -xi, py);
    add_product(e, &n, -yj, px);
    add_product(e, &n, yj, xi);
    add_product(e, &n, yi, px);
    if (n == 0)
        return 0;
    return e[n - 1] > 0 ? 1 : -1;
}

namespace
{

int first_centre_int(int64_t lo)
{
    return (int)((lo - SUBPIXEL_ONE / 2 + SUBPIXEL_ONE - 1) >> SUBPIXEL_BITS);
}
int last_centre_int(int64_t hi)
{
    return (int)((hi - SUBPIXEL_ONE / 2) >> SUBPIXEL_BITS);
}

// Boxes of at most this many centres are tested centre by centre here, so that the many
// tiny triangles of a dense mesh that fall between centres cost no setup at all.
constexpr int PRETEST_CENTRES = 8;

bool covers_a_centre(const ScreenTri &t, const EdgeFn (&edge)[3])
{
    int64_t row[3];
    for (int e = 0; e < 3; e++)
        row[e] = edge[e].a * (t.min_x * SUBPIXEL_ONE + SUBPIXEL_ONE / 2) +
                 edge[e].b * (t.min_y * SUBPIXEL_ONE + SUBPIXEL_ONE / 2) + edge[e].c;
    bool any = false;
    for (int py = t.min_y; py <= t.max_y; py++) {
        int64_t e0 = row[0], e1 = row[1], e2 = row[2];
        for (int px = t.min_x; px <= t.max_x; px++) {
            any |= (e0 | e1 | e2) >= 0;
            e0 += edge[0].a * SUBPIXEL_ONE;
            e1 += edge[1].a * SUBPIXEL_ONE;
            e2 += edge[2].a * SUBPIXEL_ONE;
        }
        for (int e = 0; e < 3; e++)
            row[e] += edge[e].b * SUBPIXEL_ONE;
    }
    return any;
}

// Centre i of a box w centres wide is (i % w, i / w) from its first one: as offsets in
// 28.4 units, (x, y) pairs of 16-bit lanes that _mm_madd_epi16 multiplies by an edge's
// (a, b) pair, eight centres in two registers.
struct CentreGrid {
    alignas(16) int16_t step[PRETEST_CENTRES + 1][2 * PRETEST_CENTRES];
};

constexpr CentreGrid make_centre_grid()
{
    CentreGrid g{};
    for (int w = 1; w <= PRETEST_CENTRES; w++)
        for (int i = 0; i < PRETEST_CENTRES; i++) {
            g.step[w][2 * i] = (int16_t)(i % w * SUBPIXEL_ONE);
            g.step[w][2 * i + 1] = (int16_t)(i / w * SUBPIXEL_ONE);
        }
    return g;
}

constexpr CentreGrid CENTRE_GRID = make_centre_grid();

// covers_a_centre for a small triangle (|a|, |b| < 2^14): every centre of its box at once.
// Offsets from a corner inside the box are below 2^14, so edge values there, and at the
// box's centres, fit 32 bits; each is exact, so the signs are covers_a_centre's.
bool small_covers_a_centre(const ScreenTri &t, const int64_t (&x)[3], const int64_t (&y)[3])
{
    const int w = t.max_x - t.min_x + 1, n = w * (t.max_y - t.min_y + 1);
    const int32_t cx = t.min_x * (int32_t)SUBPIXEL_ONE + (int32_t)SUBPIXEL_ONE / 2;
    const int32_t cy = t.min_y * (int32_t)SUBPIXEL_ONE + (int32_t)SUBPIXEL_ONE / 2;
    const __m128i lo = _mm_load_si128((const __m128i *)CENTRE_GRID.step[w]);
    const __m128i hi = _mm_load_si128((const __m128i *)(CENTRE_GRID.step[w] + 8));
    __m128i out_lo = _mm_setzero_si128(), out_hi = _mm_setzero_si128();
    for (int e = 0; e < 3; e++) {
        const int i = e, j = (e + 1) % 3;
        const int32_t a = (int32_t)(y[i] - y[j]), b = (int32_t)(x[j] - x[i]);
        const int32_t owns = a > 0 || (a == 0 && b < 0);
        // clip_edges' value at the first centre, taken relative to corner i.
        const int32_t first = a * (cx - (int32_t)x[i]) + b * (cy - (int32_t)y[i]) - (1 - owns);
        const __m128i ab = _mm_set1_epi32((int32_t)((uint32_t)b << 16 | (uint16_t)a));
        const __m128i base = _mm_set1_epi32(first);
        out_lo = _mm_or_si128(out_lo, _mm_add_epi32(base, _mm_madd_epi16(lo, ab)));
        out_hi = _mm_or_si128(out_hi, _mm_add_epi32(base, _mm_madd_epi16(hi, ab)));
    }
    // A centre is outside when one of its edge values is negative: the sign of the or.
    const int outside =
        _mm_movemask_ps(_mm_castsi128_ps(out_lo)) | _mm_movemask_ps(_mm_castsi128_ps(out_hi)) << 4;
    return (~outside & ((1 << n) - 1)) != 0;
}

// The usual case: every corner inside the guard band, so that the snapped coordinates
// (below 2^29) fit 32 bits and everything after is integer arithmetic.
bool clip_in_band(const int32_t (&sx)[4], const int32_t (&sy)[4], ScreenTri *out)
{
    const int64_t ix[3] = {sx[0], sx[1], sx[2]}, iy[3] = {sy[0], sy[1], sy[2]};
    out->min_x = std::max(0, first_centre_int(std::min({ix[0], ix[1], ix[2]})));
    out->max_x = std::min(SCREEN_W - 1, last_centre_int(std::max({ix[0], ix[1], ix[2]})));
    out->min_y = std::max(0, first_centre_int(std::min({iy[0], iy[1], iy[2]})));
    out->max_y = std::min(SCREEN_H - 1, last_centre_int(std::max({iy[0], iy[1], iy[2]})));
    if (out->min_x > out->max_x || out->min_y > out->max_y)
        return false;
    const int64_t area2 = (ix[1] - ix[0]) * (iy[2] - iy[0]) - (iy[1] - iy[0]) * (ix[2] - ix[0]);
    if (area2 == 0)
        return false; // zero area draws nothing
    // Both windings are drawn: a clockwise triangle is walked the other way round.
    const int order[3] = {0, area2 > 0 ? 1 : 2, area2 > 0 ? 2 : 1};
    out->exact = false;
    out->small = std::max({ix[0], ix[1], ix[2]}) - std::min({ix[0], ix[1], ix[2]}) < SMALL_EXTENT &&
                 std::max({iy[0], iy[1], iy[2]}) - std::min({iy[0], iy[1], iy[2]}) < SMALL_EXTENT;
    for (int i = 0; i < 3; i++) {
        out->order[i] = (int8_t)order[i];
        out->x[i] = (double)ix[order[i]];
        out->y[i] = (double)iy[order[i]];
    }
    if ((out->max_x - out->min_x + 1) * (out->max_y - out->min_y + 1) <= PRETEST_CENTRES) {
        if (out->small) {
            const int64_t ox[3] = {ix[order[0]], ix[order[1]], ix[order[2]]};
            const int64_t oy[3] = {iy[order[0]], iy[order[1]], iy[order[2]]};
            return small_covers_a_centre(*out, ox, oy);
        }
        EdgeFn edge[3];
        clip_edges(*out, edge);
        return covers_a_centre(*out, edge);
    }
    return true;
}

} // namespace

bool clip_corners(const float (&cx)[3], const float (&cy)[3], ScreenTri *out)
{
    // x * 16 is exact in float (a power of two, and the band test rejects overflow), and
    // cvtps rounds to nearest, ties to even, as nearbyint does.
    const __m128 sixteen = _mm_set1_ps((float)SUBPIXEL_ONE);
    const __m128 fx = _mm_mul_ps(_mm_setr_ps(cx[0], cx[1], cx[2], 0.0f), sixteen);
    const __m128 fy = _mm_mul_ps(_mm_setr_ps(cy[0], cy[1], cy[2], 0.0f), sixteen);
    const __m128 band = _mm_set1_ps((float)GUARD_BAND), sign = _mm_set1_ps(-0.0f);
    const __m128 inside = _mm_and_ps(_mm_cmple_ps(_mm_andnot_ps(sign, fx), band),
                                     _mm_cmple_ps(_mm_andnot_ps(sign, fy), band));
    if (_mm_movemask_ps(inside) == 0xf) {
        // GUARD_BAND is an integer, so the snapped values stay inside the band too.
        alignas(16) int32_t sx[4], sy[4];
        _mm_store_si128((__m128i *)sx, _mm_cvtps_epi32(fx));
        _mm_store_si128((__m128i *)sy, _mm_cvtps_epi32(fy));
        return clip_in_band(sx, sy, out);
    }

    double x[3], y[3];
    for (int i = 0; i < 3; i++) {
        x[i] = (double)cx[i] * (double)SUBPIXEL_ONE; // exact for every float
        y[i] = (double)cy[i] * (double)SUBPIXEL_ONE;
    }
    for (int i = 0; i < 3; i++) {
        x[i] = std::nearbyint(x[i]);
        y[i] = std::nearbyint(y[i]);
    }

    const double lo_x = std::min({x[0], x[1], x[2]}), hi_x = std::max({x[0], x[1], x[2]});
    const double lo_y = std::min({y[0], y[1], y[2]}), hi_y = std::max({y[0], y[1], y[2]});
    out->min_x = std::max(0, first_centre(lo_x));
    out->max_x = std::min(SCREEN_W - 1, last_centre(hi_x));
    out->min_y = std::max(0, first_centre(lo_y));
    out->max_y = std::min(SCREEN_H - 1, last_centre(hi_y));
    if (out->min_x > out->max_x || out->min_y > out->max_y)
        return false;
    const int area_sign = clip_orient_sign(x[0], y[0], x[1], y[1], x[2], y[2]);
    if (area_sign == 0)
        return false;
    const int order[3] = {0, area_sign > 0 ? 1 : 2, area_sign > 0 ? 2 : 1};
    out->exact = true;
    out->small = false;
    for (int i = 0; i < 3; i++) {
        out->order[i] = (int8_t)order[i];
        out->x[i] = x[order[i]];
        out->y[i] = y[order[i]];
    }
    return true;
}
