// probe_pattern.h: the picture that display_probe shows and the window tests expect.
#pragma once

#include <cstdint>

constexpr int PROBE_W = 640, PROBE_H = 480; // the board's frame

// Quadrants (as seen on screen: top left blue, top right white, bottom left red, bottom
// right green), a yellow square that moves when asked, and a dark grey band at the top.
inline void probe_pattern(uint32_t *rgba, long frame, bool moving)
{
    for (int y = 0; y < PROBE_H; y++)
        for (int x = 0; x < PROBE_W; x++) {
            const bool top = y >= PROBE_H / 2, right = x >= PROBE_W / 2;
            uint32_t c =
                top ? (right ? 0xffffffffu : 0xffff0000u) : (right ? 0xff00ff00u : 0xff0000ffu);
            if (y >= PROBE_H - 40)
                c = 0xff404040u;
            rgba[y * PROBE_W + x] = c;
        }
    if (moving) {
        const int sx = (int)(frame * 8 % (PROBE_W - 64)), sy = PROBE_H / 2 - 32;
        for (int y = sy; y < sy + 64; y++)
            for (int x = sx; x < sx + 64; x++)
                rgba[y * PROBE_W + x] = 0xff00ffffu;
    }
}
