// present_window_x11.h: what present_window.cpp needs from the X11 connection under SDL,
// kept apart because Xlib's names (Display among them) clash with the library's own.
#pragma once

struct SDL_Window;
struct SDL_SysWMmsg;

// Replaces Xlib's error handlers, which print and end the process, by quiet ones.
void window_x11_quiet_errors();
// Lets the program live on when the X server behind this window goes away.
void window_x11_watch(SDL_Window *window);
// Takes in the errors of requests made so far (on a window another program destroyed),
// while the quiet handler is in place: SDL's teardown puts Xlib's own back, which would
// print them and end the process.
void window_x11_settle();
// True once the X server has gone: no SDL call may touch the desktop any more.
bool window_x11_lost();
// True when msg says that this window was destroyed, by whatever program did it.
bool window_x11_destroyed(const SDL_SysWMmsg *msg, SDL_Window *window);
