// test_program_faults.cpp: the demo meets faults from outside and ends cleanly.
// Runs the real demo on a pseudo-terminal: an allocation that fails, signals at random
// moments, a standard output that breaks or is missing, a terminal that hangs up.
// Clean means: it ends (no hang), not by a crash, and the terminal's mode is as before.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/run.h"
#include "gfx/gfx.h"

namespace
{

const std::string ASSETS = ASSETS_DIR;

// The demo in dir (the shipped assets by default), on a pseudo-terminal.
RunSetup demo_setup(const char *display, const std::string &dir = ASSETS)
{
    RunSetup r;
    r.exe = DEMO_PATH;
    r.dir = dir;
    r.env = {std::string("ACCEL_DISPLAY=") + display, "ACCEL_VSYNC=1", "ACCEL_THREADS=2"};
    return r;
}

// Loads tests/faults' shim (libfault_inject.so) into the demo: it writes to `report`, at
// exit, how many allocations it refused and how many grGlideShutdown calls were made.
void add_shim(RunSetup *r, const std::string &report)
{
    r->env.push_back(std::string("LD_PRELOAD=") + FAULT_INJECT_PATH);
    r->env.push_back("FAULT_REPORT=" + report);
    // A sanitizer's runtime wants to be first in the list of libraries; the shim must come
    // first to see malloc, and hands every other call on to it.
    const char *asan = std::getenv("ASAN_OPTIONS");
    r->env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                     ":verify_asan_link_order=0");
}

Child start(const RunSetup &r)
{
    Child run;
    std::string why;
    EXPECT_TRUE(run_start(r, &run, &why)) << why;
    return run;
}

// Checks shared by every fault: it ended by itself, not by a crash, without a sanitizer's
// report, and put the terminal back as it found it.
void expect_clean_end(const Child &d, const std::string &what)
{
    EXPECT_TRUE(d.ended) << what << ": the demo did not end";
    EXPECT_FALSE(crashed(d)) << what << ": " << describe_end(d) << "\n" << d.err_text;
    EXPECT_EQ(d.err_text.find("Sanitizer"), std::string::npos) << what << ":\n" << d.err_text;
    EXPECT_EQ(d.err_text.find("runtime error:"), std::string::npos) << what << ":\n" << d.err_text;
    if (d.slave >= 0) {
        EXPECT_TRUE(same_mode(d.mode_before, d.mode_after))
            << what << ": the terminal's mode was not restored (" << describe_end(d) << ")";
    }
}

bool exited_0_or_255(const Child &d)
{
    return exited_with(d, 0) || exited_with(d, 255);
}

uint32_t texel_bytes_of(const char *file)
{
    Gu3dfInfo info;
    return gu3dfGetInfo((ASSETS + "/" + file).c_str(), &info) ? info.mem_required : 0;
}

// ---- the staging buffer that cannot be had --------------------------------------------

void run_out_of_memory(const char *texture, int nth, uint32_t bytes)
{
    const std::string dir = make_temp_dir();
    RunSetup r = demo_setup("none");
    add_shim(&r, dir + "/report");
    r.env.push_back("FAULT_MALLOC_SIZE=" + std::to_string(bytes));
    r.env.push_back("FAULT_MALLOC_NTH=" + std::to_string(nth));
    Child d = start(r);
    run_wait(&d);
    const std::string what = std::string("out of memory for ") + texture;
    EXPECT_EQ(d.err_text, "out of memory for texture\n") << what;
    EXPECT_TRUE(exited_with(d, 255)) << what << ": " << describe_end(d);
    expect_clean_end(d, what);
    EXPECT_EQ(read_file(dir + "/report"), "failed 1\nshutdowns 1\n")
        << what << ": one refused allocation and one shutdown";
    run_finish(&d);
    remove_dir(dir);
}

TEST(ProgramFaults, StagingBufferThatCannotBeAllocatedEndsWithItsMessage)
{
    const uint32_t a = texel_bytes_of("quib.3DF"), b = texel_bytes_of("plov1.3DF");
    ASSERT_GT(a, 0u) << "quib.3DF is not a texture file the library reads";
    ASSERT_GT(b, 0u) << "plov1.3DF is not a texture file the library reads";
    run_out_of_memory("quib.3DF", 1, a);
    // The second texture's buffer: the second allocation of that size when both match.
    run_out_of_memory("plov1.3DF", a == b ? 2 : 1, b);
}

