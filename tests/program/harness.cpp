// harness.cpp: starts the program on a pseudo-terminal with a pipe for standard error,
// pumps both while waiting, and reads the terminal's mode and leftover input afterwards.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string name_of(const std::string &assignment)
{
    return assignment.substr(0, assignment.find('='));
}

// Our environment less whatever could steer the program or its library from outside the
// test, then the test's own settings.
std::vector<std::string> child_env(const RunSetup &setup)
{
    std::vector<std::string> out;
    for (char **e = environ; *e; e++) {
        const std::string var = *e, name = name_of(var);
        if (name.rfind("ACCEL_", 0) == 0 || name.rfind("RECORD_", 0) == 0 ||
            name == "LD_LIBRARY_PATH")
            continue;
        bool drop = false;
        for (const std::string &u : setup.unset)
            drop = drop || u == name;
        for (const std::string &s : setup.env)
            drop = drop || name_of(s) == name;
        if (!drop)
            out.push_back(var);
    }
    for (const std::string &s : setup.env)
        out.push_back(s);
    return out;
}

void read_some(int fd, std::string *into)
{
    char buf[4096];
    for (;;) {
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) {
            into->append(buf, (size_t)got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return;
    }
}

void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// In the forked child, as a shell would: the program in a process group of its own, put
// in the foreground by itself (so it is there before it looks), and this process waiting
// for it, through stops, then ending the same way. Exec-safe calls only.
[[noreturn]] void run_job(char **argv, char **envp, int tty)
{
    const pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        signal(SIGTTOU, SIG_IGN);
        tcsetpgrp(tty, getpid());
        signal(SIGTTOU, SIG_DFL);
        execve(argv[0], argv, envp);
        _exit(127);
    }
    if (job < 0)
        _exit(125);
    setpgid(job, job);
    signal(SIGINT, SIG_IGN); // the job's keyboard signals are not ours
    signal(SIGHUP, SIG_IGN);
    int status = 0;
    for (;;) {
        if (waitpid(job, &status, WUNTRACED) < 0) {
            if (errno == EINTR)
                continue;
            _exit(124);
        }
        if (WIFEXITED(status))
            _exit(WEXITSTATUS(status));
        if (WIFSIGNALED(status)) {
            signal(WTERMSIG(status), SIG_DFL);
            kill(getpid(), WTERMSIG(status));
            _exit(123);
        }
    }
}

} // namespace

void run_signal_job(ProgramRun *run, int sig)
{
    const pid_t group = tcgetpgrp(run->master);
    if (group > 0)
        kill(-group, sig);
}

std::string make_temp_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/demo-test-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        return "";
    return name.data();
}

