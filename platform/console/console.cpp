// console.cpp: the console's keys. Reads standard input (a terminal in key mode, or any
// other input where each byte is a key and end of input is one too) and the window-key
// pipe that the library writes to. Writes the terminal's mode, restored on every way out.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "console.h"

namespace
{

// The bytes of one key arrive together, but a remote terminal may split them: wait this
// long for the rest of a sequence before taking what came as the whole key.
constexpr int FOLLOW_WAIT_MS = 100;
// A control sequence longer than this is not a key; the rest is read as keys of its own.
constexpr int MAX_SEQUENCE = 32;

// Everything the signal handlers touch is written before they are installed.
struct Console {
    bool opened;
    bool stdin_tty;
    bool input_ended;                    // end of standard input seen: it stays a waiting key
    volatile sig_atomic_t want_key_mode; // from console_open until the console closes
    volatile sig_atomic_t altered;       // the terminal is in key mode and must be restored
    termios saved;   // the terminal's mode at console_open: restored, whatever came between
    int key_pipe[2]; // window keys: read end, write end (ACCEL_KEY_FD)
    sigset_t taken;  // the signals that restore the terminal and end the process
    struct sigaction previous[NSIG];
};

Console con = {false, false, false, 0, 0, {}, {-1, -1}, {}, {}};

// Async-signal-safe. A process in the background may restore the mode as well: it puts
// back what the terminal had, so SIGTTOU must not stop it on the way out.
void restore_terminal()
{
    if (!con.altered)
        return;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTTOU);
    sigprocmask(SIG_BLOCK, &block, &old);
    tcsetattr(STDIN_FILENO, TCSANOW, &con.saved);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    con.altered = 0;
}

// Async-signal-safe. Non-canonical, no echo; keyboard signals (Ctrl-C, Ctrl-Z) still work.
// TCSANOW keeps a key typed before: it becomes the first key. A background job must not
// take the terminal from the shell that owns it; it gets key mode when brought forward.
// A terminal that is not our controlling one (setsid, a supervisor's pseudo-terminal) has
// no job control to respect: the query fails, and key mode is taken.
void enter_key_mode()
{
    if (!con.stdin_tty || !con.want_key_mode || con.altered)
        return;
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    if (foreground >= 0 && foreground != getpgrp())
        return;
    termios raw = con.saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    con.altered = 1; // before the change: a signal in between restores the saved mode
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        con.altered = 0;
}

void restore_at_exit()
{
    con.want_key_mode = 0;
    restore_terminal();
}

void set_action(int sig, void (*handler)(int, siginfo_t *, void *))
{
    struct sigaction act = {};
    act.sa_sigaction = handler;
    act.sa_flags = SA_SIGINFO | SA_RESTART;
    act.sa_mask = con.taken;
    sigaction(sig, &act, nullptr);
}

void set_default(int sig)
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
}

void unblock(int sig)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Restores the terminal, lets whoever handled the signal before us see it, then dies of it
// as if nobody had caught it, so the parent sees the true cause of death.
void on_signal(int sig, siginfo_t *info, void *context)
{
    const int saved_errno = errno;
    con.want_key_mode = 0;
    restore_terminal();
    if (sig > 0 && sig < NSIG) {
        const struct sigaction &prev = con.previous[sig];
        if (prev.sa_flags & SA_SIGINFO) {
            if (prev.sa_sigaction)
                prev.sa_sigaction(sig, info, context);
        } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
            prev.sa_handler(sig);
        }
    }
    set_default(sig);
    unblock(sig);
    raise(sig);
    errno = saved_errno;
}

// Ctrl-Z: the shell gets its terminal back as it was while the program is stopped. The
// handler in place is put back afterwards: it may be a display's that chains to this one.
void on_stop(int sig, siginfo_t *, void *)
{
    const int saved_errno = errno;
    restore_terminal();
    struct sigaction dfl = {}, in_place;
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, &in_place);
    unblock(sig);
    raise(sig); // stops here until SIGCONT, whose handler puts key mode back
    sigaction(sig, &in_place, nullptr);
    // A group with no shell to return to (an orphan) is not stopped: carry on as before.
    enter_key_mode();
    errno = saved_errno;
}

void on_continue(int, siginfo_t *, void *)
{
    const int saved_errno = errno;
    enter_key_mode();
    errno = saved_errno;
}

// Signals that others catch for their own ends and then go on (timers, profilers, user
// signals): taken only while nobody has. Any other that ends the process is taken always.
bool others_may_use(int sig)
{
    return sig == SIGALRM || sig == SIGVTALRM || sig == SIGPROF || sig == SIGUSR1 ||
           sig == SIGUSR2 || sig == SIGIO || (sig >= SIGRTMIN && sig <= SIGRTMAX);
}

bool ends_process(int sig)
{
    return sig != SIGKILL && sig != SIGSTOP && sig != SIGTSTP && sig != SIGTTIN && sig != SIGTTOU &&
           sig != SIGCONT && sig != SIGCHLD && sig != SIGURG && sig != SIGWINCH;
}

