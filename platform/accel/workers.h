// workers.h: the rasterizer threads and the hand-over of batches to them.
// Batches are handed over in order into a ring. Two kinds of job come out of it: binning a
// batch (clipping its triangles and filing them under tiles) and drawing a tile's commands
// of every binned batch it has not drawn yet. Any thread may take either, the caller's
// included while it would otherwise wait; a tile is drawn by one thread at a time and in
// batch order, so no pixel is shared and the image does not depend on who drew it.
// Reads the batches in the ring; writes their commands' tile lists (bin_batch) and their
// target's pixels (raster_tile).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "bin.h"

constexpr int MAX_WORKERS = 64;
// Batches that may be handed over and not yet drawn; the caller fills one more meanwhile.
// Any thread takes any job, so the ring need not ride out long stretches of uneven work:
// 4, 8 and 16 draw the bench's frames equally fast, and 8 (about 8 MB) leaves room to
// spare.
constexpr int WORKER_RING = 8;

struct Workers {
    int count = 0; // threads running; 0: batches are drawn on the caller's thread
    std::thread thread[MAX_WORKERS];
    // Everything below is read and written under `lock`; the jobs run outside it.
    std::mutex lock;
    std::condition_variable wake; // a batch was handed over or binned, or quit
    std::condition_variable done; // a tile or a batch job was finished
    Batch *ring[WORKER_RING] = {};
    uint64_t handed = 0;                 // batches handed over; batch n sits in ring[n % RING]
    uint64_t bin_claimed = 0;            // batches whose binning has been taken on
    uint64_t binned = 0;                 // batches 0..binned-1 are all binned
    bool bin_done[WORKER_RING] = {};     // binned, but an earlier batch is not yet
    uint64_t tile_next[TILE_COUNT] = {}; // the batch each tile draws next
    bool tile_busy[TILE_COUNT] = {};     // a thread is drawing this tile
    int scan = 0;                        // where the next search for a tile starts
    int running = 0;                     // threads in a job, the caller's not counted
    int max_running = 0;                 // at most this many: one core is the caller's
    int sleeping = 0;                    // threads waiting for jobs
    bool caller_waiting = false;         // the caller's thread waits on `done`
    bool quit = false;
};

// Starts up to `count` threads; fewer when the system refuses more (count then says). At
// most `running` take jobs at once; 0: one fewer than the cores this process may use.
void workers_start(Workers *w, int count, int running);
// Draws everything handed over, then stops the threads.
void workers_stop(Workers *w);
// Hands batch over and returns at once (with no threads: bins and draws it first). There
// must be room in the ring: workers_wait(w, WORKER_RING - 1) makes it.
void workers_run(Workers *w, Batch *batch);
// Returns when at most `pending` batches handed over are not fully drawn yet; then the
// storage of every earlier batch may be reused. The caller's thread helps meanwhile.
void workers_wait(Workers *w, int pending);
// Batches handed over so far: a later workers_wait_drawn of this count returns once all
// of them are drawn (0 with no threads, which draw on hand-over).
uint64_t workers_handed(const Workers &w);
void workers_wait_drawn(Workers *w, uint64_t handed);
