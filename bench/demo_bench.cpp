// demo_bench.cpp: runs animation frames 0..N-1 of the program's real frame code (clear,
// draw_copies, swap, advance) on libaccel with no display and no vsync, and prints
// `key: value` lines: frame times, triangles and pixels per second, threads, peak memory;
// the last line is `fps: X` (from the median frame time).
//   demo_bench MESH [--frames N]        ACCEL_THREADS picks the rasterizer threads.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/animation.h"
#include "gfx/gfx.h"
#include "scene/mesh.h"
#include "scene/texture.h"

extern "C" void __real_guDrawTriangleWithClip(const GrVertex *a, const GrVertex *b,
                                              const GrVertex *c);

namespace
{

bool counting = false;  // the untimed pass: count covered pixels, draw nothing
uint64_t submitted = 0; // triangles handed to the library
uint64_t covered = 0;   // pixel centres covered (counting pass)

// Pixel centres the snapped triangle covers, by the library's fill rule (28.4 edges,
// left and top edges keep their centres). Corners beyond 2^20 pixels are not counted.
uint64_t count_pixels(const GrVertex &a, const GrVertex &b, const GrVertex &c)
{
    const GrVertex *v[3] = {&a, &b, &c};
    int64_t x[3], y[3];
    for (int i = 0; i < 3; i++) {
        if (!(std::fabs(v[i]->x) < 1048576.0f && std::fabs(v[i]->y) < 1048576.0f))
            return 0;
        x[i] = std::llrint((double)v[i]->x * 16.0);
        y[i] = std::llrint((double)v[i]->y * 16.0);
    }
    const int64_t area = (x[1] - x[0]) * (y[2] - y[0]) - (y[1] - y[0]) * (x[2] - x[0]);
    if (area == 0)
        return 0;
    if (area < 0) {
        std::swap(x[1], x[2]);
        std::swap(y[1], y[2]);
    }
    int64_t ea[3], eb[3], ec[3];
    for (int e = 0; e < 3; e++) {
        const int i = e, j = (e + 1) % 3;
        ea[e] = y[i] - y[j];
        eb[e] = x[j] - x[i];
        ec[e] = -(ea[e] * x[i] + eb[e] * y[i]) - ((ea[e] > 0 || (ea[e] == 0 && eb[e] < 0)) ? 0 : 1);
    }
    const int64_t lx = std::max<int64_t>(0, (std::min({x[0], x[1], x[2]}) + 7) >> 4);
    const int64_t hx = std::min<int64_t>(639, (std::max({x[0], x[1], x[2]}) - 8) >> 4);
    const int64_t ly = std::max<int64_t>(0, (std::min({y[0], y[1], y[2]}) + 7) >> 4);
    const int64_t hy = std::min<int64_t>(479, (std::max({y[0], y[1], y[2]}) - 8) >> 4);
    uint64_t n = 0;
    for (int64_t py = ly; py <= hy; py++)
        for (int64_t px = lx; px <= hx; px++) {
            bool in = true;
            for (int e = 0; e < 3; e++)
                in = in && ea[e] * (px * 16 + 8) + eb[e] * (py * 16 + 8) + ec[e] >= 0;
            n += in;
        }
    return n;
}

bool file_exists(const char *path)
{
    FILE *f = std::fopen(path, "rb");
    if (f)
        std::fclose(f);
    return f != nullptr;
}

double cpu_ms(const rusage &a, const rusage &b)
{
    return (double)(b.ru_utime.tv_sec - a.ru_utime.tv_sec + b.ru_stime.tv_sec - a.ru_stime.tv_sec) *
               1e3 +
           (double)(b.ru_utime.tv_usec - a.ru_utime.tv_usec + b.ru_stime.tv_usec -
                    a.ru_stime.tv_usec) /
               1e3;
}

double now_ms()
{
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

extern "C" void __wrap_guDrawTriangleWithClip(const GrVertex *a, const GrVertex *b,
                                              const GrVertex *c)
{
    if (counting) {
        covered += count_pixels(*a, *b, *c);
        return;
    }
    submitted++;
    __real_guDrawTriangleWithClip(a, b, c);
}

int main(int argc, char **argv)
{
    const char *mesh_path = nullptr;
    int frames = 120;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
        } else if (argv[i][0] != '-' && !mesh_path) {
            mesh_path = argv[i];
        } else {
            std::fprintf(stderr, "usage: demo_bench MESH [--frames N]\n");
            return 2;
        }
    }
    if (!mesh_path || frames < 1) {
        std::fprintf(stderr, "usage: demo_bench MESH [--frames N]  (N >= 1)\n");
        return 2;
    }

