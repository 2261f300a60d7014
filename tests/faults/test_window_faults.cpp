// test_window_faults.cpp: the demo's window closed, and its X server killed, mid-run.
// Runs the real demo with ACCEL_DISPLAY=window on a private Xvfb server and a
// pseudo-terminal for its keys; closes the window as a window manager would, or kills the
// server. Either way the demo must end by itself, not crash, and restore the terminal.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "../common/xvfb.h"
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "faults_run.h"

// Last: Xlib defines None, Bool and Status as macros.
#include <X11/Xlib.h>

namespace
{

bool on_path(const char *program)
{
    const std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

double seconds_now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

class WindowFaults : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!on_path("Xvfb"))
            GTEST_SKIP() << "Xvfb is not installed (tools/install-deps.sh --test): the "
                            "window faults are not tested";
        display = start_xvfb("1024x768x24", &xvfb);
        ASSERT_FALSE(display.empty()) << "Xvfb did not start";
        x = XOpenDisplay(display.c_str());
        ASSERT_NE(x, nullptr);
    }

    void TearDown() override
    {
        if (x)
            XCloseDisplay(x);
        stop_server(SIGTERM);
        remove_tree(report);
    }

    int shutdowns() const { return shutdowns_in(report + "/report"); }

    void stop_server(int sig)
    {
        if (xvfb <= 0)
            return;
        kill(xvfb, sig);
        int status;
        waitpid(xvfb, &status, 0);
        xvfb = -1;
    }

    void start_demo(Demo *d)
    {
        DemoSetup setup;
        setup.dir = ASSETS_DIR;
        setup.env = {"ACCEL_DISPLAY=window", "ACCEL_VSYNC=1", "DISPLAY=" + display};
        report = make_temp_dir();
        ASSERT_FALSE(report.empty());
        add_shim(&setup, FAULT_INJECT_PATH, report + "/report");
        std::string why;
        ASSERT_TRUE(demo_start(setup, d, &why)) << why;
    }

    // The demo's window: the top-level window with a title. Zero if none shows in time.
    Window wait_for_window(Demo *d)
    {
        const double end = seconds_now() + 30;
        while (seconds_now() < end) {
            Window root, parent, *kids = nullptr;
            unsigned n = 0;
            Window found = 0;
            if (XQueryTree(x, DefaultRootWindow(x), &root, &parent, &kids, &n)) {
                for (unsigned i = 0; i < n && !found; i++) {
                    char *name = nullptr;
                    if (XFetchName(x, kids[i], &name) && name)
                        found = kids[i];
                    XFree(name);
                }
                XFree(kids);
            }
            if (found)
                return found;
            if (demo_pump(d, 100))
                return 0; // it ended before showing anything
        }
        return 0;
    }

    // What a window manager sends when the user closes the window.
    void close_window(Window w)
    {
        XEvent ev = {};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = w;
        ev.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = (long)XInternAtom(x, "WM_DELETE_WINDOW", False);
        ev.xclient.data.l[1] = CurrentTime;
        XSendEvent(x, w, False, NoEventMask, &ev);
        XFlush(x);
    }

    std::string display;
    std::string report; // the shim's folder
    pid_t xvfb = -1;
    Display *x = nullptr;
};

bool clean_status(const Demo &d)
{
    return d.ended && !crashed(d);
}

TEST_F(WindowFaults, ClosingTheWindowEndsTheDemoLikeAKey)
{
    Demo d;
    start_demo(&d);
    const Window w = wait_for_window(&d);
    ASSERT_NE(w, 0u) << "no window appeared (" << describe_end(d) << ")\n" << d.errors;
    demo_pump(&d, 300); // a few frames drawn
    close_window(w);
    EXPECT_TRUE(demo_wait(&d)) << "still running after its window was closed";
    EXPECT_TRUE(WIFEXITED(d.status) && WEXITSTATUS(d.status) == 0) << describe_end(d);
    EXPECT_EQ(d.errors, "");
    EXPECT_TRUE(same_mode(d.before, demo_mode(d))) << "the terminal's mode was not restored";
    EXPECT_EQ(shutdowns(), 1) << "the board was not shut down once";
    demo_finish(&d);
}

TEST_F(WindowFaults, KilledXServerEndsTheDemoWithoutACrash)
{
    Demo d;
    start_demo(&d);
    ASSERT_NE(wait_for_window(&d), 0u) << describe_end(d) << "\n" << d.errors;
    demo_pump(&d, 300);
    XCloseDisplay(x);
    x = nullptr;
    stop_server(SIGKILL);
    const bool ended = demo_wait(&d);
    EXPECT_TRUE(ended) << "still running after its X server died";
    EXPECT_TRUE(clean_status(d)) << describe_end(d) << "\n" << d.errors;
    EXPECT_TRUE(same_mode(d.before, demo_mode(d)))
        << "the terminal's mode was not restored (" << describe_end(d) << ")";
    if (WIFEXITED(d.status) && WEXITSTATUS(d.status) == 0) {
        EXPECT_EQ(shutdowns(), 1) << "ended as by a key, but without one shutdown";
    }
    std::printf("note: with its X server gone the demo ended with %s%s%s\n",
                describe_end(d).c_str(), d.errors.empty() ? "" : ", saying: ", d.errors.c_str());
    demo_finish(&d);
}

} // namespace
