// pipeline.cpp: the drawing stages behind the entry points: clip -> bin on the caller's
// thread, setup -> raster per tile on the workers. Reads GrVertex corners and a board's render
// state; writes commands into the batch being filled, two batches taking turns.
#include <new>

#include "accel.h"
#include "bin.h"
#include "pipeline.h"
#include "workers.h"

struct Pipeline {
    Batch *batch[2] = {nullptr, nullptr};
    int filling = 0; // the batch that takes commands; the other may be with the workers
    Workers workers;
};

namespace
{

// Hands the filled batch to the workers and starts filling the other one, once the
// workers are done with it (bins of two batches must not overlap in time: the second
// may touch the same tiles).
void flush(Pipeline *p)
{
    Batch *full = p->batch[p->filling];
    if (full->count == 0)
        return;
    workers_wait(&p->workers);
    workers_run(&p->workers, full);
    p->filling ^= 1;
    bin_reset(p->batch[p->filling]);
}

// The batch to add a command for target to, with room for one more.
Batch *batch_for(Pipeline *p, Board *target)
{
    Batch *b = p->batch[p->filling];
    if (b->count > 0 && (b->color != target->fb.back || b->depth != target->fb.depth)) {
        flush(p);
        b = p->batch[p->filling];
    }
    if (!bin_next(b)) {
        flush(p);
        b = p->batch[p->filling];
    }
    b->color = target->fb.back;
    b->depth = target->fb.depth;
    return b;
}

} // namespace

Pipeline *pipeline_create(int threads)
{
    Pipeline *p = new (std::nothrow) Pipeline;
    if (!p)
        return nullptr;
    p->batch[0] = new (std::nothrow) Batch;
    p->batch[1] = new (std::nothrow) Batch;
    if (!p->batch[0] || !p->batch[1]) {
        delete p->batch[0];
        delete p->batch[1];
        delete p;
        return nullptr;
    }
    bin_reset(p->batch[0]);
    bin_reset(p->batch[1]);
    workers_start(&p->workers, threads);
    return p;
}

void pipeline_destroy(Pipeline *p)
{
    if (!p)
        return;
    pipeline_finish(p);
    workers_stop(&p->workers);
    delete p->batch[0];
    delete p->batch[1];
    delete p;
}

void pipeline_clear(Pipeline *p, Board *target, uint32_t rgba, float depth)
{
    Batch *b = batch_for(p, target);
    Command *cmd = bin_next(b);
    cmd->kind = CMD_CLEAR;
    cmd->clear = ClearCmd{rgba, depth};
    bin_commit(b, *cmd);
}

void pipeline_triangle(Pipeline *p, Board *target, const GrVertex &a, const GrVertex &b,
                       const GrVertex &c)
{
    // Clipped straight into the next free command, which stays free when nothing is drawn.
    Batch *batch = batch_for(p, target);
    Command *cmd = bin_next(batch);
    if (!clip_triangle(a, b, c, &cmd->tri.st))
        return;
    cmd->kind = CMD_TRIANGLE;
    cmd->tri.v[0] = a;
    cmd->tri.v[1] = b;
    cmd->tri.v[2] = c;
    cmd->tri.state = target->state;
    bin_commit(batch, *cmd);
}

void pipeline_finish(Pipeline *p)
{
    flush(p);
    workers_wait(&p->workers);
}
