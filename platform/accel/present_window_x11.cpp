// present_window_x11.cpp: the X11 connection under SDL's windows.
// Reads the connection's errors; writes one flag, read by present_window.cpp, that says
// the X server has gone (then the windows count as closed instead of the process ending).
#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>
#include <X11/extensions/Xext.h>

#include "present_window_x11.h"

namespace
{

bool lost = false;            // set by Xlib on the thread that calls SDL, the frame loop's
::Display *watched = nullptr; // the windows' connection

int ignore_error(::Display *, XErrorEvent *)
{
    return 0; // a request on a window the desktop already dropped: nothing to do
}

// Xlib's default here is exit(1). Returning instead leaves the connection marked broken,
// so later requests fail at once instead of waiting on a server that is not there.
void stay_alive(::Display *, void *)
{
    lost = true;
}

// SDL keeps more than one connection (the window's is not the only one), and Xlib calls
// the exit handler of whichever breaks first right after this: set it here, for that one.
int note_io_error(::Display *dpy)
{
    lost = true;
    XSetIOErrorExitHandler(dpy, stay_alive, nullptr);
    return 0;
}

} // namespace

// Xlib prints "extension missing" on standard error when a desktop going away answers an
// extension query; the library writes nothing there.
static int ignore_missing_extension(::Display *, _Xconst char *, _Xconst char *)
{
    return 0;
}

void window_x11_quiet_errors()
{
    XSetErrorHandler(ignore_error);
    XSetExtensionErrorHandler(ignore_missing_extension);
    XSetIOErrorHandler(note_io_error);
}

void window_x11_watch(SDL_Window *window)
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(window, &info) && info.subsystem == SDL_SYSWM_X11) {
        watched = info.info.x11.display;
        XSetIOErrorExitHandler(watched, stay_alive, nullptr);
    }
}

void window_x11_settle()
{
    if (watched && !lost)
        XSync(watched, False);
    watched = nullptr;
}

bool window_x11_lost()
{
    return lost;
}

bool window_x11_destroyed(const SDL_SysWMmsg *msg, SDL_Window *window)
{
    if (msg->subsystem != SDL_SYSWM_X11 || msg->msg.x11.event.type != DestroyNotify)
        return false;
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    return SDL_GetWindowWMInfo(window, &info) && info.subsystem == SDL_SYSWM_X11 &&
           info.info.x11.window == msg->msg.x11.event.xdestroywindow.window;
}