void install_handlers()
{
    // Every signal whose default action ends the process would leave the terminal in key
    // mode, and a shell that does not repair it (dash) without echo.
    sigemptyset(&con.taken);
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction &prev = con.previous[sig];
        if (!ends_process(sig) || sigaction(sig, nullptr, &prev) != 0)
            continue;
        const bool handled = (prev.sa_flags & SA_SIGINFO) || prev.sa_handler != SIG_DFL;
        // A signal ignored when we start (nohup, a background job of a plain shell) stays
        // ignored: the user asked for the program to survive it.
        const bool ignored = !(prev.sa_flags & SA_SIGINFO) && prev.sa_handler == SIG_IGN;
        if (!ignored && !(handled && others_may_use(sig)))
            sigaddset(&con.taken, sig);
    }
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(&con.taken, sig) == 1)
            set_action(sig, on_signal);
    // Stopping and continuing matter only to a terminal, and only where job control
    // stops us by default; a handler someone else put there is left alone.
    struct sigaction prev = {};
    if (!con.stdin_tty || sigaction(SIGTSTP, nullptr, &prev) != 0 || (prev.sa_flags & SA_SIGINFO) ||
        prev.sa_handler != SIG_DFL)
        return;
    set_action(SIGTSTP, on_stop);
    set_action(SIGCONT, on_continue);
}

void open_key_pipe()
{
    if (pipe2(con.key_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        con.key_pipe[0] = con.key_pipe[1] = -1;
        return;
    }
    char value[16];
    std::snprintf(value, sizeof value, "%d", con.key_pipe[1]);
    setenv("ACCEL_KEY_FD", value, 1);
}

// Sources that have a key: bit 0 standard input, bit 1 the window pipe. timeout_ms as
// poll's (-1 waits).
int poll_sources(int timeout_ms)
{
    if (con.input_ended)
        return 1;
    pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {con.key_pipe[0], POLLIN, 0}};
    const int n = con.key_pipe[0] >= 0 ? 2 : 1;
    int r = 0;
    while ((r = poll(p, n, timeout_ms)) < 0 && errno == EINTR) {
    }
    if (r < 0)
        return 0;
    int ready = 0;
    // Hang-up, error or a closed descriptor: input has ended, and that is a key too.
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
        ready |= 1;
    if (n == 2 && (p[1].revents & POLLIN))
        ready |= 2;
    return ready;
}

// One byte of standard input: 0..255, -1 at end of input, -2 when none came in time
// (timeout_ms as poll's).
int next_byte(int timeout_ms)
{
    for (;;) {
        pollfd p = {STDIN_FILENO, POLLIN, 0};
        const int r = poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            return -2;
        unsigned char c = 0;
        const ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got == 1)
            return c;
        if (got < 0 && errno == EINTR)
            continue;
        // Someone else made our input non-blocking: wait for it like a blocking read.
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            !(p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            continue;
        return -1;
    }
}

// The rest of a key that began with an escape: CSI (ESC [ ... final byte), SS3 (ESC O x)
// or ESC followed by one key (Alt+key). A lone ESC is a key by itself.
void consume_escape()
{
    int c = next_byte(FOLLOW_WAIT_MS);
    if (c == '[') {
        for (int i = 0; i < MAX_SEQUENCE; i++) {
            c = next_byte(FOLLOW_WAIT_MS);
            // The Linux console's function keys are ESC [ [ A to ESC [ [ E.
            if (i == 0 && c == '[') {
                next_byte(FOLLOW_WAIT_MS);
                return;
            }
            if (c < 0 || (c >= 0x40 && c <= 0x7e))
                return;
        }
    } else if (c == 'O') {
        next_byte(FOLLOW_WAIT_MS);
    }
}

// The continuation bytes of a UTF-8 character whose first byte is lead.
void consume_utf8(int lead)
{
    const int more = lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : 1;
    for (int i = 0; i < more; i++)
        if (next_byte(FOLLOW_WAIT_MS) < 0)
            return;
}

// A standard descriptor that the program was started without would be the next one
// handed out, to the key pipe or a file, and then be taken for the keyboard or the
// screen. /dev/null there instead: no input is an input that has ended.
void fill_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

} // namespace

void console_open()
{
    if (con.opened)
        return;
    con.opened = true;
    fill_standard_descriptors();
    // The way out is in place before the terminal changes.
    std::atexit(restore_at_exit);
    // The mode to return to is the one we found. A shell that puts a continued job's own
    // mode back (key mode) must not make that the mode we restore at exit.
    con.stdin_tty = tcgetattr(STDIN_FILENO, &con.saved) == 0;
    con.want_key_mode = 1;
    install_handlers();
    enter_key_mode();
    open_key_pipe();
}

int console_key_waiting()
{
    // A job brought from the background to the foreground while running gets no SIGCONT
    // from the shell: look once a frame whether the terminal is ours now.
    if (con.want_key_mode && !con.altered)
        enter_key_mode();
    return poll_sources(0) != 0;
}

int console_read_key()
{
    for (;;) {
        const int ready = poll_sources(-1);
        unsigned char c = 0;
        if ((ready & 2) && read(con.key_pipe[0], &c, 1) == 1)
            return c;
        if (ready & 1)
            break;
    }
    if (con.input_ended)
        return -1;
    const int c = next_byte(-1);
    if (c < 0) {
        con.input_ended = true;
        return -1;
    }
    if (con.stdin_tty) {
        if (c == 0x1b)
            consume_escape();
        else if (c >= 0xc0 && c <= 0xf7)
            consume_utf8(c);
    }
    return c;
}

void console_close()
{
    con.want_key_mode = 0;
    restore_terminal();
}
