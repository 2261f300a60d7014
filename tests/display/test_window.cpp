// test_window.cpp: frames in a desktop window, under a private Xvfb server per test.
// The probe's window is found by its title, read back with XGetImage and compared with
// its known picture; keys go in with xdotool, closes as the window manager sends them.
// The real demo's window is closed, and its X server killed, mid-run: it must end by
// itself, not crash, restore the terminal and shut the board down once.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "../common/run.h"
#include "probe_pattern.h"
// Last: Xlib defines None, Bool and Status as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace
{

// Sanitizer builds. ASan: SDL_Quit unloads X libraries that still own a few blocks, which
// the leak checker reports without a name to suppress them by (a bare SDL_Init, window,
// SDL_Quit does the same); leaks stay checked everywhere else. The fault shim comes
// before ASan's runtime, to see malloc. TSan: the GL renderer brings Mesa's
// uninstrumented worker threads, so SDL's own software renderer is used; libX11's extra
// unlock after a lost connection is suppressed (tsan.supp).
std::vector<std::string> sanitizer_env()
{
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> env = {std::string("ASAN_OPTIONS=") +
                                    (asan && *asan ? std::string(asan) + ":" : "") +
                                    "detect_leaks=0:verify_asan_link_order=0"};
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

bool black(const Rgb &c)
{
    return c.r < 8 && c.g < 8 && c.b < 8;
}

int ignore_x_error(Display *, XErrorEvent *)
{
    return 0;
}

class DesktopWindow : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (find_on_path("Xvfb").empty())
            GTEST_SKIP() << "Xvfb is not installed (tools/install-deps.sh --test)";
        // Xvfb picks a free display number and writes it on its standard output.
        std::string why;
        ASSERT_TRUE(run_start(
            {.exe = "Xvfb",
             .args = {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
             .in = DEV_NULL,
             .out = PIPE,
             .err = DEV_NULL},
            &xvfb_, &why))
            << why;
        ASSERT_TRUE(run_wait_text(&xvfb_, "\n")) << "Xvfb did not start";
        display_ = ":" + xvfb_.out_text.substr(0, xvfb_.out_text.find('\n'));
        dpy_ = XOpenDisplay(display_.c_str());
        ASSERT_NE(dpy_, nullptr);
        // Windows come and go while the tree is walked (SDL makes short-lived ones): a
        // request on one that has just gone must fail quietly, not end the test process
        // as Xlib's default handler would.
        XSetErrorHandler(ignore_x_error);
        report_ = make_temp_dir();
    }

    void TearDown() override
    {
        run_finish(&prog_);
        if (dpy_)
            XCloseDisplay(dpy_);
        stop_xvfb(SIGTERM);
        remove_dir(report_);
    }

    void stop_xvfb(int sig)
    {
        run_kill(&xvfb_, sig);
        run_wait(&xvfb_);
        run_finish(&xvfb_);
    }

    void start(const std::string &exe, std::vector<std::string> args, std::vector<std::string> env,
               Stream in = DEV_NULL)
    {
        env.insert(env.end(), {"DISPLAY=" + display_, "WAYLAND_DISPLAY", "ACCEL_DISPLAY=window"});
        const std::vector<std::string> more = sanitizer_env();
        env.insert(env.end(), more.begin(), more.end());
        std::string why;
        ASSERT_TRUE(run_start(
            {.exe = exe, .args = args, .dir = ASSETS_DIR, .env = env, .in = in, .out = PIPE},
            &prog_, &why))
            << why;
    }

    void start_probe(std::vector<std::string> args, std::vector<std::string> env = {})
    {
        start(DISPLAY_PROBE, args, env);
    }

    // The demo on the shipped assets, with the fault shim counting its shutdowns, and a
    // pseudo-terminal for its keys.
    void start_demo()
    {
        start(DEMO_PATH, {},
              {"ACCEL_VSYNC=1", std::string("LD_PRELOAD=") + FAULT_INJECT_PATH,
               "FAULT_REPORT=" + report_ + "/report"},
              TERMINAL);
    }

    int shutdowns()
    {
        const std::string r = read_file(report_ + "/report");
        return r.empty() ? -1 : std::atoi(r.c_str() + r.find("shutdowns ") + 10);
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

    // Zero when none shows in time or the program ends first.
    ::Window wait_window(const std::string &prefix)
    {
        for (const long long end = now_ms() + WAIT_MS; now_ms() < end;) {
            if (::Window w = find_in(DefaultRootWindow(dpy_), prefix))
                return w;
            if (run_pump(&prog_, 50))
                return 0;
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

    // What a window manager sends when the user closes the window.
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

    // Ended by itself with status 0, nothing written (the library writes nothing) and
    // the terminal, if it had one, as it was.
    void expect_quiet_end(const std::string &what)
    {
        ASSERT_TRUE(run_wait(&prog_)) << what << " did not end the program";
        EXPECT_TRUE(exited_with(prog_, 0)) << what << ": " << describe_end(prog_);
        EXPECT_EQ(prog_.out_text + prog_.err_text, "") << what;
        EXPECT_TRUE(same_mode(prog_.mode_before, prog_.mode_after)) << what;
    }

    std::string display_, report_;
    Child xvfb_, prog_;
    ::Display *dpy_ = nullptr;
};

// The window faults share the desktop; ci-sanitize.sh finds them by this name.
class WindowFaults : public DesktopWindow
{
};

} // namespace

// At its first size the window shows the frame pixel for pixel (the scale is 1, so even a
// filtering renderer samples texel centres: a tolerance of 2 covers rounding only). Made
// wider or taller, it scales the picture and keeps 4:3 with black bars; the top of the
// picture is the frame's last row. A key press ends the program through its end sequence.
TEST_F(DesktopWindow, ShowsThePictureScaledWithItsAspectKept)
{
    start_probe({"pattern", "seconds=120"});
    const ::Window w = wait_window("accel board 0");
    ASSERT_NE(w, 0u) << "no window titled 'accel board 0'";

    int width = 0, height = 0;
    double bad = 1;
    for (const long long end = now_ms() + 20000; bad > 0.001 && now_ms() < end;) {
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
        for (const long long end = now_ms() + 20000; (bad > 0.03 || !bars) && now_ms() < end;) {
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

    if (find_on_path("xdotool").empty())
        GTEST_SKIP() << "xdotool is not installed: the key press is not tested";
    const Child key = run_to_end({.exe = "xdotool",
                                  .args = {"key", "--window", std::to_string(w), "q"},
                                  .env = {"DISPLAY=" + display_},
                                  .in = DEV_NULL,
                                  .out = PIPE});
    ASSERT_TRUE(exited_with(key, 0)) << key.err_text;
    expect_quiet_end("a key");
}

// Through the library's calls: one window per board, titled with the board and, on the
// one drawn to (the last selected), the measured rate, which the 60 Hz tick bounds.
// Closing one ends the program as a key does.
TEST_F(DesktopWindow, OneWindowPerBoardTitledWithItsRate)
{
    start_probe({"board", "seconds=120"}, {"ACCEL_BOARDS=2"});
    const ::Window w0 = wait_window("accel board 0"), w1 = wait_window("accel board 1");
    ASSERT_NE(w0, 0u);
    ASSERT_NE(w1, 0u);
    EXPECT_NE(w0, w1);
    const std::regex with_rate("accel board 1 - ([0-9]+\\.[0-9]) fps");
    std::smatch m;
    std::string t;
    for (const long long end = now_ms() + WAIT_MS; now_ms() < end && !run_pump(&prog_, 100);)
        if (std::regex_match(t = title(w1), m, with_rate))
            break;
    ASSERT_TRUE(std::regex_match(t, m, with_rate)) << t;
    const double fps = std::atof(m[1].str().c_str());
    std::printf("window title: %s\n", t.c_str());
    EXPECT_GT(fps, 0.0);
    EXPECT_LE(fps, 61.0);
    send_close(w1);
    expect_quiet_end("closing");
}

// Left to choose, with no desktop and no terminal, the library shows nothing and runs.
// (Asked for a window there, the board does not open: a start-up failure of the demo.)
// A desktop named but unreachable, without XDG_RUNTIME_DIR, is the same: no dependency
// has its say on standard error on the way. (SDL is brought up there, hence the
// sanitizers' settings of the window tests.)
TEST(WindowWithoutDesktop, NoneIsChosen)
{
    std::vector<std::string> unreachable = sanitizer_env();
    unreachable.insert(unreachable.end(), {"DISPLAY=:4093", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"});
    for (const std::vector<std::string> &env :
         {std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY"}, unreachable}) {
        const Child run = run_to_end({.exe = DISPLAY_PROBE,
                                      .args = {"board", "frames=5"},
                                      .env = env,
                                      .in = DEV_NULL,
                                      .out = PIPE});
        EXPECT_TRUE(exited_with(run, 0)) << env.back() << ": " << describe_end(run);
        EXPECT_EQ(run.out_text + run.err_text, "") << env.back();
    }
}

// Closed as the close button does, or destroyed by another program (a window manager,
// xdotool windowclose): either way the demo ends as by a key.
TEST_F(WindowFaults, ClosingTheWindowEndsTheDemoLikeAKey)
{
    for (const bool destroy : {false, true}) {
        const std::string what = destroy ? "destroying the window" : "closing the window";
        start_demo();
        const ::Window w = wait_window("accel board 0");
        ASSERT_NE(w, 0u) << "no window appeared (" << describe_end(prog_) << ")\n"
                         << prog_.err_text;
        run_pump(&prog_, 300); // a few frames drawn
        if (destroy) {
            XDestroyWindow(dpy_, w);
            XFlush(dpy_);
        } else {
            send_close(w);
        }
        expect_quiet_end(what);
        EXPECT_EQ(shutdowns(), 1) << what << ": the board was not shut down once";
        run_finish(&prog_);
    }
}

// Usually the window's connection breaks first and the program ends through its own end
// (0). SDL holds a second connection whose exit handler cannot be reached; when it breaks
// first, Xlib ends the process with 1 through exit(), whose handlers restore the
// terminal. Either is a quiet, clean end; a signal, a message or a hang is not.
TEST_F(WindowFaults, KilledXServerEndsTheDemoQuietly)
{
    start_demo();
    ASSERT_NE(wait_window("accel board 0"), 0u) << describe_end(prog_) << "\n" << prog_.err_text;
    run_pump(&prog_, 300);
    XCloseDisplay(dpy_);
    dpy_ = nullptr;
    stop_xvfb(SIGKILL);
    ASSERT_TRUE(run_wait(&prog_)) << "still running after its X server died";
    EXPECT_TRUE(exited_with(prog_, 0) || exited_with(prog_, 1)) << describe_end(prog_);
    EXPECT_EQ(prog_.out_text + prog_.err_text, "");
    EXPECT_TRUE(same_mode(prog_.mode_before, prog_.mode_after)) << "the terminal was not restored";
    if (exited_with(prog_, 0)) {
        EXPECT_EQ(shutdowns(), 1) << "ended as by a key, but without one shutdown";
    }
}
