// pipeline.cpp: placeholder until the rasterizer lands: clears, draws no triangle.
#include <algorithm>

#include "accel.h"
#include "pipeline.h"

struct Pipeline {
    int threads;
};

Pipeline *pipeline_create(int threads) { return new Pipeline{threads}; }
void pipeline_destroy(Pipeline *p) { delete p; }

void pipeline_clear(Pipeline *, Board *target, uint32_t rgba, float depth)
{
    std::fill_n(target->fb.back, SCREEN_W * SCREEN_H, rgba);
    std::fill_n(target->fb.depth, SCREEN_W * SCREEN_H, depth);
}

void pipeline_triangle(Pipeline *, Board *, const GrVertex &, const GrVertex &, const GrVertex &)
{
}

void pipeline_finish(Pipeline *) {}
