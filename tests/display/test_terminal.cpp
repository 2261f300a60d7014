// test_terminal.cpp: frames in the terminal, watched through a pseudo-terminal.
// What the probe writes is fed to a small terminal model (cursor moves, 24-bit colours,
// block symbols, the alternate screen), so the tests check the picture the user would see.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "../common/run.h"

namespace
{

constexpr uint32_t DEFAULT = 0xff000000u; // the terminal's own colour: never set by SGR
const std::string ENTER = "\x1b[?1049h";
const std::string LEAVE = "\x1b[?1049l";

struct VtCell {
    uint32_t ch = ' ';
    uint32_t fg = DEFAULT, bg = DEFAULT;
    uint32_t top = DEFAULT, bottom = DEFAULT; // colours most of each half shows
    bool written = false;
};

// Whether block element ch (U+2580..U+259F, shades excepted) inks pixel (x, y) of an 8 x 8
// cell, y down. -1: not a symbol the display uses.
int block_covers(uint32_t ch, int x, int y)
{
    // U+2596..U+259F by quadrant: bit 0 upper left, 1 upper right, 2 lower left, 3 lower right.
    constexpr int QUADRANTS[10] = {4, 8, 1, 13, 9, 7, 11, 2, 6, 14};
    if (ch == ' ')
        return 0;
    if (ch == 0x2580)
        return y < 4;
    if (ch >= 0x2581 && ch <= 0x2588)
        return y >= 8 - (int)(ch - 0x2580); // lower eighths up to the full block
    if (ch >= 0x2589 && ch <= 0x258f)
        return x < (int)(0x2590 - ch); // left eighths, seven down to one
    if (ch == 0x2590)
        return x >= 4;
    if (ch == 0x2594)
        return y < 1;
    if (ch == 0x2595)
        return x >= 7;
    if (ch >= 0x2596 && ch <= 0x259f)
        return (QUADRANTS[ch - 0x2596] >> ((x >= 4) + 2 * (y >= 4))) & 1;
    return -1;
}

// The colour the eye sees at pixel (x, y) of a cell, y down.
uint32_t colour_at(const VtCell &c, int x, int y)
{
    return block_covers(c.ch, x, y) == 1 ? c.fg : c.bg;
}

// Just what the terminal display uses; anything else fails the test that meets it.
struct Vt {
    static constexpr int W = 320, H = 120;
    std::vector<VtCell> alt = std::vector<VtCell>(W * H);
    bool alt_on = false, cursor_on = true;
    int x = 0, y = 0;
    uint32_t fg = DEFAULT, bg = DEFAULT;
    int unknown = 0; // sequences or bytes the model does not know
    int images = 0;  // image strings seen
};

void vt_clear(Vt *vt)
{
    std::fill(vt->alt.begin(), vt->alt.end(), VtCell{});
}

void vt_put(Vt *vt, uint32_t ch)
{
    if (block_covers(ch, 0, 0) < 0)
        vt->unknown++;
    else if (vt->alt_on && vt->x >= 0 && vt->x < Vt::W && vt->y >= 0 && vt->y < Vt::H) {
        VtCell &c = vt->alt[vt->y * Vt::W + vt->x];
        c.ch = ch;
        c.fg = vt->fg;
        c.bg = vt->bg;
        int inked[2] = {0, 0};
        for (int y = 0; y < 8; y++)
            for (int x = 0; x < 8; x++)
                inked[y / 4] += block_covers(ch, x, y);
        c.top = inked[0] > 16 ? c.fg : c.bg;
        c.bottom = inked[1] > 16 ? c.fg : c.bg;
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

// Images (DCS sixels, APC kitty, OSC iTerm2) are counted and skipped to their end.
void vt_feed(Vt *vt, const std::string &bytes)
{
    enum { GROUND, ESC, CSI, STRING, STRING_ESC } state = GROUND;
    std::string params;
    for (size_t i = 0; i < bytes.size(); i++) {
        const unsigned char ch = (unsigned char)bytes[i];
        if (ch == 0x18) { // CAN: whatever was begun is dropped
            state = GROUND;
            continue;
        }
        if (state == STRING || state == STRING_ESC) {
            if (ch == 0x07 || (state == STRING_ESC && ch == '\\'))
                state = GROUND;
            else
                state = ch == 0x1b ? STRING_ESC : STRING;
        } else if (state == ESC) {
            state = ch == '[' ? CSI : GROUND;
            if (ch == 'P' || ch == '_' || ch == ']') {
                state = STRING;
                vt->images++;
            }
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
            vt_put(vt, ' ');
        else if ((ch & 0xf0) == 0xe0 && i + 2 < bytes.size()) { // three-byte UTF-8
            vt_put(vt, (ch & 15u) << 12 | (bytes[i + 1] & 63u) << 6 | (bytes[i + 2] & 63u));
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

// Symbols, whatever terminal the tests run in.
const std::vector<std::string> TERMINAL_ENV = {"TERM=xterm-256color", "ACCEL_DISPLAY=terminal",
                                               "DISPLAY", "WAYLAND_DISPLAY",
                                               "ACCEL_TERMINAL_PIXELS=0"};

// The probe on a cols x rows terminal (all three streams), with env after TERMINAL_ENV.
RunSetup probe_setup(std::vector<std::string> args, int cols, int rows,
                     std::vector<std::string> env = {})
{
    env.insert(env.begin(), TERMINAL_ENV.begin(), TERMINAL_ENV.end());
    return {.exe = DISPLAY_PROBE,
            .args = args,
            .env = env,
            .err = TERMINAL,
            .cols = cols,
            .rows = rows};
}

// The probe run to its end; everything it wrote is in .term.
Child on_terminal(std::vector<std::string> args, int cols, int rows,
                  std::vector<std::string> env = {})
{
    const Child run = run_to_end(probe_setup(args, cols, rows, env));
    EXPECT_TRUE(exited_with(run, 0)) << describe_end(run);
    return run;
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

// The terminal as the probe found it: main screen, cursor shown, default colours.
void expect_restored(const Vt &vt)
{
    EXPECT_FALSE(vt.alt_on);
    EXPECT_TRUE(vt.cursor_on);
    EXPECT_EQ(vt.fg, DEFAULT);
    EXPECT_EQ(vt.bg, DEFAULT);
}

} // namespace

// 100 x 30 cells: the 4:3 picture is 80 cells wide (30 rows of two pixels, 60 pixel rows),
// centred, so columns 0-9 and 90-99 are never written.
TEST(Terminal, DrawsThePictureFittedAndRedrawsOnlyWhatMoved)
{
    const std::string out = on_terminal({"pattern", "display=terminal", "frames=20"}, 100, 30).term;
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
    EXPECT_EQ(vt.images, 0);
    expect_restored(vt);
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

    // A picture that does not change costs nothing after its first frame; one that moves
    // costs the cells it moved through, and leaves no trail.
    const std::string still =
        on_terminal({"pattern", "display=terminal", "frames=1"}, 100, 30).term;
    EXPECT_EQ(picture_bytes(still), picture_bytes(out));
    const std::string moving =
        on_terminal({"pattern", "display=terminal", "frames=60", "moving=1"}, 100, 30).term;
    const size_t full = picture_bytes(still), all = picture_bytes(moving);
    std::printf("first frame %zu bytes, each later one %.0f on average\n", full,
                (all - full) / 59.0);
    EXPECT_LT(all, full + 59 * full / 10) << "a moving square should rewrite a few cells";

    // The square's last place (frame 59: x = 472..535 of 640, 8 pixels a cell) is yellow,
    // and no yellow is left where it was before.
    Vt moved;
    vt_feed(&moved, moving);
    EXPECT_EQ(moved.unknown, 0);
    int yellow = 0;
    for (int y = 0; y < 30; y++)
        for (int x = 0; x < 100; x++) {
            const VtCell &c = cell(moved, x, y);
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
    Child run;
    std::string why;
    ASSERT_TRUE(
        run_start(probe_setup({"pattern", "display=terminal", "seconds=2.5"}, 100, 30), &run, &why))
        << why;
    run_pump(&run, 800);
    const winsize ws = {20, 60, 0, 0};
    ASSERT_EQ(ioctl(run.master, TIOCSWINSZ, &ws), 0); // the kernel sends SIGWINCH
    const size_t before = run.term.size();
    ASSERT_TRUE(run_wait(&run));
    run_finish(&run);
    ASSERT_TRUE(exited_with(run, 0)) << describe_end(run);
    ASSERT_NE(run.term.find("\x1b[2J", before), std::string::npos) << "no redraw after the resize";

    // 60 x 20: 53 cells wide (20 * 8 / 3), 19 high, from column 3.
    Vt vt;
    vt_feed(&vt, run.term);
    EXPECT_EQ(vt.unknown, 0);
    for (int y = 0; y < Vt::H; y++)
        for (int x = 0; x < Vt::W; x++)
            EXPECT_EQ(cell(vt, x, y).written, x >= 3 && x < 56 && y < 19) << x << "," << y;
    EXPECT_EQ(cell(vt, 16, 6).top, 0x0000ffu);
    EXPECT_EQ(cell(vt, 43, 15).bottom, 0x00ff00u);
    // The frame's middle (x = 320) falls in the middle of cell 26 of 53: a left half block
    // (or its inverse) shows blue beside white, where a box filter would give one blend.
    const VtCell &edge = cell(vt, 3 + 26, 6);
    EXPECT_EQ(colour_at(edge, 1, 4), 0x0000ffu) << std::hex << edge.ch;
    EXPECT_EQ(colour_at(edge, 6, 4), 0xffffffu) << std::hex << edge.ch;
}

// 200 x 60: a 160 x 60 picture, more cells than chafa is given in one frame. It is drawn a
// band of rows per frame and is whole after a few frames; then it costs nothing more.
TEST(Terminal, LargePictureIsDrawnABandAFrameAndThenHeld)
{
    Vt first, vt;
    vt_feed(&first, on_terminal({"pattern", "display=terminal", "frames=1"}, 200, 60).term);
    int rows_written = 0;
    for (int y = 0; y < 60; y++)
        rows_written += cell(first, 100, y).written;
    EXPECT_GT(rows_written, 0);
    EXPECT_LT(rows_written, 60) << "one frame drew the whole picture: no budget";

    const std::string few = on_terminal({"pattern", "display=terminal", "frames=10"}, 200, 60).term;
    vt_feed(&vt, few);
    EXPECT_EQ(vt.unknown, 0);
    for (int y = 0; y < 60; y++)
        for (int x = 20; x < 180; x++)
            ASSERT_TRUE(cell(vt, x, y).written) << x << "," << y;
    EXPECT_EQ(cell(vt, 40, 20).top, 0x0000ffu);
    EXPECT_EQ(cell(vt, 160, 20).top, 0xffffffu);
    EXPECT_EQ(cell(vt, 40, 50).bottom, 0xff0000u);
    EXPECT_EQ(cell(vt, 160, 50).bottom, 0x00ff00u);
    const std::string many =
        on_terminal({"pattern", "display=terminal", "frames=30"}, 200, 60).term;
    EXPECT_EQ(picture_bytes(many), picture_bytes(few));
}

// Images where the terminal draws them, asked for by name: one image, put where the cells
// would be, not sent again while the picture stays, and the terminal back at the end.
TEST(Terminal, PixelProtocolsDrawOneImageAFrame)
{
    for (const char *protocol : {"sixel", "kitty", "iterm"}) {
        SCOPED_TRACE(protocol);
        const std::string out = on_terminal({"pattern", "display=terminal", "frames=5"}, 100, 31,
                                            {std::string("ACCEL_TERMINAL_PIXELS=") + protocol})
                                    .term;
        Vt vt;
        vt_feed(&vt, out);
        EXPECT_EQ(vt.unknown, 0);
        expect_restored(vt);
        EXPECT_GE(vt.images, 1);
        // Kitty sends an image in chunks, each a string of its own.
        const bool kitty = protocol == std::string("kitty");
        EXPECT_EQ(kitty ? (int)count(out, "\x1b_Ga=T") : vt.images, 1) << "a still picture resent";
        EXPECT_EQ(count(out, "\xe2\x96"), 0u) << "cells drawn too";
        // The 80 x 30 picture of a 100 x 31 terminal (its last row kept free) at column 11.
        EXPECT_NE(out.find("\x1b[1;11H"), std::string::npos);
        if (protocol == std::string("sixel")) {
            // Sixel colours are percentages: the quadrants and the grey band are in it.
            for (const char *rgb : {";2;0;0;100", ";2;100;100;100", ";2;100;0;0", ";2;0;100;0"})
                EXPECT_NE(out.find(rgb), std::string::npos) << rgb;
        }
        if (kitty) {
            EXPECT_NE(out.find("\x1b_Ga=T,q=2,"), std::string::npos) << "kitty would answer";
            EXPECT_NE(out.find("a=d,d=C"), std::string::npos) << "old images are kept";
        }
    }

    // A picture that moves is sent again (as often as the terminal takes it).
    const std::vector<std::string> sixel = {"ACCEL_TERMINAL_PIXELS=sixel"};
    Vt vt;
    vt_feed(
        &vt,
        on_terminal({"pattern", "display=terminal", "frames=10", "moving=1"}, 100, 31, sixel).term);
    EXPECT_GE(vt.images, 2);
    EXPECT_FALSE(vt.alt_on);

    // Sixels are never larger than the frame: on 200 x 61 cells of 8 x 16 pixels (the size
    // taken when the terminal does not say), 80 x 30 cells from column 61, row 16.
    const std::string big =
        on_terminal({"pattern", "display=terminal", "frames=2"}, 200, 61, sixel).term;
    EXPECT_NE(big.find("\x1b[16;61H\x1bP"), std::string::npos);
}

// Which way is taken without being asked, from the terminal's name: kitty's images, but
// symbols inside a multiplexer and on a terminal without images. A value that names no
// way makes the display fail to open.
TEST(Terminal, ChoosesImagesOrSymbolsFromTheTerminal)
{
    struct Case {
        std::vector<std::string> env;
        bool images;
    };
    const Case cases[] = {
        {{"TERM=xterm-kitty", "TMUX", "STY"}, true},
        {{"TERM=xterm-kitty", "TMUX=/tmp/tmux-0/default,1,0", "STY"}, false},
        {{"TERM=tmux-256color", "TMUX", "STY"}, false},
        {{"TERM=xterm-256color", "TMUX", "STY", "TERM_PROGRAM", "LC_TERMINAL"}, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.env[0] + " " + k.env[1]);
        std::vector<std::string> env = k.env;
        env.push_back("ACCEL_TERMINAL_PIXELS");
        const std::string out =
            on_terminal({"pattern", "display=terminal", "frames=2"}, 80, 24, env).term;
        Vt vt;
        vt_feed(&vt, out);
        EXPECT_EQ(vt.images > 0, k.images);
        EXPECT_EQ(out.find("48;2;") != std::string::npos, !k.images);
    }

    const Child run = run_to_end(probe_setup({"pattern", "display=terminal", "frames=2"}, 80, 24,
                                             {"ACCEL_TERMINAL_PIXELS=yes", "ACCEL_DEBUG=1"}));
    EXPECT_TRUE(exited_with(run, 3)) << describe_end(run);
    EXPECT_NE(run.term.find("the display cannot be opened"), std::string::npos);
    EXPECT_NE(run.term.find("ACCEL_TERMINAL_PIXELS='yes' is not"), std::string::npos);
    EXPECT_EQ(run.term.find(ENTER), std::string::npos);
}

// Every frame changes every cell (10 KB a frame at 200 x 60) and the reader takes 50 KB/s:
// frames are skipped, the loop keeps its pace. The bound is loose: the machine is shared.
TEST(Terminal, SlowReaderDoesNotHoldTheFrameLoopBack)
{
    const std::string dir = make_temp_dir(), report = dir + "/frames";
    Child run;
    std::string why;
    ASSERT_TRUE(
        run_start(probe_setup({"board", "seconds=2", "report=" + report}, 200, 60), &run, &why))
        << why;
    run.read_terminal = false;
    char buf[1024];
    while (!run_pump(&run, 20)) {
        const ssize_t n = read(run.master, buf, sizeof buf);
        if (n > 0)
            run.term.append(buf, (size_t)n);
    }
    run.read_terminal = true;
    run_wait(&run);
    run_finish(&run);
    ASSERT_TRUE(exited_with(run, 0)) << describe_end(run);
    const long frames = std::atol(read_file(report).c_str());
    std::printf("frames shown in 2 s with a slow reader: %ld (%zu bytes read)\n", frames,
                run.term.size());
    EXPECT_GE(frames, 60);
    Vt vt;
    vt_feed(&vt, run.term);
    expect_restored(vt);
    remove_dir(dir);
}

// SIGINT and SIGHUP with a console-like handler installed before (it says so on standard
// error and dies of the signal): the screen is back first, then that handler runs.
// SIGTERM and Ctrl-\'s SIGQUIT with no handler before: the default action, after the
// screen is back.
TEST(Terminal, PutsTheTerminalBackOnSignals)
{
    struct Case {
        int sig;
        bool console;
        const char *pixels; // images: a signal may come in the middle of one
    };
    for (const Case k :
         {Case{SIGINT, true, "0"}, Case{SIGHUP, true, "0"}, Case{SIGQUIT, false, "0"},
          Case{SIGTERM, false, "0"}, Case{SIGTERM, false, "kitty"}}) {
        SCOPED_TRACE(std::string(strsignal(k.sig)) + " " + k.pixels);
        Child run;
        std::string why;
        ASSERT_TRUE(
            run_start(probe_setup({"board", "seconds=60", k.console ? "console=1" : "console=0"},
                                  80, 24, {std::string("ACCEL_TERMINAL_PIXELS=") + k.pixels}),
                      &run, &why))
            << why;
        ASSERT_TRUE(run_wait_text(&run, k.pixels[0] == '0' ? "48;2;" : "\x1b_Gm=1;"));
        ASSERT_NE(run.term.find(ENTER), std::string::npos);
        run_kill(&run, k.sig);
        ASSERT_TRUE(run_wait(&run));
        run_finish(&run);
        EXPECT_TRUE(killed_by(run, k.sig)) << describe_end(run);
        const size_t leave = run.term.rfind(LEAVE);
        ASSERT_NE(leave, std::string::npos);
        Vt vt;
        vt_feed(&vt, run.term);
        expect_restored(vt);
        if (k.console) {
            EXPECT_NE(run.term.find("probe: console handler", leave), std::string::npos);
        }
    }
}

// A message written while the picture is up would vanish with the alternate screen: it
// shows after the way back, and the exit status is the program's.
TEST(Terminal, MessagesWrittenDuringThePictureAreShownAfterIt)
{
    const Child run =
        run_to_end(probe_setup({"board", "frames=10", "message=probe: something failed"}, 80, 24));
    EXPECT_TRUE(exited_with(run, 1)) << describe_end(run);
    const size_t leave = run.term.rfind(LEAVE), message = run.term.find("probe: something failed");
    ASSERT_NE(leave, std::string::npos);
    ASSERT_NE(message, std::string::npos);
    EXPECT_GT(message, leave);
}
