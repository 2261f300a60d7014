// shim.cpp: preloaded into the real program (LD_PRELOAD) in front of the real libaccel.
// Every call goes on to the real library, but:
//   SHIM_FAIL_OPEN=n      the n-th grSstOpen fails
//   SHIM_MALLOC=size[#n]  the n-th allocation (default the first) of exactly `size` bytes fails
//   SHIM_REPORT=file      "shutdowns S swaps W", rewritten at every swap and shutdown, so
//                         that it holds even for a process killed mid-run
// Built without sanitizers: a sanitizer runtime in a preloaded library would have to come
// before the program's own.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "gfx/gfx.h"

static long fail_open, opens, malloc_size, malloc_nth = 1, mallocs, shutdowns, swaps;
static int report_fd = -1;
static void *(*real_malloc)(size_t);
static bool resolving;

// Fixed width, so that a reader never sees a shorter line half overwritten.
static void report()
{
    char line[64];
    const int n = std::snprintf(line, sizeof line, "shutdowns %ld swaps %12ld\n", shutdowns, swaps);
    (void)!pwrite(report_fd, line, (size_t)n, 0);
}

__attribute__((constructor)) static void start()
{
    const char *f = std::getenv("SHIM_FAIL_OPEN"), *m = std::getenv("SHIM_MALLOC"),
               *r = std::getenv("SHIM_REPORT");
    fail_open = f ? std::atol(f) : 0;
    if (m)
        std::sscanf(m, "%ld#%ld", &malloc_size, &malloc_nth);
    report_fd = r ? open(r, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    report();
}

template <typename Fn> static Fn real(Fn, const char *name)
{
    return (Fn)dlsym(RTLD_NEXT, name);
}

extern "C" {

void *malloc(size_t size)
{
    if (!real_malloc && !resolving) { // dlsym itself may ask for memory: it copes with none
        resolving = true;
        real_malloc = real(&malloc, "malloc");
        resolving = false;
    }
    if ((malloc_size && (long)size == malloc_size &&
         __atomic_add_fetch(&mallocs, 1, __ATOMIC_RELAXED) == malloc_nth) ||
        !real_malloc)
        return nullptr;
    return real_malloc(size);
}

int32_t grSstOpen(int32_t res, int32_t ref, int32_t cf, int32_t org, int32_t sm, int32_t nb)
{
    return ++opens != fail_open && real(&grSstOpen, __func__)(res, ref, cf, org, sm, nb);
}

void grBufferSwap(int32_t interval)
{
    real(&grBufferSwap, __func__)(interval);
    swaps++;
    report();
}

void grGlideShutdown(void)
{
    shutdowns++;
    report();
    real(&grGlideShutdown, __func__)();
}

} // extern "C"
