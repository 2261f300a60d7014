// clip.cpp: the clip stage: snapping to 28.4 and restricting a triangle to the screen.
// Reads GrVertex x, y; writes a ScreenTri. Coordinates may be any finite float: beyond
// the guard band the orientation is decided exactly by floating-point expansions, so a
// triangle reaching 1e30 covers the same centres as its ideal snapped shape. Snapping and
// the tiny boxes' centre test are compiled once per SIMD target (simd.h).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "clip.cpp"
#include <hwy/foreach_target.h>

#include <hwy/highway.h>

#include <algorithm>
#include <cmath>

// After highway.h: it declares per target, again in every pass.
#include "accel.h"
#include "clip.h"
#include "simd.h"

HWY_BEFORE_NAMESPACE();
namespace accel::HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

namespace
{

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

// Centre i of a box w centres wide is (i % w, i / w) from its first one: its offsets in
// 28.4 units.
struct CentreGrid {
    int32_t x[PRETEST_CENTRES + 1][PRETEST_CENTRES], y[PRETEST_CENTRES + 1][PRETEST_CENTRES];
};

constexpr CentreGrid make_centre_grid()
{
    CentreGrid g{};
    for (int w = 1; w <= PRETEST_CENTRES; w++)
        for (int i = 0; i < PRETEST_CENTRES; i++) {
            g.x[w][i] = (int32_t)(i % w * SUBPIXEL_ONE);
            g.y[w][i] = (int32_t)(i / w * SUBPIXEL_ONE);
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
    int32_t a[3], b[3], first[3];
    for (int e = 0; e < 3; e++) {
        const int i = e, j = (e + 1) % 3;
        a[e] = (int32_t)(y[i] - y[j]);
        b[e] = (int32_t)(x[j] - x[i]);
        // clip_edges' value at the first centre, taken relative to corner i.
        first[e] =
            a[e] * (cx - (int32_t)x[i]) + b[e] * (cy - (int32_t)y[i]) - !clip_owns(a[e], b[e]);
    }
    const hn::CappedTag<int32_t, PRETEST_CENTRES> d;
    const int lanes = (int)hn::Lanes(d);
    for (int i = 0; i < n; i += lanes) {
        const hn::Vec<decltype(d)> ox = hn::LoadU(d, CENTRE_GRID.x[w] + i);
        const hn::Vec<decltype(d)> oy = hn::LoadU(d, CENTRE_GRID.y[w] + i);
        hn::Vec<decltype(d)> out = hn::Zero(d);
        for (int e = 0; e < 3; e++)
            out =
                hn::Or(out, hn::Add(hn::Set(d, first[e]), hn::Add(hn::Mul(ox, hn::Set(d, a[e])),
                                                                  hn::Mul(oy, hn::Set(d, b[e])))));
        // A centre is inside when none of its edge values is negative: the sign of the or.
        if (!hn::AllFalse(d, hn::And(hn::Gt(out, hn::Set(d, -1)), hn::FirstN(d, (size_t)(n - i)))))
            return true;
    }
    return false;
}

// The usual case: every corner inside the guard band, so that the snapped coordinates
// (below 2^29) fit 32 bits and everything after is integer arithmetic.
bool clip_in_band(const int32_t (&sx)[3], const int32_t (&sy)[3], ScreenTri *out)
{
    const int64_t ix[3] = {sx[0], sx[1], sx[2]}, iy[3] = {sy[0], sy[1], sy[2]};
    out->min_x = std::max(0, clip_first_centre(std::min({ix[0], ix[1], ix[2]})));
    out->max_x = std::min(SCREEN_W - 1, clip_last_centre(std::max({ix[0], ix[1], ix[2]})));
    out->min_y = std::max(0, clip_first_centre(std::min({iy[0], iy[1], iy[2]})));
    out->max_y = std::min(SCREEN_H - 1, clip_last_centre(std::max({iy[0], iy[1], iy[2]})));
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
    if (out->small)
        clip_small_edges(*out, &out->edges);
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

// Snapping: x * 16 is exact in float (a power of two, and the band test rejects
// overflow), then rounded to the nearest integer, ties to even, as nearbyint does: by
// adding and taking away 2^23, which leaves no fraction bits in the default rounding mode.
// Every target computes that the same way (their own rounding conversions differ at the
// edges). GUARD_BAND is an integer, so the snapped values stay inside the band too.
// The six coordinates are read in vectors of up to four, the last one overlapping.
bool snap_in_band(const RawTri &raw, int32_t (&sx)[3], int32_t (&sy)[3])
{
    static_assert(sizeof(RawTri) == 6 * sizeof(float));
    const hn::CappedTag<float, 4> df;
    const hn::RebindToSigned<decltype(df)> di;
    const int n = (int)hn::Lanes(df);
    const float *in = raw.x;
    int32_t out[6];
    const hn::Vec<decltype(df)> band = hn::Set(df, (float)GUARD_BAND);
    const hn::Vec<decltype(df)> magic = hn::Set(df, 8388608.0f); // 2^23
    for (int i = 0; i < 6; i += n) {
        const int at = std::min(i, 6 - n);
        const hn::Vec<decltype(df)> f =
            hn::Mul(hn::LoadU(df, in + at), hn::Set(df, (float)SUBPIXEL_ONE));
        const hn::Vec<decltype(df)> mag = hn::Abs(f);
        if (!hn::AllTrue(df, hn::Le(mag, band))) // NaN fails too
            return false;
        const hn::Vec<decltype(df)> rounded = hn::Sub(hn::Add(mag, magic), magic);
        const hn::Vec<decltype(df)> whole = hn::IfThenElse(hn::Lt(mag, magic), rounded, mag);
        hn::StoreU(hn::ConvertTo(di, hn::CopySign(whole, f)), di, out + at);
    }
    std::copy(out, out + 3, sx);
    std::copy(out + 3, out + 6, sy);
    return true;
}

} // namespace

bool clip_corners(const RawTri &raw, ScreenTri *out)
{
    int32_t sx[3], sy[3];
    if (snap_in_band(raw, sx, sy))
        return clip_in_band(sx, sy, out);
    return clip_beyond_band(raw, out);
}

} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace accel
{
HWY_EXPORT(clip_corners);
} // namespace accel

bool clip_corners(const RawTri &raw, ScreenTri *out)
{
    return SIMD_DISPATCH(clip_corners)(raw, out);
}

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

// The edge from corner i to corner j.
inline EdgeFn edge_between(int64_t xi, int64_t yi, int64_t xj, int64_t yj)
{
    const int64_t a = yi - yj, b = xj - xi;
    return EdgeFn{a, b, -(a * xi + b * yi) - !clip_owns(a, b)};
}

// clip_first_centre and clip_last_centre of values first clamped to a range well past
// the screen, so that huge ones convert safely.
int64_t near_screen(double v)
{
    return (int64_t)std::clamp(v, -1048576.0, 1048576.0);
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

void clip_small_edges(const ScreenTri &t, SmallEdges32 *edges)
{
    EdgeFn edge[3];
    clip_edges(t, edge);
    for (int e = 0; e < 3; e++) {
        const int64_t half = SUBPIXEL_ONE / 2;
        edges->step_x[e] = (int32_t)(edge[e].a * SUBPIXEL_ONE);
        edges->step_y[e] = (int32_t)(edge[e].b * SUBPIXEL_ONE);
        edges->c[e] = (int32_t)(edge[e].a * half + edge[e].b * half + edge[e].c);
    }
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

bool clip_beyond_band(const RawTri &raw, ScreenTri *out)
{
    const float(&cx)[3] = raw.x, (&cy)[3] = raw.y;
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
    out->min_x = std::max(0, clip_first_centre(near_screen(lo_x)));
    out->max_x = std::min(SCREEN_W - 1, clip_last_centre(near_screen(hi_x)));
    out->min_y = std::max(0, clip_first_centre(near_screen(lo_y)));
    out->max_y = std::min(SCREEN_H - 1, clip_last_centre(near_screen(hi_y)));
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
#endif
