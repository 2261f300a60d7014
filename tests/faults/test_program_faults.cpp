// test_program_faults.cpp: the demo meets faults from outside and ends cleanly.
// Runs the real demo on a pseudo-terminal: an allocation that fails, signals at random
// moments and every signal that ends it, a standard output that breaks or is missing, a
// terminal that hangs up, is not the controlling one or is dumb, settings that cannot be
// honoured, a dump folder that fills up or holds planted links.
// Clean means: it ends (no hang), not by a crash, and the terminal's mode is as before.
#include <algorithm>
#include <cerrno>
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

// ---- settings and terminals ------------------------------------------------------------

// A setting that cannot be honoured fails where it is read, with the program's one line
// and, under ACCEL_DEBUG, the library's reason; a key typed at once would end a run that
// went on regardless.
TEST(ProgramFaults, SettingsThatCannotBeHonouredFailWithTheirReason)
{
    const std::string dir = make_temp_dir();
    write_file(dir + "/file", "");
    const struct {
        std::string env, message, reason;
    } cases[] = {
        {"ACCEL_DUMP=" + dir + "/missing", "main: grSstOpen failed for SST#0!\n", "ACCEL_DUMP="},
        {"ACCEL_DUMP=" + dir + "/file", "main: grSstOpen failed for SST#0!\n", "ACCEL_DUMP="},
        {"ACCEL_DUMP=/proc", "main: grSstOpen failed for SST#0!\n", "no file can be made"},
        {"ACCEL_BOARDS=0", "could not allocate memory for Texture\n", "no board is open"},
    };
    for (const auto &c : cases) {
        RunSetup r = demo_setup("none");
        r.env.insert(r.env.end(), {c.env, "ACCEL_DEBUG=1"});
        const Child d = run_to_end(r, "q");
        EXPECT_TRUE(exited_with(d, 255)) << c.env << ": " << describe_end(d);
        const size_t last = d.err_text.rfind('\n', d.err_text.size() - 2) + 1;
        EXPECT_EQ(d.err_text.substr(last), c.message) << c.env << ":\n" << d.err_text;
        EXPECT_NE(d.err_text.find(c.reason), std::string::npos) << c.env << ":\n" << d.err_text;
        expect_clean_end(d, c.env);
    }
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"file"});
    remove_dir(dir);
}

// A key ends the demo on any terminal and nothing reaches it but the picture: on a
// terminal that is not the controlling one (no job control: key mode is taken), and on a
// dumb terminal or none named, where no display is the default.
TEST(ProgramFaults, KeyEndsTheDemoOnEveryKindOfTerminal)
{
    const struct {
        const char *what;
        std::vector<std::string> env;
        bool setsid;
    } cases[] = {
        {"setsid", {"ACCEL_DISPLAY=none"}, true},
        {"TERM=dumb", {"ACCEL_DISPLAY", "TERM=dumb", "DISPLAY", "WAYLAND_DISPLAY"}, false},
        {"no TERM", {"ACCEL_DISPLAY", "TERM", "DISPLAY", "WAYLAND_DISPLAY"}, false},
    };
    for (const auto &c : cases) {
        RunSetup r = demo_setup("none");
        r.env.insert(r.env.end(), c.env.begin(), c.env.end());
        if (c.setsid) {
            r.args = {"-w", r.exe};
            r.exe = "setsid";
        }
        Child d = start(r);
        for (const long long end = now_ms() + 10000;
             now_ms() < end && same_mode(d.mode_before, run_mode(d)) && !run_pump(&d, 20);) {
        }
        EXPECT_FALSE(same_mode(d.mode_before, run_mode(d))) << c.what << ": no key mode";
        run_pump(&d, 300);
        run_send(&d, "q");
        EXPECT_TRUE(run_wait(&d, 10000)) << c.what << ": a key did not end it";
        EXPECT_TRUE(exited_with(d, 0)) << c.what << ": " << describe_end(d);
        EXPECT_EQ(d.term, "") << c.what << ": written to the terminal";
        expect_clean_end(d, c.what);
        run_finish(&d);
    }
}

// ---- every signal that ends it -----------------------------------------------------------

// The terminal as the program found it: the main screen, the cursor shown and plain
// colours after the last picture byte.
bool screen_restored(const std::string &term)
{
    const auto last = [&](const char *s) {
        const size_t at = term.rfind(s);
        return at == std::string::npos ? -1 : (long)at;
    };
    return last("\x1b[?1049l") > last("\x1b[?1049h") && last("\x1b[?25h") > last("\x1b[?25l") &&
           last("\x1b[0m") > last("8;2;");
}

// Until text shows on the terminal after byte `from`; false when time runs out first.
bool wait_after(Child *d, const char *text, size_t from)
{
    for (const long long end = now_ms() + 10000; now_ms() < end; run_pump(d, 20))
        if (d->term.find(text, from) != std::string::npos)
            return true;
    return false;
}

RunSetup terminal_demo()
{
    RunSetup r = demo_setup("terminal");
    r.env.insert(r.env.end(), {"TERM=xterm-256color", "ACCEL_TERMINAL_PIXELS=0"});
    return r;
}

// Beyond the keyboard's and the session's signals (tests above), those of a timer, a user,
// a fault and an abort: the screen and the mode come back, then it dies of the signal.
TEST(ProgramFaults, EverySignalThatEndsItPutsTheTerminalBack)
{
    // A sanitizer would take the fault signal for a fault of its own and report it.
    RunSetup r = terminal_demo();
    const char *asan = std::getenv("ASAN_OPTIONS");
    r.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":handle_segv=0");
    for (const int sig : {SIGUSR1, SIGALRM, SIGSEGV, SIGABRT}) {
        const std::string what = strsignal(sig);
        Child d = start(r);
        ASSERT_TRUE(run_wait_text(&d, "48;2;")) << what << ": no picture";
        run_kill(&d, sig);
        EXPECT_TRUE(run_wait(&d, 10000)) << what;
        EXPECT_TRUE(killed_by(d, sig)) << what << ": " << describe_end(d);
        EXPECT_TRUE(same_mode(d.mode_before, d.mode_after)) << what << ": mode not restored";
        EXPECT_TRUE(screen_restored(d.term)) << what << ": screen not restored";
        run_finish(&d);
    }
}

