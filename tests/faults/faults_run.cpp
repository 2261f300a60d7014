// faults_run.cpp: the demo on a pseudo-terminal, for the fault tests.
// Reads the demo's terminal, pipe and standard error while it runs; writes keys to it.
// The child is a session leader whose controlling terminal is the pseudo-terminal.
#include "faults_run.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace
{

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Appends what fd has now; closes it at its end.
void drain(int *fd, std::string *to)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = read(*fd, buf, sizeof buf);
        if (n > 0) {
            to->append(buf, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        close_fd(fd); // end of file, or EIO once the terminal's last user has gone
        return;
    }
}

[[noreturn]] void child(const DemoSetup &setup, const char *slave_name, int out_w, int err_w)
{
    setsid();
    const int tty = open(slave_name, O_RDWR); // becomes the controlling terminal
    if (tty < 0)
        _exit(120);
    dup2(tty, 0);
    if (setup.out == STDOUT_TERMINAL)
        dup2(tty, 1);
    else if (setup.out == STDOUT_PIPE)
        dup2(out_w, 1);
    else
        close(1);
    dup2(err_w, 2);
    if (tty > 2)
        close(tty);
    if (setup.close_stdin)
        close(0);
    if (chdir(setup.dir.c_str()) != 0)
        _exit(121);
    std::vector<std::string> env;
    for (char **e = environ; *e; e++) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = name.rfind("ACCEL_", 0) == 0;
        for (const std::string &mine : setup.env)
            replaced = replaced || mine.rfind(name, 0) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    for (const std::string &e : setup.env)
        env.push_back(e);
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    // Whatever the test runner ignores or blocks, the demo starts as from a shell.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT})
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char *argv[] = {(char *)DEMO_PATH, nullptr};
    execve(DEMO_PATH, argv, envp.data());
    _exit(122);
}

} // namespace

