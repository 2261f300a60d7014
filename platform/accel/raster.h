// raster.h: the raster stage: carries out one tile's commands of a Batch.
// Reads the tile's list and the queued TriInput records (set up here, per tile); writes
// the tile's pixels of the batch's colour and depth buffers, and nothing outside the tile.
#pragma once

#include "bin.h"

void raster_tile(const Batch &batch, int tile);

// Whether the wide (AVX2) texture path is used; it is whenever the processor has it.
// Tests turn it off to check the baseline path too. Only while nothing is being drawn.
bool raster_wide();
void raster_set_wide(bool on);
