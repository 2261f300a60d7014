// pipeline.cpp: the drawing stages behind the entry points: commands are recorded on the
// caller's thread; clip -> bin per batch and setup -> raster per tile are jobs for the
// workers (workers.cpp). Reads GrVertex corners and a board's render state; writes
// commands into the batch being filled, batches taking turns.
#include <new>

#include "accel.h"
#include "bin.h"
#include "pipeline.h"
#include "workers.h"

// Batches taking turns: up to WORKER_RING with the workers, one being filled. With no
// workers a batch is drawn as it is handed over, so one is enough, and it stays in the
// caches from one fill to the next.
constexpr int PIPELINE_BATCHES = WORKER_RING + 1;

struct Pipeline {
    Batch *batch[PIPELINE_BATCHES] = {};
    int batch_count = 0; // allocated, from batch[0]
    int filling = 0;     // the batch that takes commands
    Workers workers;
};

namespace
{

// Hands the filled batch to the workers and starts filling the next one, once the
// workers are done with what it held before.
void flush(Pipeline *p)
{
    Batch *full = p->batch[p->filling];
    if (full->count == 0)
        return;
    workers_wait(&p->workers, WORKER_RING - 1);
    workers_run(&p->workers, full);
    p->filling = (p->filling + 1) % p->batch_count;
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

void free_batches(Pipeline *p)
{
    for (Batch *&b : p->batch) {
        delete b;
        b = nullptr;
    }
}

} // namespace

Pipeline *pipeline_create(int threads, int running)
{
    Pipeline *p = new (std::nothrow) Pipeline;
    if (!p)
        return nullptr;
    workers_start(&p->workers, threads, running);
    p->batch_count = p->workers.count > 0 ? PIPELINE_BATCHES : 1;
    for (int i = 0; i < p->batch_count; i++) {
        Batch *&b = p->batch[i];
        b = new (std::nothrow) Batch;
        if (!b) {
            workers_stop(&p->workers);
            free_batches(p);
            delete p;
            return nullptr;
        }
        bin_reset(b);
    }
    return p;
}

void pipeline_destroy(Pipeline *p)
{
    if (!p)
        return;
    pipeline_finish(p);
    workers_stop(&p->workers);
    free_batches(p);
    delete p;
}

void pipeline_clear(Pipeline *p, Board *target, uint32_t rgba, float depth)
{
    Batch *b = batch_for(p, target);
    Command *cmd = bin_next(b);
    cmd->kind = CMD_CLEAR;
    cmd->clear = ClearCmd{rgba, depth};
    bin_record(b);
}

void pipeline_triangle(Pipeline *p, Board *target, const GrVertex &a, const GrVertex &b,
                       const GrVertex &c)
{
    // Only recorded here: clipping and binning are jobs for whichever thread is free.
    Batch *batch = batch_for(p, target);
    Command *cmd = bin_next(batch);
    const int i = batch->count;
    cmd->kind = CMD_TRIANGLE;
    batch->raw_x[0][i] = a.x;
    batch->raw_x[1][i] = b.x;
    batch->raw_x[2][i] = c.x;
    batch->raw_y[0][i] = a.y;
    batch->raw_y[1][i] = b.y;
    batch->raw_y[2][i] = c.y;
    setup_corner(a, &cmd->tri.c[0]);
    setup_corner(b, &cmd->tri.c[1]);
    setup_corner(c, &cmd->tri.c[2]);
    cmd->tri.state = target->state;
    bin_record(batch);
}

void pipeline_finish(Pipeline *p)
{
    flush(p);
    workers_wait(&p->workers, 0);
}

uint64_t pipeline_submit(Pipeline *p)
{
    flush(p);
    return workers_handed(p->workers);
}

void pipeline_wait(Pipeline *p, uint64_t ticket)
{
    workers_wait_drawn(&p->workers, ticket);
}
