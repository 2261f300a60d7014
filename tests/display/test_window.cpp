// test_window.cpp: frames in a desktop window, under a private Xvfb server per test.
// The window is found by its title, read back with XGetImage and compared with the
// probe's known picture; keys go in with xdotool, closes as the window manager sends them.
#include <gtest/gtest.h>

#include "../common/xvfb.h"
// After gtest: Xlib defines None and Status as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"
#include "probe_pattern.h"

namespace
{

bool on_path(const std::string &tool)
{
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Sanitizer builds. ASan: SDL_Quit unloads X libraries that still own a few blocks, which
// the leak checker reports without a name to suppress them by (a bare SDL_Init, window,
// SDL_Quit does the same); leaks stay checked everywhere else. TSan: the GL renderer
// brings Mesa's uninstrumented worker threads, so SDL's own software renderer is used;
// libX11's extra unlock after a lost connection is suppressed (tsan.supp).
std::vector<std::string> sanitizer_env()
{
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> env = {std::string("ASAN_OPTIONS=") +
                                    (asan && *asan ? std::string(asan) + ":" : "") +
                                    "detect_leaks=0"};
#if defined(__SANITIZE_THREAD__)
    env.push_back("SDL_RENDER_DRIVER=software");
    env.push_back("SDL_FRAMEBUFFER_ACCELERATION=0");
    const char *tsan = std::getenv("TSAN_OPTIONS");
    env.push_back(std::string("TSAN_OPTIONS=") + (tsan && *tsan ? std::string(tsan) + ":" : "") +
                  "suppressions=" DISPLAY_TSAN_SUPPRESSIONS);
#endif
    return env;
}

struct Rgb {
    int r, g, b;
};

int ignore_x_error(Display *, XErrorEvent *)
{
    return 0;
}

class DesktopWindow : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!on_path("Xvfb"))
            GTEST_SKIP() << "Xvfb is not installed (tools/install-deps.sh --test)";
        dir_ = scratch_dir();
        display_name_ = start_xvfb("1280x1024x24", &xvfb_);
        ASSERT_FALSE(display_name_.empty()) << "Xvfb did not start";
        dpy_ = XOpenDisplay(display_name_.c_str());
        ASSERT_NE(dpy_, nullptr);
        // Windows come and go while the tree is walked (SDL makes short-lived ones): a
        // request on one that has just gone must fail quietly, not end the test process
        // as Xlib's default handler would.
        XSetErrorHandler(ignore_x_error);
    }

    void TearDown() override
    {
        if (dpy_ && xvfb_ > 0)
            XCloseDisplay(dpy_);
        stop_xvfb();
    }

    void stop_xvfb()
    {
        if (xvfb_ > 0) {
            int status;
            kill(xvfb_, SIGTERM);
            wait_child(xvfb_, 30, &status);
            xvfb_ = -1;
        }
    }

    Child start_probe(std::vector<std::string> extra, std::vector<std::string> env = {})
    {
        std::vector<std::string> args = {DISPLAY_PROBE};
        args.insert(args.end(), extra.begin(), extra.end());
        env.insert(env.end(), {"DISPLAY=" + display_name_, "WAYLAND_DISPLAY",
                               "ACCEL_DISPLAY=window", "ACCEL_DUMP"});
        const std::vector<std::string> more = sanitizer_env();
        env.insert(env.end(), more.begin(), more.end());
        return start_on_files(args, env, dir_ + "/probe");
    }

    // Both of the probe's streams: the library writes nothing on them.
    std::string probe_output()
    {
        return read_file(dir_ + "/probe.out") + read_file(dir_ + "/probe.err");
    }

    std::string title(::Window w)
    {
        char *name = nullptr;
        std::string s;
        if (XFetchName(dpy_, w, &name) && name)
            s = name;
        XFree(name);
        return s;
    }

    ::Window find_in(::Window parent, const std::string &prefix)
    {
        ::Window root, up, *kids = nullptr;
        unsigned n = 0;
        ::Window found = 0;
        if (!XQueryTree(dpy_, parent, &root, &up, &kids, &n))
            return 0;
        for (unsigned i = 0; i < n && !found; i++)
            found = title(kids[i]).rfind(prefix, 0) == 0 ? kids[i] : find_in(kids[i], prefix);
        XFree(kids);
        return found;
    }

    ::Window wait_window(const std::string &prefix)
    {
        const double end = seconds_now() + 30;
        while (seconds_now() < end) {
            if (::Window w = find_in(DefaultRootWindow(dpy_), prefix))
                return w;
            const timespec ts = {0, 50000000};
            nanosleep(&ts, nullptr);
        }
        return 0;
    }

    // The window's pixels, top row first.
    std::vector<Rgb> capture(::Window w, int *width, int *height)
    {
        XWindowAttributes a;
        std::vector<Rgb> px;
        XSync(dpy_, False);
        if (!XGetWindowAttributes(dpy_, w, &a))
            return px;
        XImage *img = XGetImage(dpy_, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
        if (!img)
            return px;
        *width = a.width;
        *height = a.height;
        for (int y = 0; y < a.height; y++)
            for (int x = 0; x < a.width; x++) {
                const unsigned long v = XGetPixel(img, x, y);
                px.push_back({(int)((v & img->red_mask) >> 16), (int)((v & img->green_mask) >> 8),
                              (int)(v & img->blue_mask)});
            }
        XDestroyImage(img);
        return px;
    }

    // Pixels of the capture farther than `tolerance` from the probe's frame placed at
    // (x0, y0) with the given scale (1: as is).
    double mismatch(const std::vector<Rgb> &px, int width, int x0, int y0, int pw, int ph,
                    int tolerance)
    {
        std::vector<uint32_t> frame((size_t)PROBE_W * PROBE_H);
        probe_pattern(frame.data(), 0, false);
        long bad = 0, total = 0;
        for (int y = 0; y < ph; y++)
            for (int x = 0; x < pw; x++) {
                // Sample the frame at this pixel's centre; bottom row first in the frame.
                const int fx = (int)((x + 0.5) * PROBE_W / pw),
                          fy = PROBE_H - 1 - (int)((y + 0.5) * PROBE_H / ph);
                const uint32_t want = frame[(size_t)fy * PROBE_W + fx];
                const Rgb &got = px[(size_t)(y0 + y) * width + x0 + x];
                total++;
                if (std::abs(got.r - (int)(want & 255)) > tolerance ||
                    std::abs(got.g - (int)((want >> 8) & 255)) > tolerance ||
                    std::abs(got.b - (int)((want >> 16) & 255)) > tolerance)
                    bad++;
            }
        return total ? (double)bad / total : 1.0;
    }

    void send_close(::Window w)
    {
        XEvent ev = {};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = w;
        ev.xclient.message_type = XInternAtom(dpy_, "WM_PROTOCOLS", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = (long)XInternAtom(dpy_, "WM_DELETE_WINDOW", False);
        ev.xclient.data.l[1] = CurrentTime;
        XSendEvent(dpy_, w, False, NoEventMask, &ev);
        XFlush(dpy_);
    }

    std::string dir_;
    std::string display_name_;
    pid_t xvfb_ = -1;
    ::Display *dpy_ = nullptr;
};

bool black(const Rgb &c)
{
    return c.r < 8 && c.g < 8 && c.b < 8;
}

} // namespace

