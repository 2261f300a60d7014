// raster.cpp: the raster stage: coverage, depth test, colour and texture per pixel.
// Reads one tile's commands (triangles, set up here, and clears) in submission order;
// writes the colour and depth of that tile's pixels only, so any thread may draw a tile.
// Compiled once per SIMD target (simd.h); raster_tile calls the selected one.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "raster.cpp"
#include <hwy/foreach_target.h>

#include <hwy/highway.h>

#include <algorithm>

// After highway.h: these headers declare per target, again in every pass.
#include "raster.h"
#include "sample.h"
#include "setup.h"
#include "simd.h"

HWY_BEFORE_NAMESPACE();
namespace accel::HWY_NAMESPACE
{
namespace
{

struct TileRect {
    int x0, y0, x1, y1; // pixels, inclusive
};

TileRect tile_rect(int tile)
{
    const int tx = tile % TILES_X, ty = tile / TILES_X;
    return TileRect{tx * TILE_SIZE, ty * TILE_SIZE, std::min(SCREEN_W, (tx + 1) * TILE_SIZE) - 1,
                    std::min(SCREEN_H, (ty + 1) * TILE_SIZE) - 1};
}

inline float plane_at(const Plane &p, float px, float py)
{
    return (p.a0 + p.dy * py) + p.dx * px;
}

inline bool depth_passes(int32_t func, float z, float stored)
{
    switch (func) {
    case GR_CMP_NEVER:
        return false;
    case GR_CMP_LESS:
        return z < stored;
    case GR_CMP_EQUAL:
        return z == stored;
    case GR_CMP_LEQUAL:
        return z <= stored;
    case GR_CMP_GREATER:
        return z > stored;
    case GR_CMP_NOTEQUAL:
        return z != stored;
    case GR_CMP_GEQUAL:
        return z >= stored;
    default:
        return true;
    }
}

// One covered pixel: depth test, colour, texel, store.
template <bool TEXTURED, bool DEPTH>
inline void shade_pixel(const TriSetup &tri, int x, float py, uint32_t *color, float *depth)
{
    const float px = (float)x + 0.5f;
    const float z = plane_at(tri.z, px, py);
    if (DEPTH && !depth_passes(tri.depth_func, z, depth[x]))
        return;
    const uint32_t r = tex_channel(plane_at(tri.r, px, py));
    const uint32_t g = tex_channel(plane_at(tri.g, px, py));
    const uint32_t b = tex_channel(plane_at(tri.b, px, py));
    const uint32_t texel =
        TEXTURED ? tex_bilinear(tri.level, plane_at(tri.s, px, py), plane_at(tri.t, px, py))
                 : 0xffffffffu;
    color[x] = tex_modulate(texel, r, g, b);
    if (DEPTH && tri.depth_write)
        depth[x] = z;
}

// Edge values are stepped, never recomputed: one pixel right adds a*16, one row up b*16.
template <bool TEXTURED, bool DEPTH>
void raster_edges(const TriSetup &tri, const TileRect &r, uint32_t *color_buf, float *depth_buf)
{
    int64_t row[3], step_x[3], step_y[3];
    for (int e = 0; e < 3; e++) {
        const EdgeFn &f = tri.edge[e];
        row[e] = f.a * (r.x0 * SUBPIXEL_ONE + SUBPIXEL_ONE / 2) +
                 f.b * (r.y0 * SUBPIXEL_ONE + SUBPIXEL_ONE / 2) + f.c;
        step_x[e] = f.a * SUBPIXEL_ONE;
        step_y[e] = f.b * SUBPIXEL_ONE;
    }
    for (int y = r.y0; y <= r.y1; y++) {
        uint32_t *color = color_buf + y * SCREEN_W;
        float *depth = depth_buf + y * SCREEN_W;
        const float py = (float)y + 0.5f;
        int64_t e0 = row[0], e1 = row[1], e2 = row[2];
        for (int x = r.x0; x <= r.x1; x++, e0 += step_x[0], e1 += step_x[1], e2 += step_x[2])
            if ((e0 | e1 | e2) >= 0)
                shade_pixel<TEXTURED, DEPTH>(tri, x, py, color, depth);
        for (int e = 0; e < 3; e++)
            row[e] += step_y[e];
    }
}

// Pixel i's centre in 28.4 units.
int centre(int i)
{
    return i * (int)SUBPIXEL_ONE + (int)SUBPIXEL_ONE / 2;
}

bool exact_inside(const ExactEdges &x, int e, int px, int py)
{
    const int j = (e + 1) % 3;
    const int s = clip_orient_sign(x.x[e], x.y[e], x.x[j], x.y[j], (double)px, (double)py);
    return s > 0 || (s == 0 && x.owns[e]);
}

// Narrows [*lo, *hi] to the centres of row y inside edge e. Along a row the edge value is
// monotonic, so the boundary is found by bisection with exact signs.
void exact_span(const ExactEdges &x, int e, int y, int *lo, int *hi)
{
    const int j = (e + 1) % 3;
    const int py = centre(y);
    if (*lo > *hi)
        return;
    if (x.y[e] == x.y[j]) { // horizontal: the same answer along the whole row
        if (!exact_inside(x, e, centre(*lo), py))
            *hi = *lo - 1;
        return;
    }
    const bool rising = x.y[e] > x.y[j]; // a > 0: inside to the right of the boundary
    int a = *lo, b = *hi;
    if (rising) {
        if (!exact_inside(x, e, centre(b), py)) {
            *hi = *lo - 1;
            return;
        }
        while (a < b) { // first inside centre
            const int m = a + (b - a) / 2;
            if (exact_inside(x, e, centre(m), py))
                b = m;
            else
                a = m + 1;
        }
        *lo = a;
    } else {
        if (!exact_inside(x, e, centre(a), py)) {
            *hi = *lo - 1;
            return;
        }
        while (a < b) { // last inside centre
            const int m = a + (b - a + 1) / 2;
            if (exact_inside(x, e, centre(m), py))
                a = m;
            else
                b = m - 1;
        }
        *hi = a;
    }
}

template <bool TEXTURED, bool DEPTH>
void raster_exact(const TriSetup &tri, const TileRect &r, uint32_t *color_buf, float *depth_buf)
{
    for (int y = r.y0; y <= r.y1; y++) {
        int lo = r.x0, hi = r.x1;
        for (int e = 0; e < 3; e++)
            exact_span(tri.exact_edges, e, y, &lo, &hi);
        const float py = (float)y + 0.5f;
        for (int x = lo; x <= hi; x++)
            shade_pixel<TEXTURED, DEPTH>(tri, x, py, color_buf + y * SCREEN_W,
                                         depth_buf + y * SCREEN_W);
    }
}

// ---- The 32-bit path, a block of pixels at a time ---------------------------------
// Coverage and the depth test take a block: a group of four neighbouring pixels of a
// row, from BLOCK_ROWS rows, one pixel per lane (small_edges says where groups start).
// Tiles are a whole number of groups wide, so a block need never leave its tile, and
// pixels of a block outside the triangle's box simply fail the edge test; rows past the
// box's last are masked off.
// The pixels kept are then shaded packed into whole vectors, whichever rows and groups
// they came from. Every lane computes exactly what shade_pixel computes, in the same
// order, so both paths give the same bytes on every target.
//
// Four wide, and taller rather than wider on wider units: the meshes' triangles cover a
// few pixels each, their boxes a few pixels on a side, so a row of eight tests more
// pixels that are thrown away than it saves (eight-wide groups drew torus-4k a third
// slower with AVX2), where two rows of four halve the loop's turns. With AVX2 a block is
// 4x2 (the shipped mesh drew 8% faster than with 4x1), with AVX-512 4x4 (another 7%);
// 128-bit units take 4x1 and the scalar target a pixel at a time. Shading the gathered
// pixels is another matter (SHADE_LANES below).
static_assert(TILE_SIZE % 4 == 0, "a group never leaves its tile");
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
constexpr int BLOCK_ROWS = 4;
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
constexpr int BLOCK_ROWS = 2;
#else
constexpr int BLOCK_ROWS = 1;
#endif
using DF = hn::CappedTag<float, 4 * BLOCK_ROWS>;
using DI = hn::RebindToSigned<DF>;
using DU = hn::RebindToUnsigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using VU = hn::Vec<DU>;
using MF = hn::Mask<DF>;

// The depth test of compare function FUNC, fixed for a whole triangle; GR_CMP_ALWAYS
// also stands for no depth test.
template <int32_t FUNC> HWY_INLINE MF depth_n(VF z, VF stored)
{
    if constexpr (FUNC == GR_CMP_LESS)
        return hn::Lt(z, stored);
    else if constexpr (FUNC == GR_CMP_EQUAL)
        return hn::Eq(z, stored);
    else if constexpr (FUNC == GR_CMP_LEQUAL)
        return hn::Le(z, stored);
    else if constexpr (FUNC == GR_CMP_GREATER)
        return hn::Gt(z, stored);
    else if constexpr (FUNC == GR_CMP_NOTEQUAL)
        return hn::Ne(z, stored);
    else if constexpr (FUNC == GR_CMP_GEQUAL)
        return hn::Ge(z, stored);
    else
        return hn::FirstN(DF(), hn::Lanes(DF()));
}

// The centres of the block at x: x + 0.5, x + 1.5, ... Every value is exact, so adding
// the lanes' offsets (0.5, 1.5, ...) to x gives the same floats as any other order.
HWY_INLINE VF centres_n(int x, VF offsets)
{
    return hn::Add(hn::Set(DF(), (float)x), offsets);
}

// plane_at, lane by lane, for centres px, py.
template <class D> HWY_INLINE hn::Vec<D> plane_xy(D d, const Plane &p, hn::Vec<D> px, hn::Vec<D> py)
{
    return hn::Add(hn::Add(hn::Set(d, p.a0), hn::Mul(hn::Set(d, p.dy), py)),
                   hn::Mul(hn::Set(d, p.dx), px));
}

// Gathered pixels are shaded sixteen to a vector with AVX-512, eight with AVX2, four
// elsewhere: they fill the lanes, where the coverage groups above would not. On a
// processor that runs 256-bit vectors at full width, eight drew the shipped mesh 5% and
// torus-1k 7% faster on one thread than four; on one that splits them in halves (the
// first Zen), eight were slower. Sixteen against eight, on a processor with full-width
// 512-bit units: the shipped mesh 5% and torus-1k 6% faster. Fewer pixels take fewer
// lanes (shade_batch).
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
constexpr size_t SHADE_LANES = 16;
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
constexpr size_t SHADE_LANES = 8;
#else
constexpr size_t SHADE_LANES = 4;
#endif
using DSF = hn::CappedTag<float, SHADE_LANES>;
using DSI = hn::RebindToSigned<DSF>;
using DSU = hn::RebindToUnsigned<DSF>;

// Pixels a small triangle keeps, gathered before any is shaded: y << 16 | x each.
// At least a tile's width of blocks: a run is at least one block of rows.
constexpr int GATHER_PIXELS = TILE_SIZE * BLOCK_ROWS;
constexpr int GROUP_MAX = (int)hn::MaxLanes(DI());
constexpr int SHADE_MAX = (int)hn::MaxLanes(DSI());

// How many rows of p pixels (whole groups, at most a tile's width) gather at most
// GATHER_PIXELS, in whole blocks of rows, and at least one block: a table, as a division would take
// longer than most boxes take to walk.
struct RunTable {
    uint16_t rows[TILE_SIZE + 1];
};

constexpr RunTable make_run_table()
{
    RunTable t{};
    for (int p = 1; p <= TILE_SIZE; p++)
        t.rows[p] = (uint16_t)std::max(BLOCK_ROWS, GATHER_PIXELS / p / BLOCK_ROWS * BLOCK_ROWS);
    return t;
}

constexpr RunTable RUN_ROWS = make_run_table();

// For each 4-bit mask, the byte indices that move the lanes it keeps to the front, in
// order, and how many it keeps. A table of our own: Highway's CompressStore builds its
// table on the stack at every call.
struct CompressTable {
    uint8_t bytes[16][16];
    uint8_t count[16];
};

constexpr CompressTable make_compress_table()
{
    CompressTable t{};
    for (int m = 0; m < 16; m++) {
        int n = 0;
        for (int lane = 0; lane < 4; lane++)
            if (m >> lane & 1) {
                for (int b = 0; b < 4; b++)
                    t.bytes[m][n * 4 + b] = (uint8_t)(lane * 4 + b);
                n++;
            }
        for (int b = n * 4; b < 16; b++)
            t.bytes[m][b] = (uint8_t)b;
        t.count[m] = (uint8_t)n;
    }
    return t;
}

alignas(16) constexpr CompressTable COMPRESS = make_compress_table();

// The same for eight lanes (AVX2's 4x2 blocks), as lane indices.
struct CompressTable8 {
    uint8_t lanes[256][8];
};

constexpr CompressTable8 make_compress_table8()
{
    CompressTable8 t{};
    for (int m = 0; m < 256; m++) {
        int n = 0;
        for (int lane = 0; lane < 8; lane++)
            if (m >> lane & 1)
                t.lanes[m][n++] = (uint8_t)lane;
        for (; n < 8; n++)
            t.lanes[m][n] = (uint8_t)n;
    }
    return t;
}

alignas(16) constexpr CompressTable8 COMPRESS8 = make_compress_table8();

// Stores the lanes of v that keep holds, in order, at out (a whole group is written);
// returns how many.
template <class D = DI> HWY_INLINE int compress_group(hn::Vec<D> v, hn::Mask<D> keep, int32_t *out)
{
    const D di;
    if constexpr (hn::MaxLanes(di) == 1) {
        hn::StoreU(v, di, out);
        return hn::AllFalse(di, keep) ? 0 : 1;
    } else {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
        // AVX-512 compresses in a register (its compressing store is slow on some
        // processors).
        const hn::Rebind<float, D> df;
        const hn::Vec<decltype(df)> packed =
            hn::Compress(hn::BitCast(df, v), hn::RebindMask(df, keep));
        hn::StoreU(hn::BitCast(di, packed), di, out);
        return (int)hn::CountTrue(di, keep);
#else
        if constexpr (hn::MaxLanes(di) == 8) {
            uint8_t bits[8] = {};
            hn::StoreMaskBits(di, keep, bits);
            const hn::Rebind<uint8_t, D> d8;
            const hn::RebindToUnsigned<D> du;
            const auto order = hn::PromoteTo(du, hn::LoadU(d8, COMPRESS8.lanes[bits[0]]));
            const auto packed =
                hn::TableLookupLanes(v, hn::IndicesFromVec(di, hn::BitCast(di, order)));
            hn::StoreU(packed, di, out);
            return __builtin_popcount(bits[0]);
        } else {
            static_assert(hn::MaxLanes(di) == 4, "the table is for groups of four");
            uint8_t bits[8] = {};
            hn::StoreMaskBits(di, keep, bits);
            const hn::Repartition<uint8_t, D> d8;
            const hn::Vec<decltype(d8)> order = hn::Load(d8, COMPRESS.bytes[bits[0] & 15]);
            hn::StoreU(hn::BitCast(di, hn::TableLookupBytes(hn::BitCast(d8, v), order)), di, out);
            return COMPRESS.count[bits[0] & 15];
        }
#endif
    }
}

// Shades the gathered pixels at[0..n-1], a vector at a time. The lanes past n repeat the
// last pixel: they compute and store exactly what its own lane does, so every vector is
// stored whole, with no branch on how many of its lanes are real.
template <class DSF, bool TEXTURED, bool DEPTH_WRITE>
void shade_gathered(const TriSetup &tri, const int32_t *at, int n, uint32_t *color_buf,
                    float *depth_buf)
{
    using DSI = hn::RebindToSigned<DSF>;
    using DSU = hn::RebindToUnsigned<DSF>;
    const DSF df;
    const DSI di;
    const DSU du;
    const int lanes = (int)hn::Lanes(di);
    alignas(64) int32_t offset[SHADE_MAX];
    alignas(64) uint32_t colour[SHADE_MAX];
    alignas(64) float zs[SHADE_MAX];
    for (int i = 0; i < n; i += lanes) {
        const hn::Vec<DSI> v = hn::LoadU(di, at + i);
        const hn::Vec<DSI> x = hn::And(v, hn::Set(di, 0xffff)), y = hn::ShiftRight<16>(v);
        const hn::Vec<DSF> half = hn::Set(df, 0.5f);
        const hn::Vec<DSF> px = hn::Add(hn::ConvertTo(df, x), half);
        const hn::Vec<DSF> py = hn::Add(hn::ConvertTo(df, y), half);
        const hn::Vec<DSI> r = tex_channel_n(df, plane_xy(df, tri.r, px, py));
        const hn::Vec<DSI> g = tri.grey ? r : tex_channel_n(df, plane_xy(df, tri.g, px, py));
        const hn::Vec<DSI> b = tri.grey ? r : tex_channel_n(df, plane_xy(df, tri.b, px, py));
        hn::Vec<DSU> pixels;
        if (TEXTURED) {
            const hn::Vec<DSI> si = tex_fixed_n(df, plane_xy(df, tri.s, px, py));
            const hn::Vec<DSI> ti = tex_fixed_n(df, plane_xy(df, tri.t, px, py));
            pixels = tex_sample_n(di, tri.level, si, ti, r, g, b);
        } else {
            const hn::Vec<DSI> rgb = hn::Or(hn::Or(r, hn::ShiftLeft<8>(g)), hn::ShiftLeft<16>(b));
            pixels = hn::Or(hn::BitCast(du, rgb), hn::Set(du, 0xff000000u));
        }
        hn::Store(hn::Add(hn::Mul(y, hn::Set(di, SCREEN_W)), x), di, offset);
        hn::Store(pixels, du, colour);
        if (DEPTH_WRITE)
            hn::Store(plane_xy(df, tri.z, px, py), df, zs);
        for (int k = 0; k < lanes; k++) {
            color_buf[offset[k]] = colour[k];
            if (DEPTH_WRITE)
                depth_buf[offset[k]] = zs[k];
        }
    }
}

template <class D>
void shade_any(const TriSetup &tri, const int32_t *at, int n, uint32_t *color, float *depth)
{
    if (tri.textured && tri.depth_write)
        shade_gathered<D, true, true>(tri, at, n, color, depth);
    else if (tri.textured)
        shade_gathered<D, true, false>(tri, at, n, color, depth);
    else if (tri.depth_write)
        shade_gathered<D, false, true>(tri, at, n, color, depth);
    else
        shade_gathered<D, false, false>(tri, at, n, color, depth);
}

// What raster_small does with each batch of gathered pixels: the first one also sets up
// the triangle, which a triangle that keeps no pixel never needs.
struct Gathered {
    const TriInput *in;
    TriSetup *tri; // set up by the first batch
    bool ready;
    uint32_t *color;
    float *depth;
};

void shade_batch(Gathered *g, int32_t *at, int n)
{
    TriSetup &tri = *g->tri;
    if (!g->ready) {
        setup_coverage(*g->in, &tri);
        setup_shading(*g->in, &tri);
        g->ready = true;
    }
    hn::StoreU(hn::Set(DSI(), at[n - 1]), DSI(), at + n);
    // A triangle of a few pixels would leave most of a wide vector repeating its last one.
    if (SHADE_LANES > 4 && n <= 4)
        shade_any<hn::CappedTag<float, 4>>(tri, at, n, g->color, g->depth);
    else if (SHADE_LANES > 8 && n <= 8)
        shade_any<hn::CappedTag<float, 8>>(tri, at, n, g->color, g->depth);
    else
        shade_any<DSF>(tri, at, n, g->color, g->depth);
}

// Where the 32-bit path's groups start in each row, and the edge values at the first
// centre of row r.y0's first group, with their steps per pixel and per row.
struct SmallEdges {
    int x0; // the first group's left pixel
    int32_t start[3], step_x[3], step_y[3];
};

// A box no wider than a group takes one group a row, from the box's left pixel, or as
// far left of it as keeps the group in the tile; a wider box takes groups aligned to
// x = 0 mod 4. Either way a group stays in its tile and within three pixels of the box,
// where the edges' values fit 32 bits (clip.h).
SmallEdges small_edges(const ScreenTri &st, const TileRect &r, const TileRect &tile)
{
    const int group = (int)hn::Lanes(DF()) / BLOCK_ROWS;
    SmallEdges s;
    s.x0 = r.x1 - r.x0 < group ? std::min(r.x0, tile.x1 - group + 1) : r.x0 & -group;
    const SmallEdges32 &e32 = st.edges;
    for (int e = 0; e < 3; e++) {
        s.start[e] = e32.c[e] + e32.step_x[e] * s.x0 + e32.step_y[e] * r.y0;
        s.step_x[e] = e32.step_x[e];
        s.step_y[e] = e32.step_y[e];
    }
    return s;
}

// Each lane's column and row in its block.
alignas(64) constexpr int32_t BLOCK_COL[16] = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3};
alignas(64) constexpr int32_t BLOCK_ROW[16] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};

