// fault_inject.cpp: loaded into the demo with LD_PRELOAD; fails one allocation, counts calls.
// Reads FAULT_MALLOC_SIZE (a byte count) and FAULT_MALLOC_NTH (which call of that size
// fails, from 1; default 1). Writes, at exit, to FAULT_REPORT (a file): how many
// allocations it failed and how many times the program called grGlideShutdown; and, every
// 100 frames while it runs, the count of frames shown to FAULT_FRAMES (a file), for
// tools/soak.sh.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace
{

using MallocFn = void *(*)(size_t);
using ShutdownFn = void (*)();
using SwapFn = void (*)(int32_t);

MallocFn real_malloc = nullptr;
bool resolving = false;
size_t fail_size = 0;
long fail_nth = 1;
long seen = 0;     // calls of fail_size so far
int failed = 0;    // allocations refused
int shutdowns = 0; // grGlideShutdown calls by the program
long frames = 0;   // grBufferSwap calls
int frames_fd = -1;

long number(const char *name, long otherwise)
{
    const char *s = std::getenv(name);
    return s && *s ? std::strtol(s, nullptr, 10) : otherwise;
}

__attribute__((constructor)) void start()
{
    fail_size = (size_t)number("FAULT_MALLOC_SIZE", 0);
    fail_nth = number("FAULT_MALLOC_NTH", 1);
    const char *path = std::getenv("FAULT_FRAMES");
    if (path)
        frames_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

// Fixed width, so that a reader never sees a shorter number half overwritten.
void write_frames()
{
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%19ld\n", frames);
    (void)!pwrite(frames_fd, text, (size_t)n, 0);
}

__attribute__((destructor)) void report()
{
    if (frames_fd >= 0)
        write_frames();
    const char *path = std::getenv("FAULT_REPORT");
    if (!path)
        return;
    FILE *f = std::fopen(path, "w");
    if (!f)
        return;
    std::fprintf(f, "failed %d\nshutdowns %d\n", failed, shutdowns);
    std::fclose(f);
}

} // namespace

extern "C" void *malloc(size_t size)
{
    if (!real_malloc) {
        if (resolving) // dlsym itself asked for memory: it copes with none
            return nullptr;
        resolving = true;
        real_malloc = (MallocFn)dlsym(RTLD_NEXT, "malloc");
        resolving = false;
        if (!real_malloc)
            std::abort();
    }
    if (fail_size != 0 && size == fail_size &&
        __atomic_add_fetch(&seen, 1, __ATOMIC_RELAXED) == fail_nth) {
        __atomic_add_fetch(&failed, 1, __ATOMIC_RELAXED);
        return nullptr;
    }
    return real_malloc(size);
}

extern "C" void grGlideShutdown(void)
{
    shutdowns++;
    const ShutdownFn next = (ShutdownFn)dlsym(RTLD_NEXT, "grGlideShutdown");
    if (next)
        next();
}

extern "C" void grBufferSwap(int32_t swap_interval)
{
    static SwapFn next = nullptr;
    if (!next)
        next = (SwapFn)dlsym(RTLD_NEXT, "grBufferSwap");
    if (next)
        next(swap_interval);
    if (++frames % 100 == 0 && frames_fd >= 0)
        write_frames();
}
