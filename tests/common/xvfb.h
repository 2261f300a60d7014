// xvfb.h: a private virtual X server for tests that open windows.
#pragma once

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

// Starts Xvfb with the given screen ("1024x768x24"), letting it pick a free display
// number, which it writes on the descriptor it is given. Returns ":N", or "" when it did
// not start within 30 s; *pid is the server's process (kill and reap it when done).
inline std::string start_xvfb(const char *screen, pid_t *pid)
{
    int fds[2];
    *pid = -1;
    if (pipe(fds) != 0)
        return "";
    *pid = fork();
    if (*pid == 0) {
        close(fds[0]);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen, "-nolisten", "tcp",
               (char *)nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char ch;
    while (*pid > 0 && std::chrono::steady_clock::now() < end) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            if (read(fds[0], &ch, 1) != 1 || ch == '\n')
                break;
            number += ch;
        }
    }
    close(fds[0]);
    return number.empty() ? "" : ":" + number;
}
