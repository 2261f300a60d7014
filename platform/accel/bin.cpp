// bin.cpp: the bin stage: files each command under the 64x64 tiles it can touch.
// Reads a Command's pixel box; writes the Batch's tile lists. Runs on the caller's thread.
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

void bin_commit(Batch *batch, const Command &cmd)
{
    const uint16_t index = (uint16_t)batch->count++;
    int tx0 = 0, tx1 = TILES_X - 1, ty0 = 0, ty1 = TILES_Y - 1;
    if (cmd.kind == CMD_TRIANGLE) {
        tx0 = cmd.tri.st.min_x / TILE_SIZE;
        tx1 = cmd.tri.st.max_x / TILE_SIZE;
        ty0 = cmd.tri.st.min_y / TILE_SIZE;
        ty1 = cmd.tri.st.max_y / TILE_SIZE;
    }
    for (int ty = ty0; ty <= ty1; ty++)
        for (int tx = tx0; tx <= tx1; tx++) {
            const int tile = ty * TILES_X + tx;
            batch->bin[tile][batch->bin_count[tile]++] = index;
        }
}
