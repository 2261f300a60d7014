// present.h: where a board's shown frames go. The way is chosen once, at grSstOpen;
// present.cpp dispatches to present_window.cpp, present_terminal.cpp or nowhere.
#pragma once

#include <cstdint>

enum DisplayKind { DISPLAY_AUTO, DISPLAY_NONE, DISPLAY_WINDOW, DISPLAY_TERMINAL };

struct WindowState;   // present_window.cpp
struct TerminalState; // present_terminal.cpp

struct Display {
    DisplayKind kind = DISPLAY_NONE;
    WindowState *window = nullptr;
    TerminalState *terminal = nullptr;
};

// Opens the display of board `board` as asked (DISPLAY_AUTO picks a window where a desktop
// is reachable, else the terminal where standard output is one that shows colour, else
// none). False when that way cannot be had.
bool present_open(Display *d, DisplayKind asked, int board);
// Shows one frame: rgba is SCREEN_W x SCREEN_H, bottom row first. fps is the measured
// rate of shown frames, for a title or status line.
void present_frame(Display *d, const uint32_t *rgba, double fps);
void present_close(Display *d);

// The per-way halves; each returns false from open when it cannot be had.
bool window_open(Display *d, int board);
void window_show(Display *d, const uint32_t *rgba, double fps);
void window_close(Display *d);
bool window_available(); // a desktop is reachable
bool terminal_open(Display *d, int board);
void terminal_show(Display *d, const uint32_t *rgba, double fps);
void terminal_close(Display *d);
bool terminal_available(); // standard output is a terminal, not a dumb one
