// workers.cpp: the rasterizer threads and the hand-over of batches to them.
// Reads the batches in the ring; writes their target's pixels via raster_tile. Thread i
// of n draws tiles i, i + n, i + 2n, ... of each batch, so a tile's commands keep their
// order across batches without any thread waiting for another.
#include "workers.h"

#include <algorithm>
#include <system_error>

#include "raster.h"

namespace
{

void worker_main(Workers *w, int index)
{
    uint64_t next = 0; // the batch this thread draws next
    for (;;) {
        const Batch *batch;
        int stride;
        {
            std::unique_lock<std::mutex> lk(w->lock);
            while (!w->quit && w->handed == next)
                w->wake.wait(lk);
            if (w->handed == next) // quit, and nothing left to draw
                return;
            batch = w->ring[next % WORKER_RING];
            stride = w->count;
        }
        for (int t = index; t < TILE_COUNT; t += stride)
            raster_tile(*batch, t);
        {
            std::lock_guard<std::mutex> lk(w->lock);
            w->drawn[index] = ++next;
        }
        w->done.notify_all();
    }
}

// Batches fully drawn: every thread has finished its tiles of them.
uint64_t fully_drawn(const Workers &w)
{
    return *std::min_element(w.drawn, w.drawn + w.count);
}

} // namespace

void workers_start(Workers *w, int count)
{
    w->count = 0;
    w->quit = false;
    w->handed = 0;
    std::fill(std::begin(w->drawn), std::end(w->drawn), 0);
    // The count is read by every thread as its stride: fix it before any starts.
    int started = 0;
    std::unique_lock<std::mutex> lk(w->lock);
    w->count = std::min(count, MAX_WORKERS);
    for (; started < w->count; started++) {
        try {
            w->thread[started] = std::thread(worker_main, w, started);
        } catch (const std::system_error &) {
            break; // run with the threads we have; with none the caller draws
        }
    }
    w->count = started;
}

void workers_stop(Workers *w)
{
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
        w->ring[w->handed % WORKER_RING] = batch;
        w->handed++;
    }
    w->wake.notify_all();
}

void workers_wait(Workers *w, int pending)
{
    if (w->count == 0)
        return;
    std::unique_lock<std::mutex> lk(w->lock);
    while (w->handed - fully_drawn(*w) > (uint64_t)pending)
        w->done.wait(lk);
}

uint64_t workers_handed(const Workers &w)
{
    return w.handed; // written by the caller's thread only
}

void workers_wait_drawn(Workers *w, uint64_t handed)
{
    if (w->count == 0)
        return;
    std::unique_lock<std::mutex> lk(w->lock);
    while (fully_drawn(*w) < handed)
        w->done.wait(lk);
}
