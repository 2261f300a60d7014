// present_terminal.cpp: frames in the terminal on standard output.
// Reads a shown frame (bottom row first) and the terminal's size; places each board's
// picture, writes the cells that present_terminal_paint.cpp made and that changed (or its
// pixel-protocol image), and never waits on a slow terminal. Every way out puts it back.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "accel.h"
#include "present_terminal_paint.h"

namespace
{

// Upper bound of one cell's bytes: cursor move (14), both colours (36), the symbol (3).
constexpr size_t MAX_CELL_BYTES = 64;
constexpr int MAX_COLS = 4096, MAX_ROWS = 2048; // larger reports are taken as this

// Leaving: CAN ends any sequence that a skipped frame left half written, ST any image
// string (ignored where none is open), then plain attributes, the cursor, the main screen.
constexpr char LEAVE[] = "\x18\x1b\\\x1b[0m\x1b[?25h\x1b[?1049l";
constexpr char ENTER[] = "\x1b[?1049h\x1b[?25l\x1b[0m\x1b[2J";
constexpr char CLEAR[] = "\x1b[0m\x1b[2J";

} // namespace

// One board's picture on the terminal. Sized by layout, never per frame.
struct TerminalState {
    int board = 0;
    int x0 = 0, y0 = 0, w = 0, h = 0; // the picture's cells, 0-based; w or h 0: too small
    TerminalPaint paint;
    std::vector<TermCell> want;  // w * h: the picture as chafa last drew it
    std::vector<TermCell> shown; // w * h: what the terminal shows once queued bytes land
};