// Edge e's values at the centres of the first block of rows r.y0.., one pixel per lane.
HWY_INLINE VI edge_row0(const SmallEdges &s, int e, VI col, VI row)
{
    const DI di;
    return hn::Add(hn::Set(di, s.start[e]), hn::Add(hn::Mul(col, hn::Set(di, s.step_x[e])),
                                                    hn::Mul(row, hn::Set(di, s.step_y[e]))));
}

// One block up. Three references rather than a record: SVE vectors cannot be members.
HWY_INLINE void edge_next_row(const SmallEdges &s, VI &row0, VI &row1, VI &row2)
{
    const DI di;
    row0 = hn::Add(row0, hn::Set(di, s.step_y[0] * BLOCK_ROWS));
    row1 = hn::Add(row1, hn::Set(di, s.step_y[1] * BLOCK_ROWS));
    row2 = hn::Add(row2, hn::Set(di, s.step_y[2] * BLOCK_ROWS));
}

// The depth of a block's rows at x: row k's pixels from row[k].
HWY_INLINE VF load_block(const float *const *row, int x)
{
    const DF df;
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    const hn::Half<DF> dh;
    const hn::Half<decltype(dh)> dq;
    return hn::Combine(df, hn::Combine(dh, hn::LoadU(dq, row[3] + x), hn::LoadU(dq, row[2] + x)),
                       hn::Combine(dh, hn::LoadU(dq, row[1] + x), hn::LoadU(dq, row[0] + x)));
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    const hn::Half<DF> dh;
    return hn::Combine(df, hn::LoadU(dh, row[1] + x), hn::LoadU(dh, row[0] + x));
#else
    return hn::LoadU(df, row[0] + x);
#endif
}