// At its first size the window shows the frame pixel for pixel (the scale is 1, so even a
// filtering renderer samples texel centres: a tolerance of 2 covers rounding only). Made
// wider or taller, it scales the picture and keeps 4:3 with black bars; the top of the
// picture is the frame's last row. A key press ends the program through its end sequence.
TEST_F(DesktopWindow, ShowsThePictureScaledWithItsAspectKept)
{
    Child c = start_probe({"pattern", "seconds=120"});
    const ::Window w = wait_window("accel board 0");
    ASSERT_NE(w, 0u) << "no window titled 'accel board 0'";

    int width = 0, height = 0;
    double bad = 1;
    for (double end = seconds_now() + 20; bad > 0.001 && seconds_now() < end;) {
        const std::vector<Rgb> px = capture(w, &width, &height);
        if (width == PROBE_W && height == PROBE_H)
            bad = mismatch(px, width, 0, 0, PROBE_W, PROBE_H, 2);
    }
    EXPECT_LE(bad, 0.001) << "the window does not show the frame";

    // 960 x 480: the picture 640 x 480 in the middle, bars of 160 on both sides.
    // 500 x 750: the picture 500 x 375, bars of 187 (and 188) above and below.
    struct Size {
        int w, h, x0, y0, pw, ph;
    };
    for (const Size s : {Size{960, 480, 160, 0, 640, 480}, Size{500, 750, 0, 187, 500, 375}}) {
        XResizeWindow(dpy_, w, s.w, s.h);
        XSync(dpy_, False);
        bool bars = false;
        bad = 1;
        // Scaling blends neighbours at the quadrants' edges: count a pixel wrong only when
        // it is off by more than a blend could make it, and allow the edge rows.
        for (double end = seconds_now() + 20; (bad > 0.03 || !bars) && seconds_now() < end;) {
            const std::vector<Rgb> px = capture(w, &width, &height);
            if (width != s.w || height != s.h)
                continue;
            bad = mismatch(px, width, s.x0, s.y0, s.pw, s.ph, 8);
            const auto at = [&](int x, int y) { return px[(size_t)y * width + x]; };
            bars = s.x0 > 0
                       ? black(at(s.x0 / 2, s.h / 2)) && black(at(s.w - 1 - s.x0 / 2, s.h / 2))
                       : black(at(s.w / 2, s.y0 / 2)) && black(at(s.w / 2, s.h - 1 - s.y0 / 2));
        }
        EXPECT_LE(bad, 0.03) << s.w << "x" << s.h;
        EXPECT_TRUE(bars) << s.w << "x" << s.h;
    }

    if (!on_path("xdotool")) {
        kill(c.pid, SIGTERM);
        int status;
        wait_child(c.pid, 30, &status);
        GTEST_SKIP() << "xdotool is not installed: the key press is not tested";
    }
    const std::string key =
        "DISPLAY=" + display_name_ + " xdotool key --window " + std::to_string(w) + " q";
    ASSERT_EQ(std::system(key.c_str()), 0);
    int status = 0;
    ASSERT_TRUE(wait_child(c.pid, 30, &status)) << "a key did not end the program";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(probe_output(), "");
}

