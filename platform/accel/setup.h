// setup.h: the setup stage's record, everything constant across one triangle.
// Reads a TriInput (the clipped corners, their attributes and the render state captured
// at submission); writes a TriSetup that the raster stage walks without looking back.
#ifndef ACCEL_SETUP_H
#define ACCEL_SETUP_H

#include <cstdint>

#include "accel.h"
#include "clip.h"

// Edges beyond the guard band: the snapped corners themselves, decided per centre by
// clip_orient_sign; owns[e] says whether edge e -> e+1 keeps centres exactly on it.
struct ExactEdges {
    double x[3], y[3]; // 28.4 units, integral values, counter-clockwise
    bool owns[3];
};

// An attribute over the screen. Its value at the centre (px, py) = (x + 0.5, y + 0.5) is
// (a0 + dy * py) + dx * px in float, in exactly that order, on every path.
struct Plane {
    float a0, dx, dy;
};

// The corners' positions (pixels, snapped) solved once per triangle: an attribute's
// gradient is then two products per axis. A sliver beyond the guard band whose area rounds
// to zero in double gives infinite factors, and every plane falls back (below).
struct Basis {
    double x0, y0;
    double dy2, dy1, dx1, dx2; // corner offsets divided by twice the area
};

struct TriSetup {
    bool exact;         // coverage by exact_edges instead of edge
    bool small;         // !exact and within SMALL_EXTENT: 32-bit edge values, four pixels at a time
    bool textured;      // sample level; otherwise the texel is opaque white
    bool depth_test;    // GR_DEPTHBUFFER_ZBUFFER
    bool depth_write;   // depth_test and the depth mask
    bool grey;          // r, g and b are one plane: one channel computed for all three
    int32_t depth_func; // GR_CMP_*
    int16_t min_x, max_x, min_y, max_y; // pixels, on screen, inclusive
    union {
        EdgeFn edge[3];         // neither exact nor small
        ExactEdges exact_edges; // exact; a small triangle's come from its corners
    };
    Plane z;        // ooz
    Plane r, g, b;  // 0..255 scale, unclamped
    Plane s, t;     // texels of `level`; origin wrapped into the first period
    MipLevel level; // the one level this triangle samples
    Basis basis;    // setup_coverage's, for setup_shading
};

// What setup_coverage takes ready solved from the clipped corners: the bin stage solves it
// once per triangle, a vector of triangles at a time, where setup runs once per triangle
// and tile.
struct TriPlanes {
    Basis basis;
    Plane z, r; // ooz, and red riding along with it
};

// What setup reads of one corner: GrVertex's r, g, b, ooz and its oow, sow, tow, each run
// copied whole (setup_corner), so that recording a corner is two wide loads and stores.
// `unused` takes the place of unit 0's 1/w, a hint never read: it is stored as zero, so
// that a check over the whole record sees only finite values there.
struct Corner {
    float r, g, b, ooz;
    float oow, sow, tow; // 1/w, and unit 0's s/w and t/w
    float unused;
};

// What setup needs of one triangle, captured when it is submitted: the clipped corners,
// their attributes in the same (counter-clockwise) order and the render state then in
// force. Setup runs per tile on the workers, so the caller's thread only records it.
struct TriInput {
    ScreenTri st;
    Corner c[3];
    RenderState state;
    TriPlanes planes; // solved by the bin stage (or setup_triangle), once per triangle
};

// Records what setup reads of a submitted corner.
void setup_corner(const GrVertex &g, Corner *c);
// Puts in's corners, given in submission order, into the counter-clockwise order that
// clipping gave in->st.
void setup_order(TriInput *in);

// Solves in[0..n-1]->planes side by side with the selected SIMD target, as the bin stage
// does; the result is setup_triangle's, bit for bit.
void setup_planes_side_by_side(TriInput *const *in, int n);

// Builds the triangle's record with the selected SIMD target (simd.h); the same input
// always gives the same record, on every target.
void setup_triangle(const TriInput &in, TriSetup *tri);

// The mipmap level for level-0 texel gradients: the nearest to log2 of the longer
// gradient, 0..level_count-1.
int setup_choose_level(float sdx, float sdy, float tdx, float tdy, int level_count);

#endif // ACCEL_SETUP_H

// Once per SIMD target, for the raster stage compiled for the same one (setup.cpp).
#if defined(ACCEL_SETUP_H_TARGET) == defined(HWY_TARGET_TOGGLE)
#ifdef ACCEL_SETUP_H_TARGET
#undef ACCEL_SETUP_H_TARGET
#else
#define ACCEL_SETUP_H_TARGET
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace accel::HWY_NAMESPACE
{
// setup_triangle in two halves. setup_coverage fills what tells which pixels are drawn
// (flags, box, edges, the z plane, and r with it); setup_shading the other colour and the
// texture planes, only needed once some pixel passes the depth test.
// setup_coverage takes in.planes as solved: setup_planes solves them for one triangle,
// setup_planes_lanes for up to setup_lane_count() (setup_lanes.cpp), with the same result.
void setup_coverage(const TriInput &in, TriSetup *tri);
void setup_planes(TriInput *in);
void setup_planes_lanes(TriInput *const *in, int n);
int setup_lane_count();
void setup_shading(const TriInput &in, TriSetup *tri);
void setup_triangle(const TriInput &in, TriSetup *tri);
} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif // ACCEL_SETUP_H_TARGET