namespace
{

// The terminal is one for the whole process, whatever the number of boards showing on it;
// the signal handlers reach it here too.
struct Screen {
    int fd = -1; // our own open of the terminal, non-blocking, so stdout keeps its flags
    int users = 0;
    TerminalState *board[GR_MAX_BOARDS] = {};
    int cols = 0, rows = 0;           // size the layout was made for
    int cell_px_w = 0, cell_px_h = 0; // a cell in screen pixels; 0: the terminal won't say
    PixelProtocol protocol = PIXELS_NONE;
    ChafaTermInfo *term = nullptr; // the terminal's sequences, for pixel-protocol images
    bool relayout = true;          // boards opened or closed since
    bool entered = false;          // enter sequence queued (main thread's view)
    bool dead = false;             // the terminal hung up: nothing more is written
    std::vector<char> out;         // one frame of bytes
    size_t len = 0, done = 0;      // queued and written bytes of it
    uint32_t fg = CELL_UNKNOWN, bg = CELL_UNKNOWN; // attributes as the queued bytes leave them
    int cur_x = -1, cur_y = -1;                    // cursor likewise; -1: not known
};

Screen screen;

// Shared with the signal handlers, so lock-free atomics only.
std::atomic<bool> active{false};   // the alternate screen is (about to be) up
std::atomic<long> writer{0};       // thread id inside write() to the terminal; 0: none
std::atomic<bool> err_held{false}; // standard error goes to err_pipe while we draw
int saved_err = -1, err_pipe = -1; // the real standard error; the pipe's read end

struct sigaction previous[NSIG]; // by signal number
bool installed[NSIG];
bool exit_hook = false;

long thread_id()
{
    return (long)gettid();
}

// Async-signal-safe: a bounded wait for room, so that a stopped terminal cannot hang exit.
void write_fully(int fd, const char *p, size_t n)
{
    for (int tries = 0; n > 0 && tries < 20;) {
        const ssize_t k = write(fd, p, n);
        if (k > 0) {
            p += k;
            n -= (size_t)k;
        } else if (k < 0 && errno == EAGAIN) {
            pollfd pf = {fd, POLLOUT, 0};
            poll(&pf, 1, 50);
            tries++;
        } else if (!(k < 0 && errno == EINTR)) {
            return;
        }
    }
}

// Messages that the program writes to a standard error shared with the terminal would be
// drawn on the alternate screen and vanish with it. They are held in a pipe and written
// out once the main screen is back.
void hold_stderr()
{
    struct stat out_st, err_st;
    if (err_held || !isatty(2) || fstat(1, &out_st) != 0 || fstat(2, &err_st) != 0 ||
        out_st.st_rdev != err_st.st_rdev)
        return;
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    saved_err = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (saved_err < 0 || dup2(p[1], 2) < 0) {
        if (saved_err >= 0)
            close(saved_err);
        close(p[0]);
        close(p[1]);
        saved_err = -1;
        return;
    }
    close(p[1]);
    err_pipe = p[0];
    err_held = true;
}

// Async-signal-safe. The pipe and the saved descriptor stay open: a signal may come
// between these steps and the normal close.
void release_stderr()
{
    if (!err_held.exchange(false))
        return;
    dup2(saved_err, 2);
    char buf[512];
    ssize_t n;
    while ((n = read(err_pipe, buf, sizeof buf)) > 0)
        write_fully(2, buf, (size_t)n);
}

// Async-signal-safe: called from the handlers, at exit and at close.
void leave_screen()
{
    if (active.exchange(false)) {
        // Another thread in the middle of a frame write would land after us, on the
        // main screen; its writes never block, so the wait is short.
        const long self = thread_id();
        for (int i = 0; i < 200; i++) {
            const long w = writer.load();
            if (w == 0 || w == self)
                break;
            const timespec ms = {0, 1000000};
            nanosleep(&ms, nullptr);
        }
        write_fully(screen.fd, LEAVE, sizeof LEAVE - 1);
    }
    release_stderr();
}

// Puts the terminal back, then does what was to be done before: the console's handler
// (which restores the keyboard and ends the process), or the default action.
void on_signal(int sig, siginfo_t *info, void *context)
{
    const int saved_errno = errno;
    leave_screen();
    if (sig > 0 && sig < NSIG && installed[sig]) {
        const struct sigaction &prev = previous[sig];
        if (prev.sa_flags & SA_SIGINFO) {
            if (prev.sa_sigaction)
                prev.sa_sigaction(sig, info, context);
        } else if (prev.sa_handler == SIG_DFL) {
            // Delivered when this handler returns, as it is blocked until then.
            sigaction(sig, &prev, nullptr);
            raise(sig);
        } else if (prev.sa_handler != SIG_IGN) {
            prev.sa_handler(sig);
        }
    }
    errno = saved_errno;
}

// Ctrl-Z: the shell's prompt comes back on the main screen as at exit. Stopped inside
// the console's handler (or the default action); once continued, the next frame takes the
// screen again and draws it whole.
void on_stop(int sig, siginfo_t *info, void *context)
{
    const int saved_errno = errno;
    leave_screen();
    const struct sigaction &prev = previous[sig];
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction)
            prev.sa_sigaction(sig, info, context);
    } else if (prev.sa_handler == SIG_DFL) {
        struct sigaction mine;
        sigaction(sig, &prev, &mine);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sig);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        raise(sig);
        sigaction(sig, &mine, nullptr);
    } else if (prev.sa_handler != SIG_IGN) {
        prev.sa_handler(sig);
    }
    errno = saved_errno;
}

void at_exit()
{
    leave_screen();
}

// A profiler's clocks come many times a second to a handler that goes on: taken only while
// nobody has them, or the screen would be left and taken again with each.
bool profiler_clock(int sig)
{
    return sig == SIGPROF || sig == SIGVTALRM;
}

bool ends_process(int sig)
{
    return sig != SIGKILL && sig != SIGSTOP && sig != SIGTSTP && sig != SIGTTIN && sig != SIGTTOU &&
           sig != SIGCONT && sig != SIGCHLD && sig != SIGURG && sig != SIGWINCH;
}

