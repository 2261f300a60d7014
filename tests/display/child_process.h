// child_process.h: starting the probe (or Xvfb) for the display tests, on plain files or
// on a pseudo-terminal, and waiting for it with a deadline instead of sleeps.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct Child {
    pid_t pid = -1;
    int pty = -1; // master side when started on a pseudo-terminal
};

inline double seconds_now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// env: "NAME=value" sets, "NAME" unsets. The rest of the environment is inherited.
[[noreturn]] inline void exec_child(const std::vector<std::string> &args,
                                    const std::vector<std::string> &env)
{
    for (const std::string &e : env) {
        const size_t eq = e.find('=');
        if (eq == std::string::npos)
            unsetenv(e.c_str());
        else
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Standard output and error go to out_path + ".out" / ".err"; standard input is empty.
inline Child start_on_files(const std::vector<std::string> &args,
                            const std::vector<std::string> &env, const std::string &out_path)
{
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open((out_path + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open((out_path + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        exec_child(args, env);
    }
    return c;
}

// On a new pseudo-terminal of cols x rows: standard input, output and error are its slave.
inline Child start_on_pty(const std::vector<std::string> &args, const std::vector<std::string> &env,
                          int cols, int rows)
{
    Child c;
    winsize ws = {};
    ws.ws_col = (unsigned short)cols;
    ws.ws_row = (unsigned short)rows;
    c.pid = forkpty(&c.pty, nullptr, nullptr, &ws);
    if (c.pid == 0)
        exec_child(args, env);
    return c;
}

// Reads what the pseudo-terminal has for up to `seconds` (at most `limit` bytes when
// limit > 0). False once the slave side is closed (the child is gone).
inline bool read_pty(int pty, std::string *out, double seconds, size_t limit = 0)
{
    const double end = seconds_now() + seconds;
    char buf[65536];
    size_t got = 0;
    for (;;) {
        const double left = end - seconds_now();
        if (left <= 0 || (limit && got >= limit))
            return true;
        pollfd p = {pty, POLLIN, 0};
        if (poll(&p, 1, (int)(left * 1000) + 1) <= 0)
            continue;
        const size_t want = limit ? std::min(sizeof buf, limit - got) : sizeof buf;
        const ssize_t n = read(pty, buf, want);
        if (n > 0) {
            out->append(buf, (size_t)n);
            got += (size_t)n;
        } else if (!(n < 0 && errno == EINTR)) {
            return false; // EIO: no slave left
        }
    }
}

// Waits up to `seconds` for the child; on time out it is killed and false returned.
inline bool wait_child(pid_t pid, double seconds, int *status)
{
    const double end = seconds_now() + seconds;
    while (seconds_now() < end) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
        const timespec ts = {0, 10000000};
        nanosleep(&ts, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    return false;
}

// Reads the child's pseudo-terminal to the end (while it runs) and reaps it.
inline bool finish_on_pty(Child *c, std::string *out, double seconds, int *status)
{
    const double end = seconds_now() + seconds;
    while (seconds_now() < end && read_pty(c->pty, out, 0.05)) {
    }
    const bool ok = wait_child(c->pid, std::max(1.0, end - seconds_now()), status);
    close(c->pty);
    c->pty = -1;
    return ok;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline std::string scratch_dir()
{
    const char *t = std::getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/display-test-XXXXXX";
    return mkdtemp(templ.data()) ? templ : std::string("/tmp");
}
