// setup.cpp: the setup stage: edge functions, attribute planes, texture level per triangle.
// Reads a TriInput; writes a TriSetup. Planes are solved in double from the snapped
// corners and stored as float; runs on the workers, once per triangle and tile, but for
// the basis and the depth and red planes, which the bin stage solves once per triangle
// (setup_lanes.cpp). The plane solves are compiled once per SIMD target (simd.h), two
// attributes side by side.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "setup.cpp"
#include <hwy/foreach_target.h>

#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

// After highway.h: it declares per target, again in every pass.
#include "setup.h"
#include "simd.h"

HWY_BEFORE_NAMESPACE();
namespace accel::HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

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

bool fits_float(double v)
{
    return std::fabs(v) <= FLT_MAX;
}

// Two attributes at once, lane i the values v[.][i]: a0, dx, dy of each. Bit i of the
// result is set when all three are finite, bit i of *fit when they also fit a float.
// Lanes of at most two doubles, so that the scalar target takes one at a time and every
// other one both.
using D2 = hn::CappedTag<double, 2>;

// A mask's lanes as bits, lane 0 lowest.
HWY_INLINE unsigned lane_bits(D2 d, hn::Mask<D2> m)
{
    uint8_t bits[8] = {};
    hn::StoreMaskBits(d, m, bits);
    return bits[0] & 3u;
}

int solve2(const Basis &k, const double (&v)[3][2], double (&a0)[2], double (&dx)[2],
           double (&dy)[2], int *fit_bits)
{
    const D2 d;
    const size_t n = hn::Lanes(d);
    const hn::Vec<D2> max = hn::Set(d, (double)FLT_MAX), zero = hn::Zero(d);
    int finite = 0, fits = 0;
    for (size_t i = 0; i < 2; i += n) {
        const hn::Vec<D2> v0 = hn::LoadU(d, v[0] + i);
        const hn::Vec<D2> dv1 = hn::Sub(hn::LoadU(d, v[1] + i), v0);
        const hn::Vec<D2> dv2 = hn::Sub(hn::LoadU(d, v[2] + i), v0);
        const hn::Vec<D2> gx =
            hn::Sub(hn::Mul(dv1, hn::Set(d, k.dy2)), hn::Mul(dv2, hn::Set(d, k.dy1)));
        const hn::Vec<D2> gy =
            hn::Sub(hn::Mul(dv2, hn::Set(d, k.dx1)), hn::Mul(dv1, hn::Set(d, k.dx2)));
        const hn::Vec<D2> o =
            hn::Sub(hn::Sub(v0, hn::Mul(gx, hn::Set(d, k.x0))), hn::Mul(gy, hn::Set(d, k.y0)));
        hn::StoreU(o, d, a0 + i);
        hn::StoreU(gx, d, dx + i);
        hn::StoreU(gy, d, dy + i);
        // x - x is 0 unless x is infinite or NaN; NaN fails Le, an infinity is above max.
        const hn::Mask<D2> ok =
            hn::And(hn::Eq(hn::Sub(o, o), zero),
                    hn::And(hn::Eq(hn::Sub(gx, gx), zero), hn::Eq(hn::Sub(gy, gy), zero)));
        const hn::Mask<D2> fit = hn::And(
            hn::Le(hn::Abs(o), max), hn::And(hn::Le(hn::Abs(gx), max), hn::Le(hn::Abs(gy), max)));
        finite |= (int)lane_bits(d, ok) << i;
        fits |= (int)lane_bits(d, fit) << i;
    }
    *fit_bits = fits;
    return finite;
}

// The plane of lane i of solve2. One that cannot be solved, or whose coefficients do not
// fit a float, is drawn flat at the corners' mean, so that huge or degenerate input never
// turns into infinities or NaN in the pixels.
Plane lane_plane(const double (&v)[3][2], int lane, int usable, const double (&a0)[2],
                 const double (&dx)[2], const double (&dy)[2])
{
    if (usable >> lane & 1)
        return Plane{(float)a0[lane], (float)dx[lane], (float)dy[lane]};
    const double mean = v[0][lane] / 3.0 + v[1][lane] / 3.0 + v[2][lane] / 3.0;
    return Plane{(float)mean, 0.0f, 0.0f};
}

constexpr double POW2[TEX_MAX_LEVELS] = {1, 2, 4, 8, 16, 32, 64, 128, 256};
constexpr double INV_POW2[TEX_MAX_LEVELS] = {1,       0.5,      0.25,      0.125,     0.0625,
                                             0.03125, 0.015625, 0.0078125, 0.00390625};

