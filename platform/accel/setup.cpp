// setup.cpp: the setup stage: edge functions, attribute planes, texture level per triangle.
// Reads a TriInput; writes a TriSetup. Planes are solved in double from the snapped
// corners and stored as float; runs on the workers, once per triangle and tile.
#include "setup.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <utility>

#include <emmintrin.h>

namespace
{

Basis make_basis(const double (&x)[3], const double (&y)[3])
{
    const double dx1 = x[1] - x[0], dy1 = y[1] - y[0];
    const double dx2 = x[2] - x[0], dy2 = y[2] - y[0];
    const double inv = 1.0 / (dx1 * dy2 - dx2 * dy1);
    return Basis{x[0], y[0], dy2 * inv, dy1 * inv, dx1 * inv, dx2 * inv};
}

// The basis of a triangle's snapped corners, in pixels.
Basis corner_basis(const ScreenTri &st)
{
    double px[3], py[3];
    for (int i = 0; i < 3; i++) {
        px[i] = st.x[i] * (1.0 / SUBPIXEL_ONE);
        py[i] = st.y[i] * (1.0 / SUBPIXEL_ONE);
    }
    return make_basis(px, py);
}

// Solves a linear attribute in double. False when its coefficients are not finite.
bool solve(const Basis &k, const double (&v)[3], double *a0, double *dx, double *dy)
{
    const double dv1 = v[1] - v[0], dv2 = v[2] - v[0];
    *dx = dv1 * k.dy2 - dv2 * k.dy1;
    *dy = dv2 * k.dx1 - dv1 * k.dx2;
    *a0 = v[0] - *dx * k.x0 - *dy * k.y0;
    return *a0 - *a0 == 0.0 && *dx - *dx == 0.0 && *dy - *dy == 0.0; // NaN/inf fail
}

bool fits_float(double v)
{
    return std::fabs(v) <= FLT_MAX;
}

// A plane that cannot be solved, or whose coefficients do not fit a float, is drawn flat
// at the corners' mean, so that huge or degenerate input never turns into infinities or
// NaN in the pixels.
Plane solve_plane(const Basis &k, const double (&v)[3])
{
    double a0, dx, dy;
    if (solve(k, v, &a0, &dx, &dy) && fits_float(a0) && fits_float(dx) && fits_float(dy))
        return Plane{(float)a0, (float)dx, (float)dy};
    const double mean = v[0] / 3.0 + v[1] / 3.0 + v[2] / 3.0;
    return Plane{(float)mean, 0.0f, 0.0f};
}

// Two attributes at once: lane by lane exactly the operations of solve, in its order, so
// the results are the same bits. Lane i is usable when bit i of the result is set.
int solve2(const Basis &k, const double (&v)[3][2], double (&a0)[2], double (&dx)[2],
           double (&dy)[2])
{
    const __m128d v0 = _mm_loadu_pd(v[0]), v1 = _mm_loadu_pd(v[1]), v2 = _mm_loadu_pd(v[2]);
    const __m128d dv1 = _mm_sub_pd(v1, v0), dv2 = _mm_sub_pd(v2, v0);
    const __m128d gx =
        _mm_sub_pd(_mm_mul_pd(dv1, _mm_set1_pd(k.dy2)), _mm_mul_pd(dv2, _mm_set1_pd(k.dy1)));
    const __m128d gy =
        _mm_sub_pd(_mm_mul_pd(dv2, _mm_set1_pd(k.dx1)), _mm_mul_pd(dv1, _mm_set1_pd(k.dx2)));
    const __m128d o = _mm_sub_pd(_mm_sub_pd(v0, _mm_mul_pd(gx, _mm_set1_pd(k.x0))),
                                 _mm_mul_pd(gy, _mm_set1_pd(k.y0)));
    _mm_storeu_pd(a0, o);
    _mm_storeu_pd(dx, gx);
    _mm_storeu_pd(dy, gy);
    const __m128d zero = _mm_setzero_pd(); // x - x is 0 unless x is infinite or NaN
    const __m128d ok = _mm_and_pd(
        _mm_cmpeq_pd(_mm_sub_pd(o, o), zero),
        _mm_and_pd(_mm_cmpeq_pd(_mm_sub_pd(gx, gx), zero), _mm_cmpeq_pd(_mm_sub_pd(gy, gy), zero)));
    return _mm_movemask_pd(ok);
}

// Lane i of the result is set when lane i of a0, dx and dy all fit a float (NaN does not).
int fits_float2(const double (&a0)[2], const double (&dx)[2], const double (&dy)[2])
{
    const __m128d sign = _mm_set1_pd(-0.0), max = _mm_set1_pd(FLT_MAX);
    const __m128d fit =
        _mm_and_pd(_mm_cmple_pd(_mm_andnot_pd(sign, _mm_loadu_pd(a0)), max),
                   _mm_and_pd(_mm_cmple_pd(_mm_andnot_pd(sign, _mm_loadu_pd(dx)), max),
                              _mm_cmple_pd(_mm_andnot_pd(sign, _mm_loadu_pd(dy)), max)));
    return _mm_movemask_pd(fit);
}

// The plane of lane i of solve2, or solve_plane's fallback; usable: solve2's lanes that
// also pass fits_float2.
Plane lane_plane(const Basis &k, const double (&v)[3][2], int lane, int usable,
                 const double (&a0)[2], const double (&dx)[2], const double (&dy)[2])
{
    if (usable >> lane & 1)
        return Plane{(float)a0[lane], (float)dx[lane], (float)dy[lane]};
    const double one[3] = {v[0][lane], v[1][lane], v[2][lane]};
    return solve_plane(k, one);
}

// floor without a library call: from 2^52 on every double is an integer already.
double floor_exact(double q)
{
    if (!(std::fabs(q) < 4503599627370496.0))
        return q;
    const double t = (double)(int64_t)q;
    return t > q ? t - 1.0 : t;
}

constexpr double POW2[TEX_MAX_LEVELS] = {1, 2, 4, 8, 16, 32, 64, 128, 256};
constexpr double INV_POW2[TEX_MAX_LEVELS] = {1,       0.5,      0.25,      0.125,     0.0625,
                                             0.03125, 0.015625, 0.0078125, 0.00390625};

// A texture plane solved in level-0 texels, its origin moved into [0, 2^period_log2)
// (the texture wraps, so no texel changes) and scaled down by 2^down_log2 to the chosen
// level's texels. An unsolvable plane samples one texel.
Plane wrap_plane(bool solved, double a0, double dx, double dy, int period_log2, int down_log2)
{
    if (!solved)
        return Plane{0.0f, 0.0f, 0.0f};
    const double period = POW2[period_log2], scale = INV_POW2[down_log2];
    a0 -= floor_exact(a0 * INV_POW2[period_log2]) * period; // powers of two: all exact
    if (!fits_float(dx * scale) || !fits_float(dy * scale))
        return Plane{(float)(a0 * scale), 0.0f, 0.0f};
    return Plane{(float)(a0 * scale), (float)(dx * scale), (float)(dy * scale)};
}

// wrap_plane for s (lane 0) and t (lane 1) at once, lane by lane the same operations. A
// floor beyond 32 bits (a wild plane) or a lane not solved (bit clear in `solved`) is left
// to wrap_plane.
void wrap_planes(int solved, const double (&a0)[2], const double (&dx)[2], const double (&dy)[2],
                 const int (&period_log2)[2], const int (&down_log2)[2], Plane *s, Plane *t)
{
    const __m128d a = _mm_loadu_pd(a0);
    const __m128d q =
        _mm_mul_pd(a, _mm_setr_pd(INV_POW2[period_log2[0]], INV_POW2[period_log2[1]]));
    const __m128d sign = _mm_set1_pd(-0.0);
    if (solved != 3 ||
        _mm_movemask_pd(_mm_cmplt_pd(_mm_andnot_pd(sign, q), _mm_set1_pd(2147483648.0))) != 3) {
        *s = wrap_plane(solved & 1, a0[0], dx[0], dy[0], period_log2[0], down_log2[0]);
        *t = wrap_plane(solved & 2, a0[1], dx[1], dy[1], period_log2[1], down_log2[1]);
        return;
    }
    __m128d floor = _mm_cvtepi32_pd(_mm_cvttpd_epi32(q)); // truncation, as floor_exact's
    floor = _mm_sub_pd(floor, _mm_and_pd(_mm_cmpgt_pd(floor, q), _mm_set1_pd(1.0)));
    const __m128d period = _mm_setr_pd(POW2[period_log2[0]], POW2[period_log2[1]]);
    const __m128d scale = _mm_setr_pd(INV_POW2[down_log2[0]], INV_POW2[down_log2[1]]);
    const __m128d o = _mm_mul_pd(_mm_sub_pd(a, _mm_mul_pd(floor, period)), scale);
    const __m128d gx = _mm_mul_pd(_mm_loadu_pd(dx), scale);
    const __m128d gy = _mm_mul_pd(_mm_loadu_pd(dy), scale);
    const __m128d max = _mm_set1_pd(FLT_MAX);
    const int fits = _mm_movemask_pd(_mm_and_pd(_mm_cmple_pd(_mm_andnot_pd(sign, gx), max),
                                                _mm_cmple_pd(_mm_andnot_pd(sign, gy), max)));
    alignas(16) float of[4], xf[4], yf[4];
    _mm_store_ps(of, _mm_cvtpd_ps(o));
    _mm_store_ps(xf, _mm_cvtpd_ps(gx));
    _mm_store_ps(yf, _mm_cvtpd_ps(gy));
    *s = fits & 1 ? Plane{of[0], xf[0], yf[0]} : Plane{of[0], 0.0f, 0.0f};
    *t = fits & 2 ? Plane{of[1], xf[1], yf[1]} : Plane{of[1], 0.0f, 0.0f};
}

} // namespace