// The depth plane at the centres of the block rows from y, the scalar path's zrow in the
// same order, one row per lane's row.
HWY_INLINE VF block_zrow(const Plane &z, int y, VI lane_row)
{
    const DF df;
    const VF py =
        hn::Add(hn::ConvertTo(df, hn::Add(hn::Set(DI(), y), lane_row)), hn::Set(df, 0.5f));
    return hn::Add(hn::Set(df, z.a0), hn::Mul(hn::Set(df, z.dy), py));
}

// The depth rows of the block rows from y. A row past y1 is never read: it may be another
// tile's, so it points at row y1, and its lanes are masked off.
HWY_INLINE void block_depth_rows(float *depth_buf, int y, int y1, const float *(&depth)[BLOCK_ROWS])
{
    for (int k = 0; k < BLOCK_ROWS; k++)
        depth[k] = depth_buf + std::min(y + k, y1) * SCREEN_W;
}

// The lanes of the block at x, with centres px and edge values e0..e2, that lie in `rows`,
// are covered and pass the depth test (compare function FUNC) against depth.
template <int32_t FUNC>
HWY_INLINE hn::Mask<DI> block_keep(hn::Mask<DI> rows, VI e0, VI e1, VI e2, VF zrow, float dzdx,
                                   VF px, const float *const *depth, int x)
{
    const DF df;
    const DI di;
    hn::Mask<DI> keep = hn::And(rows, hn::Gt(hn::Or(hn::Or(e0, e1), e2), hn::Set(di, -1)));
    if constexpr (FUNC != GR_CMP_ALWAYS) {
        const VF zs = hn::Add(zrow, hn::Mul(hn::Set(df, dzdx), px));
        keep = hn::And(keep, hn::RebindMask(di, depth_n<FUNC>(zs, load_block(depth, x))));
    }
    return keep;
}

