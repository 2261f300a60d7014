// faults_run.h: starts the demo the way a user does, on a pseudo-terminal, with the
// standard output the fault needs (the terminal, a pipe, or none), and watches it end.
// The tests then compare the terminal's mode before and after and how the process ended.
#pragma once

#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

// A wait that runs out means a hang; generous, because the machine may be loaded.
constexpr int END_WAIT_MS = 30000;

enum StdoutKind {
    STDOUT_TERMINAL, // the pseudo-terminal, like standard input
    STDOUT_PIPE,     // a pipe that the test reads and may close
    STDOUT_CLOSED,   // no descriptor 1 at all
};

struct DemoSetup {
    std::string dir;              // working folder: where obj.dat and the textures are
    std::vector<std::string> env; // NAME=value on top of ours (ACCEL_* of ours removed)
    StdoutKind out = STDOUT_TERMINAL;
    bool close_stdin = false; // no descriptor 0 at all (the terminal stays controlling)
};

struct Demo {
    pid_t pid = -1;
    int master = -1;  // the pseudo-terminal, the test's side
    int slave = -1;   // kept open so that the mode can still be read after the end
    int out = -1;     // STDOUT_PIPE: the read end
    int err = -1;     // the program's standard error
    std::string term; // what reached the terminal
    std::string piped;
    std::string errors;
    termios before = {};
    bool ended = false;
    int status = 0;            // as waitpid gives it
    bool read_terminal = true; // false: the terminal is stalled, nothing is read from it
};

bool demo_start(const DemoSetup &setup, Demo *d, std::string *why);
// Collects output for up to ms; true once the demo has ended.
bool demo_pump(Demo *d, int ms);
// Waits up to ms for the end; kills it (SIGKILL) and returns false if it has not ended.
bool demo_wait(Demo *d, int ms = END_WAIT_MS);
// Reads at least n bytes of piped output (or until it ends); false when none came in time.
bool demo_read_piped(Demo *d, size_t n, int ms);
void demo_close_pipe(Demo *d);
void demo_type(Demo *d, const std::string &keys);
// The terminal's mode now.
termios demo_mode(const Demo &d);
bool same_mode(const termios &a, const termios &b);
// Releases everything; kills the demo if it still runs.
void demo_finish(Demo *d);
// "exit status 255", "killed by SIGINT", "running": how the demo ended, for messages.
std::string describe_end(const Demo &d);
// True for signals that mean a crash rather than a request to stop.
bool crashed(const Demo &d);

// Loads tests/faults' shim (libfault_inject.so) into the demo: it writes to `report`, at
// exit, how many allocations it refused and how many grGlideShutdown calls were made.
void add_shim(DemoSetup *setup, const std::string &shim, const std::string &report);
// The report's "shutdowns N" count, or -1 when there is no report.
int shutdowns_in(const std::string &report);

std::string make_temp_dir();
void remove_tree(const std::string &dir);
void copy_file(const std::string &from, const std::string &to);
