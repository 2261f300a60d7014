// test_program_faults.cpp: the demo meets faults from outside and ends cleanly.
// Runs the real demo on a pseudo-terminal: an allocation that fails, signals at random
// moments, a standard output that breaks or is missing, a terminal that hangs up.
// Clean means: it ends (no hang), not by a crash, and the terminal's mode is as before.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "faults_run.h"
#include "gfx/gfx.h"

namespace
{

const std::string ASSETS = ASSETS_DIR;

// The sanitizers' own reports, when the demo is built with them.
bool sanitizer_report(const std::string &errors)
{
    return errors.find("Sanitizer") != std::string::npos ||
           errors.find("runtime error:") != std::string::npos;
}

std::vector<std::string> quiet_env(const char *display)
{
    return {std::string("ACCEL_DISPLAY=") + display, "ACCEL_VSYNC=1", "ACCEL_THREADS=2"};
}

// Checks shared by every fault: it ended by itself, not by a crash, and put the terminal
// back as it found it.
void expect_clean_end(Demo *d, const std::string &what)
{
    EXPECT_TRUE(d->ended) << what << ": the demo did not end";
    EXPECT_FALSE(crashed(*d)) << what << ": " << describe_end(*d) << "\n" << d->errors;
    EXPECT_FALSE(sanitizer_report(d->errors)) << what << ":\n" << d->errors;
    if (d->slave >= 0) {
        EXPECT_TRUE(same_mode(d->before, demo_mode(*d)))
            << what << ": the terminal's mode was not restored (" << describe_end(*d) << ")";
    }
}

uint32_t texel_bytes_of(const char *file)
{
    Gu3dfInfo info;
    return gu3dfGetInfo((ASSETS + "/" + file).c_str(), &info) ? info.mem_required : 0;
}

std::string read_all(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// ---- the staging buffer that cannot be had --------------------------------------------

struct OomCase {
    const char *texture;
    int nth; // which allocation of that size fails
};

void run_out_of_memory(const OomCase &c, uint32_t bytes)
{
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    DemoSetup setup;
    setup.dir = ASSETS;
    setup.env = quiet_env("none");
    add_shim(&setup, FAULT_INJECT_PATH, dir + "/report");
    setup.env.push_back("FAULT_MALLOC_SIZE=" + std::to_string(bytes));
    setup.env.push_back("FAULT_MALLOC_NTH=" + std::to_string(c.nth));
    Demo d;
    std::string why;
    ASSERT_TRUE(demo_start(setup, &d, &why)) << why;
    demo_wait(&d);
    const std::string what = std::string("out of memory for ") + c.texture;
    EXPECT_EQ(d.errors, "out of memory for texture\n") << what;
    EXPECT_TRUE(WIFEXITED(d.status) && WEXITSTATUS(d.status) == 255)
        << what << ": " << describe_end(d);
    expect_clean_end(&d, what);
    EXPECT_EQ(read_all(dir + "/report"), "failed 1\nshutdowns 1\n")
        << what << ": one refused allocation and one shutdown";
    demo_finish(&d);
    remove_tree(dir);
}

TEST(ProgramFaults, StagingBufferThatCannotBeAllocatedEndsWithItsMessage)
{
    const uint32_t a = texel_bytes_of("quib.3DF"), b = texel_bytes_of("plov1.3DF");
    ASSERT_GT(a, 0u) << "quib.3DF is not a texture file the library reads";
    ASSERT_GT(b, 0u) << "plov1.3DF is not a texture file the library reads";
    run_out_of_memory({"quib.3DF", 1}, a);
    // The second texture's buffer: the second allocation of that size when both match.
    run_out_of_memory({"plov1.3DF", a == b ? 2 : 1}, b);
}

// ---- input files that are not files -----------------------------------------------------

enum NotAFile { AS_FIFO, AS_FOLDER };

// The program's folder with `name` replaced by a FIFO that nobody writes to, or a folder.
void run_with_odd_file(const char *name, NotAFile kind)
{
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    for (const char *f : {"obj.dat", "quib.3DF", "plov1.3DF"})
        if (std::string(f) != name)
            copy_file(ASSETS + "/" + f, dir + "/" + f);
    const std::string odd = dir + "/" + name;
    ASSERT_EQ(kind == AS_FIFO ? mkfifo(odd.c_str(), 0600) : mkdir(odd.c_str(), 0700), 0);
    DemoSetup setup;
    setup.dir = dir;
    setup.env = quiet_env("none");
    Demo d;
    std::string why;
    ASSERT_TRUE(demo_start(setup, &d, &why)) << why;
    const std::string what = std::string(name) + (kind == AS_FIFO ? " as a FIFO" : " as a folder");
    EXPECT_TRUE(demo_wait(&d, 20000)) << what << ": the demo waits for ever";
    EXPECT_TRUE(WIFEXITED(d.status) && WEXITSTATUS(d.status) == 255)
        << what << ": " << describe_end(d);
    const size_t end = d.errors.find('\n');
    EXPECT_TRUE(end != std::string::npos && end + 1 == d.errors.size())
        << what << ": not one line: \"" << d.errors << "\"";
    expect_clean_end(&d, what);
    demo_finish(&d);
    remove_tree(dir);
}

TEST(ProgramFaults, TextureThatIsNotAFileEndsWithItsMessage)
{
    run_with_odd_file("quib.3DF", AS_FIFO);
    run_with_odd_file("plov1.3DF", AS_FOLDER);
}

TEST(ProgramFaults, MeshThatIsAFolderEndsWithAMessage)
{
    run_with_odd_file("obj.dat", AS_FOLDER);
}

// A FIFO would wait for a writer that never comes: only regular files are read.
TEST(ProgramFaults, MeshThatIsAFifoEndsWithAMessage)
{
    run_with_odd_file("obj.dat", AS_FIFO);
}

// ---- signals ----------------------------------------------------------------------------

void signal_at(int sig, int delay_ms, const char *display)
{
    DemoSetup setup;
    setup.dir = ASSETS;
    setup.env = quiet_env(display);
    Demo d;
    std::string why;
    ASSERT_TRUE(demo_start(setup, &d, &why)) << why;
    demo_pump(&d, delay_ms);
    kill(d.pid, sig);
    demo_wait(&d);
    char what[96];
    std::snprintf(what, sizeof what, "%s after %d ms, display %s", strsignal(sig), delay_ms,
                  display);
    const bool died_of_it = WIFSIGNALED(d.status) && WTERMSIG(d.status) == sig;
    const bool exited =
        WIFEXITED(d.status) && (WEXITSTATUS(d.status) == 0 || WEXITSTATUS(d.status) == 255);
    EXPECT_TRUE(died_of_it || exited) << what << ": " << describe_end(d) << "\n" << d.errors;
    expect_clean_end(&d, what);
    demo_finish(&d);
}

// Moments spread over start-up (the first tens of milliseconds) and the frame loop. The
// seed is printed so that a failing moment can be replayed.
TEST(ProgramFaults, SignalsAtRandomMomentsLeaveTheTerminalAsItWas)
{
    const unsigned seed = (unsigned)std::random_device{}();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (const char *display : {"none", "terminal"}) {
        for (int sig : {SIGINT, SIGTERM}) {
            for (int i = 0; i < 6; i++) {
                const int delay = i == 0 ? 0 : i < 3 ? (int)(rng() % 40) : (int)(rng() % 400);
                signal_at(sig, delay, display);
            }
        }
    }
}

// Ctrl-\ on the terminal: key mode keeps the keyboard's signals, so this one reaches the
// demo too. It may dump core, but not with the terminal left without echo.
TEST(ProgramFaults, QuitKeyLeavesTheTerminalAsItWas)
{
    DemoSetup setup;
    setup.dir = ASSETS;
    setup.env = quiet_env("none");
    Demo d;
    std::string why;
    ASSERT_TRUE(demo_start(setup, &d, &why)) << why;
    demo_pump(&d, 500);
    demo_type(&d, "\x1c"); // the terminal's VQUIT character
    demo_wait(&d);
    EXPECT_TRUE(d.ended);
    EXPECT_TRUE(same_mode(d.before, demo_mode(d)))
        << "the terminal's mode was not restored (" << describe_end(d) << ")";
    demo_finish(&d);
}

// ---- standard output --------------------------------------------------------------------

// The terminal display draws only on a terminal; a pipe that its reader closes early
// (demo | head -c 10) must still leave the keyboard's terminal as it was.
TEST(ProgramFaults, PipedStdoutThatBreaksUnderTheTerminalDisplayEndsCleanly)
{
    DemoSetup setup;
    setup.dir = ASSETS;
    setup.env = quiet_env("terminal");
    setup.out = STDOUT_PIPE;
    Demo d;
    std::string why;
    ASSERT_TRUE(demo_start(setup, &d, &why)) << why;
    demo_read_piped(&d, 10, 1000);
    demo_close_pipe(&d);
    // Either the broken pipe ends it, or it goes on and a key ends it.
    if (!demo_pump(&d, 3000))
        demo_type(&d, "q");
    demo_wait(&d);
    expect_clean_end(&d, "broken pipe");
    demo_finish(&d);
}

// A terminal that takes no more output (scroll lock, a stopped terminal emulator) must
// not hold the demo: a key still ends it, and its exit does not wait for the terminal.
TEST(ProgramFaults, StalledTerminalDoesNotHoldTheDemo)
{
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    DemoSetup setup;
    setup.dir = ASSETS;
    setup.env = quiet_env("terminal");
    add_shim(&setup, FAULT_INJECT_PATH, dir + "/report");
    Demo d;
    std::string why;
    ASSERT_TRUE(demo_start(setup, &d, &why)) << why;
    d.read_terminal = false;
    demo_pump(&d, 1500); // frames pile up in the terminal until it is full
    demo_type(&d, "q");
    EXPECT_TRUE(demo_wait(&d)) << "the demo waited for a terminal that takes nothing";
    EXPECT_TRUE(WIFEXITED(d.status) && WEXITSTATUS(d.status) == 0) << describe_end(d);
    expect_clean_end(&d, "stalled terminal");
    EXPECT_EQ(shutdowns_in(dir + "/report"), 1) << "the board was not shut down once";
    demo_finish(&d);
    remove_tree(dir);
}

TEST(ProgramFaults, ClosedStdoutUnderTheTerminalDisplayEndsCleanly)
{
    DemoSetup setup;
    setup.dir = ASSETS;
    setup.env = quiet_env("terminal");
    setup.out = STDOUT_CLOSED;
    Demo d;
    std::string why;
    ASSERT_TRUE(demo_start(setup, &d, &why)) << why;
    if (!demo_pump(&d, 1000))
        demo_type(&d, "q");
    demo_wait(&d);
    const bool exited =
        WIFEXITED(d.status) && (WEXITSTATUS(d.status) == 0 || WEXITSTATUS(d.status) == 255);
    EXPECT_TRUE(exited) << describe_end(d) << "\n" << d.errors;
    expect_clean_end(&d, "closed standard output");
    demo_finish(&d);
}

// No standard input at all (demo <&-) is an input that has ended: one frame, then the
// end, and the key pipe must not take descriptor 0 and be polled as the keyboard.
TEST(ProgramFaults, ClosedStdinEndsAfterTheFirstFrame)
{
    DemoSetup setup;
    setup.dir = ASSETS;
    setup.env = quiet_env("none");
    setup.close_stdin = true;
    Demo d;
    std::string why;
    ASSERT_TRUE(demo_start(setup, &d, &why)) << why;
    EXPECT_TRUE(demo_wait(&d, 20000)) << "the demo waits for a key that cannot come";
    EXPECT_TRUE(WIFEXITED(d.status) && WEXITSTATUS(d.status) == 0) << describe_end(d);
    expect_clean_end(&d, "closed standard input");
    demo_finish(&d);
}

// The terminal window is closed while frames are drawn there: the terminal hangs up.
TEST(ProgramFaults, TerminalThatHangsUpEndsTheDemo)
{
    DemoSetup setup;
    setup.dir = ASSETS;
    setup.env = quiet_env("terminal");
    Demo d;
    std::string why;
    ASSERT_TRUE(demo_start(setup, &d, &why)) << why;
    demo_pump(&d, 500);
    close(d.master);
    d.master = -1;
    close(d.slave); // the last of our hold on it: a true hang-up
    d.slave = -1;
    EXPECT_TRUE(demo_wait(&d)) << "still running after its terminal went away";
    expect_clean_end(&d, "hang-up");
    demo_finish(&d);
}

} // namespace
