// bin.cpp: the bin stage: clips each recorded triangle and files each command under the
// 64x64 tiles it can touch. Reads a Batch's commands; writes their clipped form and the
// Batch's tile lists. Runs on whichever thread takes the batch, once per batch.
#include "bin.h"

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
        if (!clip_corners(cmd.raw.x, cmd.raw.y, &st))
            continue;
        // The corners' attributes follow their positions into counter-clockwise order.
        const Corner c[3] = {cmd.tri.c[0], cmd.tri.c[1], cmd.tri.c[2]};
        for (int k = 0; k < 3; k++)
            cmd.tri.c[k] = c[st.order[k]];
        file_under(batch, i, st.min_x / TILE_SIZE, st.max_x / TILE_SIZE, st.min_y / TILE_SIZE,
                   st.max_y / TILE_SIZE);
    }
}
