// test_program.cpp: the demo as a user runs it, on the real library with the shim
// preloaded (tests/common/shim.cpp), in a scratch folder: one table of what a run is
// given (files, settings, keys, signals) and how it must end (status, the exact text on
// standard error, shutdowns, frames), always with the terminal and the folder as they were.
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "../common/run.h"
#include "gfx/gfx.h"

struct Scenario {
    // Files over the defaults ("obj.dat=text", "quib.3DF=@dir|@fifo|@half", "obj.dat" gone)
    // and settings (NAME=value, NAME unset).
    std::vector<std::string> given;
    // "" nothing, the run ends by itself; "<keys" typed before the start; ">keys" typed once
    // frames are shown; "." the input pipe closed then.
    std::string act;
    int status; // exit status, or minus the signal that ended it
    const char *err;
    int shutdowns, swaps; // swaps -1: any
    Stream in = TERMINAL;
    bool controlling = true; // the terminal is the controlling one
};

// The folder: a two-face obj.dat and the shipped textures, changed as `given` says.
static void make_files(const std::string &dir, const std::vector<std::string> &given)
{
    write_file(dir + "/obj.dat", "4 2 0 0 0 0 0 1 0 0 256 0 0 1 0 0 256 1 1 0 256 256 0 1 2 1 3 2");
    for (const char *f : {"quib.3DF", "plov1.3DF"})
        write_file(dir + "/" + f, read_file(std::string(ASSETS_DIR) + "/" + f));
    for (const std::string &g : given) {
        const size_t eq = g.find('=');
        const std::string path = dir + "/" + g.substr(0, eq), text = g.substr(eq + 1);
        const std::string whole = read_file(path);
        if (g.substr(0, eq).find('.') == std::string::npos || unlink(path.c_str()) != 0)
            continue; // a setting
        if (text == "@dir" || text == "@fifo")
            text == "@dir" ? mkdir(path.c_str(), 0700) : mkfifo(path.c_str(), 0600);
        else if (eq != std::string::npos)
            write_file(path, text == "@half" ? whole.substr(0, whole.size() / 2) : text);
    }
}

// Names, kinds and the contents of the regular files: a FIFO is not opened.
static std::string snapshot(const std::string &dir)
{
    std::string s;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        s += e.path().filename().string() + (e.is_regular_file() ? read_file(e.path()) : "*");
    return s;
}

static void run_scenario(const Scenario &c)
{
    const std::string dir = make_temp_dir(), side = make_temp_dir(), report = side + "/report";
    make_files(dir, c.given);
    const std::string before = snapshot(dir);
    RunSetup r = {.exe = DEMO_PATH, .dir = dir, .in = c.in, .controlling = c.controlling};
    r.env = shim_env(report);
    r.env.insert(r.env.end(), {"ACCEL_DISPLAY=none", "ACCEL_VSYNC=0"});
    r.env.insert(r.env.end(), c.given.begin(), c.given.end()); // files too: names it never reads
    const char act = c.act[0];
    std::string keys = c.act.substr(act ? 1 : 0);
    if (act == '<')
        r.typed_before = keys;
    Child d = run_start(r);
    if (act && act != '<') {
        for (const long long end = now_ms() + WAIT_MS; shim_count(report, "swaps") < 2;)
            ASSERT_FALSE(run_pump(&d, 20) || now_ms() > end) << d.err_text;
        EXPECT_TRUE(c.in != TERMINAL || mode_changed(d)) << "no key mode";
        // Ctrl-Z: the rest of the keys once frames go on after it, in key mode again.
        if (keys[0] == '\x1a') {
            const long n = shim_count(report, "swaps") + 2;
            run_send(&d, keys.substr(0, 1));
            for (const long long end = now_ms() + WAIT_MS;
                 shim_count(report, "swaps") < n && now_ms() < end;)
                run_pump(&d, 20);
            EXPECT_TRUE(mode_changed(d)) << "not in key mode after Ctrl-Z";
            keys.erase(0, 1);
        }
        act == '.' ? close_fd(&d.in) : run_send(&d, keys);
    }
    ASSERT_TRUE(run_wait(&d)) << "did not end: " << d.err_text;
    EXPECT_EQ(ended_with(d), c.status);
    EXPECT_EQ(d.err_text, c.err);
    EXPECT_EQ(d.term, "") << "nothing but the picture goes to the terminal";
    EXPECT_FALSE(mode_changed(d)) << "terminal left altered";
    EXPECT_EQ(shim_count(report, "shutdowns"), c.shutdowns);
    EXPECT_TRUE(c.swaps < 0 || shim_count(report, "swaps") == c.swaps);
    EXPECT_EQ(snapshot(dir), before) << "the folder was changed";
    // Every byte of the key was taken: after a line typed next, the shell has that alone.
    int left = -1;
    pollfd line = {d.slave, POLLIN, 0};
    run_send(&d, "\n");
    EXPECT_TRUE(c.in != TERMINAL ||
                (poll(&line, 1, WAIT_MS) == 1 && ioctl(d.slave, FIONREAD, &left) == 0 && left == 1))
        << left << " bytes of the key left for the shell";
    run_finish(&d);
    remove_dir(dir);
    remove_dir(side);
}

