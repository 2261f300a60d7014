// run.h: how every test starts a program: its standard streams on a pseudo-terminal,
// pipes, /dev/null or closed, in a folder and environment of the test's choosing; what it
// writes is collected while the test waits, with a deadline, and how it ended is kept.
// Also the few file chores the tests share, and the settings of the fault shim (shim.cpp).
#pragma once

#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

// Generous: the machine may be loaded; a wait that runs out is a failure, not a skip.
constexpr int WAIT_MS = 30000;

// TERMINAL: the pseudo-terminal, by default the controlling terminal; PIPE: the test
// writes to standard input or reads the output; CLOSED: no such descriptor at all.
enum Stream { TERMINAL, PIPE, DEV_NULL, CLOSED };

struct RunSetup {
    std::string exe = {}; // a path
    std::vector<std::string> args = {};
    std::string dir = {}; // working folder; empty: ours
    // NAME=value sets, NAME alone removes, the last for a name wins; ACCEL_* and SHIM_*
    // of ours are never passed.
    std::vector<std::string> env = {};
    Stream in = TERMINAL, out = TERMINAL, err = PIPE;
    int cols = 80, rows = 24;
    std::string typed_before = {}; // typed on the terminal before the program starts
    bool controlling = true;       // false: the terminal is not its controlling one (setsid)
};

// master: the pseudo-terminal, our side; slave: kept open, so that the mode and leftover
// input can be read after the end; in, out, err: our ends of the pipes; read_terminal
// false: a stalled terminal, nothing is read from it; status: as waitpid gives it.
struct Child {
    pid_t pid = -1;
    int master = -1, slave = -1, in = -1, out = -1, err = -1;
    std::string term, out_text, err_text;
    bool read_terminal = true, ended = false;
    termios mode_before = {};
    int status = 0;
};

long long now_ms();

// A program that cannot be started fails the test (with why) and counts as ended, 127.
Child run_start(const RunSetup &setup);
// Collects output for up to ms; true once the program has ended.
bool run_pump(Child *run, int ms);
// Until text shows in what it wrote (terminal or pipes); false if it ended or time ran out.
bool run_wait_text(Child *run, const std::string &text, int ms = WAIT_MS);
// Waits for the end; on time-out the program is killed (SIGKILL) and false returned.
bool run_wait(Child *run, int ms = WAIT_MS);
void run_send(Child *run, const std::string &bytes); // to the standard input pipe or terminal
void run_kill(Child *run, int sig);
void close_fd(int *fd); // and marks it closed (-1)
// Releases descriptors; kills the program if it still runs.
void run_finish(Child *run);
// The whole run: start, close the input, wait, release.
Child run_to_end(const RunSetup &setup);

// The terminal's mode is not what it was before the start (false once it is gone).
bool mode_changed(const Child &run);
// Its exit status (255 is how -1 reaches the parent), minus the signal that ended it, or
// 1000 while it runs.
int ended_with(const Child &run);

// A folder of its own under the temporary folder.
std::string make_temp_dir();
void remove_dir(const std::string &dir);
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);

// ASAN_OPTIONS as ours, with `more` after them: what a program's sanitizer must take
// otherwise.
std::string asan_options(const std::string &more);
// The settings that preload the shim into a program, reporting to the file report.
std::vector<std::string> shim_env(const std::string &report);
// The shim's count `name` ("shutdowns" or "swaps") in report; -1 when none.
long shim_count(const std::string &report, const std::string &name);
