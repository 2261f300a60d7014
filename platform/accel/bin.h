// bin.h: the bin stage's records: one batch of commands and the per-tile lists.
// The caller's thread records commands into a Batch as they come (pipeline.cpp); one
// thread then clips and files the whole batch (bin.cpp), and tiles are drawn from it
// (raster.cpp), each tile's commands in submission order.
#pragma once

#include <cstdint>

#include "setup.h"

// 128 rather than 64: a triangle crosses fewer tile edges, so fewer are visited twice, and
// a tile's visit draws more triangles (the shipped mesh and torus-1k 7-10% faster on one
// thread, knot-8k no slower); 20 tiles still keep a few threads busy.
constexpr int TILE_SIZE = 128;
constexpr int TILES_X = (SCREEN_W + TILE_SIZE - 1) / TILE_SIZE; // 5
constexpr int TILES_Y = (SCREEN_H + TILE_SIZE - 1) / TILE_SIZE; // 4
constexpr int TILE_COUNT = TILES_X * TILES_Y;
// Commands per batch. A full batch is handed to the workers and the next one filled;
// 2048 triangles of ~270 bytes plus their tile lists are about 0.6 MB a batch.
constexpr int BATCH_COMMANDS = 2048;
static_assert(BATCH_COMMANDS <= 65536, "tile lists hold 16-bit command indices");

enum CommandKind : uint8_t { CMD_TRIANGLE, CMD_CLEAR };

struct ClearCmd {
    uint32_t rgba; // bytes R, G, B, A
    float depth;
};

struct Command {
    CommandKind kind;
    ClearCmd clear; // CMD_CLEAR
    TriInput tri;   // CMD_TRIANGLE; bin_batch clips its corners (below) into tri.st
};

struct Batch {
    uint32_t *color = nullptr; // the target's back buffer, SCREEN_W * SCREEN_H
    float *depth = nullptr;    // and its depth buffer
    int count = 0;             // commands recorded
    Command cmd[BATCH_COMMANDS];
    // Command i's corner positions as submitted, x[k][i] and y[k][i] for corner k: each
    // coordinate of neighbouring triangles side by side, as bin_batch reads them, a
    // vector of triangles at a time, lanes past the last one masked. Those of clears, and
    // the padding, are never used.
    float raw_x[3][BATCH_COMMANDS + CLIP_MAX_LANES], raw_y[3][BATCH_COMMANDS + CLIP_MAX_LANES];
    int bin_count[TILE_COUNT] = {};
    uint16_t bin[TILE_COUNT][BATCH_COMMANDS]; // command indices, submission order
};

// Empties the batch for new commands (the buffers it draws to are kept).
void bin_reset(Batch *batch);
// The next free command, or null when the batch is full; bin_record keeps it.
Command *bin_next(Batch *batch);
void bin_record(Batch *batch);
// Clips every recorded triangle and files each command under the tiles its pixels can
// reach; a triangle that covers no pixel centre is filed nowhere. Solves the planes
// (TriPlanes) of each triangle filed.
void bin_batch(Batch *batch);
