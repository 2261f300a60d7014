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
// k0..k5: the Basis (x0, y0, dy2, dy1, dx1, dx2), one variable each, as some targets'
// vectors cannot be array elements.
void solve(VD v0, VD v1, VD v2, VD k0, VD k1, VD k2, VD k3, VD k4, VD k5, PlaneLanes *out)
{
    const DD d;
    const hn::Rebind<float, DD> df;
    const VD max = hn::Set(d, (double)FLT_MAX), three = hn::Set(d, 3.0);
    const VD dv1 = hn::Sub(v1, v0), dv2 = hn::Sub(v2, v0);
    const VD gx = hn::Sub(hn::Mul(dv1, k2), hn::Mul(dv2, k3));
    const VD gy = hn::Sub(hn::Mul(dv2, k4), hn::Mul(dv1, k5));
    const VD o = hn::Sub(hn::Sub(v0, hn::Mul(gx, k0)), hn::Mul(gy, k1));
    // NaN fails Le, an infinity is above max.
    const hn::Mask<DD> fit = hn::And(hn::Le(hn::Abs(o), max),
                                     hn::And(hn::Le(hn::Abs(gx), max), hn::Le(hn::Abs(gy), max)));
    const VD mean = hn::Add(hn::Add(hn::Div(v0, three), hn::Div(v1, three)), hn::Div(v2, three));
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
    const VD px0 = hn::Mul(hn::LoadU(d, v.x[0]), pixel), py0 = hn::Mul(hn::LoadU(d, v.y[0]), pixel);
    const VD px1 = hn::Mul(hn::LoadU(d, v.x[1]), pixel), py1 = hn::Mul(hn::LoadU(d, v.y[1]), pixel);
    const VD px2 = hn::Mul(hn::LoadU(d, v.x[2]), pixel), py2 = hn::Mul(hn::LoadU(d, v.y[2]), pixel);
    const VD dx1 = hn::Sub(px1, px0), dy1 = hn::Sub(py1, py0);
    const VD dx2 = hn::Sub(px2, px0), dy2 = hn::Sub(py2, py0);
    const VD inv = hn::Div(hn::Set(d, 1.0), hn::Sub(hn::Mul(dx1, dy2), hn::Mul(dx2, dy1)));
    const VD kdy2 = hn::Mul(dy2, inv), kdy1 = hn::Mul(dy1, inv);
    const VD kdx1 = hn::Mul(dx1, inv), kdx2 = hn::Mul(dx2, inv);
    double basis[6][MAX_LANES];
    hn::StoreU(px0, d, basis[0]);
    hn::StoreU(py0, d, basis[1]);
    hn::StoreU(kdy2, d, basis[2]);
    hn::StoreU(kdy1, d, basis[3]);
    hn::StoreU(kdx1, d, basis[4]);
    hn::StoreU(kdx2, d, basis[5]);
    PlaneLanes pz, pr;
    solve(hn::LoadU(d, v.z[0]), hn::LoadU(d, v.z[1]), hn::LoadU(d, v.z[2]), px0, py0, kdy2, kdy1,
          kdx1, kdx2, &pz);
    solve(hn::LoadU(d, v.r[0]), hn::LoadU(d, v.r[1]), hn::LoadU(d, v.r[2]), px0, py0, kdy2, kdy1,
          kdx1, kdx2, &pr);
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