// The 32-bit path: first the pixels of r that are covered and pass the depth test
// (compare function FUNC) are gathered, a block at a time, then they are shaded packed
// into whole vectors. A triangle of a few pixels spreads them over several rows and
// groups, and shading them where they lie would leave most lanes empty. The depth test
// reads what the triangle's own pixels meet before any of them is written, as a triangle
// never covers a pixel twice. Every block of the box is tested, with no early way out:
// most boxes are a few blocks, and a branch on each block's result would mostly be
// guessed wrong. The rows are taken in runs whose blocks cannot gather more pixels than
// `at` holds, and each run's pixels are shaded after it: with no call inside a run, its
// loop keeps the edge values in registers. s: small_edges(st, r, tile).
template <int32_t FUNC>
void raster_small(const TriInput &in, const TileRect &r, const SmallEdges &s, uint32_t *color_buf,
                  float *depth_buf)
{
    const DF df;
    const DI di;
    const int group = (int)hn::Lanes(di) / BLOCK_ROWS, xs = s.x0;
    const int run = RUN_ROWS.rows[((r.x1 - xs) / group + 1) * group];
    const VI step0 = hn::Set(di, s.step_x[0] * group), step1 = hn::Set(di, s.step_x[1] * group);
    const VI step2 = hn::Set(di, s.step_x[2] * group);
    const VI col = hn::Load(di, BLOCK_COL), lane_row = hn::Load(di, BLOCK_ROW);
    VI row0 = edge_row0(s, 0, col, lane_row), row1 = edge_row0(s, 1, col, lane_row);
    VI row2 = edge_row0(s, 2, col, lane_row);
    alignas(64) int32_t at[GATHER_PIXELS + std::max(GROUP_MAX, SHADE_MAX)];
    TriSetup tri;
    Gathered gathered{&in, &tri, false, color_buf, depth_buf};
    const Plane z = in.planes.z;
    const VF offsets = hn::Add(hn::ConvertTo(df, col), hn::Set(df, 0.5f));
    const VI lane_where = hn::Or(hn::ShiftLeft<16>(lane_row), col);
    if (r.x1 - xs < group && r.y1 - r.y0 < BLOCK_ROWS) {
        // Most boxes fit one block: the loops below, run once, with nothing to step.
        const int y = r.y0;
        const float *depth[BLOCK_ROWS];
        block_depth_rows(depth_buf, y, r.y1, depth);
        const hn::Mask<DI> keep =
            block_keep<FUNC>(hn::Lt(lane_row, hn::Set(di, r.y1 - y + 1)), row0, row1, row2,
                             block_zrow(z, y, lane_row), z.dx, centres_n(xs, offsets), depth, xs);
        const int n = compress_group(hn::Add(hn::Set(di, y << 16 | xs), lane_where), keep, at);
        if (n > 0)
            shade_batch(&gathered, at, n);
        return;
    }
    const VI group_step = hn::Set(di, group);
    const VF group_width = hn::Set(df, (float)group);
    for (int y0 = r.y0; y0 <= r.y1; y0 += run) {
        const int y1 = std::min(r.y1, y0 + run - 1);
        int n = 0;
        for (int y = y0; y <= y1; y += BLOCK_ROWS) {
            // A block's rows past y1 are neither read nor kept: they may be another tile's.
            const hn::Mask<DI> rows = hn::Lt(lane_row, hn::Set(di, y1 - y + 1));
            const VF zrow = block_zrow(z, y, lane_row);
            const float *depth[BLOCK_ROWS];
            block_depth_rows(depth_buf, y, y1, depth);
            // Centres and positions step by a group: x + 0.5 stays exact in a float.
            VI where = hn::Add(hn::Set(di, y << 16 | xs), lane_where);
            VF px = centres_n(xs, offsets);
            VI e0 = row0, e1 = row1, e2 = row2;
            for (int x = xs; x <= r.x1; x += group) {
                n += compress_group(
                    where, block_keep<FUNC>(rows, e0, e1, e2, zrow, z.dx, px, depth, x), at + n);
                where = hn::Add(where, group_step);
                px = hn::Add(px, group_width);
                e0 = hn::Add(e0, step0);
                e1 = hn::Add(e1, step1);
                e2 = hn::Add(e2, step2);
            }
            edge_next_row(s, row0, row1, row2);
        }
        if (n > 0)
            shade_batch(&gathered, at, n);
    }
}

