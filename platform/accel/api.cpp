// api.cpp: the library's entry points.
// Each call checks that it may run (started, a board open and current, values known),
// then hands its work to one stage. Everything the caller passes is validated here, so
// the stages behind may assert their preconditions.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "accel.h"
#include "pipeline.h"
#include "simd.h"

namespace
{

struct Library {
    bool started = false;
    uint32_t generation = 0; // grGlideInit count: handles of an earlier run are unknown
    int current = 0;         // board chosen by grSstSelect
    Env env;
    Dump dump; // open from the first board's open to the shutdown, when ACCEL_DUMP is set
    Board board[GR_MAX_BOARDS];
    Pipeline *pipeline = nullptr;
    Board *drawing = nullptr; // board with queued work in the pipeline, if any
};

Library lib;

// The current board when it is open and the library is started, else null.
Board *current_board()
{
    if (!lib.started)
        return nullptr;
    Board *b = &lib.board[lib.current];
    return b->open ? b : nullptr;
}

// Queued work must land before its board's buffers or textures change under it.
void finish_drawing()
{
    if (lib.pipeline && lib.drawing) {
        pipeline_finish(lib.pipeline);
        lib.drawing = nullptr;
    }
}

// Everything queued is drawn and every swapped frame still waiting is shown, in order.
void show_pending_frames()
{
    finish_drawing();
    for (Board &b : lib.board)
        if (b.open)
            board_show_pending(&b, lib.env, &lib.dump);
}

int32_t handle_base(int board)
{
    // 18 bits of generation, 3 of board, 10 of slot (TEX_MAX_TEXTURES): every handle is
    // positive, and a handle from another board or from any of the last 262143 runs is
    // told apart.
    static_assert(TEX_MAX_TEXTURES <= 1 << 10 && GR_MAX_BOARDS <= 1 << 3);
    return (int32_t)(((lib.generation & 0x3ffff) << 13) | ((uint32_t)board << 10));
}

} // namespace

