// display_probe.cpp: shows probe_pattern through the display layer directly, at 60 Hz,
// so that a screenshot can be checked against it.
//   display_probe window|terminal FRAMES
// Ends after FRAMES frames, or on a key from the window (its own ACCEL_KEY_FD pipe).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "accel.h"
#include "probe_pattern.h"

int main(int argc, char **argv)
{
    int keys[2];
    if (argc < 3 || pipe2(keys, O_CLOEXEC) != 0)
        return 2;
    setenv("ACCEL_KEY_FD", std::to_string(keys[1]).c_str(), 1);
    Display d;
    if (!present_open(&d, std::strcmp(argv[1], "terminal") ? DISPLAY_WINDOW : DISPLAY_TERMINAL,
                      0)) {
        std::fprintf(stderr, "probe: the display cannot be opened\n");
        return 3;
    }
    std::vector<uint32_t> frame((size_t)SCREEN_W * SCREEN_H);
    for (int y = 0; y < SCREEN_H; y++)
        for (int x = 0; x < SCREEN_W; x++)
            frame[(size_t)y * SCREEN_W + x] = probe_pattern(x, y);
    pollfd p = {keys[0], POLLIN, 0};
    for (long shown = 0; shown < std::atol(argv[2]) && poll(&p, 1, 0) == 0; shown++) {
        present_frame(&d, frame.data(), 60.0);
        usleep(1000000 / 60);
    }
    present_close(&d);
    return 0;
}
