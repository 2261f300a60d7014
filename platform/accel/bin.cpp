// bin.cpp: the bin stage: clips each recorded triangle and files each command under the
// 64x64 tiles it can touch. Reads a Batch's commands; writes their clipped form and the
// Batch's tile lists. Runs on whichever thread takes the batch, once per batch.
#include "bin.h"

#include <emmintrin.h>

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

namespace
{

// Whether every value of the triangle that reaches a pixel is finite (z, a and the hints
// are never recorded). A float is infinite or NaN exactly when its exponent bits are all
// set. Tested here rather than on submission: the caller has just written its corners
// field by field, and reading them back in wide loads there would wait on those stores.
// Here they were written long before, so they are read in place, in wide loads.
bool finite_triangle(const Command &cmd)
{
    static_assert(sizeof(RawTri) == 6 * sizeof(float) && sizeof(cmd.tri.c) == 21 * sizeof(float));
    const char *raw = (const char *)&cmd.raw, *c = (const char *)cmd.tri.c;
    const __m128i v[8] = {_mm_loadu_si128((const __m128i *)raw),
                          _mm_loadl_epi64((const __m128i *)(raw + 16)),
                          _mm_loadu_si128((const __m128i *)c),
                          _mm_loadu_si128((const __m128i *)(c + 16)),
                          _mm_loadu_si128((const __m128i *)(c + 32)),
                          _mm_loadu_si128((const __m128i *)(c + 48)),
                          _mm_loadu_si128((const __m128i *)(c + 64)),
                          _mm_castps_si128(_mm_load_ss(&cmd.tri.c[2].oow))};
    const __m128i exp = _mm_set1_epi32(0x7f800000);
    __m128i bad = _mm_setzero_si128();
    for (const __m128i &bits : v)
        bad = _mm_or_si128(bad, _mm_cmpeq_epi32(_mm_and_si128(bits, exp), exp));
    return _mm_movemask_epi8(bad) == 0;
}

void file_under(Batch *batch, int index, int tx0, int tx1, int ty0, int ty1)
{
    for (int ty = ty0; ty <= ty1; ty++)
        for (int tx = tx0; tx <= tx1; tx++) {
            const int tile = ty * TILES_X + tx;
            batch->bin[tile][batch->bin_count[tile]++] = (uint16_t)index;
        }
}

} // namespace

void bin_batch(Batch *batch)
{
    for (int i = 0; i < batch->count; i++) {
        Command &cmd = batch->cmd[i];
        if (cmd.kind == CMD_CLEAR) {
            file_under(batch, i, 0, TILES_X - 1, 0, TILES_Y - 1);
            continue;
        }
        ScreenTri &st = cmd.tri.st;
        if (!finite_triangle(cmd) || !clip_corners(cmd.raw.x, cmd.raw.y, &st))
            continue;
        setup_order(&cmd.tri);
        file_under(batch, i, st.min_x / TILE_SIZE, st.max_x / TILE_SIZE, st.min_y / TILE_SIZE,
                   st.max_y / TILE_SIZE);
    }
}
