// workers.cpp: the rasterizer threads and the jobs they share with the caller's thread.
// Reads the batches in the ring; writes their tile lists via bin_batch and their target's
// pixels via raster_tile. Bookkeeping happens under one lock, a few times per batch and
// per tile claimed; the jobs themselves (a whole batch, or a tile across every batch
// ready for it) run unlocked.
#include "workers.h"

#include <sched.h>

#include <algorithm>
#include <system_error>

#include "raster.h"

namespace
{

struct Job {
    enum Kind { NONE, BIN, TILE } kind = NONE;
    uint64_t first = 0, end = 0; // BIN: batch `first`; TILE: batches first..end-1
    int tile = 0;
};

// Moves a tile that nobody is drawing past the binned batches that hold nothing for it.
// Returns the batch it draws next.
uint64_t skip_empty(Workers *w, int t)
{
    uint64_t k = w->tile_next[t];
    if (!w->tile_busy[t]) {
        while (k < w->binned && w->ring[k % WORKER_RING]->bin_count[t] == 0)
            k++;
        w->tile_next[t] = k;
    }
    return k;
}

// Batches fully drawn: every tile is past them.
uint64_t fully_drawn(Workers *w)
{
    uint64_t low = w->binned;
    for (int t = 0; t < TILE_COUNT; t++)
        low = std::min(low, skip_empty(w, t));
    return low;
}

// Takes the next job: a tile with binned batches to draw, else a batch to bin. Tiles come
// first, since drawing is what frees the ring; searching from where the last search
// stopped spreads the threads over the screen.
Job take_job(Workers *w)
{
    Job job;
    for (int i = 0; i < TILE_COUNT; i++) {
        const int t = (w->scan + i) % TILE_COUNT;
        if (w->tile_busy[t] || skip_empty(w, t) >= w->binned)
            continue;
        w->tile_busy[t] = true;
        w->scan = (t + 1) % TILE_COUNT;
        job.kind = Job::TILE;
        job.tile = t;
        job.first = w->tile_next[t];
        job.end = w->binned;
        return job;
    }
    if (w->bin_claimed < w->handed) {
        job.kind = Job::BIN;
        job.first = w->bin_claimed++;
    }
    return job;
}

// Wakes sleeping workers for new jobs, as many as may run beside those in jobs now.
void wake_idle(Workers *w)
{
    const int room = w->max_running - w->running;
    if (w->sleeping == 0 || room <= 0)
        return;
    if (room == 1)
        w->wake.notify_one();
    else
        w->wake.notify_all();
}

// Runs the job with the lock released, then records it as done.
void run_job(Workers *w, const Job &job, std::unique_lock<std::mutex> &lk)
{
    lk.unlock();
    if (job.kind == Job::BIN) {
        bin_batch(w->ring[job.first % WORKER_RING]);
    } else {
        for (uint64_t k = job.first; k < job.end; k++)
            raster_tile(*w->ring[k % WORKER_RING], job.tile);
    }
    lk.lock();
    if (job.kind == Job::BIN) {
        w->bin_done[job.first % WORKER_RING] = true;
        while (w->binned < w->bin_claimed && w->bin_done[w->binned % WORKER_RING]) {
            w->bin_done[w->binned % WORKER_RING] = false;
            w->binned++;
        }
        wake_idle(w); // tiles may be drawable now
    } else {
        w->tile_next[job.tile] = job.end;
        w->tile_busy[job.tile] = false;
        if (job.end < w->binned) // batches were binned for it meanwhile
            wake_idle(w);
    }
    if (w->caller_waiting)
        w->done.notify_all();
}

void worker_main(Workers *w)
{
    std::unique_lock<std::mutex> lk(w->lock);
    for (;;) {
        // A thread beyond the cores left beside the caller's would only take turns with
        // the others, and the caller, which feeds everything, would get less than a core.
        const Job job = w->running < w->max_running ? take_job(w) : Job{};
        if (job.kind != Job::NONE) {
            w->running++;
            run_job(w, job, lk);
            w->running--;
            continue;
        }
        // Nothing to take: every unfinished tile is being drawn by another thread, which
        // looks again when it is done, or nothing is handed over.
        if (w->quit)
            return;
        w->sleeping++;
        w->wake.wait(lk);
        w->sleeping--;
    }
}

// Cores this process may run on.
int usable_cores()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return std::max(1, (int)std::thread::hardware_concurrency());
}

// The caller's thread waits for `drawn` batches to be drawn, taking jobs meanwhile.
void help_until_drawn(Workers *w, uint64_t drawn)
{
    std::unique_lock<std::mutex> lk(w->lock);
    while (fully_drawn(w) < drawn) {
        const Job job = take_job(w);
        if (job.kind != Job::NONE) {
            run_job(w, job, lk);
        } else {
            w->caller_waiting = true;
            w->done.wait(lk);
            w->caller_waiting = false;
        }
    }
}

} // namespace

void workers_start(Workers *w, int count, int running)
{
    std::unique_lock<std::mutex> lk(w->lock);
    w->count = 0;
    w->quit = false;
    w->handed = w->bin_claimed = w->binned = 0;
    std::fill(std::begin(w->bin_done), std::end(w->bin_done), false);
    std::fill(std::begin(w->tile_next), std::end(w->tile_next), 0);
    std::fill(std::begin(w->tile_busy), std::end(w->tile_busy), false);
    w->running = w->sleeping = 0;
    w->caller_waiting = false;
    w->max_running = running > 0 ? running : std::max(1, usable_cores() - 1);
    for (int i = 0; i < std::min(count, MAX_WORKERS); i++) {
        try {
            w->thread[i] = std::thread(worker_main, w);
        } catch (const std::system_error &) {
            break; // run with the threads we have; with none the caller draws
        }
        w->count = i + 1;
    }
}

void workers_stop(Workers *w)
{
    if (w->count > 0)
        help_until_drawn(w, w->handed);
    {
        std::lock_guard<std::mutex> lk(w->lock);
        w->quit = true;
    }
    w->wake.notify_all();
    for (int i = 0; i < w->count; i++)
        w->thread[i].join();
    w->count = 0;
}

void workers_run(Workers *w, Batch *batch)
{
    if (w->count == 0) {
        bin_batch(batch);
        for (int t = 0; t < TILE_COUNT; t++)
            raster_tile(*batch, t);
        return;
    }
    std::lock_guard<std::mutex> lk(w->lock);
    w->ring[w->handed % WORKER_RING] = batch;
    w->handed++;
    wake_idle(w);
}

void workers_wait(Workers *w, int pending)
{
    if (w->count == 0)
        return;
    uint64_t handed;
    {
        std::lock_guard<std::mutex> lk(w->lock);
        handed = w->handed;
    }
    if (handed > (uint64_t)pending)
        help_until_drawn(w, handed - (uint64_t)pending);
}

uint64_t workers_handed(const Workers &w)
{
    return w.handed; // written by the caller's thread only
}

void workers_wait_drawn(Workers *w, uint64_t handed)
{
    if (w->count == 0)
        return;
    help_until_drawn(w, handed);
}