// Texture planes solved in level-0 texels (lane 0 t, lane 1 s, as solved by solve2), each
// origin moved into [0, 2^period_log2) (the texture wraps, so no texel changes) and scaled
// down by 2^down_log2 to the chosen level's texels. A plane not solved (its bit clear in
// `solved`) samples one texel; one whose gradient does not fit a float keeps its origin.
void wrap_planes(int solved, const double (&a0)[2], const double (&dx)[2], const double (&dy)[2],
                 const int (&period_log2)[2], const int (&down_log2)[2], Plane (&out)[2])
{
    const D2 d;
    const size_t n = hn::Lanes(d);
    const double period[2] = {POW2[period_log2[0]], POW2[period_log2[1]]};
    const double inv_period[2] = {INV_POW2[period_log2[0]], INV_POW2[period_log2[1]]};
    const double scale[2] = {INV_POW2[down_log2[0]], INV_POW2[down_log2[1]]};
    const hn::Vec<D2> max = hn::Set(d, (double)FLT_MAX);
    alignas(16) float of[2], xf[2], yf[2];
    int fits = 0;
    for (size_t i = 0; i < 2; i += n) {
        const hn::Vec<D2> a = hn::LoadU(d, a0 + i), sc = hn::LoadU(d, scale + i);
        // Powers of two: every product here is exact, and Floor is.
        const hn::Vec<D2> floor = hn::Floor(hn::Mul(a, hn::LoadU(d, inv_period + i)));
        const hn::Vec<D2> o = hn::Mul(hn::Sub(a, hn::Mul(floor, hn::LoadU(d, period + i))), sc);
        const hn::Vec<D2> gx = hn::Mul(hn::LoadU(d, dx + i), sc);
        const hn::Vec<D2> gy = hn::Mul(hn::LoadU(d, dy + i), sc);
        const hn::Mask<D2> fit = hn::And(hn::Le(hn::Abs(gx), max), hn::Le(hn::Abs(gy), max));
        fits |= (int)lane_bits(d, fit) << i;
        // Lanes not solved are not read; the origin of one solved is below the period.
        const hn::Rebind<float, D2> df;
        hn::StoreU(hn::DemoteTo(df, o), df, of + i);
        hn::StoreU(hn::DemoteTo(df, hn::IfThenElseZero(fit, gx)), df, xf + i);
        hn::StoreU(hn::DemoteTo(df, hn::IfThenElseZero(fit, gy)), df, yf + i);
    }
    for (int i = 0; i < 2; i++)
        out[i] = !(solved >> i & 1) ? Plane{0.0f, 0.0f, 0.0f}
                 : fits >> i & 1    ? Plane{of[i], xf[i], yf[i]}
                                    : Plane{of[i], 0.0f, 0.0f};
}

} // namespace

void setup_planes(TriInput *in)
{
    const Basis k = in->planes.basis = corner_basis(in->st);
    // r rides along with z: two lanes cost one, and most triangles are drawn.
    double zr[3][2];
    for (int i = 0; i < 3; i++) {
        zr[i][0] = in->c[i].ooz;
        zr[i][1] = in->c[i].r;
    }
    double a0[2], dx[2], dy[2];
    int usable = 0;
    solve2(k, zr, a0, dx, dy, &usable);
    in->planes.z = lane_plane(zr, 0, usable, a0, dx, dy);
    in->planes.r = lane_plane(zr, 1, usable, a0, dx, dy);
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
        ExactEdges &x = tri->exact_edges;
        for (int e = 0; e < 3; e++) {
            const int i = e, j = (e + 1) % 3;
            x.x[e] = st.x[e];
            x.y[e] = st.y[e];
            x.owns[e] = clip_owns(st.y[i] - st.y[j], st.x[j] - st.x[i]);
        }
    } else if (!st.small) { // the 32-bit path takes its edges from the corners itself
        clip_edges(st, tri->edge);
    }

    tri->basis = in.planes.basis;
    tri->z = in.planes.z;
    tri->r = in.planes.r;
    tri->depth_test = state.depth_mode == GR_DEPTHBUFFER_ZBUFFER;
    tri->depth_write = tri->depth_test && state.depth_mask;
    tri->depth_func = state.depth_func;
}