int setup_choose_level(float sdx, float sdy, float tdx, float tdy, int level_count)
{
    // "Nearest" is round(log2(rho)): level l while rho^2 is in [2 * 4^(l-1), 2 * 4^l).
    // The footprint is the same at every pixel of an affine triangle, so once is exact.
    // With rho^2 in [2^e, 2^(e+1)) that is l = (e + 1) / 2, read off the float's exponent.
    const float rho2 = std::max(sdx * sdx + tdx * tdx, sdy * sdy + tdy * tdy);
    if (!(rho2 >= 2.0f)) // NaN included
        return 0;
    const int e = (int)((std::bit_cast<uint32_t>(rho2) >> 23) & 255) - 127;
    return std::min((e + 1) / 2, level_count - 1);
}

Corner setup_corner(const GrVertex &g)
{
    return Corner{g.ooz, g.r, g.g, g.b, g.tmuvtx[0].tow, g.tmuvtx[0].sow, g.oow};
}

void setup_order(TriInput *in)
{
    // Clipping keeps the first corner first, so this is at most one swap.
    if (in->st.order[1] == 2)
        std::swap(in->c[1], in->c[2]);
}

void setup_coverage(const TriInput &in, TriSetup *tri)
{
    const ScreenTri &st = in.st;
    const RenderState &state = in.state;
    tri->exact = st.exact;
    tri->small = st.small;
    tri->min_x = (int16_t)st.min_x;
    tri->max_x = (int16_t)st.max_x;
    tri->min_y = (int16_t)st.min_y;
    tri->max_y = (int16_t)st.max_y;

    if (st.exact) {
        // The same rule as clip.cpp's edges, on the exact corners.
        ExactEdges &x = tri->exact_edges;
        for (int e = 0; e < 3; e++) {
            const int i = e, j = (e + 1) % 3;
            x.x[e] = st.x[e];
            x.y[e] = st.y[e];
            x.owns[e] = st.y[i] > st.y[j] || (st.y[i] == st.y[j] && st.x[j] < st.x[i]);
        }
    } else if (!st.small) { // the 32-bit path takes its edges from the corners itself
        clip_edges(st, tri->edge);
    }

    const Basis k = tri->basis = corner_basis(st);
    // r rides along with z: two lanes cost one, and most triangles are drawn.
    static_assert(offsetof(Corner, r) == offsetof(Corner, ooz) + sizeof(float));
    double zr[3][2];
    for (int i = 0; i < 3; i++) // ooz and r side by side: one load and one widening
        _mm_storeu_pd(
            zr[i], _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64((const __m128i *)&in.c[i].ooz))));
    double a0[2], dx[2], dy[2];
    const int usable = solve2(k, zr, a0, dx, dy) & fits_float2(a0, dx, dy);
    tri->z = lane_plane(k, zr, 0, usable, a0, dx, dy);
    tri->r = lane_plane(k, zr, 1, usable, a0, dx, dy);
    tri->depth_test = state.depth_mode == GR_DEPTHBUFFER_ZBUFFER;
    tri->depth_write = tri->depth_test && state.depth_mask;
    tri->depth_func = state.depth_func;
}

