// test_window.cpp: frames in a desktop window, under a private Xvfb server per test.
// The probe's window is found by its title, read back with XGetImage and compared with
// its known picture; keys go in with xdotool, closes as the window manager sends them.
// The real demo's window is closed, and its X server killed, mid-run: it must end by
// itself, not crash, restore the terminal and shut the board down once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "../common/run.h"
#include "probe_pattern.h"
// Last: Xlib defines None, Bool and Status as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

const char *XVFB = "/usr/bin/Xvfb", *XDOTOOL = "/usr/bin/xdotool";

class DesktopWindow : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (access(XVFB, X_OK) != 0 || access(XDOTOOL, X_OK) != 0)
            GTEST_SKIP() << "Xvfb or xdotool is not installed (tools/install-deps.sh --test)";
        // Xvfb picks a free display number and writes it on its standard output.
        const std::vector<std::string> args = {"-displayfd",   "1",         "-screen", "0",
                                               "1280x1024x24", "-nolisten", "tcp"};
        xvfb_ = run_start({XVFB, args, "", {}, DEV_NULL, PIPE});
        ASSERT_TRUE(run_wait_text(&xvfb_, "\n")) << "Xvfb did not start";
        display_ = "DISPLAY=:" + xvfb_.out_text.substr(0, xvfb_.out_text.find('\n'));
        ASSERT_NE(dpy_ = XOpenDisplay(display_.c_str() + 8), nullptr);
        report_ = make_temp_dir();
    }

    void TearDown() override
    {
        run_finish(&prog_);
        if (dpy_)
            XCloseDisplay(dpy_);
        run_finish(&xvfb_);
        remove_dir(report_);
    }

    // The demo (on a terminal, with the shim counting its shutdowns) or the probe. ASan:
    // SDL_Quit unloads X libraries that still own a few blocks, reported without a name to
    // suppress them by; leaks stay checked everywhere else.
    void start(const std::string &exe, std::vector<std::string> args, const char *boards = "1")
    {
        std::vector<std::string> env = shim_env(report_ + "/report");
        env.back() += ":detect_leaks=0";
        env.insert(env.end(), {display_, "WAYLAND_DISPLAY", "ACCEL_DISPLAY=window",
                               std::string("ACCEL_BOARDS=") + boards});
        demo_ = exe == DEMO_PATH;
        prog_ = run_start({exe, args, ASSETS_DIR, env, demo_ ? TERMINAL : DEV_NULL, PIPE});
    }

    // The window whose title starts with `title`; 0 when none shows in time or the program
    // ends first.
    long wait_window(const std::string &title)
    {
        for (const long long end = now_ms() + WAIT_MS; now_ms() < end && !run_pump(&prog_, 50);) {
            const Child search = run_to_end(
                {XDOTOOL, {"search", "--name", "^" + title}, "", {display_}, DEV_NULL, PIPE});
            if (!search.out_text.empty())
                return std::atol(search.out_text.c_str());
        }
        return 0;
    }

    // The share of the window's pixels off by more than rounding from the probe's frame,
    // bottom row first; 1 while the window is not yet at the frame's size.
    double mismatch(long w)
    {
        XWindowAttributes a;
        XSync(dpy_, False);
        XImage *img = XGetWindowAttributes(dpy_, w, &a) && a.width == PROBE_W && a.height == PROBE_H
                          ? XGetImage(dpy_, w, 0, 0, PROBE_W, PROBE_H, AllPlanes, ZPixmap)
                          : nullptr;
        long bad = 0;
        for (int i = 0; img && i < PROBE_W * PROBE_H * 3; i++) {
            const int x = i / 3 % PROBE_W, y = i / 3 / PROBE_W, c = i % 3;
            bad += std::abs((int)(XGetPixel(img, x, y) >> (16 - 8 * c) & 255) -
                            (int)(probe_pattern(x, PROBE_H - 1 - y) >> 8 * c & 255)) > 2;
        }
        if (img)
            XDestroyImage(img);
        return img ? (double)bad / (PROBE_W * PROBE_H) : 1;
    }

    // What a window manager sends when the user closes the window.
    void send_close(long w)
    {
        XEvent ev = {};
        ev.xclient = {
            ClientMessage, 0, 0, dpy_, (::Window)w, XInternAtom(dpy_, "WM_PROTOCOLS", 0), 32, {}};
        ev.xclient.data.l[0] = (long)XInternAtom(dpy_, "WM_DELETE_WINDOW", False);
        XSendEvent(dpy_, w, False, NoEventMask, &ev);
        XFlush(dpy_);
    }

    // Ended by itself with status 0 (or 1: Xlib's own exit once the server is gone),
    // nothing written, the terminal as it was and, for the demo, the board shut down once.
    void expect_quiet_end(const std::string &what, bool x_gone = false, int boards = 1)
    {
        ASSERT_TRUE(run_wait(&prog_)) << what << " did not end the program";
        EXPECT_EQ(ended_with(prog_), x_gone && ended_with(prog_) == 1 ? 1 : 0) << what;
        EXPECT_EQ(prog_.out_text + prog_.err_text, "") << what;
        EXPECT_FALSE(mode_changed(prog_)) << what;
        EXPECT_TRUE(!demo_ || ended_with(prog_) != 0 ||
                    shim_count(report_ + "/report", "shutdowns") == boards)
            << what << ": not one shutdown";
    }

    std::string display_, report_;
    Child xvfb_, prog_;
    ::Display *dpy_ = nullptr;
    bool demo_ = false;
};

