// pipeline.h: what the entry points hand to the drawing stages.
// Commands are queued in submission order and carried out no later than
// pipeline_finish: recorded on the caller's thread, clip -> bin -> setup -> raster as jobs
// for the workers.
#pragma once

#include <cstdint>

#include "gfx/gfx.h"

struct Board;
struct Pipeline;

// Creates the pipeline with `threads` workers (0: the caller's thread does everything), of
// which at most `running` take jobs at once; 0 leaves one core of those this process may
// use to the caller's thread.
Pipeline *pipeline_create(int threads, int running = 0);
void pipeline_destroy(Pipeline *p);

// Clears target's back buffer to rgba (bytes R, G, B, A) and its depth buffer to depth.
void pipeline_clear(Pipeline *p, Board *target, uint32_t rgba, float depth);
// Draws one triangle into target's back buffer with target's current render state
// (read now: later state changes do not affect it).
void pipeline_triangle(Pipeline *p, Board *target, const GrVertex &a, const GrVertex &b,
                       const GrVertex &c);
// Returns when every queued command is in its target's buffers.
void pipeline_finish(Pipeline *p);
// Hands every queued command to the drawing stages and returns at once, with a ticket
// for pipeline_wait: that returns when those commands (not later ones) are drawn.
uint64_t pipeline_submit(Pipeline *p);
void pipeline_wait(Pipeline *p, uint64_t ticket);