// An input file replaced by a FIFO that nobody writes to (which would wait for ever) or a
// folder: one line and the end. obj.dat as a folder is a start-up failure of its own.
TEST(ProgramFaults, InputsThatAreNotFilesEndWithOneLine)
{
    const struct {
        const char *name;
        bool fifo;
    } cases[] = {{"obj.dat", true}, {"quib.3DF", true}, {"plov1.3DF", false}};
    for (const auto &c : cases) {
        const std::string dir = make_temp_dir();
        for (const char *f : {"obj.dat", "quib.3DF", "plov1.3DF"})
            write_file(dir + "/" + f, read_file(ASSETS + "/" + f));
        const std::string odd = dir + "/" + c.name;
        ASSERT_EQ(unlink(odd.c_str()), 0);
        ASSERT_EQ(c.fifo ? mkfifo(odd.c_str(), 0600) : mkdir(odd.c_str(), 0700), 0);
        Child d = start(demo_setup("none", dir));
        const std::string what = std::string(c.name) + (c.fifo ? " as a FIFO" : " as a folder");
        EXPECT_TRUE(run_wait(&d, 20000)) << what << ": the demo waits for ever";
        EXPECT_TRUE(exited_with(d, 255)) << what << ": " << describe_end(d);
        const size_t end = d.err_text.find('\n');
        EXPECT_TRUE(end != std::string::npos && end + 1 == d.err_text.size())
            << what << ": not one line: \"" << d.err_text << "\"";
        expect_clean_end(d, what);
        run_finish(&d);
        remove_dir(dir);
    }
}

// ---- signals ----------------------------------------------------------------------------

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
                Child d = start(demo_setup(display));
                run_pump(&d, delay);
                run_kill(&d, sig);
                run_wait(&d);
                const std::string what = std::string(strsignal(sig)) + " after " +
                                         std::to_string(delay) + " ms, display " + display;
                EXPECT_TRUE(killed_by(d, sig) || exited_0_or_255(d))
                    << what << ": " << describe_end(d) << "\n"
                    << d.err_text;
                expect_clean_end(d, what);
                run_finish(&d);
            }
        }
    }
}

// ---- standard output --------------------------------------------------------------------

// The terminal display draws only on a terminal; a pipe that its reader closes early
// (demo | head -c 10), or no standard output at all, must still leave the keyboard's
// terminal as it was. Either the broken output ends it, or it goes on and a key ends it.
TEST(ProgramFaults, BrokenOrClosedStdoutUnderTheTerminalDisplayEndsCleanly)
{
    for (const Stream out : {PIPE, CLOSED}) {
        RunSetup r = demo_setup("terminal");
        r.out = out;
        Child d = start(r);
        run_pump(&d, 1000);
        if (d.out >= 0)
            close(d.out);
        d.out = -1;
        if (!run_pump(&d, 3000))
            run_send(&d, "q");
        run_wait(&d);
        const std::string what = out == PIPE ? "broken pipe" : "closed standard output";
        EXPECT_TRUE(killed_by(d, SIGPIPE) || exited_0_or_255(d)) << what << ": " << describe_end(d);
        expect_clean_end(d, what);
        run_finish(&d);
    }
}

// A terminal that takes no more output (scroll lock, a stopped terminal emulator) must
// not hold the demo: a key still ends it, and its exit does not wait for the terminal.
TEST(ProgramFaults, StalledTerminalDoesNotHoldTheDemo)
{
    const std::string dir = make_temp_dir();
    RunSetup r = demo_setup("terminal");
    add_shim(&r, dir + "/report");
    Child d = start(r);
    d.read_terminal = false;
    run_pump(&d, 1500); // frames pile up in the terminal until it is full
    run_send(&d, "q");
    EXPECT_TRUE(run_wait(&d)) << "the demo waited for a terminal that takes nothing";
    EXPECT_TRUE(exited_with(d, 0)) << describe_end(d);
    expect_clean_end(d, "stalled terminal");
    EXPECT_EQ(read_file(dir + "/report"), "failed 0\nshutdowns 1\n")
        << "the board was not shut down once";
    run_finish(&d);
    remove_dir(dir);
}

// The terminal window is closed while frames are drawn there: the terminal hangs up.
TEST(ProgramFaults, TerminalThatHangsUpEndsTheDemo)
{
    Child d = start(demo_setup("terminal"));
    run_pump(&d, 500);
    close(d.master);
    d.master = -1;
    close(d.slave); // the last of our hold on it: a true hang-up
    d.slave = -1;
    EXPECT_TRUE(run_wait(&d)) << "still running after its terminal went away";
    expect_clean_end(d, "hang-up");
    run_finish(&d);
}

} // namespace