TEST(Program, EveryWayInAndOut)
{
    Gu3dfInfo tex3df[2];
    ASSERT_TRUE(gu3dfGetInfo(ASSETS_DIR "/quib.3DF", &tex3df[0]) &&
                gu3dfGetInfo(ASSETS_DIR "/plov1.3DF", &tex3df[1]));
    const uint32_t quib = tex3df[0].mem_required, plov = tex3df[1].mem_required;
    const std::string a = std::to_string(quib), b = std::to_string(plov) + (a == b ? "#2" : "");
    const std::string room_for_one = "ACCEL_TEXMEM=" + std::to_string(quib + plov / 2);
    const char *info = "ERROR: could not load texture \n", *load = "could not load texture file\n",
               *mem = "out of memory for texture\n",
               *tex = "could not allocate memory for Texture\n",
               *sst0 = "main: grSstOpen failed for SST#0!\n",
               *sst1 = "main: grSstOpen failed for SST#1!\n",
               *index = "obj.dat: face 0 of 1: index 3 of 3 is 1, outside 0..0\n";
    const std::string no_board =
        std::string("accel: guTexAllocateMemory: no board is open\n") + tex;
    const Scenario cases[] = {
        // Start-up failures before the library starts: no shutdown. (The reader's every
        // message: test_mesh.)
        {{"obj.dat"}, "", 255, "Obj.dat : fichier Non trouve.\n", 0, 0},
        {{"obj.dat=@dir"}, "", 255, "obj.dat: cannot be read\n", 0, 0},
        {{"obj.dat=@fifo"}, "", 255, "obj.dat: cannot be read\n", 0, 0},
        {{"obj.dat=1 1 1 2 3 4 5 0 0 1"}, "", 255, index, 0, 0},
        // After it: one line, one shutdown however many boards were opened.
        {{"ACCEL_BOARDS=abc"}, "", 255, "main: grSstQueryHardware failed!\n", 1, 0},
        {{"ACCEL_DISPLAY=window", "DISPLAY", "WAYLAND_DISPLAY"}, "", 255, sst0, 1, 0},
        {{"ACCEL_DISPLAY=terminal", "ACCEL_TERMINAL_PIXELS=yes"}, "", 255, sst0, 1, 0},
        // A dump folder that is not there, or where no file can be made, is found at once.
        {{"ACCEL_DUMP=missing"}, "", 255, sst0, 1, 0},
        {{"ACCEL_DUMP=/proc"}, "", 255, sst0, 1, 0},
        {{"ACCEL_BOARDS=3", "SHIM_FAIL_OPEN=2"}, "", 255, sst1, 1, 0},
        {{"quib.3DF"}, "", 255, info, 1, 0},
        {{"plov1.3DF"}, "", 255, info, 1, 0},
        {{"quib.3DF=@fifo"}, "", 255, info, 1, 0},
        {{"plov1.3DF=@dir"}, "", 255, info, 1, 0},
        {{"plov1.3DF=@half"}, "", 255, load, 1, 0},
        {{"SHIM_MALLOC=" + a}, "", 255, mem, 1, 0},
        {{"SHIM_MALLOC=" + b}, "", 255, mem, 1, 0},
        {{"quib.3DF=@half"}, "", 255, load, 1, 0},
        {{"ACCEL_TEXMEM=1000"}, "", 255, tex, 1, 0},
        {{room_for_one}, "", 255, tex, 1, 0},
        // A key typed before the start: one frame, then one shutdown per board.
        {{}, "<x", 0, "", 1, 1},
        {{}, "<\x1b[B", 0, "", 1, 1},
        {{}, "<\xc3\xa9", 0, "", 1, 1},
        {{"ACCEL_BOARDS=2"}, "<q", 0, "", 2, 1},
        // No board open: the textures are loaded all the same, and find no memory (the
        // library says why).
        {{"ACCEL_BOARDS=0", "ACCEL_DEBUG=1"}, "", 255, no_board.c_str(), 1, 0},
        {{"obj.dat=0 0"}, "<q", 0, "", 1, 1},
        // Keys while it runs, whole however many bytes they send (cursor, F1 of xterm and
        // of the Linux console, F5, euro sign, Ctrl-right, a lone escape).
        {{}, ">q", 0, "", 1, -1},
        {{}, ">\x1b[A", 0, "", 1, -1},
        {{}, ">\x1bOP", 0, "", 1, -1},
        {{}, ">\x1b[[A", 0, "", 1, -1},
        {{}, ">\x1b[15~", 0, "", 1, -1},
        {{}, ">\xe2\x82\xac", 0, "", 1, -1},
        {{}, ">\x1b[1;5C", 0, "", 1, -1},
        {{}, ">\x1b", 0, "", 1, -1},
        // Key mode on a terminal that is not the controlling one (no job control to wait
        // for); no display where the terminal shows no colour (dumb, or no TERM).
        {{}, ">q", 0, "", 1, -1, TERMINAL, false},
        {{"ACCEL_DISPLAY", "TERM=dumb", "DISPLAY", "WAYLAND_DISPLAY"}, ">q", 0, "", 1, -1},
        {{"ACCEL_DISPLAY", "TERM", "DISPLAY", "WAYLAND_DISPLAY"}, ">q", 0, "", 1, -1},
        // Ctrl-Z with no shell to return to (an orphaned group): not stopped, still in key mode.
        {{}, ">\x1aq", 0, "", 1, -1},
        // Input that is not a terminal: any byte is a key, and so is its end.
        {{}, ">\x1b", 0, "", 1, -1, PIPE},
        {{}, ".", 0, "", 1, -1, PIPE},
        {{}, "", 0, "", 1, 1, DEV_NULL},
        {{}, "", 0, "", 1, 1, CLOSED},
        // Signals typed: the terminal back, then the signal's own end (signals sent, in the
        // terminal's display too: tests/display).
        {{}, ">\x03", -SIGINT, "", 0, -1},
        {{}, ">\x1c", -SIGQUIT, "", 0, -1},
    };
    for (size_t k = 0; k < std::size(cases); k++) {
        SCOPED_TRACE("row " + std::to_string(k));
        run_scenario(cases[k]);
    }
}