void remove_dir(const std::string &dir)
{
    std::error_code ec;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ec);
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool run_start(const RunSetup &setup, ProgramRun *run, std::string *why)
{
    *run = ProgramRun{};
    winsize size = {24, 80, 0, 0};
    if (openpty(&run->master, &run->slave, nullptr, nullptr, &size) != 0) {
        *why = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    fcntl(run->master, F_SETFD, FD_CLOEXEC);
    fcntl(run->slave, F_SETFD, FD_CLOEXEC);
    tcgetattr(run->master, &run->mode_before);
    set_nonblocking(run->master);

    // A key typed before the start is in the terminal once its echo has come back (a
    // control character echoes as ^X, so then any echo will do).
    if (!setup.typed_before.empty()) {
        run_send(run, setup.typed_before);
        const unsigned char last = (unsigned char)setup.typed_before.back();
        const long long end = now_ms() + WAIT_MS;
        while (!(last < 0x20
                     ? !run->term_out.empty()
                     : !run->term_out.empty() && (unsigned char)run->term_out.back() == last) &&
               now_ms() < end) {
            pollfd p = {run->master, POLLIN, 0};
            poll(&p, 1, 50);
            read_some(run->master, &run->term_out);
        }
    }

    int err_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe2(err_pipe, O_CLOEXEC) != 0 ||
        (setup.input == INPUT_PIPE && pipe2(in_pipe, O_CLOEXEC) != 0)) {
        *why = std::string("pipe: ") + std::strerror(errno);
        run_finish(run);
        return false;
    }
    // Everything the child needs is built before fork: only exec-safe calls after it.
    const std::vector<std::string> env = child_env(setup);
    std::vector<char *> envp;
    for (const std::string &s : env)
        envp.push_back(const_cast<char *>(s.c_str()));
    envp.push_back(nullptr);
    std::vector<char *> argv = {const_cast<char *>(setup.exe.c_str())};
    for (const std::string &a : setup.args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const int slave = run->slave;

    signal(SIGPIPE, SIG_IGN); // a program that ended early must not take the test with it
    const pid_t pid = fork();
    if (pid == 0) {
        // As a shell starts a foreground job: default dispositions, nothing blocked.
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        int in = slave;
        if (setup.input == INPUT_PIPE)
            in = in_pipe[0];
        else if (setup.input == INPUT_NULL)
            in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(slave, 1);
        dup2(err_pipe[1], 2);
        if (chdir(setup.dir.c_str()) != 0)
            _exit(126);
        if (setup.address_space) {
            const rlimit lim = {setup.address_space, setup.address_space};
            setrlimit(RLIMIT_AS, &lim);
        }
        if (setup.job_control)
            run_job(argv.data(), envp.data(), slave);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(err_pipe[1]);
    close_fd(&in_pipe[0]);
    run->err_fd = err_pipe[0];
    run->in_fd = in_pipe[1];
    if (pid < 0) {
        *why = std::string("fork: ") + std::strerror(errno);
        run_finish(run);
        return false;
    }
    run->pid = pid;
    set_nonblocking(run->err_fd);
    return true;
}

void run_send(ProgramRun *run, const std::string &bytes)
{
    const int fd = run->in_fd >= 0 ? run->in_fd : run->master;
    size_t done = 0;
    const long long end = now_ms() + WAIT_MS;
    while (done < bytes.size() && now_ms() < end) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += (size_t)n;
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
}

void run_close_input(ProgramRun *run)
{
    close_fd(&run->in_fd);
}

bool run_pump(ProgramRun *run, int ms)
{
    const long long end = now_ms() + ms;
    for (;;) {
        if (!run->exited && run->pid > 0) {
            int status = 0;
            if (waitpid(run->pid, &status, WNOHANG) == run->pid) {
                run->exited = true;
                run->status = status;
            }
        }
        pollfd p[2] = {{run->master, POLLIN, 0}, {run->err_fd, POLLIN, 0}};
        const long long left = end - now_ms();
        poll(p, 2, run->exited || left <= 0 ? 0 : (int)std::min(left, 20LL));
        read_some(run->master, &run->term_out);
        if (run->err_fd >= 0)
            read_some(run->err_fd, &run->err);
        if (run->exited || now_ms() >= end)
            return run->exited;
    }
}

bool run_wait(ProgramRun *run, int timeout_ms)
{
    const bool ended = run_pump(run, timeout_ms);
    if (!ended) {
        run_kill(run, SIGKILL);
        run_pump(run, WAIT_MS);
    }
    // The program has gone; what it wrote last is in the pipes already.
    read_some(run->master, &run->term_out);
    if (run->err_fd >= 0)
        read_some(run->err_fd, &run->err);
    run->mode_after = run_mode(*run);
    return ended;
}

void run_kill(ProgramRun *run, int sig)
{
    if (run->pid > 0 && !run->exited)
        kill(run->pid, sig);
}

termios run_mode(const ProgramRun &run)
{
    termios t = {};
    tcgetattr(run.master, &t);
    return t;
}

bool same_mode(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::string read_terminal_input(ProgramRun *run, int ms)
{
    std::string got;
    const long long end = now_ms() + ms;
    set_nonblocking(run->slave);
    while (now_ms() < end) {
        pollfd p = {run->slave, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            read_some(run->slave, &got);
            if (!got.empty() && got.back() == '\n')
                break;
        }
    }
    return got;
}

void run_finish(ProgramRun *run)
{
    if (run->pid > 0 && !run->exited) {
        kill(run->pid, SIGKILL);
        int status = 0;
        waitpid(run->pid, &status, 0);
        run->exited = true;
    }
    close_fd(&run->master);
    close_fd(&run->slave);
    close_fd(&run->err_fd);
    close_fd(&run->in_fd);
}

ProgramRun run_to_end(const RunSetup &setup, const std::string &keys)
{
    ProgramRun run;
    std::string why;
    if (!run_start(setup, &run, &why)) {
        run.err = "harness: " + why;
        return run;
    }
    if (!keys.empty())
        run_send(&run, keys);
    run_close_input(&run);
    run_wait(&run);
    run_finish(&run);
    return run;
}

bool exited_with(const ProgramRun &run, int code)
{
    return run.exited && WIFEXITED(run.status) && WEXITSTATUS(run.status) == code;
}

bool killed_by(const ProgramRun &run, int sig)
{
    return run.exited && WIFSIGNALED(run.status) && WTERMSIG(run.status) == sig;
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line))
        lines.push_back(line);
    return lines;
}

int count_lines(const std::string &path, const std::string &prefix)
{
    int n = 0;
    for (const std::string &line : read_lines(path))
        n += line.rfind(prefix, 0) == 0;
    return n;
}
