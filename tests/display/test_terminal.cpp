// test_terminal.cpp: frames in the terminal, watched through a pseudo-terminal.
// What the probe writes is fed to a small terminal model (cursor moves, 24-bit colours,
// the alternate screen), so the tests check the picture the user would see.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "child_process.h"

namespace
{

constexpr uint32_t DEFAULT = 0xff000000u; // the terminal's own colour: never set by SGR
const std::string ENTER = "\x1b[?1049h";
const std::string LEAVE = "\x1b[?1049l";

struct VtCell {
    uint32_t top = DEFAULT, bottom = DEFAULT; // colours of the cell's upper and lower half
    bool written = false;
};

// Just what the terminal display uses; anything else fails the test that meets it.
struct Vt {
    static constexpr int W = 320, H = 120;
    std::vector<VtCell> alt = std::vector<VtCell>(W * H);
    bool alt_on = false, cursor_on = true;
    int x = 0, y = 0;
    uint32_t fg = DEFAULT, bg = DEFAULT;
    int unknown = 0; // sequences or bytes the model does not know
};

void vt_clear(Vt *vt)
{
    std::fill(vt->alt.begin(), vt->alt.end(), VtCell{});
}

void vt_put(Vt *vt, bool half_block)
{
    if (vt->alt_on && vt->x >= 0 && vt->x < Vt::W && vt->y >= 0 && vt->y < Vt::H) {
        VtCell &c = vt->alt[vt->y * Vt::W + vt->x];
        c.top = half_block ? vt->fg : vt->bg;
        c.bottom = vt->bg;
        c.written = true;
    }
    vt->x++;
}

void vt_sgr(Vt *vt, const std::vector<int> &p)
{
    for (size_t i = 0; i < p.size(); i++) {
        if (p[i] == 0)
            vt->fg = vt->bg = DEFAULT;
        else if (p[i] == 39)
            vt->fg = DEFAULT;
        else if (p[i] == 49)
            vt->bg = DEFAULT;
        else if ((p[i] == 38 || p[i] == 48) && i + 4 < p.size() && p[i + 1] == 2) {
            const uint32_t c = (uint32_t)(p[i + 2] << 16 | p[i + 3] << 8 | p[i + 4]);
            (p[i] == 38 ? vt->fg : vt->bg) = c;
            i += 4;
        } else
            vt->unknown++;
    }
}

void vt_csi(Vt *vt, const std::string &params, char final)
{
    if (!params.empty() && params[0] == '?') {
        if (params == "?1049" && (final == 'h' || final == 'l')) {
            vt->alt_on = final == 'h';
            if (vt->alt_on)
                vt_clear(vt);
        } else if (params == "?25" && (final == 'h' || final == 'l'))
            vt->cursor_on = final == 'h';
        else
            vt->unknown++;
        return;
    }
    std::vector<int> p;
    int v = 0;
    bool any = false;
    for (char ch : params) {
        if (ch == ';') {
            p.push_back(any ? v : 0);
            v = 0;
            any = false;
        } else {
            v = v * 10 + (ch - '0');
            any = true;
        }
    }
    p.push_back(any ? v : 0);
    if (final == 'H') {
        vt->y = std::max(p[0], 1) - 1;
        vt->x = (p.size() > 1 ? std::max(p[1], 1) : 1) - 1;
    } else if (final == 'J' && p[0] == 2)
        vt_clear(vt);
    else if (final == 'm')
        vt_sgr(vt, p);
    else
        vt->unknown++;
}

void vt_feed(Vt *vt, const std::string &bytes)
{
    enum { GROUND, ESC, CSI } state = GROUND;
    std::string params;
    for (size_t i = 0; i < bytes.size(); i++) {
        const unsigned char ch = (unsigned char)bytes[i];
        if (ch == 0x18) { // CAN: whatever was begun is dropped
            state = GROUND;
            continue;
        }
        if (state == ESC) {
            state = ch == '[' ? CSI : GROUND;
            params.clear();
        } else if (state == CSI) {
            if (ch >= 0x40 && ch <= 0x7e) {
                vt_csi(vt, params, (char)ch);
                state = GROUND;
            } else
                params += (char)ch;
        } else if (ch == 0x1b)
            state = ESC;
        else if (ch == ' ')
            vt_put(vt, false);
        else if (ch == 0xe2 && i + 2 < bytes.size() && bytes.compare(i, 3, "\xe2\x96\x80") == 0) {
            vt_put(vt, true);
            i += 2;
        } else if (ch == '\r' || ch == '\n') {
            // the probe's own messages, after the picture is gone
        } else if (!vt->alt_on) {
            // text on the main screen: messages
        } else
            vt->unknown++;
    }
}

const VtCell &cell(const Vt &vt, int x, int y)
{
    return vt.alt[y * Vt::W + x];
}

std::vector<std::string> probe_args(std::vector<std::string> extra)
{
    std::vector<std::string> args = {DISPLAY_PROBE};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

const std::vector<std::string> TERMINAL_ENV = {"TERM=xterm-256color", "ACCEL_DISPLAY=terminal",
                                               "ACCEL_DUMP", "DISPLAY", "WAYLAND_DISPLAY"};

// Runs the probe on a cols x rows terminal to its end; returns everything it wrote.
std::string run_on_terminal(std::vector<std::string> extra, int cols, int rows, int *status)
{
    Child c = start_on_pty(probe_args(extra), TERMINAL_ENV, cols, rows);
    std::string out;
    EXPECT_TRUE(finish_on_pty(&c, &out, 60, status)) << "the probe did not end";
    return out;
}

size_t count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        n++;
    return n;
}

// Bytes between entering the alternate screen and leaving it.
size_t picture_bytes(const std::string &out)
{
    const size_t a = out.find(ENTER), b = out.rfind(LEAVE);
    return a == std::string::npos || b == std::string::npos || b < a ? 0 : b - a;
}

} // namespace

