// setup.cpp: the setup stage: edge functions, attribute planes, texture level per triangle.
// Reads a TriInput; writes a TriSetup. Planes are solved in double from the snapped
// corners and stored as float; runs on the workers, once per triangle and tile, but for
// the basis and the depth and red planes, which the bin stage solves once per triangle
// (setup_lanes.cpp). Colour planes are solved two attributes side by side, compiled once
// per SIMD target (simd.h); the texture's two axes in plain scalar code, which rounds
// every operation just as a vector lane does.
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

// One texture axis's plane in level-0 texels, as solve2 solves a lane: ok when all three
// coefficients are finite.
struct Axis {
    double a0, dx, dy;
    bool ok;
};

Axis solve_axis(const Basis &k, double v0, double v1, double v2)
{
    const double dv1 = v1 - v0, dv2 = v2 - v0;
    const double gx = dv1 * k.dy2 - dv2 * k.dy1;
    const double gy = dv2 * k.dx1 - dv1 * k.dx2;
    const double o = (v0 - gx * k.x0) - gy * k.y0;
    return Axis{o, gx, gy, std::isfinite(o) && std::isfinite(gx) && std::isfinite(gy)};
}

// The gradient the level is chosen from: 0 for a plane that could not be solved.
float level_gradient(const Axis &a, double g)
{
    return a.ok && fits_float(g) ? (float)g : 0.0f;
}

// An axis's plane with its origin moved into [0, 2^period_log2) (the texture wraps, so no
// texel changes) and scaled down by 2^down_log2 to the chosen level's texels. A plane not
// solved samples one texel; one whose gradient does not fit a float keeps its origin.
Plane wrap_axis(const Axis &a, int period_log2, int down_log2)
{
    if (!a.ok)
        return Plane{0.0f, 0.0f, 0.0f};
    // Powers of two: every product here is exact, and floor is.
    const double scale = INV_POW2[down_log2];
    const double whole = std::floor(a.a0 * INV_POW2[period_log2]);
    const double o = (a.a0 - whole * POW2[period_log2]) * scale;
    const double gx = a.dx * scale, gy = a.dy * scale;
    if (!fits_float(gx) || !fits_float(gy))
        return Plane{(float)o, 0.0f, 0.0f};
    return Plane{(float)o, (float)gx, (float)gy};
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
    // Each corner's t/w and s/w over its 1/w, in level-0 texels. Plain scalar arithmetic:
    // each value is one rounded operation, as in any vector.
    const double unit = (double)tex->texels_per_unit;
    double t[3], s[3];
    for (int i = 0; i < 3; i++) {
        const float qt = c[i]->tow / c[i]->oow, qs = c[i]->sow / c[i]->oow;
        if (!std::isfinite(qt) || !std::isfinite(qs))
            return;
        t[i] = (double)qt * unit;
        s[i] = (double)qs * unit;
    }
    const Axis ta = solve_axis(k, t[0], t[1], t[2]), sa = solve_axis(k, s[0], s[1], s[2]);
    const int level =
        setup_choose_level(level_gradient(sa, sa.dx), level_gradient(sa, sa.dy),
                           level_gradient(ta, ta.dx), level_gradient(ta, ta.dy), tex->level_count);
    const MipLevel &top = tex->level[0], &lv = tex->level[level];
    tri->textured = true;
    tri->level = lv;
    tri->t = wrap_axis(ta, top.height_log2, top.height_log2 - lv.height_log2);
    tri->s = wrap_axis(sa, top.width_log2, top.width_log2 - lv.width_log2);
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