    static Mesh mesh;
    char why[256];
    if (load_mesh_file(mesh_path, mesh_path, &mesh, why, sizeof why) != MESH_OK) {
        std::fprintf(stderr, "demo_bench: cannot read mesh %s\n", mesh_path);
        return 1;
    }

    setenv("ACCEL_DISPLAY", "none", 1);
    setenv("ACCEL_VSYNC", "0", 1);
    grGlideInit();
    static GrHwConfiguration hw;
    if (!grSstQueryHardware(&hw) ||
        !grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                   GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2)) {
        std::fprintf(stderr, "demo_bench: the library cannot open a board\n");
        return 1;
    }
    int32_t tex_a = -1, tex_b = -1;
    const char *quib = ASSETS_DIR "/quib.3DF", *plov = ASSETS_DIR "/plov1.3DF";
    const bool textured = file_exists(quib) && file_exists(plov);
    if (textured) {
        load_texture(quib, &tex_a);
        load_texture(plov, &tex_b);
    } else {
        std::fprintf(stderr, "demo_bench: %s or %s missing: drawing untextured\n", quib, plov);
    }
    guColorCombineFunction(GR_COLORCOMBINE_TEXTURE_TIMES_ITRGB);
    grTexCombineFunction(GR_TMU0, GR_TEXTURECOMBINE_DECAL);
    grDepthBufferMode(GR_DEPTHBUFFER_ZBUFFER);
    grDepthBufferFunction(GR_CMP_GREATER);
    grDepthMask(1);

    static Animation anim;
    std::vector<double> ms((size_t)frames);
    rusage ru0, th0;
    getrusage(RUSAGE_SELF, &ru0);
    getrusage(RUSAGE_THREAD, &th0);
    animation_start(&anim);
    for (int f = 0; f < frames; f++) {
        const double t0 = now_ms();
        grBufferClear(0, 0, 0);
        draw_copies(&anim, &mesh, tex_a, tex_b);
        grBufferSwap(1);
        animation_advance(&anim);
        ms[(size_t)f] = now_ms() - t0;
    }
    rusage ru1, th1;
    getrusage(RUSAGE_SELF, &ru1);
    getrusage(RUSAGE_THREAD, &th1);
    grGlideShutdown();

    // The same frames again, untimed, counting the pixel centres the triangles cover.
    counting = true;
    animation_start(&anim);
    for (int f = 0; f < frames; f++) {
        draw_copies(&anim, &mesh, tex_a, tex_b);
        animation_advance(&anim);
    }

    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    const double median = frames % 2
                              ? sorted[(size_t)frames / 2]
                              : (sorted[(size_t)frames / 2 - 1] + sorted[(size_t)frames / 2]) / 2;
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    const char *threads = std::getenv("ACCEL_THREADS");
    std::printf("mesh: %s\n", mesh_path);
    std::printf("faces: %d\n", mesh.face_count);
    std::printf("frames: %d\n", frames);
    std::printf("threads: %s\n", threads ? threads : "default");
    std::printf("textures: %s\n", textured ? "assets" : "none");
    std::printf("ms_per_frame_median: %.3f\n", median);
    std::printf("ms_per_frame_min: %.3f\n", sorted.front());
    std::printf("ms_per_frame_max: %.3f\n", sorted.back());
    // Processor time, less disturbed than wall time on a shared machine: of every thread,
    // and of the caller's thread alone (the program's work, recording the triangles, and
    // whatever jobs it takes while it would wait).
    std::printf("cpu_ms_per_frame: %.3f\n", cpu_ms(ru0, ru1) / frames);
    std::printf("caller_cpu_ms_per_frame: %.3f\n", cpu_ms(th0, th1) / frames);
    std::printf("triangles_per_frame: %.0f\n", (double)submitted / frames);
    std::printf("triangles_per_s: %.0f\n", (double)submitted / frames / (median / 1000.0));
    std::printf("pixels_per_frame: %.0f\n", (double)covered / frames);
    std::printf("pixels_per_s: %.0f\n", (double)covered / frames / (median / 1000.0));
    std::printf("peak_rss_mb: %.1f\n", ru.ru_maxrss / 1024.0);
    std::printf("fps: %.2f\n", 1000.0 / median);
    return 0;
}