void raster_small_any(const TriInput &in, const TileRect &r, const TileRect &tile, uint32_t *color,
                      float *depth)
{
    const SmallEdges s = small_edges(in.st, r, tile);
    switch (in.state.depth_mode == GR_DEPTHBUFFER_ZBUFFER ? in.state.depth_func : GR_CMP_ALWAYS) {
    case GR_CMP_NEVER:
        return;
    case GR_CMP_LESS:
        return raster_small<GR_CMP_LESS>(in, r, s, color, depth);
    case GR_CMP_EQUAL:
        return raster_small<GR_CMP_EQUAL>(in, r, s, color, depth);
    case GR_CMP_LEQUAL:
        return raster_small<GR_CMP_LEQUAL>(in, r, s, color, depth);
    case GR_CMP_GREATER:
        return raster_small<GR_CMP_GREATER>(in, r, s, color, depth);
    case GR_CMP_NOTEQUAL:
        return raster_small<GR_CMP_NOTEQUAL>(in, r, s, color, depth);
    case GR_CMP_GEQUAL:
        return raster_small<GR_CMP_GEQUAL>(in, r, s, color, depth);
    default:
        return raster_small<GR_CMP_ALWAYS>(in, r, s, color, depth);
    }
}

// The wider triangles, a pixel at a time.
template <bool TEXTURED, bool DEPTH>
void raster_triangle(const TriSetup &tri, const TileRect &r, uint32_t *color, float *depth)
{
    if (tri.exact)
        raster_exact<TEXTURED, DEPTH>(tri, r, color, depth);
    else
        raster_edges<TEXTURED, DEPTH>(tri, r, color, depth);
}

