// harness.h: runs a program as a user would: in a fresh folder, on a pseudo-terminal (or
// with standard input from a pipe), with chosen environment variables. Collects what it
// writes to the terminal and to standard error apart, and how it ended.
#pragma once

#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

// Generous: the machine may be loaded; a wait that runs out is a failure, not a skip.
constexpr int WAIT_MS = 30000;

enum InputKind {
    INPUT_TERMINAL, // standard input and output are the pseudo-terminal
    INPUT_PIPE,     // standard input is a pipe the test writes to; output still the terminal
    INPUT_NULL,     // standard input is /dev/null
};

struct RunSetup {
    std::string exe;
    std::vector<std::string> args; // after the program's name (the demo takes none)
    std::string dir;               // working folder
    std::vector<std::string> env;  // NAME=value, on top of a clean copy of ours
    std::vector<std::string> unset;
    InputKind input = INPUT_TERMINAL;
    std::string typed_before; // typed on the terminal before the program starts
    // Run as a shell runs a job: in a process group of its own, in the foreground, with a
    // parent in the session, so that Ctrl-Z stops it. The status is relayed.
    bool job_control = false;
    size_t address_space = 0; // a limit on the program's address space, bytes; 0: none
};

struct ProgramRun {
    pid_t pid = -1;
    int master = -1;      // pseudo-terminal, our side
    int slave = -1;       // kept open, to read what the program left in its input
    int err_fd = -1;      // the program's standard error
    int in_fd = -1;       // INPUT_PIPE: the program's standard input
    std::string term_out; // everything written to the terminal (echo included)
    std::string err;
    termios mode_before = {};
    termios mode_after = {}; // once it has ended
    bool exited = false;
    int status = 0; // as waitpid gives it
};

// A folder of its own under the temporary folder; removed by remove_dir.
std::string make_temp_dir();
void remove_dir(const std::string &dir);
void write_file(const std::string &path, const std::string &text);
std::string read_file(const std::string &path);
// Names in a folder, sorted.
std::vector<std::string> list_dir(const std::string &dir);

// False (with why) when the program could not be started.
bool run_start(const RunSetup &setup, ProgramRun *run, std::string *why);
void run_send(ProgramRun *run, const std::string &bytes);
void run_close_input(ProgramRun *run);
// Collects output for up to ms milliseconds; true once the program has ended.
bool run_pump(ProgramRun *run, int ms);
// Waits for the end; on time-out the program is killed and false returned.
bool run_wait(ProgramRun *run, int timeout_ms = WAIT_MS);
void run_kill(ProgramRun *run, int sig);
// Sends sig to the terminal's foreground process group (the job, under job control).
void run_signal_job(ProgramRun *run, int sig);
// The terminal's mode now.
termios run_mode(const ProgramRun &run);
bool same_mode(const termios &a, const termios &b);
// What a read of the program's terminal would now give, waiting up to ms for a line.
std::string read_terminal_input(ProgramRun *run, int ms);
// Releases descriptors; kills the program if it still runs.
void run_finish(ProgramRun *run);

// The whole run in one go: start, send keys, close input, wait, release.
ProgramRun run_to_end(const RunSetup &setup, const std::string &keys = "");

// Exit code 255 is how -1 reaches the parent.
bool exited_with(const ProgramRun &run, int code);
bool killed_by(const ProgramRun &run, int sig);

// Lines of a recorder file that start with prefix.
int count_lines(const std::string &path, const std::string &prefix);
std::vector<std::string> read_lines(const std::string &path);
