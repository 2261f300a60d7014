// clip.h: the clip stage's record, from three GrVertex corners to a snapped screen triangle.
// Reads x, y of the corners; writes the snapped corners in counter-clockwise order, which
// path can cover them exactly (int64 edges, or exact floating-point expansions) and the
// pixels of the screen that its bounding box can reach.
#ifndef ACCEL_CLIP_H
#define ACCEL_CLIP_H

#include <cstdint>

#include "gfx/gfx.h"

// 28.4 fixed point: 16 sub-pixel steps per pixel; pixel i has its centre at i*16 + 8.
constexpr int SUBPIXEL_BITS = 4;
constexpr int64_t SUBPIXEL_ONE = 1 << SUBPIXEL_BITS;

// Bit budget of the int64 path: snapped coordinates within +-2^29 (2^25 pixels) give edge
// coefficients a, b below 2^30 and a constant c below 2^60; evaluated at centres on the
// screen (below 2^14) the edge value stays below 2^61, clear of int64 overflow.
// Triangles with a corner beyond take the exact path.
constexpr double GUARD_BAND = 536870912.0; // 2^29 sub-pixel units

// Triangles whose snapped extent is below this in both axes have edge values below 2^30
// at every centre of their box (and three pixels before or past it, where a 4-wide group
// starts or ends): |a|, |b| < 2^14 and offsets from a corner < 2^14 + 48. They take the
// 32-bit path (raster.cpp); clip decides, as it has the integer extents at hand.
constexpr int64_t SMALL_EXTENT = (1 << 14) - 64; // 28.4 units, ~1020 pixels

// E = a*px + b*py + c at a pixel centre (px, py) in 28.4 units; the centre is covered
// when E >= 0 for all three edges (the fill rule is folded into c).
struct EdgeFn {
    int64_t a, b, c;
};

// A triangle as submitted: its corners' positions, in submission order.
struct RawTri {
    float x[3], y[3];
};

// A small triangle's edges (below) as the 32-bit path steps them: edge e's value at the
// centre of pixel (x, y) is c[e] + step_x[e] * x + step_y[e] * y, the fill rule folded in,
// which is clip_edges' value. A small triangle's corners lie within SMALL_EXTENT of the
// screen, so each term, and every sum over pixels of the screen, stays below 2^31.
struct SmallEdges32 {
    int32_t step_x[3], step_y[3]; // a * 16, b * 16: one pixel right, one row up
    int32_t c[3];                 // the value at the centre of pixel (0, 0)
};

// Snapping rounds to the nearest sub-pixel step, ties to even (the default rounding mode).
// Kept small: one is stored per queued triangle.
struct ScreenTri {
    bool exact = false;          // a corner lies beyond the guard band
    bool small = false;          // !exact and both extents below SMALL_EXTENT
    int8_t order[3] = {};        // which input corner each entry came from
    double x[3] = {}, y[3] = {}; // snapped corners, 28.4 units (integral values), CCW
    int min_x = 0, max_x = 0;    // pixels whose centres the box can cover, on screen
    int min_y = 0, max_y = 0;
    SmallEdges32 edges = {}; // small only
};

// The widest vector of 32-bit lanes of any target (2048-bit SVE).
constexpr int CLIP_MAX_LANES = 64;

// clip_lanes' verdicts on a vector of triangles, lane i for the i-th. A lane in
// `drawn` is clipped here (never exact, always small) and its snapped corners are in
// counter-clockwise order; one in `fallback` needs what 32-bit lanes cannot hold and
// is clipped by clip_corners instead; a lane in neither covers no centre of the screen.
struct LaneClip {
    uint64_t drawn, fallback;                             // bit i: lane i
    int32_t x[3][CLIP_MAX_LANES], y[3][CLIP_MAX_LANES];   // 28.4 units, CCW
    int32_t min_x[CLIP_MAX_LANES], max_x[CLIP_MAX_LANES]; // pixels, as ScreenTri's
    int32_t min_y[CLIP_MAX_LANES], max_y[CLIP_MAX_LANES];
    int32_t turned[CLIP_MAX_LANES]; // nonzero: corners 1 and 2 swapped places
    int32_t step_x[3][CLIP_MAX_LANES], step_y[3][CLIP_MAX_LANES], c[3][CLIP_MAX_LANES];
};

