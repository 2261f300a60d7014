// test_startup.cpp: the demo binary as a user runs it, on a pseudo-terminal in a fresh
// folder: its failure messages and status, and the library calls it makes, in order, as
// the recording stand-in of the library sees them.
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "../common/run.h"

namespace
{

constexpr const char *SMALLEST = "3 1\n0 0 0 0 0\n1 0 0 256 0\n0 1 0 0 256\n0 1 2\n";
constexpr const char *TWO_FACES =
    "4 2\n0 0 0 0 0\n1 0 0 256 0\n0 1 0 0 256\n1 1 0 256 256\n0 1 2\n1 3 2\n";

// A working folder with the given obj.dat (none when null), and a record file beside it.
struct Scene {
    std::string dir;
    std::string side; // holds the record, so the working folder shows only the program's doing
    std::string record;
};

Scene make_scene(const char *obj)
{
    Scene s = {make_temp_dir(), make_temp_dir(), ""};
    s.record = s.side + "/calls";
    if (obj)
        write_file(s.dir + "/obj.dat", obj);
    return s;
}

void drop_scene(const Scene &s)
{
    remove_dir(s.dir);
    remove_dir(s.side);
}

// The real library, showing nothing and not waiting for the 60 Hz tick.
RunSetup real_setup(const Scene &s)
{
    RunSetup r;
    r.exe = DEMO_PATH;
    r.dir = s.dir;
    r.env = {"ACCEL_DISPLAY=none", "ACCEL_VSYNC=0"};
    return r;
}

// The stand-in, found before the real library through LD_LIBRARY_PATH.
RunSetup recorded_setup(const Scene &s)
{
    RunSetup r;
    r.exe = DEMO_PATH;
    r.dir = s.dir;
    r.env = {std::string("LD_LIBRARY_PATH=") + RECORDER_DIR, "RECORD_FILE=" + s.record};
    return r;
}

// The record without the triangles: they are checked by count, their values elsewhere.
std::vector<std::string> calls(const Scene &s)
{
    std::vector<std::string> out;
    for (const std::string &line : read_lines(s.record))
        if (line.rfind("guDrawTriangleWithClip ", 0) != 0)
            out.push_back(line);
    return out;
}

const std::vector<std::string> TEXTURES_LOADED = {
    "gu3dfGetInfo quib.3DF",
    "gu3dfLoad quib.3DF data",
    "guTexAllocateMemory 0 3 256 128 10 1 8 0 2 0 0 1 1 0 0",
    "guTexDownloadMipMap 7001 loaded",
    "gu3dfGetInfo plov1.3DF",
    "gu3dfLoad plov1.3DF data",
    "guTexAllocateMemory 0 3 64 64 5 1 5 2 3 0 0 1 1 0 0",
    "guTexDownloadMipMap 7002 loaded",
};

const std::vector<std::string> RENDER_STATE = {
    "guColorCombineFunction 6",
    "grTexCombineFunction 0 1",
    "grDepthBufferMode 1",
    "grDepthBufferFunction 4",
    "grDepthMask 1",
};

// One frame's calls without its triangles: clear, 36 texture choices, swap.
std::vector<std::string> one_frame()
{
    std::vector<std::string> out = {"grBufferClear 0 0 0"};
    for (int j = 0; j < 36; j++)
        out.push_back(j % 2 ? "guTexSource 7002" : "guTexSource 7001");
    out.push_back("grBufferSwap 1");
    return out;
}

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The status, the one line and the clean folder and terminal that every start-up failure
// leaves.
void expect_failure(const Child &run, const Scene &s, const std::string &message,
                    std::vector<std::string> files = {"obj.dat"})
{
    EXPECT_TRUE(exited_with(run, 255)) << "status " << run.status << ", stderr: " << run.err_text;
    EXPECT_EQ(run.err_text, message);
    EXPECT_EQ(run.term, "") << "nothing but the picture goes to the terminal";
    EXPECT_TRUE(same_mode(run.mode_before, run.mode_after)) << "terminal left altered";
    EXPECT_EQ(list_dir(s.dir), files) << "the program left files behind";
}

// Start-up failures a user can cause with the files and settings at hand, on the real
// library.
TEST(StartupFailure, MissingMeshBadBoardCountWindowWithoutDesktop)
{
    const struct {
        const char *obj;
        std::vector<std::string> env;
        const char *message;
    } cases[] = {
        {nullptr, {}, "Obj.dat : fichier Non trouve.\n"},
        {SMALLEST, {"ACCEL_BOARDS=abc"}, "main: grSstQueryHardware failed!\n"},
        {SMALLEST,
         {"ACCEL_DISPLAY=window", "DISPLAY", "WAYLAND_DISPLAY"},
         "main: grSstOpen failed for SST#0!\n"},
    };
    for (const auto &c : cases) {
        Scene s = make_scene(c.obj);
        RunSetup r = real_setup(s);
        r.env.insert(r.env.end(), c.env.begin(), c.env.end());
        expect_failure(run_to_end(r), s, c.message,
                       c.obj ? std::vector<std::string>{"obj.dat"} : std::vector<std::string>{});
        drop_scene(s);
    }
}

// Every file the reader refuses ends the program with its line before the library
// starts: the stand-in sees no call at all. (The reader's every message: test_mesh.)
TEST(StartupFailure, MalformedMeshBeforeTheLibraryStarts)
{
    const struct {
        const char *text;
        const char *message;
    } cases[] = {
        {"", "obj.dat: the vertex count is missing or not a whole number\n"},
        {"2000000000 1\n1 2 3\n",
         "obj.dat: 2000000000 vertices and 1 faces need more numbers than the file holds\n"},
        {"1 0\n1 2 3 4\n\n\n", "obj.dat: vertex 0 of 1: value 5 of 5 is missing or not a number\n"},
        {"1 1\n1 2 3 4 5\n0 0 1\n", "obj.dat: face 0 of 1: index 3 of 3 is 1, outside 0..0\n"},
    };
    for (const auto &c : cases) {
        Scene s = make_scene(c.text);
        const Child run = run_to_end(recorded_setup(s));
        expect_failure(run, s, c.message);
        EXPECT_EQ(read_lines(s.record).size(), 0u) << "library called for: " << c.text;
        drop_scene(s);
    }
}

TEST(StartupFailure, ObjDatThatCannotBeRead)
{
    Scene s = make_scene(nullptr);
    ASSERT_EQ(mkdir((s.dir + "/obj.dat").c_str(), 0755), 0);
    expect_failure(run_to_end(recorded_setup(s)), s, "obj.dat: cannot be read\n", {"obj.dat"});
    drop_scene(s);
}

std::vector<std::string> opened(int board)
{
    return {"grSstSelect " + std::to_string(board), "grSstOpen 7 0 1 1 1 2"};
}

std::vector<std::string> closed(int board)
{
    return {"grSstSelect " + std::to_string(board), "grGlideShutdown"};
}

// A key typed before the start: exactly one frame, then the end. Every board is opened
// and shut down in turn, and drawn on is the last; with none, nothing is opened or shut
// down, and the textures are still loaded.
TEST(CallSequence, OneFrameOnEveryBoard)
{
    const struct {
        const char *boards;
        std::vector<std::string> opened, closed;
    } cases[] = {
        {nullptr, opened(0), closed(0)},
        {"2", joined({opened(0), opened(1)}), joined({closed(0), closed(1)})},
        {"0", {}, {}},
        {"-1", {}, {}},
    };
    for (const auto &c : cases) {
        Scene s = make_scene(TWO_FACES);
        RunSetup r = recorded_setup(s);
        if (c.boards)
            r.env.push_back(std::string("RECORD_BOARDS=") + c.boards);
        r.typed_before = "q";
        const Child run = run_to_end(r);
        const std::string what = std::string("boards ") + (c.boards ? c.boards : "1");
        EXPECT_TRUE(exited_with(run, 0)) << what << ": " << describe_end(run) << run.err_text;
        EXPECT_EQ(run.err_text, "") << what;
        EXPECT_EQ(calls(s), joined({{"grGlideInit", "grSstQueryHardware"},
                                    c.opened,
                                    TEXTURES_LOADED,
                                    RENDER_STATE,
                                    one_frame(),
                                    c.closed}))
            << what;
        // Two faces for every one of the 36 copies.
        EXPECT_EQ(count_lines(s.record, "guDrawTriangleWithClip "), 72) << what;
        EXPECT_TRUE(same_mode(run.mode_before, run.mode_after)) << what;
        EXPECT_EQ(list_dir(s.dir), std::vector<std::string>{"obj.dat"}) << what;
        drop_scene(s);
    }
}

TEST(CallSequence, EmptyMeshStillRotatesAndChoosesTextures)
{
    Scene s = make_scene("0 0\n");
    RunSetup r = recorded_setup(s);
    r.typed_before = "q";
    const Child run = run_to_end(r);
    EXPECT_TRUE(exited_with(run, 0)) << run.err_text;
    EXPECT_EQ(count_lines(s.record, "guTexSource"), 36);
    EXPECT_EQ(count_lines(s.record, "guDrawTriangleWithClip"), 0);
    EXPECT_EQ(count_lines(s.record, "grBufferSwap 1"), 1);
    drop_scene(s);
}

// Each failure after the library has started: its line, one shutdown, status 255.
TEST(CallSequence, FailuresShutDownOnce)
{
    const std::vector<std::string> started = {"grGlideInit", "grSstQueryHardware", "grSstSelect 0",
                                              "grSstOpen 7 0 1 1 1 2"};
    const struct {
        std::vector<std::string> env;
        const char *message;
        std::vector<std::string> record;
    } cases[] = {
        {{"RECORD_BOARDS=fail"},
         "main: grSstQueryHardware failed!\n",
         {"grGlideInit", "grSstQueryHardware", "grGlideShutdown"}},
        {{"RECORD_FAIL=grSstOpen"},
         "main: grSstOpen failed for SST#0!\n",
         {"grGlideInit", "grSstQueryHardware", "grSstSelect 0", "grSstOpen 7 0 1 1 1 2",
          "grGlideShutdown"}},
        // The boards opened before the failing one are not closed one by one.
        {{"RECORD_BOARDS=3", "RECORD_FAIL=grSstOpen#2"},
         "main: grSstOpen failed for SST#1!\n",
         joined({started, {"grSstSelect 1", "grSstOpen 7 0 1 1 1 2", "grGlideShutdown"}})},
        // The second texture file is never opened after the first fails.
        {{"RECORD_FAIL=gu3dfGetInfo"},
         "ERROR: could not load texture \n",
         joined({started, {"gu3dfGetInfo quib.3DF", "grGlideShutdown"}})},
        {{"RECORD_FAIL=gu3dfGetInfo#2"},
         "ERROR: could not load texture \n",
         joined({started,
                 {TEXTURES_LOADED.begin(), TEXTURES_LOADED.begin() + 5},
                 {"grGlideShutdown"}})},
        {{"RECORD_FAIL=gu3dfLoad"},
         "could not load texture file\n",
         joined(
             {started, {"gu3dfGetInfo quib.3DF", "gu3dfLoad quib.3DF data", "grGlideShutdown"}})},
        {{"RECORD_FAIL=guTexAllocateMemory#2"},
         "could not allocate memory for Texture\n",
         joined({started,
                 {TEXTURES_LOADED.begin(), TEXTURES_LOADED.begin() + 7},
                 {"grGlideShutdown"}})},
    };
    for (const auto &c : cases) {
        Scene s = make_scene(SMALLEST);
        RunSetup r = recorded_setup(s);
        r.env.insert(r.env.end(), c.env.begin(), c.env.end());
        const Child run = run_to_end(r);
        expect_failure(run, s, c.message);
        EXPECT_EQ(calls(s), c.record) << "for " << c.env.back();
        drop_scene(s);
    }
}

} // namespace