extern "C" {

void grGlideInit(void)
{
    if (lib.started)
        return;
    const uint32_t generation = lib.generation + 1;
    lib.~Library();
    new (&lib) Library();
    lib.generation = generation;
    env_read(&lib.env);
    lib.started = true;
}

int32_t grSstQueryHardware(GrHwConfiguration *hwconfig)
{
    if (!lib.started || !hwconfig || !lib.env.boards_ok)
        return 0;
    std::memset(hwconfig, 0, sizeof *hwconfig);
    hwconfig->num_sst = lib.env.boards;
    for (int i = 0; i < lib.env.boards; i++) {
        hwconfig->sst[i].type = GR_SSTTYPE_SOFTWARE;
        hwconfig->sst[i].fb_ram = 4;
        hwconfig->sst[i].tmu_count = 1;
        hwconfig->sst[i].tex_ram = (int32_t)std::min<uint32_t>(lib.env.texmem, INT32_MAX);
    }
    return 1;
}

void grSstSelect(int32_t which_sst)
{
    if (!lib.started || !lib.env.boards_ok || which_sst < 0 || which_sst >= lib.env.boards)
        return;
    show_pending_frames();
    lib.current = which_sst;
}

int32_t grSstOpen(int32_t resolution, int32_t refresh, int32_t color_format, int32_t origin,
                  int32_t smoothing, int32_t num_buffers)
{
    if (!lib.started || !lib.env.boards_ok || lib.current >= lib.env.boards)
        return 0;
    Board *b = &lib.board[lib.current];
    if (b->open)
        return 0;
    show_pending_frames();
    if (resolution != GR_RESOLUTION_640x480 || refresh < GR_REFRESH_60Hz ||
        refresh > GR_REFRESH_120Hz || color_format < GR_COLORFORMAT_ARGB ||
        color_format > GR_COLORFORMAT_ABGR || origin != GR_ORIGIN_LOWER_LEFT ||
        smoothing < GR_SMOOTHING_DISABLE || smoothing > GR_SMOOTHING_ENABLE || num_buffers < 2 ||
        num_buffers > 3) {
        debug_log(lib.env, "grSstOpen: unsupported mode");
        return 0;
    }
    if (!lib.env.config_ok) {
        debug_log(lib.env, "grSstOpen: an ACCEL_ variable has a value the library does not know");
        return 0;
    }
    if (lib.env.dump_dir[0] && lib.dump.dir < 0 && !dump_open(&lib.dump, lib.env))
        return 0;
    // Nothing is being drawn here: every board's frames are shown, so drawn.
    simd_select(lib.env.simd ? lib.env.simd : simd_best());
    debug_log(lib.env, "grSstOpen: SIMD target %s", simd_name(simd_selected()));
    if (!lib.pipeline) {
        lib.pipeline = pipeline_create(lib.env.threads);
        if (!lib.pipeline)
            return 0;
    }
    if (!board_open(b, lib.current, lib.env, refresh))
        return 0;
    tex_memory_init(&b->tex, lib.env.texmem, handle_base(lib.current));
    return 1;
}

// The only combine functions the library draws with are the ones every pixel already
// uses (texel times iterated colour, the texel decaled), so there is no state to keep:
// any other value is ignored, as an unsupported value always is.
void guColorCombineFunction(int32_t) {}

void grTexCombineFunction(int32_t, int32_t) {}

void grDepthBufferMode(int32_t mode)
{
    Board *b = current_board();
    if (b && (mode == GR_DEPTHBUFFER_DISABLE || mode == GR_DEPTHBUFFER_ZBUFFER))
        b->state.depth_mode = mode;
}

void grDepthBufferFunction(int32_t function)
{
    Board *b = current_board();
    if (b && function >= GR_CMP_NEVER && function <= GR_CMP_ALWAYS)
        b->state.depth_func = function;
}

void grDepthMask(int32_t enable)
{
    Board *b = current_board();
    if (b)
        b->state.depth_mask = enable != 0;
}

void grBufferClear(uint32_t color, uint8_t alpha, uint16_t depth)
{
    Board *b = current_board();
    if (!b)
        return;
    if (lib.drawing != b)
        finish_drawing();
    // 0xAARRGGBB in, bytes R, G, B, A out.
    const uint32_t rgba = ((color >> 16) & 0xff) | (color & 0xff00) | ((color & 0xff) << 16) |
                          ((uint32_t)alpha << 24);
    pipeline_clear(lib.pipeline, b, rgba, (float)depth);
    lib.drawing = b;
}

void grBufferSwap(int32_t swap_interval)
{
    Board *b = current_board();
    if (!b)
        return;
    // The frame before this one goes out first, once drawn; this one is drawn meanwhile
    // and shown at the next swap, or at the next call that waits for all drawing.
    if (b->pending) {
        pipeline_wait(lib.pipeline, b->pending_ticket);
        board_show_pending(b, lib.env, &lib.dump);
    }
    if (lib.dump.dir >= 0 && !lib.dump.stopped) {
        // Whoever reads the dump folder may look as soon as the swap returns.
        finish_drawing();
        board_swap(b, lib.env, &lib.dump, swap_interval);
        return;
    }
    board_swap_later(b, swap_interval, pipeline_submit(lib.pipeline));
}

int32_t gu3dfGetInfo(const char *filename, Gu3dfInfo *info)
{
    if (!filename || !info)
        return 0;
    return tdf_get_info(filename, info);
}

int32_t gu3dfLoad(const char *filename, Gu3dfInfo *info)
{
    if (!filename || !info)
        return 0;
    return tdf_load(filename, info);
}

GrMipMapId_t guTexAllocateMemory(int32_t tmu, int32_t odd_even_mask, int32_t width, int32_t height,
                                 int32_t format, int32_t mipmap_mode, int32_t small_lod,
                                 int32_t large_lod, int32_t aspect_ratio, int32_t s_clamp,
                                 int32_t t_clamp, int32_t min_filter, int32_t mag_filter,
                                 float lod_bias, int32_t trilinear)
{
    Board *b = current_board();
    if (!b) {
        bool any = false;
        for (const Board &o : lib.board)
            any = any || o.open;
        if (lib.started)
            debug_log(lib.env, any ? "guTexAllocateMemory: the selected board is not open"
                                   : "guTexAllocateMemory: no board is open");
        return GR_NULL_MIPMAP_HANDLE;
    }
    return tex_allocate(&b->tex, tmu, odd_even_mask, width, height, format, mipmap_mode, small_lod,
                        large_lod, aspect_ratio, s_clamp, t_clamp, min_filter, mag_filter, lod_bias,
                        trilinear);
}

void guTexDownloadMipMap(GrMipMapId_t mmid, const void *src, const GuTexTable *table)
{
    Board *b = current_board();
    if (!b || !src || !tex_lookup(b->tex, mmid))
        return;
    show_pending_frames(); // queued triangles may sample this texture
    tex_download(&b->tex, mmid, src, table);
}

void guTexSource(GrMipMapId_t mmid)
{
    Board *b = current_board();
    if (!b)
        return;
    const Texture *t = tex_lookup(b->tex, mmid);
    if (t)
        b->state.texture = t;
}

void guDrawTriangleWithClip(const GrVertex *a, const GrVertex *b, const GrVertex *c)
{
    Board *board = current_board();
    if (!board || !a || !b || !c)
        return;
    // Corners with a value that is not finite are refused when their batch is binned,
    // off this thread.
    if (lib.drawing != board)
        finish_drawing();
    pipeline_triangle(lib.pipeline, board, *a, *b, *c);
    lib.drawing = board;
}

void grGlideShutdown(void)
{
    if (!lib.started)
        return;
    show_pending_frames(); // the last frame is shown before the boards close
    for (Board &b : lib.board) {
        if (!b.open)
            continue;
        tex_memory_release(&b.tex);
        board_close(&b);
    }
    if (lib.pipeline) {
        pipeline_destroy(lib.pipeline);
        lib.pipeline = nullptr;
    }
    dump_close(&lib.dump);
    lib.started = false;
}

} // extern "C"
