// test_program_faults.cpp: the demo on the shipped assets meets faults from outside while
// it draws in the terminal: signals at random moments, a standard output that breaks or
// is missing, a terminal that stalls or hangs up; and a frame dump among planted links or
// without room. It must end (no hang), not by a crash,
// without a sanitizer's report, and with the terminal's mode as it was.
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/run.h"

static Child start(const char *display, Stream out = TERMINAL, const std::string &report = "")
{
    RunSetup r = {.exe = DEMO_PATH, .dir = ASSETS_DIR, .out = out};
    if (!report.empty())
        r.env = shim_env(report);
    r.env.insert(r.env.end(), {std::string("ACCEL_DISPLAY=") + display, "ACCEL_THREADS=2"});
    return run_start(r);
}

// Ended by itself with its own status or the signal's, without a sanitizer's report, the
// terminal as it was.
static void expect_clean_end(Child *d, const std::string &what, int sig)
{
    EXPECT_TRUE(run_wait(d)) << what << ": the demo did not end";
    const int end = ended_with(*d);
    EXPECT_TRUE(end == -sig || end == 0 || end == 255) << what << ": " << end << "\n"
                                                       << d->err_text;
    for (const char *report : {"Sanitizer", "runtime error:"})
        EXPECT_EQ(d->err_text.find(report), std::string::npos) << what << ":\n" << d->err_text;
    EXPECT_FALSE(mode_changed(*d)) << what << ": terminal";
    run_finish(d);
}

// Moments spread over start-up (the first tens of milliseconds) and the frame loop. The
// seed is printed so that a failing moment can be replayed.
TEST(ProgramFaults, SignalsAtRandomMoments)
{
    const unsigned seed = (unsigned)std::random_device{}();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (const char *display : {"none", "terminal"})
        for (int sig : {SIGINT, SIGTERM})
            for (int i = 0; i < 6; i++) {
                const int delay = i == 0 ? 0 : i < 3 ? (int)(rng() % 40) : (int)(rng() % 400);
                Child d = start(display);
                run_pump(&d, delay);
                run_kill(&d, sig);
                const std::string what = std::string(strsignal(sig)) + " after " +
                                         std::to_string(delay) + " ms, display " + display;
                expect_clean_end(&d, what, sig);
            }
}

// Outputs that break while it draws in the terminal: a pipe that its reader closes
// (demo | head -c 10), no standard output at all, a terminal that takes nothing more
// (scroll lock, a stopped emulator) or is closed (a hang-up). Either that ends it, or it
// goes on and a key still ends it, through its one shutdown.
TEST(ProgramFaults, BrokenOutputs)
{
    const char *what[] = {"broken pipe", "closed standard output", "stalled terminal", "hang-up"};
    for (int k = 0; k < 4; k++) {
        const std::string dir = make_temp_dir();
        Child d = start("terminal", k == 0 ? PIPE : k == 1 ? CLOSED : TERMINAL, dir + "/report");
        d.read_terminal = k != 2;
        run_pump(&d, 1000);
        if (k == 3) // our last hold on the terminal: a true hang-up
            close_fd(&d.master), close_fd(&d.slave);
        else if (k < 2)
            close_fd(&d.out);
        if (k != 3 && !run_pump(&d, 1000))
            run_send(&d, "q");
        expect_clean_end(&d, what[k], k == 3 ? SIGHUP : SIGPIPE);
        EXPECT_TRUE(ended_with(d) == 0 ? shim_count(dir + "/report", "shutdowns") == 1 : k != 2)
            << what[k] << ": not ended by the key through one shutdown";
        remove_dir(dir);
    }
}

// Links planted in the dump folder under the next frames' names (a shared folder) are
// replaced, never followed. With no room for a frame (a file size limit stands in for a
// full disk) no part of it is left, one line says which and why, no more are tried, and
// the run goes on to its key.
TEST(ProgramFaults, DumpFollowsNoLinkAndLeavesNoPart)
{
    for (const bool full : {false, true}) {
        const std::string dir = make_temp_dir(), dump = dir + "/dump",
                          next = dump + "/board0-frame";
        mkdir(dump.c_str(), 0700);
        write_file(dir + "/victim", "victim");
        EXPECT_EQ(symlink((dir + "/victim").c_str(), (next + "000000.png").c_str()) |
                      symlink((dir + "/made").c_str(), (next + "000001.png").c_str()),
                  0);
        const std::string limit = full ? "100" : "unlimited";
        Child d = run_start(
            {.exe = "/bin/sh",
             .args = {"-c", "trap '' XFSZ; ulimit -f " + limit + "; exec \"$0\"", DEMO_PATH},
             .dir = ASSETS_DIR,
             .env = {"ACCEL_DISPLAY=none", "ACCEL_DUMP=" + dump}});
        for (const long long end = now_ms() + WAIT_MS;
             now_ms() < end &&
             (full ? d.err_text.empty() : std::filesystem::is_symlink(next + "000001.png"));)
            run_pump(&d, 20);
        run_send(&d, "q");
        expect_clean_end(&d, full ? "a full disk" : "planted links", 0);
        EXPECT_EQ(ended_with(d), 0);
        EXPECT_EQ(d.err_text, full ? "accel: cannot write " + next + "000000.png (" +
                                         std::strerror(EFBIG) + "): no more frames are dumped\n"
                                   : "");
        EXPECT_EQ(read_file(dir + "/victim"), "victim");
        EXPECT_FALSE(std::filesystem::exists(dir + "/made"));
        // Only frames, each a whole PNG file of its own; or, once full, the links alone.
        for (const auto &e : std::filesystem::directory_iterator(dump)) {
            const std::string png = read_file(e.path());
            EXPECT_EQ(e.path().string().rfind(next, 0), 0u) << e.path();
            EXPECT_TRUE(full ? e.is_symlink()
                             : !e.is_symlink() && png.rfind("\x89PNG", 0) == 0 &&
                                   png.rfind("IEND\xae\x42\x60\x82") == png.size() - 8)
                << e.path();
        }
        remove_dir(dir);
    }
}
