// present.cpp: picks the way a board's frames are shown and dispatches to it, once per
// frame. DISPLAY_NONE shows nothing: tests, benchmarks and servers.
#include "present.h"

bool present_open(Display *d, DisplayKind asked, int board)
{
    *d = Display{};
    if (asked == DISPLAY_AUTO)
        asked = window_available()     ? DISPLAY_WINDOW
                : terminal_available() ? DISPLAY_TERMINAL
                                       : DISPLAY_NONE;
    d->kind = asked;
    switch (asked) {
    case DISPLAY_WINDOW:
        return window_open(d, board);
    case DISPLAY_TERMINAL:
        return terminal_open(d, board);
    default:
        return true;
    }
}

void present_frame(Display *d, const uint32_t *rgba, double fps)
{
    switch (d->kind) {
    case DISPLAY_WINDOW:
        window_show(d, rgba, fps);
        break;
    case DISPLAY_TERMINAL:
        terminal_show(d, rgba, fps);
        break;
    default:
        break;
    }
}

void present_close(Display *d)
{
    switch (d->kind) {
    case DISPLAY_WINDOW:
        window_close(d);
        break;
    case DISPLAY_TERMINAL:
        terminal_close(d);
        break;
    default:
        break;
    }
    *d = Display{};
}