void setup_shading(const TriInput &in, TriSetup *tri)
{
    const RenderState &state = in.state;
    const Corner *c[3] = {&in.c[0], &in.c[1], &in.c[2]};
    const Basis &k = tri->basis;
    // Grey shades (the program's) share one plane: the same inputs give the same plane.
    const bool g_is_r = c[0]->g == c[0]->r && c[1]->g == c[1]->r && c[2]->g == c[2]->r;
    const bool b_is_r = c[0]->b == c[0]->r && c[1]->b == c[1]->r && c[2]->b == c[2]->r;
    tri->grey = g_is_r && b_is_r;
    tri->g = tri->b = tri->r;
    if (!tri->grey) {
        double gb[3][2], a0[2], dx[2], dy[2];
        for (int i = 0; i < 3; i++) {
            gb[i][0] = c[i]->g;
            gb[i][1] = c[i]->b;
        }
        int usable = 0;
        solve2(k, gb, a0, dx, dy, &usable);
        if (!g_is_r)
            tri->g = lane_plane(gb, 0, usable, a0, dx, dy);
        if (!b_is_r)
            tri->b = lane_plane(gb, 1, usable, a0, dx, dy);
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
    // Each corner's t/w and s/w over its 1/w, in texture units:
    // lane 0 is t, lane 1 s. A quotient is infinite or NaN exactly when its exponent bits
    // are all set.
    const D2 d;
    const hn::Rebind<float, D2> df;
    const hn::Rebind<uint32_t, D2> du;
    const size_t n = hn::Lanes(d);
    const hn::Vec<decltype(du)> exp = hn::Set(du, 0x7f800000u);
    const hn::Vec<D2> unit = hn::Set(d, (double)tex->texels_per_unit);
    double ts[3][2];
    for (int i = 0; i < 3; i++) {
        const float tw_sw[2] = {c[i]->tow, c[i]->sow};
        for (size_t j = 0; j < 2; j += n) {
            const hn::Vec<decltype(df)> q =
                hn::Div(hn::LoadU(df, tw_sw + j), hn::Set(df, c[i]->oow));
            if (!hn::AllFalse(du, hn::Eq(hn::And(hn::BitCast(du, q), exp), exp)))
                return;
            hn::StoreU(hn::Mul(hn::PromoteTo(d, q), unit), d, ts[i] + j);
        }
    }
    double a0[2], gx[2], gy[2];
    int fits = 0;
    const int ok = solve2(k, ts, a0, gx, gy, &fits);
    const bool t_ok = ok & 1, s_ok = ok & 2;
    const double tdx = gx[0], tdy = gy[0], sdx = gx[1], sdy = gy[1];
    // The level comes from the float gradients, 0 for a plane that could not be solved.
    const float gsx = s_ok && fits_float(sdx) ? (float)sdx : 0.0f;
    const float gsy = s_ok && fits_float(sdy) ? (float)sdy : 0.0f;
    const float gtx = t_ok && fits_float(tdx) ? (float)tdx : 0.0f;
    const float gty = t_ok && fits_float(tdy) ? (float)tdy : 0.0f;
    const int level = setup_choose_level(gsx, gsy, gtx, gty, tex->level_count);
    const MipLevel &top = tex->level[0], &lv = tex->level[level];
    tri->textured = true;
    tri->level = lv;
    Plane planes[2];
    wrap_planes(ok, a0, gx, gy, {top.height_log2, top.width_log2},
                {top.height_log2 - lv.height_log2, top.width_log2 - lv.width_log2}, planes);
    tri->t = planes[0];
    tri->s = planes[1];
}

void setup_triangle(const TriInput &in, TriSetup *tri)
{
    TriInput solved = in;
    setup_planes(&solved);
    setup_coverage(solved, tri);
    setup_shading(solved, tri);
}

} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace accel
{
HWY_EXPORT(setup_triangle);
} // namespace accel

void setup_triangle(const TriInput &in, TriSetup *tri)
{
    SIMD_DISPATCH(setup_triangle)(in, tri);
}

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

void setup_corner(const GrVertex &g, Corner *c)
{
    static_assert(offsetof(GrVertex, ooz) == offsetof(GrVertex, r) + 3 * sizeof(float) &&
                  offsetof(GrVertex, tmuvtx) == offsetof(GrVertex, oow) + sizeof(float));
    // Written in place: a record built elsewhere and copied would be read back whole just
    // after its last float was stored on its own, which waits for that store.
    std::memcpy(&c->r, &g.r, 4 * sizeof(float));
    std::memcpy(&c->oow, &g.oow, 4 * sizeof(float));
    c->unused = 0.0f;
}

void setup_order(TriInput *in)
{
    // Clipping keeps the first corner first, so this is at most one swap.
    if (in->st.order[1] == 2)
        std::swap(in->c[1], in->c[2]);
}
#endif