void clear_rect(const ClearCmd &c, const TileRect &r, uint32_t *color, float *depth)
{
    for (int y = r.y0; y <= r.y1; y++) {
        std::fill(color + y * SCREEN_W + r.x0, color + y * SCREEN_W + r.x1 + 1, c.rgba);
        std::fill(depth + y * SCREEN_W + r.x0, depth + y * SCREEN_W + r.x1 + 1, c.depth);
    }
}

} // namespace

void raster_tile(const Batch &batch, int tile)
{
    const TileRect t = tile_rect(tile);
    for (int i = 0; i < batch.bin_count[tile]; i++) {
        const Command &cmd = batch.cmd[batch.bin[tile][i]];
        if (cmd.kind == CMD_CLEAR) {
            clear_rect(cmd.clear, t, batch.color, batch.depth);
            continue;
        }
        const ScreenTri &st = cmd.tri.st;
        TileRect r = {std::max(t.x0, st.min_x), std::max(t.y0, st.min_y), std::min(t.x1, st.max_x),
                      std::min(t.y1, st.max_y)};
        if (r.x0 > r.x1 || r.y0 > r.y1)
            continue;
        if (st.small) {
            raster_small_any(cmd.tri, r, t, batch.color, batch.depth);
            continue;
        }
        TriSetup tri;
        setup_coverage(cmd.tri, &tri);
        setup_shading(cmd.tri, &tri);
        // The fill routine is chosen per triangle, never per pixel.
        if (tri.textured && tri.depth_test)
            raster_triangle<true, true>(tri, r, batch.color, batch.depth);
        else if (tri.textured)
            raster_triangle<true, false>(tri, r, batch.color, batch.depth);
        else if (tri.depth_test)
            raster_triangle<false, true>(tri, r, batch.color, batch.depth);
        else
            raster_triangle<false, false>(tri, r, batch.color, batch.depth);
    }
}

} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace accel
{
HWY_EXPORT(raster_tile);
} // namespace accel

void raster_tile(const Batch &batch, int tile)
{
    SIMD_DISPATCH(raster_tile)(batch, tile);
}
#endif
