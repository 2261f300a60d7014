// clip.cpp: the clip stage: snapping to 28.4 and restricting a triangle to the screen.
// Reads GrVertex x, y; writes a ScreenTri. Coordinates may be any finite float: beyond
// the guard band the orientation is decided exactly by floating-point expansions, so a
// triangle reaching 1e30 covers the same centres as its ideal snapped shape.
#include "clip.h"

#include <algorithm>
#include <cmath>

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

// Snapping rounds to the nearest sub-pixel step, ties to even: x * 16 is exact in double
// for every float, and nearbyint uses the default rounding mode.
double snap(float v)
{
    return std::nearbyint((double)v * (double)SUBPIXEL_ONE);
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

bool clip_triangle(const GrVertex &a, const GrVertex &b, const GrVertex &c, ScreenTri *out)
{
    const GrVertex *v[3] = {&a, &b, &c};
    double x[3], y[3];
    bool inside_band = true;
    for (int i = 0; i < 3; i++) {
        x[i] = snap(v[i]->x);
        y[i] = snap(v[i]->y);
        inside_band = inside_band && std::fabs(x[i]) <= GUARD_BAND && std::fabs(y[i]) <= GUARD_BAND;
    }

    const double lo_x = std::min({x[0], x[1], x[2]}), hi_x = std::max({x[0], x[1], x[2]});
    const double lo_y = std::min({y[0], y[1], y[2]}), hi_y = std::max({y[0], y[1], y[2]});
    out->min_x = std::max(0, first_centre(lo_x));
    out->max_x = std::min(SCREEN_W - 1, last_centre(hi_x));
    out->min_y = std::max(0, first_centre(lo_y));
    out->max_y = std::min(SCREEN_H - 1, last_centre(hi_y));
    if (out->min_x > out->max_x || out->min_y > out->max_y)
        return false;

    int area_sign;
    if (inside_band) {
        int64_t ix[3], iy[3];
        for (int i = 0; i < 3; i++) {
            ix[i] = (int64_t)x[i];
            iy[i] = (int64_t)y[i];
        }
        const int64_t area2 = (ix[1] - ix[0]) * (iy[2] - iy[0]) - (iy[1] - iy[0]) * (ix[2] - ix[0]);
        area_sign = (area2 > 0) - (area2 < 0);
    } else {
        area_sign = clip_orient_sign(x[0], y[0], x[1], y[1], x[2], y[2]);
    }
    if (area_sign == 0)
        return false; // zero area draws nothing

    // Both windings are drawn: a clockwise triangle is walked the other way round.
    const int order[3] = {0, area_sign > 0 ? 1 : 2, area_sign > 0 ? 2 : 1};
    out->exact = !inside_band;
    for (int i = 0; i < 3; i++) {
        out->order[i] = order[i];
        out->x[i] = x[order[i]];
        out->y[i] = y[order[i]];
        out->ix[i] = inside_band ? (int64_t)out->x[i] : 0;
        out->iy[i] = inside_band ? (int64_t)out->y[i] : 0;
    }
    return true;
}