// Every signal that ends the process, and Ctrl-Z's stop, would leave the alternate screen,
// a hidden cursor and the picture's colours behind. The handler before (the console's) is
// called after the screen is back; if it returns, the next frame takes the screen again.
void install_handlers()
{
    struct sigaction sa = {};
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig = 1; sig < NSIG; sig++) {
        installed[sig] = false;
        if ((!ends_process(sig) && sig != SIGTSTP) || sigaction(sig, nullptr, &previous[sig]) != 0)
            continue;
        const struct sigaction &prev = previous[sig];
        const bool siginfo = prev.sa_flags & SA_SIGINFO;
        // An ignored signal does not end the program, so the screen stays.
        if ((!siginfo && prev.sa_handler == SIG_IGN) ||
            ((siginfo || prev.sa_handler != SIG_DFL) && profiler_clock(sig)))
            continue;
        sa.sa_sigaction = sig == SIGTSTP ? on_stop : on_signal;
        installed[sig] = sigaction(sig, &sa, nullptr) == 0;
    }
}

void remove_handlers()
{
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction now;
        if (installed[sig] && sigaction(sig, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) &&
            (now.sa_sigaction == on_signal || now.sa_sigaction == on_stop))
            sigaction(sig, &previous[sig], nullptr);
        installed[sig] = false;
    }
}

// A second open of the terminal behind standard output: O_NONBLOCK on standard output
// itself would be shared with the shell and with standard error.
int open_terminal()
{
    struct stat out_st, st;
    if (fstat(1, &out_st) != 0)
        return -1;
    const char *paths[] = {"/proc/self/fd/1", ttyname(1)};
    for (const char *path : paths) {
        if (!path)
            continue;
        const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (isatty(fd) && fstat(fd, &st) == 0 && st.st_rdev == out_st.st_rdev)
            return fd;
        close(fd);
    }
    return -1;
}

void append(const char *s, size_t n)
{
    std::copy(s, s + n, screen.out.data() + screen.len);
    screen.len += n;
}

void append_number(unsigned v)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n > 0)
        screen.out[screen.len++] = digits[--n];
}

void append_rgb(uint32_t c)
{
    append_number((c >> 16) & 255);
    screen.out[screen.len++] = ';';
    append_number((c >> 8) & 255);
    screen.out[screen.len++] = ';';
    append_number(c & 255);
}

// Places each open board's picture in its share of the terminal (side by side), as large
// as fits with the frame's 4:3 kept: a cell is taken as twice as tall as wide. An image
// keeps the last row free, as a terminal may scroll once the cursor passes its bottom.
void layout(int cols, int rows)
{
    int count = 0;
    for (TerminalState *t : screen.board)
        count += t != nullptr;
    const int usable = screen.protocol == PIXELS_NONE ? rows : rows - 1;
    const int widest = terminal_paint_max_cols(screen.protocol, screen.cell_px_w);
    int slot = 0;
    for (TerminalState *t : screen.board) {
        if (!t)
            continue;
        const int left = slot * cols / count, right = (slot + 1) * cols / count;
        slot++;
        t->w = std::min({right - left, widest, usable * 8 / 3});
        t->h = t->w * 3 / 8;
        if (t->h <= 0)
            t->w = t->h = 0;
        t->x0 = left + (right - left - t->w) / 2;
        t->y0 = (usable - t->h) / 2;
        terminal_paint_layout(&t->paint, screen.protocol, t->w, t->h, screen.cell_px_w,
                              screen.cell_px_h);
        t->want.assign((size_t)t->w * t->h, TermCell{});
        t->shown.assign((size_t)t->w * t->h, TermCell{});
    }
    screen.cols = cols;
    screen.rows = rows;
    screen.out.resize(std::max(screen.out.size(), (size_t)cols * rows * MAX_CELL_BYTES + 256));
    screen.relayout = false;
}

