// clip_lanes.cpp: the clip stage for a vector of triangles at once, one per lane, as the
// bin stage takes them. Reads the corner positions of neighbouring triangles; writes their
// snapped corners, boxes and verdicts (LaneClip). Only what 32-bit lanes hold exactly is
// decided here (small triangles inside the guard band); the rest goes to clip_corners.
// Compiled once per SIMD target (simd.h).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "clip_lanes.cpp"
#include <hwy/foreach_target.h>

#include <hwy/highway.h>

// After highway.h: it declares per target, again in every pass.
#include "accel.h"
#include "clip.h"

HWY_BEFORE_NAMESPACE();
namespace accel::HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

namespace
{

using DF = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using MI = hn::Mask<DI>;
static_assert(HWY_MAX_BYTES / sizeof(float) <= CLIP_MAX_LANES);

// Boxes of at most this many centres are tested centre by centre, as clip_corners does.
constexpr int PRETEST_CENTRES = 8;

// Snapping as clip_corners does it (clip.cpp): x * 16 rounded to the nearest integer,
// ties to even, by adding and taking away 2^23. *in_band keeps the lanes whose value is
// within the guard band (NaN is not); the others are snapped to 0, so that no conversion
// overflows.
VI snap(const float *p, hn::Mask<DF> valid, MI *in_band)
{
    const DF df;
    const DI di;
    const VF f =
        hn::Mul(hn::IfThenElseZero(valid, hn::LoadU(df, p)), hn::Set(df, (float)SUBPIXEL_ONE));
    const VF mag = hn::Abs(f), magic = hn::Set(df, 8388608.0f); // 2^23
    const hn::Mask<DF> ok = hn::Le(mag, hn::Set(df, (float)GUARD_BAND));
    const VF rounded = hn::Sub(hn::Add(mag, magic), magic);
    const VF whole = hn::IfThenElse(hn::Lt(mag, magic), rounded, mag);
    *in_band = hn::And(*in_band, hn::RebindMask(di, ok));
    return hn::ConvertTo(di, hn::IfThenElseZero(ok, hn::CopySign(whole, f)));
}

// clip_owns for each lane, as -1 (owns) or 0.
VI owns(VI a, VI b)
{
    const DI di;
    const VI zero = hn::Zero(di);
    return hn::VecFromMask(di, hn::Or(hn::Gt(a, zero), hn::And(hn::Eq(a, zero), hn::Lt(b, zero))));
}

// Edge i -> j's value at the box's first centre (cx, cy), taken relative to corner i as
// clip_corners does, with the fill rule folded in; *step moves it one centre right, *wrap
// from a row's last centre (w wide) to the next row's first. Lanes outside `lanes` get
// zero edges.
VI edge_start(VI xi, VI yi, VI xj, VI yj, VI cx, VI cy, MI lanes, VI w, VI *step, VI *wrap)
{
    const DI di;
    const VI one = hn::Set(di, 1), sub = hn::Set(di, (int32_t)SUBPIXEL_ONE);
    const VI a = hn::IfThenElseZero(lanes, hn::Sub(yi, yj));
    const VI b = hn::IfThenElseZero(lanes, hn::Sub(xj, xi));
    const VI ox = hn::IfThenElseZero(lanes, hn::Sub(cx, xi));
    const VI oy = hn::IfThenElseZero(lanes, hn::Sub(cy, yi));
    *step = hn::Mul(a, sub);
    *wrap = hn::Sub(hn::Mul(b, sub), hn::Mul(*step, hn::Sub(w, one)));
    return hn::Sub(hn::Sub(hn::Add(hn::Mul(a, ox), hn::Mul(b, oy)), one), owns(a, b));
}

// Edge e (from corner i to j) as SmallEdges32 holds it, into out's lanes; zero outside
// `lanes`. That is edge_start at the centre of pixel (0, 0) for a box one centre wide,
// whose wrap to the next row is then the step up.
void store_small_edge(VI xi, VI yi, VI xj, VI yj, MI lanes, LaneClip *out, int e)
{
    const DI di;
    const VI origin = hn::Set(di, (int32_t)SUBPIXEL_ONE / 2);
    VI step_x, step_y;
    const VI c =
        edge_start(xi, yi, xj, yj, origin, origin, lanes, hn::Set(di, 1), &step_x, &step_y);
    hn::StoreU(step_x, di, out->step_x[e]);
    hn::StoreU(step_y, di, out->step_y[e]);
    hn::StoreU(c, di, out->c[e]);
}

uint64_t lane_bits(MI m)
{
    const DI di;
    uint8_t bits[CLIP_MAX_LANES / 8] = {};
    hn::StoreMaskBits(di, m, bits);
    uint64_t out = 0;
    for (int i = CLIP_MAX_LANES / 8 - 1; i >= 0; i--)
        out = out << 8 | bits[i];
    return out;
}

} // namespace

