// workers.h: the rasterizer threads. Batches are handed over in order into a ring; each
// thread draws its own fixed set of tiles of every batch, in batch order, so no pixel is
// shared, no thread waits for another, and the image does not depend on the count.
// Reads Batch records; writes their target buffers through raster_tile.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "bin.h"

constexpr int MAX_WORKERS = 64;
// Batches that may be handed over and not yet drawn; the caller fills one more meanwhile.
// Deep enough (about 16 MB) that the caller runs on through a stretch of near, large
// copies whose pixels keep the workers busy, and the workers through stretches of tiny
// far ones whose triangles keep the caller busy.
constexpr int WORKER_RING = 16;

struct Workers {
    int count = 0; // threads running; 0: batches are drawn on the caller's thread
    std::thread thread[MAX_WORKERS];
    std::mutex lock;
    std::condition_variable wake; // a batch was handed over, or quit
    std::condition_variable done; // a thread finished a batch
    const Batch *ring[WORKER_RING] = {};
    uint64_t handed = 0;              // batches handed over so far; batch n sits in ring[n % RING]
    uint64_t drawn[MAX_WORKERS] = {}; // batches each thread has finished its tiles of
    bool quit = false;
};

// Starts up to `count` threads; fewer when the system refuses more (count then says).
void workers_start(Workers *w, int count);
// Draws everything handed over, then stops the threads.
void workers_stop(Workers *w);
// Hands batch over and returns at once (with no threads: draws it first). There must be
// room in the ring: workers_wait(w, WORKER_RING - 1) makes it.
void workers_run(Workers *w, const Batch *batch);
// Returns when at most `pending` batches handed over are not fully drawn yet; then the
// storage of every earlier batch may be reused.
void workers_wait(Workers *w, int pending);
// Batches handed over so far: a later workers_wait_drawn of this count returns once all
// of them are drawn (0 with no threads, which draw on hand-over).
uint64_t workers_handed(const Workers &w);
void workers_wait_drawn(Workers *w, uint64_t handed);