void setup_shading(const TriInput &in, TriSetup *tri)
{
    const RenderState &state = in.state;
    const Corner *c[3] = {&in.c[0], &in.c[1], &in.c[2]};
    const Basis &k = tri->basis;
    double val[3];
    // Grey shades (the program's) share one plane: the same inputs give the same plane.
    const bool g_is_r = c[0]->g == c[0]->r && c[1]->g == c[1]->r && c[2]->g == c[2]->r;
    const bool b_is_r = c[0]->b == c[0]->r && c[1]->b == c[1]->r && c[2]->b == c[2]->r;
    tri->grey = g_is_r && b_is_r;
    if (g_is_r) {
        tri->g = tri->r;
    } else {
        for (int i = 0; i < 3; i++)
            val[i] = c[i]->g;
        tri->g = solve_plane(k, val);
    }
    if (b_is_r) {
        tri->b = tri->r;
    } else {
        for (int i = 0; i < 3; i++)
            val[i] = c[i]->b;
        tri->b = solve_plane(k, val);
    }

    // s and t come as s/w and t/w of unit 0, over the corner's own 1/w (unit 0's 1/w is
    // a hint the program leaves at 0). A corner with 1/w = 0, or a quotient that
    // overflows, has no texture position: the triangle is drawn untextured.
    const Texture *tex = state.texture;
    tri->textured = false;
    tri->s = tri->t = Plane{0.0f, 0.0f, 0.0f};
    tri->level = MipLevel{};
    if (!tex || tex->level_count <= 0)
        return;
    if (c[0]->oow == 0.0f || c[1]->oow == 0.0f || c[2]->oow == 0.0f)
        return;
    // The six quotients in two divisions (the same bits as one by one); a quotient is
    // infinite or NaN exactly when its exponent bits are all set.
    const __m128 q01 = _mm_div_ps(_mm_setr_ps(c[0]->sow, c[0]->tow, c[1]->sow, c[1]->tow),
                                  _mm_setr_ps(c[0]->oow, c[0]->oow, c[1]->oow, c[1]->oow));
    const __m128 q2 = _mm_div_ps(_mm_setr_ps(c[2]->sow, c[2]->tow, 0.0f, 0.0f),
                                 _mm_setr_ps(c[2]->oow, c[2]->oow, 1.0f, 1.0f));
    const __m128i exp = _mm_set1_epi32(0x7f800000);
    const __m128i bad =
        _mm_or_si128(_mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(q01), exp), exp),
                     _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(q2), exp), exp));
    if (_mm_movemask_epi8(bad))
        return;
    const __m128d unit = _mm_set1_pd((double)tex->texels_per_unit);
    double st_val[3][2];
    _mm_storeu_pd(st_val[0], _mm_mul_pd(_mm_cvtps_pd(q01), unit));
    _mm_storeu_pd(st_val[1], _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(q01, q01)), unit));
    _mm_storeu_pd(st_val[2], _mm_mul_pd(_mm_cvtps_pd(q2), unit));
    double a0[2], gx[2], gy[2];
    const int ok = solve2(k, st_val, a0, gx, gy);
    const bool s_ok = ok & 1, t_ok = ok & 2;
    const double sdx = gx[0], sdy = gy[0], tdx = gx[1], tdy = gy[1];
    // The level comes from the float gradients, 0 for a plane that could not be solved.
    const float gsx = s_ok && fits_float(sdx) ? (float)sdx : 0.0f;
    const float gsy = s_ok && fits_float(sdy) ? (float)sdy : 0.0f;
    const float gtx = t_ok && fits_float(tdx) ? (float)tdx : 0.0f;
    const float gty = t_ok && fits_float(tdy) ? (float)tdy : 0.0f;
    const int level = setup_choose_level(gsx, gsy, gtx, gty, tex->level_count);
    const MipLevel &top = tex->level[0], &lv = tex->level[level];
    tri->textured = true;
    tri->level = lv;
    wrap_planes(ok, a0, gx, gy, {top.width_log2, top.height_log2},
                {top.width_log2 - lv.width_log2, top.height_log2 - lv.height_log2}, &tri->s,
                &tri->t);
}

void setup_triangle(const TriInput &in, TriSetup *tri)
{
    setup_coverage(in, tri);
    setup_shading(in, tri);
}
