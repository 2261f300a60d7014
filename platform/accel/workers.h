// workers.h: the rasterizer threads. A batch handed over is drawn tile by tile, each tile
// by one thread, so no pixel is shared and the image does not depend on the count.
// Reads Batch records; writes their target buffers through raster_tile.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "bin.h"

constexpr int MAX_WORKERS = 64;

struct Workers {
    int count = 0; // threads running; 0: batches are drawn on the caller's thread
    std::thread thread[MAX_WORKERS];
    std::mutex lock;
    std::condition_variable wake; // a batch was handed over, or quit
    std::condition_variable done; // the batch in hand is fully drawn
    const Batch *job = nullptr;   // the batch in hand, null when none
    uint64_t job_seq = 0;         // counts batches handed over
    std::atomic<int> next_tile{0};
    int tiles_left = 0; // of the batch in hand
    int busy = 0;       // threads between taking the batch and reporting back
    bool quit = false;
};

// Starts up to `count` threads; fewer when the system refuses more (count then says).
void workers_start(Workers *w, int count);
void workers_stop(Workers *w);
// Hands batch to the threads and returns at once; the previous one must be finished.
void workers_run(Workers *w, const Batch *batch);
// Returns when the batch in hand (if any) is fully drawn; then it may be reused.
void workers_wait(Workers *w);
