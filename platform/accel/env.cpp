// env.cpp: the ACCEL_* variables, read once when the library starts.
// A variable set to a value the library does not know is not guessed at: the board
// count makes the hardware query fail, any other makes grSstOpen fail.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "accel.h"
#include "simd.h"

namespace
{

// A whole decimal number in [lo, hi], nothing before or after it.
bool parse_int(const char *s, long long lo, long long hi, long long *out)
{
    if (!s || *s < '0' || *s > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(s, &end, 10);
    if (errno || *end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

} // namespace

void env_read(Env *env)
{
    *env = Env{};
    long long v = 0;
    const char *s = std::getenv("ACCEL_DEBUG");
    env->debug = s && std::strcmp(s, "1") == 0;

    if ((s = std::getenv("ACCEL_BOARDS"))) {
        env->boards_ok = parse_int(s, 0, GR_MAX_BOARDS, &v);
        env->boards = env->boards_ok ? (int)v : 0;
        if (!env->boards_ok)
            debug_log(*env, "ACCEL_BOARDS='%s' is not a count from 0 to %d", s, GR_MAX_BOARDS);
    }
    if ((s = std::getenv("ACCEL_DISPLAY")) && *s) {
        if (std::strcmp(s, "window") == 0)
            env->display = DISPLAY_WINDOW;
        else if (std::strcmp(s, "terminal") == 0)
            env->display = DISPLAY_TERMINAL;
        else if (std::strcmp(s, "none") == 0)
            env->display = DISPLAY_NONE;
        else {
            env->config_ok = false;
            debug_log(*env, "ACCEL_DISPLAY='%s' is not window, terminal or none", s);
        }
    }
    if ((s = std::getenv("ACCEL_TEXMEM"))) {
        // At least one byte, and small enough that offsets stay 32-bit.
        if (parse_int(s, 1, 1ll << 30, &v))
            env->texmem = (uint32_t)v;
        else {
            env->config_ok = false;
            debug_log(*env, "ACCEL_TEXMEM='%s' is not a byte count from 1 to 2^30", s);
        }
    }
    if ((s = std::getenv("ACCEL_VSYNC"))) {
        if (std::strcmp(s, "0") == 0 || std::strcmp(s, "1") == 0)
            env->vsync = s[0] == '1';
        else {
            env->config_ok = false;
            debug_log(*env, "ACCEL_VSYNC='%s' is not 0 or 1", s);
        }
    }
    if ((s = std::getenv("ACCEL_DUMP")) && *s) {
        if (std::strlen(s) + 64 < sizeof env->dump_dir)
            std::strcpy(env->dump_dir, s);
        else {
            env->config_ok = false;
            debug_log(*env, "ACCEL_DUMP is too long a path");
        }
    }
    if ((s = std::getenv("ACCEL_SIMD")) && *s) {
        bool runs = false;
        env->simd = simd_find(s, &runs);
        if (!env->simd || !runs) {
            env->config_ok = false;
            int64_t targets[SIMD_MAX_TARGETS];
            const int n = simd_available(targets);
            char names[128] = {};
            for (int i = 0; i < n; i++)
                std::snprintf(names + std::strlen(names), sizeof names - std::strlen(names), " %s",
                              simd_name(targets[i]));
            debug_log(*env, "ACCEL_SIMD='%s' is not %s; this processor runs:%s", s,
                      env->simd ? "one this processor runs" : "a compiled target", names);
            env->simd = 0;
        }
    }
    const unsigned cores = std::thread::hardware_concurrency();
    env->threads = cores ? (int)std::min(cores, 64u) : 1;
    if ((s = std::getenv("ACCEL_THREADS"))) {
        if (parse_int(s, 0, 64, &v))
            env->threads = (int)v;
        else {
            env->config_ok = false;
            debug_log(*env, "ACCEL_THREADS='%s' is not a count from 0 to 64", s);
        }
    }
}

void debug_log(const Env &env, const char *fmt, ...)
{
    if (!env.debug)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "accel: %s\n", line);
}
