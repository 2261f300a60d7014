// setup_lanes.cpp: the part of setup solved once per triangle rather than per tile, for a
// vector of triangles at once, one per double lane, as the bin stage files them. Reads
// their clipped corners, depth and red; writes their TriPlanes. Every lane computes the
// very double expressions of setup_planes (setup.cpp) in the same order, each operation
// rounded on its own (no fused multiply-add), so the planes are bit for bit the same.
// Compiled once per SIMD target (simd.h).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "setup_lanes.cpp"
#include <hwy/foreach_target.h>

#include <hwy/highway.h>

#include <algorithm>
#include <cfloat>

// After highway.h: these declare per target, again in every pass.
#include "setup.h"
#include "simd.h"

HWY_BEFORE_NAMESPACE();
namespace accel::HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

namespace
{

using DD = hn::ScalableTag<double>;
using VD = hn::Vec<DD>;
constexpr int MAX_LANES = HWY_MAX_BYTES / sizeof(double);

// Triangles' values side by side, lane i triangle i.
struct CornerLanes {
    double x[3][MAX_LANES], y[3][MAX_LANES]; // 28.4 units
    double z[3][MAX_LANES], r[3][MAX_LANES];
};

struct PlaneLanes {
    float a0[MAX_LANES], dx[MAX_LANES], dy[MAX_LANES];
};

// solve2 and lane_plane of setup.cpp: a plane that cannot be solved, or whose coefficients
// do not fit a float, is flat at the corners' mean.
void solve(const VD (&v)[3], const VD (&k)[6], PlaneLanes *out)
{
    const DD d;
    const hn::Rebind<float, DD> df;
    const VD max = hn::Set(d, (double)FLT_MAX), three = hn::Set(d, 3.0);
    const VD dv1 = hn::Sub(v[1], v[0]), dv2 = hn::Sub(v[2], v[0]);
    const VD gx = hn::Sub(hn::Mul(dv1, k[2]), hn::Mul(dv2, k[3]));
    const VD gy = hn::Sub(hn::Mul(dv2, k[4]), hn::Mul(dv1, k[5]));
    const VD o = hn::Sub(hn::Sub(v[0], hn::Mul(gx, k[0])), hn::Mul(gy, k[1]));
    // NaN fails Le, an infinity is above max.
    const hn::Mask<DD> fit = hn::And(hn::Le(hn::Abs(o), max),
                                     hn::And(hn::Le(hn::Abs(gx), max), hn::Le(hn::Abs(gy), max)));
    const VD mean =
        hn::Add(hn::Add(hn::Div(v[0], three), hn::Div(v[1], three)), hn::Div(v[2], three));
    hn::StoreU(hn::DemoteTo(df, hn::IfThenElse(fit, o, mean)), df, out->a0);
    hn::StoreU(hn::DemoteTo(df, hn::IfThenElseZero(fit, gx)), df, out->dx);
    hn::StoreU(hn::DemoteTo(df, hn::IfThenElseZero(fit, gy)), df, out->dy);
}

} // namespace

int setup_lane_count()
{
    return (int)hn::Lanes(DD());
}

void setup_planes_lanes(TriInput *const *in, int n)
{
    const DD d;
    const int lanes = (int)hn::Lanes(d);
    CornerLanes v;
    for (int i = 0; i < lanes; i++) {
        const TriInput &t = *in[i < n ? i : 0]; // lanes past n repeat the first
        for (int c = 0; c < 3; c++) {
            v.x[c][i] = t.st.x[c];
            v.y[c][i] = t.st.y[c];
            v.z[c][i] = t.c[c].ooz;
            v.r[c][i] = t.c[c].r;
        }
    }
    // corner_basis: the corners in pixels, and their offsets over twice the area.
    const VD pixel = hn::Set(d, 1.0 / SUBPIXEL_ONE);
    VD px[3], py[3], z[3], r[3];
    for (int c = 0; c < 3; c++) {
        px[c] = hn::Mul(hn::LoadU(d, v.x[c]), pixel);
        py[c] = hn::Mul(hn::LoadU(d, v.y[c]), pixel);
        z[c] = hn::LoadU(d, v.z[c]);
        r[c] = hn::LoadU(d, v.r[c]);
    }
    const VD dx1 = hn::Sub(px[1], px[0]), dy1 = hn::Sub(py[1], py[0]);
    const VD dx2 = hn::Sub(px[2], px[0]), dy2 = hn::Sub(py[2], py[0]);
    const VD inv = hn::Div(hn::Set(d, 1.0), hn::Sub(hn::Mul(dx1, dy2), hn::Mul(dx2, dy1)));
    // As Basis: x0, y0, dy2, dy1, dx1, dx2.
    const VD k[6] = {
        px[0], py[0], hn::Mul(dy2, inv), hn::Mul(dy1, inv), hn::Mul(dx1, inv), hn::Mul(dx2, inv)};
    double basis[6][MAX_LANES];
    for (int j = 0; j < 6; j++)
        hn::StoreU(k[j], d, basis[j]);
    PlaneLanes pz, pr;
    solve(z, k, &pz);
    solve(r, k, &pr);
    for (int i = 0; i < n; i++) {
        TriPlanes &p = in[i]->planes;
        p.basis =
            Basis{basis[0][i], basis[1][i], basis[2][i], basis[3][i], basis[4][i], basis[5][i]};
        p.z = Plane{pz.a0[i], pz.dx[i], pz.dy[i]};
        p.r = Plane{pr.a0[i], pr.dx[i], pr.dy[i]};
    }
}

} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace accel
{
HWY_EXPORT(setup_planes_lanes);
HWY_EXPORT(setup_lane_count);
} // namespace accel

void setup_planes_side_by_side(TriInput *const *in, int n)
{
    const int lanes = SIMD_DISPATCH(setup_lane_count)();
    for (int i = 0; i < n; i += lanes)
        SIMD_DISPATCH(setup_planes_lanes)(in + i, std::min(lanes, n - i));
}
#endif
