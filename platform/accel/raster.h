// raster.h: the raster stage: carries out one tile's commands of a Batch.
// Reads the tile's list and the queued TriInput records (set up here, per tile); writes
// the tile's pixels of the batch's colour and depth buffers, and nothing outside the tile.
#pragma once

#include "bin.h"

// Draws with the selected SIMD target (simd.h).
void raster_tile(const Batch &batch, int tile);