// Ctrl-Z: while stopped the shell has the terminal as at exit; continued, the picture is
// drawn whole again, and a second Ctrl-Z does the same.
TEST(ProgramFaults, StoppedDemoLeavesTheScreenAndContinuedDrawsItAgain)
{
    RunSetup r = terminal_demo();
    r.job_control = true;
    Child d = start(r);
    ASSERT_TRUE(run_wait_text(&d, "48;2;")) << "no picture";
    for (int stop = 1; stop <= 2; stop++) {
        SCOPED_TRACE("stop " + std::to_string(stop));
        run_send(&d, "\x1a");
        EXPECT_TRUE(wait_after(&d, "\x1b[?1049l", d.term.size())) << "the screen stays";
        run_pump(&d, 300); // stopped: nothing more comes
        EXPECT_TRUE(screen_restored(d.term)) << "the picture stays while stopped";
        EXPECT_TRUE(same_mode(d.mode_before, run_mode(d))) << "key mode while stopped";
        const size_t stopped = d.term.size();
        run_signal_job(&d, SIGCONT);
        ASSERT_TRUE(wait_after(&d, "\x1b[?1049h", stopped)) << "the screen was not taken again";
        // Whole: from the top left cell of the 64 x 24 picture (80 x 24 terminal), a corner
        // that never changes and so would not be drawn again by a redraw of what moved.
        EXPECT_TRUE(wait_after(&d, "\x1b[1;9H", stopped)) << "not drawn whole";
    }
    run_send(&d, "q");
    EXPECT_TRUE(run_wait(&d, 10000));
    EXPECT_TRUE(exited_with(d, 0)) << describe_end(d);
    EXPECT_TRUE(screen_restored(d.term));
    expect_clean_end(d, "Ctrl-Z");
    run_finish(&d);
}

// ---- the frame dump ----------------------------------------------------------------------

// A PNG file with nothing missing: the signature, and the IEND chunk last.
bool whole_png(const std::string &bytes)
{
    return bytes.size() > 20 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0 &&
           bytes.compare(bytes.size() - 12, 8, std::string("\0\0\0\0IEND", 8)) == 0;
}

// Links planted under the next frames' names (in a shared folder) are replaced, never
// followed: their targets keep their bytes, and the frames are whole files of their own.
TEST(ProgramFaults, DumpFollowsNoPlantedLink)
{
    const std::string dir = make_temp_dir(), dump = dir + "/dump";
    ASSERT_EQ(mkdir(dump.c_str(), 0700), 0);
    write_file(dir + "/victim", "victim");
    ASSERT_EQ(symlink((dir + "/victim").c_str(), (dump + "/board0-frame000000.png").c_str()), 0);
    ASSERT_EQ(symlink((dir + "/made").c_str(), (dump + "/board0-frame000001.png").c_str()), 0);
    RunSetup r = demo_setup("none");
    r.env.push_back("ACCEL_DUMP=" + dump);
    Child d = start(r);
    for (const long long end = now_ms() + WAIT_MS; now_ms() < end && list_dir(dump).size() < 4;)
        run_pump(&d, 20);
    run_send(&d, "q");
    EXPECT_TRUE(run_wait(&d));
    EXPECT_TRUE(exited_with(d, 0)) << describe_end(d) << "\n" << d.err_text;
    EXPECT_EQ(read_file(dir + "/victim"), "victim");
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"dump", "victim"}));
    for (const char *name : {"board0-frame000000.png", "board0-frame000001.png"}) {
        struct stat st;
        EXPECT_TRUE(lstat((dump + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) << name;
        EXPECT_TRUE(whole_png(read_file(dump + "/" + name))) << name;
    }
    expect_clean_end(d, "planted links");
    run_finish(&d);
    remove_dir(dir);
}

// No room for a frame (a file size limit stands in for a full disk): no cut-off file, no
// empty ones, one line naming the file and why, and the run goes on to its key.
TEST(ProgramFaults, DumpThatCannotBeWrittenSaysSoOnceAndLeavesNoPart)
{
    const std::string dump = make_temp_dir();
    RunSetup r = demo_setup("none");
    r.env.push_back("ACCEL_DUMP=" + dump);
    r.args = {"-c", "trap '' XFSZ; ulimit -f 100; exec \"$0\"", r.exe};
    r.exe = "/bin/sh";
    Child d = start(r);
    EXPECT_TRUE(run_wait_text(&d, "\n", 10000)) << "nothing said";
    run_pump(&d, 500);
    run_send(&d, "q");
    EXPECT_TRUE(run_wait(&d));
    EXPECT_TRUE(exited_with(d, 0)) << describe_end(d);
    EXPECT_EQ(std::count(d.err_text.begin(), d.err_text.end(), '\n'), 1) << d.err_text;
    EXPECT_NE(d.err_text.find(dump + "/board0-frame000000.png"), std::string::npos) << d.err_text;
    EXPECT_NE(d.err_text.find(std::strerror(EFBIG)), std::string::npos) << d.err_text;
    EXPECT_EQ(list_dir(dump), std::vector<std::string>{});
    expect_clean_end(d, "full dump folder");
    run_finish(&d);
    remove_dir(dump);
}

} // namespace