void append_utf8(uint32_t ch)
{
    char *o = screen.out.data() + screen.len;
    if (ch < 0x80) {
        o[0] = (char)ch;
        screen.len += 1;
    } else if (ch < 0x800) {
        o[0] = (char)(0xc0 | ch >> 6);
        o[1] = (char)(0x80 | (ch & 63));
        screen.len += 2;
    } else {
        o[0] = (char)(0xe0 | ch >> 12);
        o[1] = (char)(0x80 | ((ch >> 6) & 63));
        o[2] = (char)(0x80 | (ch & 63));
        screen.len += 3;
    }
}

void move_to(int x, int y)
{
    Screen &s = screen;
    if (s.cur_x == x && s.cur_y == y)
        return;
    append("\x1b[", 2);
    append_number((unsigned)y + 1);
    s.out[s.len++] = ';';
    append_number((unsigned)x + 1);
    s.out[s.len++] = 'H';
    s.cur_x = x;
    s.cur_y = y;
}

void emit_cell(int x, int y, const TermCell &c)
{
    Screen &s = screen;
    move_to(x, y);
    const bool solid = c.ch == ' '; // the background colour alone
    const bool set_fg = !solid && s.fg != c.fg, set_bg = s.bg != c.bg;
    if (set_fg || set_bg) {
        append("\x1b[", 2);
        if (set_fg) {
            append("38;2;", 5);
            append_rgb(c.fg);
            s.fg = c.fg;
        }
        if (set_fg && set_bg)
            s.out[s.len++] = ';';
        if (set_bg) {
            append("48;2;", 5);
            append_rgb(c.bg);
            s.bg = c.bg;
        }
        s.out[s.len++] = 'm';
    }
    append_utf8(c.ch);
    // At the last column the cursor stays put (pending wrap): its place is then unknown.
    s.cur_x = x + 1 < s.cols ? x + 1 : -1;
    s.cur_y = y;
}

void queue_picture(TerminalState *t, const uint32_t *rgba)
{
    Screen &s = screen;
    if (t->w == 0)
        return;
    if (s.protocol != PIXELS_NONE) {
        const size_t at = s.len;
        const int cur_x = s.cur_x, cur_y = s.cur_y;
        move_to(t->x0, t->y0);
        const size_t n = terminal_paint_image(&t->paint, s.term, rgba, &s.out, s.len);
        if (n == 0) { // the same image: no move either
            s.len = at;
            s.cur_x = cur_x;
            s.cur_y = cur_y;
            return;
        }
        s.len += n;
        // Where an image leaves the cursor, and its colours, differ between terminals.
        s.cur_x = s.cur_y = -1;
        s.fg = s.bg = CELL_UNKNOWN;
        return;
    }
    terminal_paint_cells(&t->paint, rgba, t->want.data());
    for (int cy = 0; cy < t->h; cy++) {
        const TermCell *want = &t->want[(size_t)cy * t->w];
        TermCell *shown = &t->shown[(size_t)cy * t->w];
        for (int cx = 0; cx < t->w; cx++) {
            const TermCell c = want[cx];
            if (c.ch == shown[cx].ch && c.fg == shown[cx].fg && c.bg == shown[cx].bg)
                continue;
            shown[cx] = c;
            emit_cell(t->x0 + cx, t->y0 + cy, c);
        }
    }
}

// Writes what the terminal takes now. False while bytes are left: the terminal is behind.
bool flush()
{
    Screen &s = screen;
    while (s.done < s.len) {
        writer = thread_id();
        if (!active) { // a signal put the terminal back meanwhile
            writer = 0;
            s.len = s.done = 0;
            return true;
        }
        const ssize_t n = write(s.fd, s.out.data() + s.done, s.len - s.done);
        const int err = errno;
        writer = 0;
        if (n > 0)
            s.done += (size_t)n;
        else if (n < 0 && err == EAGAIN)
            return false;
        else if (!(n < 0 && err == EINTR)) { // hung up (EIO), or gone (EPIPE)
            s.dead = true;
            active = false;
            return false;
        }
    }
    s.len = s.done = 0;
    return true;
}

