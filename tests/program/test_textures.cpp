// test_textures.cpp: the demo on the real library with the shipped assets: a whole run
// that shows frames, and the texture failures a user can cause with the files and
// settings at hand (a missing or cut-short file, too little texture memory).
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "../common/run.h"

namespace
{

struct Stage {
    std::string dir;
    std::string dumps; // ACCEL_DUMP: one PNG per frame shown
};

// A folder with the three shipped files, less those in `leave_out`.
Stage make_stage(std::vector<std::string> leave_out = {})
{
    Stage s = {make_temp_dir(), make_temp_dir()};
    for (const char *name : {"obj.dat", "quib.3DF", "plov1.3DF"}) {
        bool skip = false;
        for (const std::string &l : leave_out)
            skip = skip || l == name;
        if (!skip)
            write_file(s.dir + "/" + name, read_file(std::string(ASSETS_DIR) + "/" + name));
    }
    return s;
}

void drop_stage(const Stage &s)
{
    remove_dir(s.dir);
    remove_dir(s.dumps);
}

RunSetup real_setup(const Stage &s)
{
    RunSetup r;
    r.exe = DEMO_PATH;
    r.dir = s.dir;
    r.env = {"ACCEL_DISPLAY=none", "ACCEL_VSYNC=0", "ACCEL_DUMP=" + s.dumps};
    return r;
}

void expect_texture_failure(const Child &run, const Stage &s, const std::string &message,
                            const std::vector<std::string> &files)
{
    EXPECT_TRUE(exited_with(run, 255)) << "status " << run.status << ", stderr: " << run.err_text;
    EXPECT_EQ(run.err_text, message);
    EXPECT_EQ(run.term, "");
    EXPECT_TRUE(same_mode(run.mode_before, run.mode_after));
    EXPECT_EQ(list_dir(s.dir), files);
    EXPECT_EQ(list_dir(s.dumps).size(), 0u) << "a frame was shown";
}

TEST(RealLibrary, KeyBeforeStartShowsOneFrame)
{
    Stage s = make_stage();
    RunSetup r = real_setup(s);
    r.typed_before = " ";
    const Child run = run_to_end(r);
    EXPECT_TRUE(exited_with(run, 0)) << run.err_text;
    EXPECT_EQ(run.err_text, "");
    EXPECT_EQ(list_dir(s.dumps).size(), 1u);
    EXPECT_EQ(list_dir(s.dir), (std::vector<std::string>{"obj.dat", "plov1.3DF", "quib.3DF"}));
    EXPECT_TRUE(same_mode(run.mode_before, run.mode_after));
    drop_stage(s);
}

TEST(RealLibrary, KeyWhileRunningEndsIt)
{
    Stage s = make_stage();
    Child run;
    std::string why;
    ASSERT_TRUE(run_start(real_setup(s), &run, &why)) << why;
    bool shown = false;
    for (int waited = 0; waited < WAIT_MS && !shown; waited += 20)
        shown = list_dir(s.dumps).size() >= 2 || run_pump(&run, 20);
    ASSERT_TRUE(shown);
    run_send(&run, "\x1b[D");
    ASSERT_TRUE(run_wait(&run));
    EXPECT_TRUE(exited_with(run, 0)) << run.err_text;
    EXPECT_GE(list_dir(s.dumps).size(), 2u);
    run_send(&run, "after\n");
    EXPECT_EQ(read_terminal_input(&run, 5000), "after\n");
    run_finish(&run);
    drop_stage(s);
}

TEST(RealLibrary, TextureFailures)
{
    { // no quib.3DF: the first texture fails, before plov1.3DF is tried
        Stage s = make_stage({"quib.3DF"});
        expect_texture_failure(run_to_end(real_setup(s)), s, "ERROR: could not load texture \n",
                               {"obj.dat", "plov1.3DF"});
        drop_stage(s);
    }
    { // no plov1.3DF
        Stage s = make_stage({"plov1.3DF"});
        expect_texture_failure(run_to_end(real_setup(s)), s, "ERROR: could not load texture \n",
                               {"obj.dat", "quib.3DF"});
        drop_stage(s);
    }
    { // quib.3DF cut short: its header reads, its texels do not
        Stage s = make_stage();
        const std::string whole = read_file(s.dir + "/quib.3DF");
        write_file(s.dir + "/quib.3DF", whole.substr(0, whole.size() / 2));
        expect_texture_failure(run_to_end(real_setup(s)), s, "could not load texture file\n",
                               {"obj.dat", "plov1.3DF", "quib.3DF"});
        drop_stage(s);
    }
    { // room for one texture, not two: a file's size is its texels plus a short header
        Stage s = make_stage();
        RunSetup r = real_setup(s);
        const size_t one = read_file(s.dir + "/quib.3DF").size();
        r.env.push_back("ACCEL_TEXMEM=" + std::to_string(one));
        expect_texture_failure(run_to_end(r), s, "could not allocate memory for Texture\n",
                               {"obj.dat", "plov1.3DF", "quib.3DF"});
        drop_stage(s);
    }
}

} // namespace
