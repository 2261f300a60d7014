// workers.cpp: the rasterizer threads and the hand-over of batches to them.
// Reads the Batch in hand; writes its target's pixels via raster_tile, one tile per
// thread at a time, tiles taken in order from a shared counter.
#include "workers.h"

#include <system_error>

#include "raster.h"

namespace
{

void worker_main(Workers *w)
{
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lk(w->lock);
    for (;;) {
        while (!w->quit && (w->job_seq == seen || !w->job))
            w->wake.wait(lk);
        if (w->quit)
            return;
        seen = w->job_seq;
        const Batch *batch = w->job;
        w->busy++;
        lk.unlock();
        int drawn = 0;
        for (int t; (t = w->next_tile.fetch_add(1, std::memory_order_relaxed)) < TILE_COUNT;) {
            raster_tile(*batch, t);
            drawn++;
        }
        lk.lock();
        w->busy--;
        w->tiles_left -= drawn;
        // A thread that found no tile left must also have checked out before the batch
        // counts as drawn: it holds the counter that the next batch resets.
        if (w->tiles_left == 0 && w->busy == 0) {
            w->job = nullptr;
            w->done.notify_all();
        }
    }
}

} // namespace

void workers_start(Workers *w, int count)
{
    w->count = 0;
    w->quit = false;
    for (int i = 0; i < count && i < MAX_WORKERS; i++) {
        try {
            w->thread[i] = std::thread(worker_main, w);
        } catch (const std::system_error &) {
            break; // run with the threads we have; with none the caller draws
        }
        w->count++;
    }
}

void workers_stop(Workers *w)
{
    workers_wait(w);
    {
        std::lock_guard<std::mutex> lk(w->lock);
        w->quit = true;
    }
    w->wake.notify_all();
    for (int i = 0; i < w->count; i++)
        w->thread[i].join();
    w->count = 0;
}

void workers_run(Workers *w, const Batch *batch)
{
    if (w->count == 0) {
        for (int t = 0; t < TILE_COUNT; t++)
            raster_tile(*batch, t);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(w->lock);
        w->job = batch;
        w->job_seq++;
        w->tiles_left = TILE_COUNT;
        w->next_tile.store(0, std::memory_order_relaxed);
    }
    w->wake.notify_all();
}

void workers_wait(Workers *w)
{
    std::unique_lock<std::mutex> lk(w->lock);
    while (w->job)
        w->done.wait(lk);
}
