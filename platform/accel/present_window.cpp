// present_window.cpp: frames in a desktop window, one per open board (SDL2).
// Reads a shown frame (bottom row first) and the window's events; writes the window, its
// title (board and frame rate) and, for a key press or a close, one byte to ACCEL_KEY_FD.
// Pacing is board.cpp's 60 Hz tick: nothing here waits for the monitor.
#include <SDL2/SDL.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "accel.h"
#include "present_window_x11.h"

struct WindowState {
    SDL_Window *window = nullptr;
    SDL_Renderer *renderer = nullptr;
    SDL_Texture *texture = nullptr; // SCREEN_W x SCREEN_H, RGBA bytes, top row first
    int board = 0;
    int key_fd = -1;         // write end of the console's key pipe; -1: none
    double title_fps = -1;   // the rate the title shows; -1: none shown yet
    bool close_sent = false; // a close was passed on already: one byte is enough
};

namespace
{

constexpr int INITIAL_W = 640;
constexpr int INITIAL_H = 480;

int sdl_users = 0; // open windows, plus a probe in window_available
WindowState *open_windows[GR_MAX_BOARDS] = {};

// The library writes nothing on the program's streams, and SDL's own handlers for
// SIGINT/SIGTERM would turn the console's signals into events that nobody reads.
void set_hints()
{
    SDL_SetHintWithPriority(SDL_HINT_NO_SIGNAL_HANDLERS, "1", SDL_HINT_OVERRIDE);
    SDL_SetHintWithPriority(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0", SDL_HINT_OVERRIDE);
    SDL_SetHintWithPriority(SDL_HINT_RENDER_VSYNC, "0", SDL_HINT_OVERRIDE);
    SDL_SetHintWithPriority(SDL_HINT_RENDER_SCALE_QUALITY, "linear", SDL_HINT_OVERRIDE);
    SDL_SetHintWithPriority(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1", SDL_HINT_OVERRIDE);
    SDL_LogSetAllPriority((SDL_LogPriority)SDL_NUM_LOG_PRIORITIES);
}

bool named(const char *var)
{
    const char *s = std::getenv(var);
    return s && *s;
}

// Only the desktops that the environment names are tried (the user's SDL_VIDEODRIVER still
// wins). Probing another writes where the library must not: with no XDG_RUNTIME_DIR, the
// Wayland client library tells standard error so, whatever the caller wanted.
void choose_driver()
{
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    const bool wayland_reachable =
        wayland && *wayland && (wayland[0] == '/' || named("XDG_RUNTIME_DIR"));
    const char *drivers = named("DISPLAY")    ? (wayland_reachable ? "x11,wayland" : "x11")
                          : wayland_reachable ? "wayland"
                                              : nullptr;
    if (drivers)
        SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers);
}

bool desktop_named()
{
    return named("DISPLAY") || named("WAYLAND_DISPLAY");
}

// Brings SDL's video up for one more user. Only a desktop counts: SDL could also come up
// on the kernel's framebuffer or an off-screen driver, which would show nothing.
bool video_up()
{
    if (!desktop_named())
        return false;
    if (sdl_users == 0) {
        set_hints();
        choose_driver();
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
            return false;
        const char *driver = SDL_GetCurrentVideoDriver();
        const bool x11 = driver && std::strcmp(driver, "x11") == 0;
        if (!x11 && !(driver && std::strcmp(driver, "wayland") == 0)) {
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
            return false;
        }
        if (x11) {
            window_x11_quiet_errors();
            // The desktop's own events: a window destroyed by another program is seen there.
            SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
        }
    }
    sdl_users++;
    return true;
}

void video_down()
{
    if (--sdl_users > 0)
        return;
    // Once the desktop has gone, SDL's teardown would talk to it; what it holds is
    // released by the exit that follows.
    if (!window_x11_lost()) {
        window_x11_settle();
        SDL_Quit(); // the library is SDL's only user in the process: all of it goes
    }
}

// ACCEL_KEY_FD as the console left it: a number naming an open descriptor.
int key_fd_from_env()
{
    const char *s = std::getenv("ACCEL_KEY_FD");
    if (!s || *s < '0' || *s > '9')
        return -1;
    char *end = nullptr;
    errno = 0;
    const long fd = std::strtol(s, &end, 10);
    if (errno || *end || fd > 1 << 20 || fcntl((int)fd, F_GETFD) == -1)
        return -1;
    return (int)fd;
}

// One byte per key or close. A full pipe means keys are already waiting, so the byte is
// dropped rather than holding the frame loop.
void send_key(const WindowState &w, unsigned char byte)
{
    if (w.key_fd < 0)
        return;
    pollfd p = {w.key_fd, POLLOUT, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & POLLOUT))
        while (write(w.key_fd, &byte, 1) == -1 && errno == EINTR) {
        }
}

bool modifier_alone(SDL_Scancode sc)
{
    return (sc >= SDL_SCANCODE_LCTRL && sc <= SDL_SCANCODE_RGUI) || sc == SDL_SCANCODE_MODE ||
           sc == SDL_SCANCODE_CAPSLOCK || sc == SDL_SCANCODE_NUMLOCKCLEAR;
}

// Keys that have a plain character pass it on; others (cursor keys, Escape) a space, so
// that the console never sees the start of an escape sequence it would wait to complete.
unsigned char key_byte(SDL_Keycode sym)
{
    return sym > 32 && sym < 127 ? (unsigned char)sym : ' ';
}

void send_close(WindowState *w)
{
    if (w->close_sent)
        return;
    w->close_sent = true;
    send_key(*w, ' ');
}

// Every window's events arrive in one queue; whichever window is shown first in a frame
// passes them on. Each byte goes through that window's key pipe: they are all the same.
void pump_events(WindowState *w)
{
    SDL_Event ev;
    while (SDL_PollEvent(&ev)) {
        if (ev.type == SDL_KEYDOWN && !ev.key.repeat && !modifier_alone(ev.key.keysym.scancode))
            send_key(*w, key_byte(ev.key.keysym.sym));
        else if (ev.type == SDL_QUIT ||
                 (ev.type == SDL_WINDOWEVENT && ev.window.event == SDL_WINDOWEVENT_CLOSE))
            send_close(w);
        else if (ev.type == SDL_SYSWMEVENT)
            // Another program (a window manager, xdotool) destroyed one: a close.
            for (WindowState *o : open_windows)
                if (o && window_x11_destroyed(ev.syswm.msg, o->window))
                    send_close(w);
    }
}

void set_title(WindowState *w, double fps)
{
    char title[64];
    if (fps > 0)
        std::snprintf(title, sizeof title, "accel board %d - %.1f fps", w->board, fps);
    else
        std::snprintf(title, sizeof title, "accel board %d", w->board);
    SDL_SetWindowTitle(w->window, title);
    w->title_fps = fps;
}

void destroy(WindowState *w)
{
    if (open_windows[w->board] == w)
        open_windows[w->board] = nullptr;
    if (!window_x11_lost()) {
        if (w->texture)
            SDL_DestroyTexture(w->texture);
        if (w->renderer)
            SDL_DestroyRenderer(w->renderer);
        if (w->window)
            SDL_DestroyWindow(w->window);
    }
    delete w;
}

} // namespace