bool demo_start(const DemoSetup &setup, Demo *d, std::string *why)
{
    *d = Demo{};
    d->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (d->master < 0 || grantpt(d->master) != 0 || unlockpt(d->master) != 0) {
        *why = "no pseudo-terminal";
        return false;
    }
    const char *name = ptsname(d->master);
    d->slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (d->slave < 0) {
        *why = "cannot open the pseudo-terminal's other side";
        return false;
    }
    const winsize ws = {24, 80, 0, 0};
    ioctl(d->slave, TIOCSWINSZ, &ws);
    tcgetattr(d->slave, &d->before);
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((setup.out == STDOUT_PIPE && pipe2(out, O_CLOEXEC) != 0) || pipe2(err, O_CLOEXEC) != 0) {
        *why = "no pipe";
        return false;
    }
    const std::string slave_name = name;
    d->pid = fork();
    if (d->pid < 0) {
        *why = "fork failed";
        return false;
    }
    if (d->pid == 0)
        child(setup, slave_name.c_str(), out[1], err[1]);
    close_fd(&out[1]);
    close_fd(&err[1]);
    d->out = out[0];
    d->err = err[0];
    for (int fd : {d->master, d->out, d->err})
        if (fd >= 0)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

bool demo_pump(Demo *d, int ms)
{
    const int64_t until = now_ms() + ms;
    for (;;) {
        if (!d->ended) {
            const pid_t r = waitpid(d->pid, &d->status, WNOHANG);
            d->ended = r == d->pid;
        }
        pollfd p[3];
        int n = 0;
        for (int fd : {d->read_terminal ? d->master : -1, d->out, d->err})
            if (fd >= 0)
                p[n++] = {fd, POLLIN, 0};
        const int64_t left = until - now_ms();
        // After the end only what is already buffered is collected.
        const int wait = d->ended ? 0 : (int)std::max<int64_t>(0, std::min<int64_t>(left, 20));
        if (n > 0 && poll(p, n, wait) > 0) {
            if (d->master >= 0 && d->read_terminal)
                drain(&d->master, &d->term);
            if (d->out >= 0)
                drain(&d->out, &d->piped);
            if (d->err >= 0)
                drain(&d->err, &d->errors);
        } else if (n == 0 && !d->ended && left > 0) {
            usleep(20000);
        }
        if (d->ended || now_ms() >= until)
            return d->ended;
    }
}

bool demo_wait(Demo *d, int ms)
{
    if (demo_pump(d, ms))
        return true;
    kill(d->pid, SIGKILL);
    waitpid(d->pid, &d->status, 0);
    d->ended = true;
    return false;
}

bool demo_read_piped(Demo *d, size_t n, int ms)
{
    const int64_t until = now_ms() + ms;
    while (d->piped.size() < n && d->out >= 0 && now_ms() < until)
        if (demo_pump(d, 20))
            break;
    return !d->piped.empty();
}

void demo_close_pipe(Demo *d)
{
    close_fd(&d->out);
}

void demo_type(Demo *d, const std::string &keys)
{
    if (d->master >= 0 && !keys.empty())
        (void)!write(d->master, keys.data(), keys.size());
}

termios demo_mode(const Demo &d)
{
    termios t = {};
    tcgetattr(d.slave, &t);
    return t;
}

bool same_mode(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

void demo_finish(Demo *d)
{
    if (d->pid > 0 && !d->ended) {
        kill(d->pid, SIGKILL);
        waitpid(d->pid, &d->status, 0);
        d->ended = true;
    }
    close_fd(&d->master);
    close_fd(&d->slave);
    close_fd(&d->out);
    close_fd(&d->err);
}

std::string describe_end(const Demo &d)
{
    char text[64];
    if (!d.ended)
        return "running";
    if (WIFEXITED(d.status))
        std::snprintf(text, sizeof text, "exit status %d", WEXITSTATUS(d.status));
    else if (WIFSIGNALED(d.status))
        std::snprintf(text, sizeof text, "killed by signal %d (%s)", WTERMSIG(d.status),
                      strsignal(WTERMSIG(d.status)));
    else
        std::snprintf(text, sizeof text, "status 0x%x", d.status);
    return text;
}

bool crashed(const Demo &d)
{
    if (!d.ended || !WIFSIGNALED(d.status))
        return false;
    const int sig = WTERMSIG(d.status);
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGABRT || sig == SIGFPE || sig == SIGILL ||
           sig == SIGKILL || sig == SIGTRAP || sig == SIGSYS;
}

void add_shim(DemoSetup *setup, const std::string &shim, const std::string &report)
{
    setup->env.push_back("LD_PRELOAD=" + shim);
    setup->env.push_back("FAULT_REPORT=" + report);
    // A sanitizer's runtime wants to be first in the list of libraries; the shim must come
    // first to see malloc, and hands every other call on to it.
    const char *asan = std::getenv("ASAN_OPTIONS");
    setup->env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                         ":verify_asan_link_order=0");
}

int shutdowns_in(const std::string &report)
{
    FILE *f = std::fopen(report.c_str(), "r");
    if (!f)
        return -1;
    int failed = 0, shutdowns = -1;
    if (std::fscanf(f, "failed %d shutdowns %d", &failed, &shutdowns) != 2)
        shutdowns = -1;
    std::fclose(f);
    return shutdowns;
}

std::string make_temp_dir()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/faults-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return "";
    return pattern;
}

void remove_tree(const std::string &dir)
{
    if (dir.empty())
        return;
    nftw(
        dir.c_str(),
        [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void copy_file(const std::string &from, const std::string &to)
{
    FILE *in = std::fopen(from.c_str(), "rb");
    FILE *out = std::fopen(to.c_str(), "wb");
    char buf[65536];
    size_t n = 0;
    while (in && out && (n = std::fread(buf, 1, sizeof buf, in)) > 0)
        std::fwrite(buf, 1, n, out);
    if (in)
        std::fclose(in);
    if (out)
        std::fclose(out);
}
