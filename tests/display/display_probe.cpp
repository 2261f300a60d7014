// display_probe.cpp: a stand-in for the program that the display tests run and watch.
// "pattern" shows probe_pattern through the display layer directly, at 60 Hz, so that a
// screenshot can be checked against it; "board" goes through the library's calls. Either
// ends on a key from the window (its own ACCEL_KEY_FD pipe), after `seconds` or `frames`.
// Settings: display=window|terminal, seconds=S, frames=N, moving=1 (a square that moves),
// console=1 (signal handlers like the console's, installed first), message=TEXT (board
// mode: printed on stderr before the shutdown, then status 1).
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Like the console: say so, put things back to default and die of the same signal.
void console_like(int sig)
{
    const char line[] = "probe: console handler\n";
    (void)!write(2, line, sizeof line - 1);
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

int main(int argc, char **argv)
{
    std::string mode = "pattern", display, message;
    double seconds = 0, frames = 0, moving = 0, console = 0;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const size_t eq = a.find('=');
        const std::string k = a.substr(0, eq), v = eq == std::string::npos ? "" : a.substr(eq + 1);
        double *number = k == "seconds"   ? &seconds
                         : k == "frames"  ? &frames
                         : k == "moving"  ? &moving
                         : k == "console" ? &console
                                          : nullptr;
        if (number)
            *number = std::atof(v.c_str());
        else
            (eq == std::string::npos ? mode
             : k == "display"        ? display
                                     : message) = eq == std::string::npos ? a : v;
    }
    if (console)
        for (int sig : {SIGINT, SIGHUP, SIGTERM})
            signal(sig, console_like);
    int keys[2];
    if (pipe2(keys, O_CLOEXEC) != 0)
        return 2;
    setenv("ACCEL_KEY_FD", std::to_string(keys[1]).c_str(), 1);

    Display d;
    GrHwConfiguration hw;
    const bool board = mode == "board";
    if (board) {
        grGlideInit();
        if (!grSstQueryHardware(&hw))
            return 3;
        for (int i = 0; i < hw.num_sst; i++) {
            grSstSelect(i);
            if (!grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                           GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2)) {
                std::fprintf(stderr, "probe: the display cannot be opened\n");
                grGlideShutdown();
                return 3;
            }
        }
    } else if (!present_open(&d, display == "terminal" ? DISPLAY_TERMINAL : DISPLAY_WINDOW, 0)) {
        std::fprintf(stderr, "probe: the display cannot be opened\n");
        return 3;
    }
    std::vector<uint32_t> frame((size_t)SCREEN_W * SCREEN_H);
    const double start = now_s();
    for (long shown = 0;; shown++) {
        pollfd p = {keys[0], POLLIN, 0};
        if (poll(&p, 1, 0) == 1 || (frames && shown >= frames) ||
            (seconds && now_s() - start >= seconds))
            break;
        if (board) { // a colour that changes every frame, so that every cell is redrawn
            grBufferClear((uint32_t)(shown * 0x030507) & 0xffffff, 0, 0);
            grBufferSwap(1);
            continue;
        }
        probe_pattern(frame.data(), shown, moving != 0);
        present_frame(&d, frame.data(), 60.0);
        const double next = start + (double)(shown + 1) / 60;
        const timespec ts = {(time_t)next, (long)((next - (time_t)next) * 1e9)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    if (!board) {
        present_close(&d);
        return 0;
    }
    if (!message.empty())
        std::fprintf(stderr, "%s\n", message.c_str());
    grGlideShutdown();
    return message.empty() ? 0 : 1;
}
