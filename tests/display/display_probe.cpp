// display_probe.cpp: a stand-in for the program that the display tests run and watch.
// "pattern" shows a known picture through the display layer directly, at 60 Hz, so that
// a screenshot can be checked against it; "board" goes through the library's calls.
// Either ends on a key from the window (its own ACCEL_KEY_FD pipe), after `seconds`, or
// after `frames`, and writes the number of frames it showed to `report`.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "accel.h"
#include "probe_pattern.h"

namespace
{

struct Options {
    std::string mode = "pattern";
    std::string display = "window"; // pattern mode: window or terminal
    double seconds = 0;             // 0: no time limit
    long frames = 0;                // 0: no frame limit
    std::string report;             // file that receives the count of shown frames
    bool moving = false;            // a square that moves each frame
    bool console = false;           // signal handlers like the console's, installed first
    std::string message;            // board mode: printed on stderr before the shutdown
    std::string timing;             // pattern mode: file for the median and spread of a present
    bool every_cell = false;        // pattern mode: a colour shift that changes every pixel
    bool noise = false;             // pattern mode: new noise in every pixel, every frame
};

int64_t now_ns(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// Like the console: say so, put things back to default and die of the same signal.
void console_like(int sig)
{
    const char line[] = "probe: console handler\n";
    ssize_t ignored = write(2, line, sizeof line - 1);
    (void)ignored;
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const size_t eq = a.find('=');
        const std::string k = a.substr(0, eq), v = eq == std::string::npos ? "" : a.substr(eq + 1);
        if (eq == std::string::npos)
            o.mode = a;
        else if (k == "display")
            o.display = v;
        else if (k == "seconds")
            o.seconds = std::atof(v.c_str());
        else if (k == "frames")
            o.frames = std::atol(v.c_str());
        else if (k == "report")
            o.report = v;
        else if (k == "moving")
            o.moving = v == "1";
        else if (k == "console")
            o.console = v == "1";
        else if (k == "message")
            o.message = v;
        else if (k == "timing")
            o.timing = v;
        else if (k == "every_cell")
            o.every_cell = v == "1";
        else if (k == "noise")
            o.noise = v == "1";
    }
    if (o.console) {
        signal(SIGINT, console_like);
        signal(SIGHUP, console_like);
        signal(SIGTERM, console_like);
    }
    int keys[2];
    if (pipe2(keys, O_CLOEXEC) != 0)
        return 2;
    setenv("ACCEL_KEY_FD", std::to_string(keys[1]).c_str(), 1);

    Display d;
    const bool board_mode = o.mode == "board";
    if (board_mode) {
        GrHwConfiguration hw;
        grGlideInit();
        if (!grSstQueryHardware(&hw))
            return 3;
        for (int i = 0; i < hw.num_sst; i++) {
            grSstSelect(i);
            if (!grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                           GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2)) {
                std::fprintf(stderr, "probe: grSstOpen failed for board %d\n", i);
                grGlideShutdown();
                return 3;
            }
        }
    } else if (!present_open(&d, o.display == "terminal" ? DISPLAY_TERMINAL : DISPLAY_WINDOW, 0)) {
        std::fprintf(stderr, "probe: the display cannot be opened\n");
        return 3;
    }

    std::vector<uint32_t> frame((size_t)SCREEN_W * SCREEN_H);
    const int64_t start = now_ns(), period = 1000000000 / 60;
    long shown = 0;
    std::vector<int64_t> present_ns, present_cpu_ns; // wall time; this thread's processor time
    for (;;) {
        pollfd p = {keys[0], POLLIN, 0};
        if (poll(&p, 1, 0) == 1)
            break;
        if ((o.frames && shown >= o.frames) ||
            (o.seconds > 0 && now_ns() - start >= o.seconds * 1e9))
            break;
        if (board_mode) {
            // A colour that changes every frame, so that every cell is redrawn.
            grBufferClear((uint32_t)(shown * 0x030507) & 0xffffff, 0, 0);
            grBufferSwap(1);
        } else {
            probe_pattern(frame.data(), shown, o.moving);
            if (o.every_cell)
                for (uint32_t &px : frame)
                    px ^= (uint32_t)(shown & 7) * 0x080808u;
            if (o.noise) // the most detail a frame can have: the slowest case for the cells
                for (size_t i = 0; i < frame.size(); i++)
                    frame[i] =
                        0xff000000u | (uint32_t)((i + (size_t)shown * 7919) * 2654435761u >> 8);
            const int64_t t0 = now_ns(), c0 = now_ns(CLOCK_THREAD_CPUTIME_ID);
            present_frame(&d, frame.data(), 60.0);
            present_ns.push_back(now_ns() - t0);
            present_cpu_ns.push_back(now_ns(CLOCK_THREAD_CPUTIME_ID) - c0);
            const int64_t next = start + (shown + 1) * period;
            const timespec ts = {(time_t)(next / 1000000000), (long)(next % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
        }
        shown++;
    }
    if (!o.report.empty()) {
        FILE *f = std::fopen(o.report.c_str(), "w");
        if (f) {
            std::fprintf(f, "%ld\n", shown);
            std::fclose(f);
        }
    }
    if (!o.timing.empty() && !present_ns.empty()) {
        FILE *f = std::fopen(o.timing.c_str(), "w");
        if (f) {
            // Processor time leaves out the waits for a core on a loaded machine.
            for (std::vector<int64_t> *v : {&present_ns, &present_cpu_ns}) {
                std::sort(v->begin(), v->end());
                const std::vector<int64_t> &t = *v;
                const size_t n = t.size();
                std::fprintf(f,
                             "present %s ms: median %.3f, p10 %.3f, p90 %.3f, max %.3f over %zu "
                             "frames\n",
                             v == &present_ns ? "wall" : "cpu", t[n / 2] / 1e6, t[n / 10] / 1e6,
                             t[n * 9 / 10] / 1e6, t[n - 1] / 1e6, n);
            }
            std::fclose(f);
        }
    }
    if (board_mode) {
        if (!o.message.empty())
            std::fprintf(stderr, "%s\n", o.message.c_str());
        grGlideShutdown();
        return o.message.empty() ? 0 : 1;
    }
    present_close(&d);
    return 0;
}
