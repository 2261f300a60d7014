// probe_pattern.h: the picture that display_probe shows and the window test expects.
#pragma once

#include <cstdint>

constexpr int PROBE_W = 640, PROBE_H = 480; // the board's frame

// Quadrants (as seen on screen: top left blue, top right white, bottom left red, bottom
// right green) and a dark grey band at the top; bottom row first, as the board's frame.
inline uint32_t probe_pattern(int x, int y)
{
    const bool top = y >= PROBE_H / 2, right = x >= PROBE_W / 2;
    return y >= PROBE_H - 40 ? 0xff404040u
           : top             ? (right ? 0xffffffffu : 0xffff0000u)
                             : (right ? 0xff00ff00u : 0xff0000ffu);
}
