// console_probe.cpp: a small program over the console layer alone, for the console tests.
// Reads its mode from argv[1]; writes what it saw to standard output, one line each.
//   keys N  reads N keys and prints the first byte of each ("key 27")
//   pipe    checks the window-key pipe: ACCEL_KEY_FD, its flags, a byte through it
//   chain   a SIGTERM handler installed before the console opens must still run
//   later   a SIGINT handler installed after, chaining to the console's, as a display would
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "console.h"

namespace
{

struct sigaction console_sigint;

void say(const char *text)
{
    if (write(STDOUT_FILENO, text, std::strlen(text)) < 0)
        _exit(3);
}

void earlier_handler(int)
{
    say("earlier handler\n");
}

void later_handler(int sig, siginfo_t *info, void *context)
{
    say("later handler\n");
    if (console_sigint.sa_flags & SA_SIGINFO)
        console_sigint.sa_sigaction(sig, info, context);
}

int check_pipe()
{
    console_open();
    const char *value = std::getenv("ACCEL_KEY_FD");
    if (!value) {
        say("no ACCEL_KEY_FD\n");
        return 1;
    }
    const int fd = std::atoi(value);
    const int fl = fcntl(fd, F_GETFL), fdfl = fcntl(fd, F_GETFD);
    if (fl < 0 || (fl & O_ACCMODE) != O_WRONLY || !(fl & O_NONBLOCK) || !(fdfl & FD_CLOEXEC)) {
        say("write end is not a non-blocking, close-on-exec write descriptor\n");
        return 1;
    }
    if (console_key_waiting()) {
        say("a key waiting before any was sent\n");
        return 1;
    }
    if (write(fd, "w", 1) != 1) {
        say("write to the pipe failed\n");
        return 1;
    }
    if (!console_key_waiting()) {
        say("the window key is not seen as waiting\n");
        return 1;
    }
    if (console_read_key() != 'w') {
        say("the window key read back wrong\n");
        return 1;
    }
    if (console_key_waiting()) {
        say("a key still waiting after it was read\n");
        return 1;
    }
    say("pipe ok\n");
    return 0;
}

void wait_for_signal()
{
    say("ready\n");
    for (;;)
        pause();
}

} // namespace

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "keys") == 0 && argc > 2) {
        const int n = std::atoi(argv[2]);
        console_open();
        say("ready\n");
        for (int i = 0; i < n; i++) {
            char line[32];
            std::snprintf(line, sizeof line, "key %d\n", console_read_key());
            say(line);
        }
        return 0;
    }
    if (std::strcmp(mode, "pipe") == 0)
        return check_pipe();
    if (std::strcmp(mode, "chain") == 0) {
        signal(SIGTERM, earlier_handler);
        console_open();
        wait_for_signal();
    }
    if (std::strcmp(mode, "later") == 0) {
        console_open();
        struct sigaction act = {};
        act.sa_sigaction = later_handler;
        act.sa_flags = SA_SIGINFO;
        sigemptyset(&act.sa_mask);
        sigaction(SIGINT, &act, &console_sigint);
        wait_for_signal();
    }
    say("usage: console_probe keys N | pipe | chain | later\n");
    return 2;
}
