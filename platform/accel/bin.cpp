// bin.cpp: the bin stage: clips each recorded triangle and files each command under the
// tiles it can touch, a vector of triangles at a time, and solves the planes of those
// filed. Reads a Batch's commands; writes their clipped form, their planes and the Batch's
// tile lists. Runs on whichever thread takes the batch, once per batch; the
// batch's loop is compiled once per SIMD target (simd.h).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "bin.cpp"
#include <hwy/foreach_target.h>

#include <hwy/highway.h>

#include <algorithm>
#include <bit>

// After highway.h: these declare per target, again in every pass.
#include "bin.h"
#include "clip.h"
#include "setup.h"
#include "simd.h"

HWY_BEFORE_NAMESPACE();
namespace accel::HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

namespace
{

// Whether none of n >= 4 floats is infinite or NaN: a float is exactly when its exponent
// bits are all set. Read in place, in vectors of up to four, the last one overlapping.
bool all_finite(const float *v, int n)
{
    const hn::CappedTag<uint32_t, 4> du;
    const hn::Rebind<float, decltype(du)> df;
    const int lanes = (int)hn::Lanes(du);
    const hn::Vec<decltype(du)> exp = hn::Set(du, 0x7f800000u);
    hn::Vec<decltype(du)> bad = hn::Zero(du);
    for (int i = 0; i < n; i += lanes) {
        const hn::Vec<decltype(du)> bits =
            hn::BitCast(du, hn::LoadU(df, v + std::min(i, n - lanes)));
        bad = hn::Or(bad, hn::VecFromMask(du, hn::Eq(hn::And(bits, exp), exp)));
    }
    return hn::AllFalse(du, hn::MaskFromVec(bad));
}

// Whether every value of the triangle that reaches a pixel is finite (z, a and the hints
// are never recorded). Tested here, off the caller's thread, which only copies them.
// Positions of triangles that clip_lanes clips are known to be finite, as they are
// inside the band.
bool finite_corners(const Command &cmd)
{
    static_assert(sizeof(cmd.tri.c) == 24 * sizeof(float));
    return all_finite(&cmd.tri.c[0].r, 24);
}

bool finite_positions(const Batch &batch, int i)
{
    const float v[6] = {batch.raw_x[0][i], batch.raw_x[1][i], batch.raw_x[2][i],
                        batch.raw_y[0][i], batch.raw_y[1][i], batch.raw_y[2][i]};
    return all_finite(v, 6);
}

void file_under(Batch *batch, int index, int tx0, int tx1, int ty0, int ty1)
{
    for (int ty = ty0; ty <= ty1; ty++)
        for (int tx = tx0; tx <= tx1; tx++) {
            const int tile = ty * TILES_X + tx;
            batch->bin[tile][batch->bin_count[tile]++] = (uint16_t)index;
        }
}

// Filed triangles whose planes are not solved yet: solved a vector at a time. Fewer than
// a double vector's lanes are left over from one run of triangles to the next, and a run
// files at most a float vector's lanes.
struct Unsolved {
    TriInput *in[2 * CLIP_MAX_LANES];
    int count = 0;
};

void file_triangle(Batch *batch, int index, Unsolved *unsolved)
{
    Command &cmd = batch->cmd[index];
    const ScreenTri &st = cmd.tri.st;
    setup_order(&cmd.tri);
    unsolved->in[unsolved->count++] = &cmd.tri;
    file_under(batch, index, st.min_x / TILE_SIZE, st.max_x / TILE_SIZE, st.min_y / TILE_SIZE,
               st.max_y / TILE_SIZE);
}

// Solves the planes of whole vectors of unsolved triangles, or of all of them when `all`.
void solve_planes(Unsolved *u, bool all)
{
    const int lanes = setup_lane_count();
    int done = 0;
    for (; u->count - done >= lanes || (all && done < u->count); done += lanes)
        setup_planes_lanes(u->in + done, std::min(lanes, u->count - done));
    done = std::min(done, u->count);
    std::copy(u->in + done, u->in + u->count, u->in);
    u->count -= done;
}

// Triangles first..first+n-1, n at most a vector's lanes: clipped side by side, those
// that 32-bit lanes cannot clip one by one, and filed in order.
void bin_triangles(Batch *batch, int first, int n, Unsolved *unsolved)
{
    const float *const x[3] = {batch->raw_x[0] + first, batch->raw_x[1] + first,
                               batch->raw_x[2] + first};
    const float *const y[3] = {batch->raw_y[0] + first, batch->raw_y[1] + first,
                               batch->raw_y[2] + first};
    LaneClip c;
    clip_lanes(x, y, n, &c);
    for (uint64_t left = c.drawn | c.fallback; left; left &= left - 1) {
        const int lane = std::countr_zero(left), i = first + lane;
        Command &cmd = batch->cmd[i];
        if (!finite_corners(cmd))
            continue;
        if (c.drawn >> lane & 1) {
            clip_lane_tri(c, lane, &cmd.tri.st);
        } else {
            const RawTri raw = {{x[0][lane], x[1][lane], x[2][lane]},
                                {y[0][lane], y[1][lane], y[2][lane]}};
            if (!finite_positions(*batch, i) || !HWY_NAMESPACE::clip_corners(raw, &cmd.tri.st))
                continue;
        }
        file_triangle(batch, i, unsolved);
    }
    solve_planes(unsolved, false);
}

} // namespace

void bin_batch(Batch *batch)
{
    const int lanes = clip_lane_count();
    Unsolved unsolved;
    for (int i = 0; i < batch->count;) {
        if (batch->cmd[i].kind == CMD_CLEAR) {
            file_under(batch, i, 0, TILES_X - 1, 0, TILES_Y - 1);
            i++;
            continue;
        }
        int n = 1;
        while (n < lanes && i + n < batch->count && batch->cmd[i + n].kind == CMD_TRIANGLE)
            n++;
        bin_triangles(batch, i, n, &unsolved);
        i += n;
    }
    solve_planes(&unsolved, true);
}

} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace accel
{
HWY_EXPORT(bin_batch);
} // namespace accel

void bin_batch(Batch *batch)
{
    SIMD_DISPATCH(bin_batch)(batch);
}

void bin_reset(Batch *batch)
{
    batch->count = 0;
    for (int &n : batch->bin_count)
        n = 0;
}

Command *bin_next(Batch *batch)
{
    return batch->count < BATCH_COMMANDS ? &batch->cmd[batch->count] : nullptr;
}

void bin_record(Batch *batch)
{
    batch->count++;
}

#endif