// 100 x 30 cells: the 4:3 picture is 80 cells wide (30 rows of two pixels, 60 pixel rows),
// centred, so columns 0-9 and 90-99 are never written.
TEST(Terminal, DrawsThePictureFittedInColourAndRestores)
{
    int status = 0;
    const std::string out =
        run_on_terminal({"pattern", "display=terminal", "frames=20"}, 100, 30, &status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(count(out, ENTER), 1u);
    EXPECT_NE(out.find("\x1b[?25l"), std::string::npos) << "cursor not hidden";
    EXPECT_NE(out.find("38;2;"), std::string::npos);
    EXPECT_NE(out.find("48;2;"), std::string::npos);
    // The way back comes after the last picture byte.
    const size_t leave = out.rfind(LEAVE);
    ASSERT_NE(leave, std::string::npos);
    EXPECT_LT(out.rfind("\xe2\x96\x80"), leave);
    EXPECT_NE(out.find("\x1b[?25h", out.rfind("\x1b[?25l")), std::string::npos);

    Vt vt;
    vt_feed(&vt, out);
    EXPECT_EQ(vt.unknown, 0);
    EXPECT_FALSE(vt.alt_on);
    EXPECT_TRUE(vt.cursor_on);
    EXPECT_EQ(vt.fg, DEFAULT);
    EXPECT_EQ(vt.bg, DEFAULT);
    // Quadrants as the eye sees them: blue | white over red | green; grey band on top.
    EXPECT_EQ(cell(vt, 30, 8).top, 0x0000ffu);
    EXPECT_EQ(cell(vt, 70, 8).top, 0xffffffu);
    EXPECT_EQ(cell(vt, 30, 22).bottom, 0xff0000u);
    EXPECT_EQ(cell(vt, 70, 22).bottom, 0x00ff00u);
    EXPECT_EQ(cell(vt, 50, 0).top, 0x404040u);
    for (int y = 0; y < 30; y++) {
        EXPECT_FALSE(cell(vt, 9, y).written) << "row " << y;
        EXPECT_TRUE(cell(vt, 10, y).written) << "row " << y;
        EXPECT_TRUE(cell(vt, 89, y).written) << "row " << y;
        EXPECT_FALSE(cell(vt, 90, y).written) << "row " << y;
    }

    // A picture that does not change costs nothing after its first frame.
    const std::string one =
        run_on_terminal({"pattern", "display=terminal", "frames=1"}, 100, 30, &status);
    EXPECT_EQ(picture_bytes(one), picture_bytes(out));
}

TEST(Terminal, RedrawsOnlyWhatMovedAndLeavesNoTrail)
{
    int status = 0;
    const std::string still =
        run_on_terminal({"pattern", "display=terminal", "frames=1"}, 100, 30, &status);
    const std::string moving =
        run_on_terminal({"pattern", "display=terminal", "frames=60", "moving=1"}, 100, 30, &status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const size_t full = picture_bytes(still), all = picture_bytes(moving);
    std::printf("first frame %zu bytes, each later one %.0f on average\n", full,
                (all - full) / 59.0);
    EXPECT_LT(all, full + 59 * full / 10) << "a moving square should rewrite a few cells";

    // The square's last place (frame 59: x = 472..535 of 640, 8 pixels a cell) is yellow,
    // and no yellow is left where it was before.
    Vt vt;
    vt_feed(&vt, moving);
    EXPECT_EQ(vt.unknown, 0);
    int yellow = 0;
    for (int y = 0; y < 30; y++)
        for (int x = 0; x < 100; x++) {
            const VtCell &c = cell(vt, x, y);
            for (uint32_t col : {c.top, c.bottom}) {
                const bool is_yellow = col != DEFAULT && (col >> 16) > 100 &&
                                       ((col >> 8) & 255) > 100 && (col & 255) < 100;
                if (is_yellow) {
                    yellow++;
                    EXPECT_TRUE(x >= 10 + 472 / 8 && x <= 10 + 536 / 8) << x << "," << y;
                }
            }
        }
    EXPECT_GT(yellow, 0);
}

TEST(Terminal, FollowsAResize)
{
    Child c = start_on_pty(probe_args({"pattern", "display=terminal", "seconds=2.5"}), TERMINAL_ENV,
                           100, 30);
    std::string out;
    read_pty(c.pty, &out, 0.8);
    winsize ws = {};
    ws.ws_col = 60;
    ws.ws_row = 20;
    ASSERT_EQ(ioctl(c.pty, TIOCSWINSZ, &ws), 0); // the kernel sends SIGWINCH
    const size_t before = out.size();
    int status = 0;
    ASSERT_TRUE(finish_on_pty(&c, &out, 60, &status));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_NE(out.find("\x1b[2J", before), std::string::npos) << "no redraw after the resize";

    // 60 x 20: 53 cells wide (20 * 8 / 3), 19 high, from column 3.
    Vt vt;
    vt_feed(&vt, out);
    EXPECT_EQ(vt.unknown, 0);
    for (int y = 0; y < Vt::H; y++)
        for (int x = 0; x < Vt::W; x++)
            EXPECT_EQ(cell(vt, x, y).written, x >= 3 && x < 56 && y < 19) << x << "," << y;
    EXPECT_EQ(cell(vt, 16, 6).top, 0x0000ffu);
    EXPECT_EQ(cell(vt, 43, 15).bottom, 0x00ff00u);
}

// Every frame changes every cell (10 KB a frame at 200 x 60) and the reader takes 50 KB/s:
// frames are skipped, the loop keeps its pace. The bound is loose: the machine is shared.
TEST(Terminal, SlowReaderDoesNotHoldTheFrameLoopBack)
{
    const std::string dir = scratch_dir(), report = dir + "/frames";
    Child c =
        start_on_pty(probe_args({"board", "seconds=2", "report=" + report}), TERMINAL_ENV, 200, 60);
    std::string out;
    const timespec pause = {0, 20000000};
    while (read_pty(c.pty, &out, 0.02, 1024))
        nanosleep(&pause, nullptr);
    int status = 0;
    ASSERT_TRUE(finish_on_pty(&c, &out, 60, &status));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const long frames = std::atol(read_file(report).c_str());
    std::printf("frames shown in 2 s with a slow reader: %ld (%zu bytes read)\n", frames,
                out.size());
    EXPECT_GE(frames, 60);
    EXPECT_NE(out.rfind(LEAVE), std::string::npos);
    Vt vt;
    vt_feed(&vt, out);
    EXPECT_FALSE(vt.alt_on);
    EXPECT_TRUE(vt.cursor_on);
}

// SIGINT and SIGHUP with a console-like handler installed before (it says so on standard
// error and dies of the signal): the screen is back first, then that handler runs.
// SIGTERM with no handler before: the default action, after the screen is back.
TEST(Terminal, PutsTheTerminalBackOnSignals)
{
    struct Case {
        int sig;
        bool console;
    };
    for (const Case k : {Case{SIGINT, true}, Case{SIGHUP, true}, Case{SIGTERM, false}}) {
        SCOPED_TRACE(strsignal(k.sig));
        Child c =
            start_on_pty(probe_args({"board", "seconds=60", k.console ? "console=1" : "console=0"}),
                         TERMINAL_ENV, 80, 24);
        std::string out;
        const double end = seconds_now() + 30;
        while (out.find("48;2;") == std::string::npos && seconds_now() < end &&
               read_pty(c.pty, &out, 0.05)) {
        }
        ASSERT_NE(out.find(ENTER), std::string::npos);
        kill(c.pid, k.sig);
        int status = 0;
        ASSERT_TRUE(finish_on_pty(&c, &out, 30, &status));
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == k.sig) << status;
        const size_t leave = out.rfind(LEAVE);
        ASSERT_NE(leave, std::string::npos);
        Vt vt;
        vt_feed(&vt, out);
        EXPECT_FALSE(vt.alt_on);
        EXPECT_TRUE(vt.cursor_on);
        EXPECT_EQ(vt.fg, DEFAULT);
        if (k.console) {
            EXPECT_NE(out.find("probe: console handler", leave), std::string::npos);
        }
    }
}

// A message written while the picture is up would vanish with the alternate screen: it
// shows after the way back, and the exit status is the program's.
TEST(Terminal, MessagesWrittenDuringThePictureAreShownAfterIt)
{
    int status = 0;
    const std::string out =
        run_on_terminal({"board", "frames=10", "message=probe: something failed"}, 80, 24, &status);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const size_t leave = out.rfind(LEAVE), message = out.find("probe: something failed");
    ASSERT_NE(leave, std::string::npos);
    ASSERT_NE(message, std::string::npos);
    EXPECT_GT(message, leave);
}