int clip_lane_count()
{
    return (int)hn::Lanes(DF());
}

void clip_lanes(const float *const (&x)[3], const float *const (&y)[3], int n, LaneClip *out)
{
    const DF df;
    const DI di;
    const hn::Mask<DF> valid = hn::FirstN(df, (size_t)n);
    const VI zero = hn::Zero(di), one = hn::Set(di, 1), sub = hn::Set(di, (int32_t)SUBPIXEL_ONE);
    MI in_band = hn::RebindMask(di, valid);
    // One variable per corner: some targets' vectors cannot be array elements.
    const VI sx0 = snap(x[0], valid, &in_band), sy0 = snap(y[0], valid, &in_band);
    const VI sx1 = snap(x[1], valid, &in_band), sy1 = snap(y[1], valid, &in_band);
    const VI sx2 = snap(x[2], valid, &in_band), sy2 = snap(y[2], valid, &in_band);
    // Snapped values are within +-2^29, so extents fit 32 bits; a small triangle's
    // corner offsets are below 2^14, so that its area (twice it, below 2^29) does too.
    const VI lo_x = hn::Min(hn::Min(sx0, sx1), sx2), hi_x = hn::Max(hn::Max(sx0, sx1), sx2);
    const VI lo_y = hn::Min(hn::Min(sy0, sy1), sy2), hi_y = hn::Max(hn::Max(sy0, sy1), sy2);
    const VI small_extent = hn::Set(di, (int32_t)SMALL_EXTENT);
    const MI fast = hn::And(in_band, hn::And(hn::Lt(hn::Sub(hi_x, lo_x), small_extent),
                                             hn::Lt(hn::Sub(hi_y, lo_y), small_extent)));
    // clip_first_centre and clip_last_centre, cut to the screen.
    const VI half = hn::Set(di, (int32_t)SUBPIXEL_ONE / 2);
    const VI up = hn::Set(di, (int32_t)(SUBPIXEL_ONE - SUBPIXEL_ONE / 2 - 1));
    const VI min_x = hn::Max(zero, hn::ShiftRight<SUBPIXEL_BITS>(hn::Add(lo_x, up)));
    const VI max_x =
        hn::Min(hn::Set(di, SCREEN_W - 1), hn::ShiftRight<SUBPIXEL_BITS>(hn::Sub(hi_x, half)));
    const VI min_y = hn::Max(zero, hn::ShiftRight<SUBPIXEL_BITS>(hn::Add(lo_y, up)));
    const VI max_y =
        hn::Min(hn::Set(di, SCREEN_H - 1), hn::ShiftRight<SUBPIXEL_BITS>(hn::Sub(hi_y, half)));
    const MI on_screen = hn::Not(hn::Or(hn::Gt(min_x, max_x), hn::Gt(min_y, max_y)));

    // Lanes that are not fast take no part from here on: zero offsets keep their
    // products in range.
    VI dx1 = hn::IfThenElseZero(fast, hn::Sub(sx1, sx0));
    VI dy1 = hn::IfThenElseZero(fast, hn::Sub(sy1, sy0));
    VI dx2 = hn::IfThenElseZero(fast, hn::Sub(sx2, sx0));
    VI dy2 = hn::IfThenElseZero(fast, hn::Sub(sy2, sy0));
    const VI area2 = hn::Sub(hn::Mul(dx1, dy2), hn::Mul(dy1, dx2));
    // Both windings are drawn: a clockwise triangle is walked the other way round.
    const MI ccw = hn::Gt(area2, zero);
    const VI px0 = sx0, px1 = hn::IfThenElse(ccw, sx1, sx2), px2 = hn::IfThenElse(ccw, sx2, sx1);
    const VI py0 = sy0, py1 = hn::IfThenElse(ccw, sy1, sy2), py2 = hn::IfThenElse(ccw, sy2, sy1);
    const MI kept = hn::And(hn::And(fast, on_screen), hn::Ne(area2, zero));

    // Tiny boxes: is any centre inside? Centre k of a box w wide is (k % w, k / w) from
    // its first one; the edge values are stepped from centre to centre. Offsets from a
    // corner to a centre of the box stay below 2^14, so they fit 32 bits; lanes without
    // the test take part with zero edges, which stay in range.
    const VI w = hn::Add(hn::Sub(max_x, min_x), one);
    const VI count = hn::Mul(hn::IfThenElseZero(kept, w), hn::Add(hn::Sub(max_y, min_y), one));
    const MI pretest = hn::And(kept, hn::Lt(count, hn::Set(di, PRETEST_CENTRES + 1)));
    MI covered = hn::AndNot(pretest, hn::RebindMask(di, valid));
    if (!hn::AllFalse(di, pretest)) {
        const VI cx = hn::Add(hn::Mul(min_x, sub), half), cy = hn::Add(hn::Mul(min_y, sub), half);
        VI step0, step1, step2, wrap0, wrap1, wrap2;
        VI e0 = edge_start(px0, py0, px1, py1, cx, cy, pretest, w, &step0, &wrap0);
        VI e1 = edge_start(px1, py1, px2, py2, cx, cy, pretest, w, &step1, &wrap1);
        VI e2 = edge_start(px2, py2, px0, py0, cx, cy, pretest, w, &step2, &wrap2);
        const VI minus_one = hn::Set(di, -1);
        VI column = zero;
        MI hit = hn::FirstN(di, 0);
        for (int c = 0; c < PRETEST_CENTRES; c++) {
            const MI left = hn::And(pretest, hn::Gt(count, hn::Set(di, c)));
            if (hn::AllFalse(di, left))
                break;
            hit = hn::Or(hit, hn::And(left, hn::Gt(hn::Or(hn::Or(e0, e1), e2), minus_one)));
            column = hn::Add(column, one);
            const MI next_row = hn::Eq(column, w);
            column = hn::IfThenElseZero(hn::Not(next_row), column);
            e0 = hn::Add(e0, hn::IfThenElse(next_row, wrap0, step0));
            e1 = hn::Add(e1, hn::IfThenElse(next_row, wrap1, step1));
            e2 = hn::Add(e2, hn::IfThenElse(next_row, wrap2, step2));
        }
        covered = hn::Or(covered, hit);
    }

    const MI drawn = hn::And(kept, covered);
    store_small_edge(px0, py0, px1, py1, drawn, out, 0);
    store_small_edge(px1, py1, px2, py2, drawn, out, 1);
    store_small_edge(px2, py2, px0, py0, drawn, out, 2);
    out->drawn = lane_bits(drawn);
    out->fallback = lane_bits(hn::AndNot(fast, hn::RebindMask(di, valid)));
    hn::StoreU(px0, di, out->x[0]);
    hn::StoreU(px1, di, out->x[1]);
    hn::StoreU(px2, di, out->x[2]);
    hn::StoreU(py0, di, out->y[0]);
    hn::StoreU(py1, di, out->y[1]);
    hn::StoreU(py2, di, out->y[2]);
    hn::StoreU(min_x, di, out->min_x);
    hn::StoreU(max_x, di, out->max_x);
    hn::StoreU(min_y, di, out->min_y);
    hn::StoreU(max_y, di, out->max_y);
    hn::StoreU(hn::VecFromMask(di, hn::Not(ccw)), di, out->turned);
}

} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();