// The probe's window shows the frame pixel for pixel, the frame's last row on top; a key
// press ends the program.
TEST_F(DesktopWindow, ShowsThePictureAndEndsOnAKey)
{
    start(DISPLAY_PROBE, {"window", "7200"});
    const long w = wait_window("accel board 0");
    ASSERT_NE(w, 0) << "no window titled 'accel board 0'";
    double bad = 1;
    for (const long long end = now_ms() + 20000; bad > 0.001 && now_ms() < end;)
        bad = mismatch(w);
    EXPECT_LE(bad, 0.001) << "the window does not show the frame";
    const Child key =
        run_to_end({XDOTOOL, {"key", "--window", std::to_string(w), "q"}, "", {display_}});
    ASSERT_EQ(ended_with(key), 0) << key.err_text;
    expect_quiet_end("a key");
}

// One window per board, titled with the board and, on the one drawn to, the frame rate.
// Closing it, or another program destroying it (a window manager, xdotool windowclose),
// ends the program as a key does, through one shutdown per board.
TEST_F(DesktopWindow, ClosingTheWindowEndsTheDemoLikeAKey)
{
    for (const bool destroy : {false, true}) {
        start(DEMO_PATH, {}, "2");
        ASSERT_NE(wait_window("accel board 0$"), 0) << ended_with(prog_) << prog_.err_text;
        const long w1 = wait_window("accel board 1 - [0-9]+\\.[0-9] fps$");
        ASSERT_NE(w1, 0);
        destroy ? (void)XDestroyWindow(dpy_, (::Window)w1) : send_close(w1);
        XFlush(dpy_);
        expect_quiet_end(destroy ? "destroying the window" : "closing the window", false, 2);
        run_finish(&prog_);
    }
}

// Usually the window's connection breaks first and the program ends through its own end
// (0). SDL holds a second connection whose exit handler cannot be reached; when it breaks
// first, Xlib ends the process with 1 through exit(), whose handlers restore the terminal.
TEST_F(DesktopWindow, KilledXServerEndsTheDemoQuietly)
{
    start(DEMO_PATH, {});
    ASSERT_NE(wait_window("accel board 0"), 0) << ended_with(prog_) << prog_.err_text;
    run_pump(&prog_, 300);
    XCloseDisplay(dpy_);
    dpy_ = nullptr;
    run_kill(&xvfb_, SIGKILL);
    expect_quiet_end("the X server's end", true);
}

// Left to choose, with no desktop and no terminal, the library shows nothing and runs; so
// too with a desktop named but unreachable and no XDG_RUNTIME_DIR, where no library it
// tries may have its say on standard error. (SDL comes up there: leaks go unchecked, as
// in the window tests.)
TEST(WindowWithoutDesktop, NoneIsChosen)
{
    for (const std::vector<std::string> &env :
         {std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY"},
          {"DISPLAY=:4093", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR",
           asan_options("detect_leaks=0")}}) {
        const Child run = run_to_end({DEMO_PATH, {}, ASSETS_DIR, env, DEV_NULL, PIPE});
        EXPECT_EQ(ended_with(run), 0) << env[0];
        EXPECT_EQ(run.out_text + run.err_text, "") << env[0];
    }
}
