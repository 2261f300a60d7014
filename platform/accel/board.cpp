// board.cpp: a board's buffers, its refresh clock and the showing of a frame.
// Reads the Env and the board's display; writes the framebuffers and the dump folder.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "accel.h"

namespace
{

int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

void sleep_until(int64_t t_ns)
{
    const timespec ts = {(time_t)(t_ns / 1000000000), (long)(t_ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

int refresh_hz(int32_t refresh)
{
    static const int hz[] = {60, 70, 72, 75, 80, 90, 100, 85, 120};
    return hz[refresh]; // api.cpp passes GR_REFRESH_60Hz..GR_REFRESH_120Hz only
}

// Waits for the first tick of a steady clock that is `interval` ticks after the last
// shown frame and not in the past. A frame that misses its tick waits for the next
// one, as on a real display, so the clock never drifts or catches up in a burst.
void wait_for_tick(Tick *t, int32_t interval)
{
    const int64_t now = now_ns();
    if (t->last_ns == 0)
        t->last_ns = now - t->period_ns;
    int64_t target = t->last_ns + (int64_t)interval * t->period_ns;
    if (target < now)
        target = t->last_ns + (now - t->last_ns + t->period_ns - 1) / t->period_ns * t->period_ns;
    sleep_until(target);
    t->last_ns = target;
}

void count_frame(Board *b)
{
    const int64_t now = now_ns();
    if (b->rate_start_ns == 0)
        b->rate_start_ns = now;
    b->rate_frames++;
    if (now - b->rate_start_ns >= 1000000000) {
        b->fps = b->rate_frames * 1e9 / (double)(now - b->rate_start_ns);
        b->rate_start_ns = now;
        b->rate_frames = 0;
    }
}

// A zeroed buffer of `pixels` 32-bit values on a cache line of its own: threads drawing
// neighbouring tiles (128 pixels, 512 bytes a row) then never write the same line.
void *frame_alloc(size_t pixels)
{
    void *p = std::aligned_alloc(64, pixels * sizeof(uint32_t));
    if (p)
        std::memset(p, 0, pixels * sizeof(uint32_t));
    return p;
}

} // namespace

bool board_open(Board *b, int index, const Env &env, int32_t refresh)
{
    const size_t pixels = (size_t)SCREEN_W * SCREEN_H;
    // Field by field: a whole Board{} would put its texture memory on the stack.
    b->index = index;
    b->state = RenderState{};
    b->display = Display{};
    b->tick = Tick{};
    b->frames_shown = 0;
    b->rate_start_ns = 0;
    b->rate_frames = 0;
    b->fps = 0;
    b->pending = false;
    b->fb.front = (uint32_t *)frame_alloc(pixels);
    b->fb.back = (uint32_t *)frame_alloc(pixels);
    b->fb.depth = (float *)frame_alloc(pixels);
    if (!b->fb.front || !b->fb.back || !b->fb.depth ||
        !present_open(&b->display, env.display, index)) {
        debug_log(env, "board %d: %s", index,
                  b->fb.depth ? "the display cannot be opened" : "out of memory");
        board_close(b);
        return false;
    }
    b->tick.period_ns = 1000000000 / refresh_hz(refresh);
    b->open = true;
    return true;
}

void board_close(Board *b)
{
    if (b->open)
        present_close(&b->display);
    std::free(b->fb.front);
    std::free(b->fb.back);
    std::free(b->fb.depth);
    b->fb = Framebuffer{};
    b->open = false;
}

namespace
{

void show(Board *b, const Env &env, Dump *dump, int32_t interval, const uint32_t *rgba)
{
    if (env.vsync && interval > 0)
        wait_for_tick(&b->tick, interval);
    count_frame(b);
    dump_frame(dump, b->index, b->frames_shown, rgba);
    present_frame(&b->display, rgba, b->fps);
    b->frames_shown++;
}

void exchange(Board *b)
{
    uint32_t *shown = b->fb.back;
    b->fb.back = b->fb.front;
    b->fb.front = shown;
}

} // namespace

void board_swap(Board *b, const Env &env, Dump *dump, int32_t interval)
{
    board_show_pending(b, env, dump);
    show(b, env, dump, interval, b->fb.back);
    exchange(b);
}

void board_swap_later(Board *b, int32_t interval, uint64_t ticket)
{
    exchange(b);
    b->pending = true;
    b->pending_ticket = ticket;
    b->pending_interval = interval;
}

void board_show_pending(Board *b, const Env &env, Dump *dump)
{
    if (!b->pending)
        return;
    b->pending = false;
    show(b, env, dump, b->pending_interval, b->fb.front);
}
