// test_terminal.cpp: frames in the terminal, watched through a pseudo-terminal: the
// picture's colours and place (from the escape sequences the probe writes), what is
// redrawn, images where asked for, and the terminal put back on every way out.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/ioctl.h>

#include "../common/run.h"

const std::string ENTER = "\x1b[?1049h", LEAVE = "\x1b[?1049l";

// The probe showing `frames` frames on a cols x rows terminal (all three streams, in the
// assets' folder); symbols whatever terminal the tests run in, unless env says otherwise.
static RunSetup probe(const char *frames, int cols, int rows, std::vector<std::string> env = {})
{
    env.insert(env.begin(), {"TERM=xterm-256color", "ACCEL_DISPLAY=terminal", "DISPLAY",
                             "WAYLAND_DISPLAY", "ACCEL_TERMINAL_PIXELS=0"});
    return {
        DISPLAY_PROBE, {"terminal", frames}, ASSETS_DIR, env, TERMINAL, TERMINAL, TERMINAL, cols,
        rows};
}

static bool once(const std::string &s, const std::string &what)
{
    return s.find(what) != std::string::npos && s.find(what) == s.rfind(what);
}

// Once into the alternate screen; back to the main screen, with the colours reset and
// the cursor shown, after the last of the picture (an image cut short is ended first).
static void expect_restored(const std::string &out)
{
    EXPECT_TRUE(once(out, ENTER));
    const size_t leave = out.rfind("\x18\x1b\\\x1b[0m\x1b[?25h" + LEAVE),
                 block = out.rfind("\xe2\x96");
    EXPECT_NE(leave, std::string::npos) << "the terminal was not put back";
    EXPECT_TRUE(block == std::string::npos || block < leave) << "drawn after the way back";
}

// The columns and rows the cursor is sent to, from `from` on.
static void expect_drawn_in(const std::string &out, size_t from, int x0, int x1, int y1)
{
    const std::regex move("\x1b\\[([0-9]+);([0-9]+)H");
    int moves = 0;
    for (std::sregex_iterator m(out.begin() + (long)from, out.end(), move), end; m != end;
         ++m, moves++) {
        const int row = std::stoi((*m)[1]), col = std::stoi((*m)[2]);
        ASSERT_TRUE(col >= x0 && col <= x1 && row >= 1 && row <= y1) << row << ";" << col;
    }
    EXPECT_GT(moves, 0);
}

// 100 x 30 cells: the 4:3 picture is 80 cells wide (30 rows of two pixels), centred in
// columns 11-90. Its colours are the quadrants' and the grey band's; a still picture costs
// nothing after its first frame. Resized to 60 x 20: 53 cells, columns 4-56, 19 rows.
TEST(Terminal, DrawsThePictureFittedAndOnce)
{
    const std::string out = run_to_end(probe("20", 100, 30)).term;
    expect_restored(out);
    expect_drawn_in(out, 0, 11, 90, 30);
    for (const char *rgb :
         {"2;0;0;255m", "2;255;255;255m", "2;255;0;0m", "2;0;255;0m", "2;64;64;64m"})
        EXPECT_NE(out.find(rgb), std::string::npos) << rgb;
    EXPECT_EQ(out.size(), run_to_end(probe("1", 100, 30)).term.size())
        << "a still picture was drawn again";

    Child run = run_start(probe("150", 100, 30));
    run_pump(&run, 800);
    const winsize ws = {20, 60, 0, 0};
    ASSERT_EQ(ioctl(run.master, TIOCSWINSZ, &ws), 0); // the kernel sends SIGWINCH
    const size_t before = run.term.size();
    ASSERT_TRUE(run_wait(&run));
    run_finish(&run);
    const size_t clear = run.term.find("\x1b[2J", before);
    ASSERT_NE(clear, std::string::npos) << "no redraw after the resize";
    expect_drawn_in(run.term.substr(0, run.term.rfind(LEAVE)), clear, 4, 56, 19);
}

// Images where the terminal draws them: one image, put where the cells would be (the
// 80 x 30 picture of a 100 x 31 terminal, its last row kept free, at column 11), not sent
// again while the picture stays. (A value that names no way: tests/program.)
TEST(Terminal, PixelProtocolsDrawOneImage)
{
    const std::pair<const char *, const char *> protocols[] = {
        {"sixel", "\x1bP"}, {"kitty", "\x1b_Ga=T"}, {"iterm", "\x1b]1337;"}};
    for (const auto &[protocol, image] : protocols) {
        const std::string out =
            run_to_end(probe("5", 100, 31, {std::string("ACCEL_TERMINAL_PIXELS=") + protocol}))
                .term;
        EXPECT_TRUE(once(out, image)) << protocol;
        EXPECT_EQ(out.find("\xe2\x96"), std::string::npos) << protocol << ": cells drawn too";
        EXPECT_NE(out.find("\x1b[1;11H"), std::string::npos) << protocol;
        EXPECT_NE(out.rfind(LEAVE), std::string::npos) << protocol;
    }
}

// The demo in the terminal, ended by a signal (the keyboard's, the session's, a timer's, a
// user's, a fault's, an abort's): the console's handler and the display's, chained, put
// back both the terminal's mode and its screen. Ctrl-Z leaves the screen the same way (no
// shell here to stop the demo for: it goes on at once); the next frame takes the screen
// again and draws it whole, from the top left corner that no redraw of what moved sends.
TEST(Terminal, PutsTheTerminalBackOnSignals)
{
    RunSetup demo = probe("", 80, 24);
    demo.exe = DEMO_PATH;
    demo.args = {};
    demo.env.push_back(asan_options("handle_segv=0")); // the fault signal is the demo's
    for (const int sig :
         {SIGINT, SIGHUP, SIGQUIT, SIGTERM, SIGUSR1, SIGALRM, SIGSEGV, SIGABRT, SIGTSTP}) {
        SCOPED_TRACE(strsignal(sig));
        Child run = run_start(demo);
        ASSERT_TRUE(run_wait_text(&run, "48;2;"));
        for (int stop = 0; sig == SIGTSTP && stop < 2; stop++) {
            run.term.clear();
            run_send(&run, "\x1a");
            ASSERT_TRUE(run_wait_text(&run, LEAVE)) << stop << ": the screen stays";
            // The way back in may come in the same read as the way out.
            run.term.erase(0, run.term.find(LEAVE) + LEAVE.size());
            EXPECT_TRUE(run_wait_text(&run, ENTER) && run_wait_text(&run, "\x1b[1;9H"))
                << stop << ": the picture was not drawn whole again";
        }
        sig == SIGTSTP ? run_send(&run, "q") : run_kill(&run, sig);
        ASSERT_TRUE(run_wait(&run));
        EXPECT_EQ(ended_with(run), sig == SIGTSTP ? 0 : -sig);
        EXPECT_FALSE(mode_changed(run));
        run_finish(&run);
        expect_restored(run.term);
    }
}
