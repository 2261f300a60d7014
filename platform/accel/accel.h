// accel.h: the records that the library's stages share.
// The entry points (api.cpp) own one Library; every stage gets the narrowest record it
// needs: a Board's buffers, its RenderState, a Texture, the Env.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gfx/gfx.h"
#include "present.h"
#include "texture.h"

constexpr int SCREEN_W = 640;
constexpr int SCREEN_H = 480;

// Render state of one board, as the state calls left it. Only values that the library
// supports are ever stored here (api.cpp ignores the rest).
struct RenderState {
    int32_t depth_mode = GR_DEPTHBUFFER_DISABLE;
    int32_t depth_func = GR_CMP_LESS;
    bool depth_mask = true;
    const Texture *texture = nullptr; // selected by guTexSource; null: texel is white
};

// Colour is packed RGBA8, bytes R, G, B, A in memory (0xAABBGGRR as a uint32_t on
// little-endian machines). Row 0 is the bottom row of the screen: screen y grows upward.
struct Framebuffer {
    uint32_t *front = nullptr; // SCREEN_W * SCREEN_H, the frame last shown
    uint32_t *back = nullptr;  // drawn into
    float *depth = nullptr;    // SCREEN_W * SCREEN_H, ooz units
};

// The steady refresh clock that grBufferSwap waits on.
struct Tick {
    int64_t period_ns = 0; // 1e9 / refresh rate
    int64_t last_ns = 0;   // CLOCK_MONOTONIC time of the tick the last frame was shown at
};

struct Board {
    bool open = false;
    int index = 0;
    RenderState state;
    Framebuffer fb;
    TexMemory tex;
    Display display;
    Tick tick;
    uint64_t frames_shown = 0; // swaps since open; names the dumped files
    int64_t rate_start_ns = 0; // start of the current frame-rate window
    int rate_frames = 0;       // frames shown in it
    double fps = 0;            // shown frames per second, over the last full window
    // A swapped frame in the front buffer that the workers may still be drawing; it is
    // shown once its commands (pipeline ticket) are drawn, with its swap's interval.
    bool pending = false;
    uint64_t pending_ticket = 0;
    int32_t pending_interval = 0;
};

// The library's environment, read once by grGlideInit (env.cpp).
struct Env {
    bool boards_ok = true; // ACCEL_BOARDS parsed
    int boards = 1;        // 0..GR_MAX_BOARDS
    bool config_ok = true; // every other variable parsed; grSstOpen fails otherwise
    DisplayKind display = DISPLAY_AUTO;
    uint32_t texmem = 2u << 20; // bytes per board
    bool vsync = true;
    int threads = 1;  // rasterizer workers; 0 draws on the caller's thread
    int64_t simd = 0; // ACCEL_SIMD's target (simd.h); 0: the best this processor runs
    bool debug = false;
    char dump_dir[4096] = {}; // empty: no dump
};

void env_read(Env *env);
// Prints one diagnostic line on standard error when ACCEL_DEBUG=1.
void debug_log(const Env &env, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The ACCEL_DUMP folder while the library runs (dump.cpp).
struct Dump {
    int dir = -1;                         // the folder, opened once; -1: no dump
    bool stopped = false;                 // a frame could not be written: no more are tried
    char path[sizeof Env::dump_dir] = {}; // for the message
};

// Opens the folder and checks that files can be made there; false (ACCEL_DEBUG says why)
// when not, and then no board opens.
bool dump_open(Dump *d, const Env &env);
void dump_close(Dump *d);
// Writes rgba (bottom row first) as board<N>-frame<NNNNNN>.png, whole or not at all. The
// first failure removes what was written, prints one line on standard error and stops
// the dump for the rest of the run.
bool dump_frame(Dump *d, int board, uint64_t frame, const uint32_t *rgba);

// board.cpp
bool board_open(Board *b, int index, const Env &env, int32_t refresh);
void board_close(Board *b);
// Waits for the next tick (when asked to), then shows the back buffer (display, dump
// folder) and exchanges it with the front one, as a double-buffered board does.
void board_swap(Board *b, const Env &env, Dump *dump, int32_t interval);
// The same swap with the frame not drawn yet: the buffers are exchanged now and the
// frame, now in front, is shown by board_show_pending once `ticket` is drawn.
void board_swap_later(Board *b, int32_t interval, uint64_t ticket);
// Shows the pending frame, if any; its commands must be drawn.
void board_show_pending(Board *b, const Env &env, Dump *dump);
