// run.cpp: starting a program for a test (see run.h). The child is a session leader;
// when any of its streams is the pseudo-terminal, that is its controlling terminal unless
// the test says not. The test's side reads the terminal and pipes while it waits, so a
// full pipe never stalls it.
#include "run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Appends what fd has now; closes it at its end (or EIO once the terminal has no users).
static void drain(int *fd, std::string *to)
{
    char buf[4096];
    while (*fd >= 0) {
        const ssize_t n = read(*fd, buf, sizeof buf);
        if (n > 0)
            to->append(buf, (size_t)n);
        else if (n < 0 && errno == EAGAIN)
            return;
        else if (n == 0 || errno != EINTR)
            close_fd(fd);
    }
}

// The test's settings, the last for a name winning, then ours less whatever could steer
// the program or its library from outside the test.
static std::vector<std::string> child_env(const RunSetup &setup)
{
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (auto s = setup.env.rbegin(); s != setup.env.rend(); ++s)
        if (seen.insert(s->substr(0, s->find('='))).second && s->find('=') != std::string::npos)
            out.push_back(*s);
    for (char **e = environ; *e; e++) {
        const std::string var = *e, name = var.substr(0, var.find('='));
        if (!seen.count(name) && name.rfind("ACCEL_", 0) != 0 && name.rfind("SHIM_", 0) != 0)
            out.push_back(var);
    }
    return out;
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Child run_start(const RunSetup &setup)
{
    Child run;
    const Stream streams[3] = {setup.in, setup.out, setup.err};
    int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    bool ok = true;
    if (std::count(streams, streams + 3, TERMINAL) > 0) {
        run.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        const char *name =
            grantpt(run.master) || unlockpt(run.master) ? nullptr : ptsname(run.master);
        run.slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        const winsize size = {(unsigned short)setup.rows, (unsigned short)setup.cols, 0, 0};
        ok =
            ioctl(run.slave, TIOCSWINSZ, &size) == 0 && tcgetattr(run.slave, &run.mode_before) == 0;
        fcntl(run.master, F_SETFL, O_NONBLOCK);
    }
    for (int k = 0; k < 3; k++)
        ok = ok && (streams[k] != PIPE || pipe2(pipes[k], O_CLOEXEC) == 0);
    // A key typed before the start is in the terminal once its echo has come back (a
    // control character echoes as ^X, so then any echo will do).
    if (ok && !setup.typed_before.empty()) {
        run_send(&run, setup.typed_before);
        const char last = setup.typed_before.back();
        run_wait_text(&run, (unsigned char)last < 0x20 ? "^" : std::string(1, last));
        run.term.clear();
    }
    // Everything the child needs is built before fork: only exec-safe calls after it.
    const std::vector<std::string> env = child_env(setup);
    std::vector<char *> envp, argv = {const_cast<char *>(setup.exe.c_str())};
    for (const std::string &s : env)
        envp.push_back(const_cast<char *>(s.c_str()));
    envp.push_back(nullptr);
    for (const std::string &a : setup.args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    signal(SIGPIPE, SIG_IGN); // a program that ended early must not take the test with it
    run.pid = ok ? fork() : -1;
    if (run.pid == 0) {
        // As a shell starts a foreground job: default dispositions, nothing blocked.
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setsid();
        if (run.slave >= 0 && setup.controlling)
            ioctl(run.slave, TIOCSCTTY, 0);
        int from[3];
        for (int k = 0; k < 3; k++)
            from[k] = streams[k] == TERMINAL   ? run.slave
                      : streams[k] == PIPE     ? pipes[k][k == 0 ? 0 : 1]
                      : streams[k] == DEV_NULL ? open("/dev/null", O_RDWR)
                                               : -1;
        for (int k = 0; k < 3; k++)
            if (from[k] < 0 || dup2(from[k], k) < 0)
                close(k);
        if (!setup.dir.empty() && chdir(setup.dir.c_str()) != 0)
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int *ours[3] = {&run.in, &run.out, &run.err};
    for (int k = 0; k < 3; k++) {
        close_fd(&pipes[k][k == 0 ? 0 : 1]);
        *ours[k] = pipes[k][k == 0 ? 1 : 0];
        fcntl(*ours[k], F_SETFL, O_NONBLOCK * (k > 0));
    }
    if (run.pid < 0) {
        ADD_FAILURE() << setup.exe << " cannot be started: " << std::strerror(errno);
        run_finish(&run);
        run.ended = true, run.status = 127 << 8;
    }
    return run;
}

bool run_pump(Child *run, int ms)
{
    const long long end = now_ms() + ms;
    for (;;) {
        if (!run->ended && run->pid > 0 && waitpid(run->pid, &run->status, WNOHANG) == run->pid)
            run->ended = true;
        pollfd p[3];
        int n = 0;
        for (int fd : {run->read_terminal ? run->master : -1, run->out, run->err})
            if (fd >= 0)
                p[n++] = {fd, POLLIN, 0};
        // After the end only what is already there is collected.
        const int wait = run->ended ? 0 : (int)std::clamp(end - now_ms(), 0LL, 20LL);
        poll(p, (nfds_t)n, wait);
        if (run->read_terminal)
            drain(&run->master, &run->term);
        drain(&run->out, &run->out_text);
        drain(&run->err, &run->err_text);
        if (run->ended || now_ms() >= end)
            return run->ended;
    }
}

bool run_wait_text(Child *run, const std::string &text, int ms)
{
    for (const long long end = now_ms() + ms;;) {
        const bool ended = run_pump(run, 20);
        for (const std::string *s : {&run->term, &run->out_text, &run->err_text})
            if (s->find(text) != std::string::npos)
                return true;
        if (ended || now_ms() >= end)
            return false;
    }
}

bool run_wait(Child *run, int ms)
{
    const bool ended = run_pump(run, ms);
    run_kill(run, SIGKILL);
    run_pump(run, WAIT_MS);
    return ended;
}

void run_send(Child *run, const std::string &bytes)
{
    const int fd = run->in >= 0 ? run->in : run->master;
    size_t done = 0;
    for (const long long end = now_ms() + WAIT_MS; fd >= 0 && done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += (size_t)n;
        else if ((n < 0 && errno != EINTR && errno != EAGAIN) || now_ms() >= end)
            return;
    }
}

void run_kill(Child *run, int sig)
{
    if (run->pid > 0 && !run->ended)
        kill(run->pid, sig);
}

void run_finish(Child *run)
{
    run_kill(run, SIGKILL);
    run->ended = run->ended || (run->pid > 0 && waitpid(run->pid, &run->status, 0) == run->pid);
    for (int *fd : {&run->master, &run->slave, &run->in, &run->out, &run->err})
        close_fd(fd);
}

Child run_to_end(const RunSetup &setup)
{
    Child run = run_start(setup);
    close_fd(&run.in);
    run_wait(&run);
    run_finish(&run);
    return run;
}

bool mode_changed(const Child &run)
{
    termios a = {};
    const termios &b = run.mode_before;
    return tcgetattr(run.slave >= 0 ? run.slave : run.master, &a) == 0 &&
           (a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag ||
            a.c_lflag != b.c_lflag || std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) != 0);
}

int ended_with(const Child &run)
{
    return !run.ended              ? 1000
           : WIFEXITED(run.status) ? WEXITSTATUS(run.status)
                                   : -WTERMSIG(run.status);
}

std::string make_temp_dir()
{
    std::string name = (std::filesystem::temp_directory_path() / "accel-test-XXXXXX").string();
    return mkdtemp(name.data()) ? name : "";
}

void remove_dir(const std::string &dir)
{
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string asan_options(const std::string &more)
{
    const char *asan = std::getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":" + more;
}

std::vector<std::string> shim_env(const std::string &report)
{
    // A sanitizer's runtime wants to be first in the list of libraries; the shim must come
    // first to see malloc, and hands every other call on to it.
    return {std::string("LD_PRELOAD=") + SHIM_PATH, "SHIM_REPORT=" + report,
            asan_options("verify_asan_link_order=0")};
}

long shim_count(const std::string &report, const std::string &name)
{
    const std::string text = read_file(report);
    const size_t at = text.find(name + " ");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + name.size() + 1);
}