void forget_shown()
{
    for (TerminalState *t : screen.board)
        if (t)
            std::fill(t->shown.begin(), t->shown.end(), TermCell{});
    screen.fg = screen.bg = CELL_UNKNOWN;
    screen.cur_x = screen.cur_y = -1;
}

bool screen_open()
{
    PixelProtocol protocol = PIXELS_NONE;
    ChafaTermInfo *term = nullptr;
    if (!terminal_paint_detect(&protocol, &term))
        return false; // ACCEL_TERMINAL_PIXELS names no way of drawing
    const int fd = open_terminal();
    if (fd < 0) {
        terminal_paint_release_term(term);
        return false;
    }
    terminal_paint_init();
    screen.protocol = protocol;
    screen.term = term;
    screen.fd = fd;
    screen.entered = false;
    screen.dead = false;
    screen.relayout = true;
    screen.len = screen.done = 0;
    install_handlers();
    if (!exit_hook)
        exit_hook = std::atexit(at_exit) == 0;
    return true;
}

void screen_close()
{
    leave_screen();
    remove_handlers();
    if (saved_err >= 0)
        close(saved_err);
    if (err_pipe >= 0)
        close(err_pipe);
    saved_err = err_pipe = -1;
    close(screen.fd);
    screen.fd = -1;
    screen.out = std::vector<char>();
    terminal_paint_release_term(screen.term);
    screen.term = nullptr;
}

} // namespace

// A terminal that names no kind, or the dumb one (an editor's shell buffer, a log
// capture), would show the colour cells as a flood of escapes.
bool terminal_available()
{
    const char *term = std::getenv("TERM");
    return isatty(1) == 1 && term && *term && std::strcmp(term, "dumb") != 0;
}

bool terminal_open(Display *d, int board)
{
    if (board < 0 || board >= GR_MAX_BOARDS || screen.board[board] || !isatty(1))
        return false;
    if (screen.users == 0 && !screen_open())
        return false;
    TerminalState *t = new TerminalState{};
    t->board = board;
    screen.board[board] = t;
    screen.users++;
    screen.relayout = true;
    d->terminal = t;
    return true;
}

void terminal_show(Display *d, const uint32_t *rgba, double)
{
    Screen &s = screen;
    TerminalState *t = d->terminal;
    if (!t || s.dead)
        return;
    if (s.entered && !active) { // a signal put the terminal back and the program went on
        s.entered = false;
        s.len = s.done = 0;
    }
    if (!flush())
        return; // the previous frame is still going out: this one is skipped
    winsize ws = {};
    int cols = 80, rows = 24;
    if (ioctl(s.fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        cols = std::min((int)ws.ws_col, MAX_COLS);
        rows = std::min((int)ws.ws_row, MAX_ROWS);
        s.cell_px_w = ws.ws_xpixel / ws.ws_col;
        s.cell_px_h = ws.ws_ypixel / ws.ws_row;
    }
    s.len = s.done = 0;
    if (!s.entered) {
        // A job in the background (started there, or continued there after Ctrl-Z) leaves
        // the screen to the shell until it is brought forward. Without a controlling
        // terminal the query fails: there is no job control to respect.
        const pid_t foreground = tcgetpgrp(s.fd);
        if (foreground >= 0 && foreground != getpgrp())
            return;
        layout(cols, rows);
        hold_stderr();
        active = true;
        s.entered = true;
        forget_shown();
        append(ENTER, sizeof ENTER - 1);
    } else if (s.relayout || cols != s.cols || rows != s.rows) {
        layout(cols, rows);
        forget_shown();
        append(CLEAR, sizeof CLEAR - 1);
    }
    queue_picture(t, rgba);
    flush();
}

void terminal_close(Display *d)
{
    TerminalState *t = d->terminal;
    if (!t)
        return;
    screen.board[t->board] = nullptr;
    terminal_paint_free(&t->paint);
    delete t;
    d->terminal = nullptr;
    screen.relayout = true;
    if (--screen.users == 0)
        screen_close();
}