bool window_available()
{
    if (!video_up())
        return false;
    video_down();
    return true;
}

bool window_open(Display *d, int board)
{
    if (board < 0 || board >= GR_MAX_BOARDS || open_windows[board] || !video_up())
        return false;
    WindowState *w = new WindowState{};
    w->board = board;
    w->key_fd = key_fd_from_env();
    char title[32];
    std::snprintf(title, sizeof title, "accel board %d", board);
    w->window = SDL_CreateWindow(title, SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, INITIAL_W,
                                 INITIAL_H, SDL_WINDOW_RESIZABLE);
    if (w->window)
        w->renderer = SDL_CreateRenderer(w->window, -1, 0);
    if (w->renderer)
        w->texture = SDL_CreateTexture(w->renderer, SDL_PIXELFORMAT_RGBA32,
                                       SDL_TEXTUREACCESS_STREAMING, SCREEN_W, SCREEN_H);
    // The logical size letterboxes the picture: scaled to the window, 4:3 kept.
    if (!w->texture || SDL_RenderSetLogicalSize(w->renderer, SCREEN_W, SCREEN_H) != 0 ||
        SDL_SetTextureBlendMode(w->texture, SDL_BLENDMODE_NONE) != 0) {
        destroy(w);
        video_down();
        return false;
    }
    window_x11_watch(w->window);
    set_title(w, 0);
    open_windows[board] = w;
    d->window = w;
    return true;
}

void window_show(Display *d, const uint32_t *rgba, double fps)
{
    WindowState *w = d->window;
    if (!w)
        return;
    if (window_x11_lost()) {
        send_close(w); // the desktop went away: as if the window were closed
        return;
    }
    pump_events(w);
    void *pixels = nullptr;
    int pitch = 0;
    if (SDL_LockTexture(w->texture, nullptr, &pixels, &pitch) == 0) {
        // The board's row 0 is the bottom of the picture; the texture's is the top.
        for (int y = 0; y < SCREEN_H; y++)
            std::memcpy((char *)pixels + (size_t)pitch * y,
                        rgba + (size_t)(SCREEN_H - 1 - y) * SCREEN_W, SCREEN_W * sizeof(uint32_t));
        SDL_UnlockTexture(w->texture);
    }
    if (fps != w->title_fps)
        set_title(w, fps);
    SDL_SetRenderDrawColor(w->renderer, 0, 0, 0, 255);
    SDL_RenderClear(w->renderer);
    SDL_RenderCopy(w->renderer, w->texture, nullptr, nullptr);
    SDL_RenderPresent(w->renderer);
}

void window_close(Display *d)
{
    if (!d->window)
        return;
    destroy(d->window);
    d->window = nullptr;
    video_down();
}