// Through the library's calls: the title names the board and the measured rate, which the
// 60 Hz tick bounds; closing the window ends the program as a key does.
TEST_F(DesktopWindow, TitleShowsTheRateAndClosingEnds)
{
    Child c = start_probe({"board", "seconds=120"});
    const ::Window w = wait_window("accel board 0");
    ASSERT_NE(w, 0u);
    const std::regex with_rate("accel board 0 - ([0-9]+\\.[0-9]) fps");
    std::smatch m;
    std::string t;
    for (double end = seconds_now() + 30; seconds_now() < end;) {
        t = title(w);
        if (std::regex_match(t, m, with_rate))
            break;
        const timespec ts = {0, 100000000};
        nanosleep(&ts, nullptr);
    }
    ASSERT_TRUE(std::regex_match(t, m, with_rate)) << t;
    const double fps = std::atof(m[1].str().c_str());
    std::printf("window title: %s\n", t.c_str());
    EXPECT_GT(fps, 0.0);
    EXPECT_LE(fps, 61.0);

    send_close(w);
    int status = 0;
    ASSERT_TRUE(wait_child(c.pid, 30, &status)) << "closing did not end the program";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(probe_output(), "");
}

TEST_F(DesktopWindow, OneWindowPerBoard)
{
    Child c = start_probe({"board", "seconds=120"}, {"ACCEL_BOARDS=2"});
    const ::Window w0 = wait_window("accel board 0"), w1 = wait_window("accel board 1");
    ASSERT_NE(w0, 0u);
    ASSERT_NE(w1, 0u);
    EXPECT_NE(w0, w1);
    send_close(w1);
    int status = 0;
    ASSERT_TRUE(wait_child(c.pid, 30, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(probe_output(), "");
}

// The desktop going away is a close, not a crash and not a message.
TEST_F(DesktopWindow, DesktopGoingAwayEndsTheProgramQuietly)
{
    Child c = start_probe({"board", "seconds=120"});
    ASSERT_NE(wait_window("accel board 0"), 0u);
    XCloseDisplay(dpy_);
    dpy_ = nullptr;
    stop_xvfb();
    int status = 0;
    ASSERT_TRUE(wait_child(c.pid, 30, &status)) << "the program did not end";
    // Usually the window's connection breaks first and the program ends through its own
    // end (0). SDL holds a second connection whose exit handler cannot be reached; when it
    // breaks first, Xlib ends the process with 1 through exit(), whose handlers restore
    // the terminal. Either is a quiet, clean end; a signal or a hang is not.
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1))
        << status;
    EXPECT_EQ(probe_output(), "");
}

// Asked for a window where there is no desktop, the board does not open; left to choose,
// with no desktop and no terminal, the library shows nothing and runs.
TEST(WindowWithoutDesktop, OpenFailsWhenAskedAndNoneIsChosenOtherwise)
{
    const std::string dir = scratch_dir();
    Child c = start_on_files({DISPLAY_PROBE, "board", "frames=5"},
                             {"DISPLAY", "WAYLAND_DISPLAY", "ACCEL_DISPLAY=window", "ACCEL_DUMP"},
                             dir + "/asked");
    int status = 0;
    ASSERT_TRUE(wait_child(c.pid, 60, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    EXPECT_EQ(read_file(dir + "/asked.err"), "probe: grSstOpen failed for board 0\n");
    EXPECT_EQ(read_file(dir + "/asked.out"), "");

    c = start_on_files({DISPLAY_PROBE, "board", "frames=5"},
                       {"DISPLAY", "WAYLAND_DISPLAY", "ACCEL_DISPLAY", "ACCEL_DUMP"},
                       dir + "/auto");
    ASSERT_TRUE(wait_child(c.pid, 60, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_file(dir + "/auto.err") + read_file(dir + "/auto.out"), "");
}