// Lane i of a LaneClip in drawn, as clip_corners writes it.
inline void clip_lane_tri(const LaneClip &c, int i, ScreenTri *out)
{
    const bool turned = c.turned[i] != 0;
    out->exact = false;
    out->small = true;
    out->order[0] = 0;
    out->order[1] = (int8_t)(turned ? 2 : 1);
    out->order[2] = (int8_t)(turned ? 1 : 2);
    for (int k = 0; k < 3; k++) {
        out->x[k] = (double)c.x[k][i];
        out->y[k] = (double)c.y[k][i];
    }
    out->min_x = c.min_x[i];
    out->max_x = c.max_x[i];
    out->min_y = c.min_y[i];
    out->max_y = c.max_y[i];
    for (int e = 0; e < 3; e++) {
        out->edges.step_x[e] = c.step_x[e][i];
        out->edges.step_y[e] = c.step_y[e][i];
        out->edges.c[e] = c.c[e][i];
    }
}

// The fill rule, for the edge from corner i to corner j with a = yi - yj, b = xj - xi
// (zero on the edge, positive inside; y points up). A centre exactly on an edge belongs to
// this triangle only for a left edge (a > 0) or a top edge (a == 0, b < 0); the neighbour
// across the edge sees it reversed, so exactly one of the two keeps it. Edge values are
// integers, so an edge that does not own its centres subtracts one from them, turning
// "E >= 0" into "E > 0".
template <class T> constexpr bool clip_owns(T a, T b)
{
    return a > 0 || (a == 0 && b < 0);
}

// First and last pixel whose centre (i*16 + 8) lies in [lo, hi], in 28.4 units.
constexpr int clip_first_centre(int64_t lo)
{
    return (int)((lo - SUBPIXEL_ONE / 2 + SUBPIXEL_ONE - 1) >> SUBPIXEL_BITS);
}
constexpr int clip_last_centre(int64_t hi)
{
    return (int)((hi - SUBPIXEL_ONE / 2) >> SUBPIXEL_BITS);
}

// Snaps the corners and orders them counter-clockwise (y up), with the selected SIMD
// target (simd.h). False when no pixel of the screen can be covered: zero area, a box that
// misses every centre of the screen, or a tiny box none of whose centres is inside.
bool clip_corners(const RawTri &raw, ScreenTri *out);
// The same for corners beyond the guard band, where every target takes this one path.
bool clip_beyond_band(const RawTri &raw, ScreenTri *out);

// The three edges of a triangle inside the guard band; edge e runs from corner e to e+1.
void clip_edges(const ScreenTri &t, EdgeFn (&edge)[3]);
// The same for a small triangle, in 32 bits.
void clip_small_edges(const ScreenTri &t, SmallEdges32 *edges);

// Exact sign (-1, 0, 1) of (xj - xi) * (py - yi) - (yj - yi) * (px - xi) for integral
// doubles of magnitude below 2^200: positive when p lies left of the edge i -> j.
int clip_orient_sign(double xi, double yi, double xj, double yj, double px, double py);

#endif // ACCEL_CLIP_H

// Once per SIMD target, for the bin stage compiled for the same one (clip.cpp).
#if defined(ACCEL_CLIP_H_TARGET) == defined(HWY_TARGET_TOGGLE)
#ifdef ACCEL_CLIP_H_TARGET
#undef ACCEL_CLIP_H_TARGET
#else
#define ACCEL_CLIP_H_TARGET
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace accel::HWY_NAMESPACE
{
bool clip_corners(const RawTri &raw, ScreenTri *out);
// Snaps, culls and bounds triangles 0..n-1 of x[k], y[k] (corner k's coordinates) side by
// side, n at most the lanes of a float vector (clip_lanes.cpp). A whole vector is read from
// each array, so each must reach that far; lanes n and up are not used. Lane i's verdict,
// and a drawn one's record, are clip_corners' for triangle i.
void clip_lanes(const float *const (&x)[3], const float *const (&y)[3], int n, LaneClip *out);
// Lanes of a float vector of this target.
int clip_lane_count();
} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif // ACCEL_CLIP_H_TARGET
