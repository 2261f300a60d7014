// Whole frames: the real demo on the bundled assets, with no display and no 60 Hz wait,
// dumping every shown frame; frames 0 and 100 are compared with pictures kept in ref/,
// and the frames of every SIMD target the processor runs with the default's.
// (That the picture does not depend on the thread count is tests/accel's business.)
//
// Tolerance: on the machine the pictures were made on, the frames are byte for byte the
// same run after run and for every thread count. Against the
// kept pictures a few pixels may differ where another C library's sin or cos differs in
// the last bit: that moves a projected corner by at most one 1/16-pixel step and flips
// the coverage of some pixels along that triangle's edges. 0.1 % of the screen (307
// pixels) allows a handful of such edges and nothing like a misplaced copy, a wrong
// texture or a wrong shade, each of which changes thousands of pixels.
//
// FRAMES_UPDATE_REFS=1 writes the pictures of this run to ref/ instead of comparing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stb/stb_image.h>
#include <string>
#include <vector>

#include "../common/run.h"

namespace fs = std::filesystem;

// The last frame compared. Emulated (a cross build under qemu-user) a frame takes some
// fifty times longer: there frame 0 only.
#ifdef FRAMES_EMULATED
constexpr int LAST = 0;
#else
constexpr int LAST = 100;
#endif

static std::string frame_name(int n)
{
    char name[64];
    std::snprintf(name, sizeof name, "board0-frame%06d.png", n);
    return name;
}

// The RGB pixels of a 640 x 480 picture, top row first; empty when it is not one.
static std::string read_png(const fs::path &path)
{
    int w, h, n;
    unsigned char *px = stbi_load(path.c_str(), &w, &h, &n, 3);
    const std::string rgb = px && w == 640 && h == 480 ? std::string((char *)px, w * h * 3) : "";
    stbi_image_free(px);
    return rgb;
}

// Runs the demo on the assets until frame `last` has been shown, then presses a key.
// Returns the folder of its frames, a fresh one. simd: ACCEL_SIMD's value, empty for the
// default.
static fs::path run_demo(int last, const std::string &simd = "")
{
    const fs::path dump = make_temp_dir();
    Child run =
        run_start({.exe = DEMO_PATH,
                   .dir = ASSETS_DIR,
                   .env = {"ACCEL_DISPLAY=none", "ACCEL_VSYNC=0", "ACCEL_DUMP=" + dump.string(),
                           simd.empty() ? "ACCEL_SIMD" : "ACCEL_SIMD=" + simd},
                   .in = PIPE,
                   .out = PIPE});
    // Frame `last` is complete once the next one has been started.
    const fs::path next = dump / frame_name(last + 1);
    for (const long long end = now_ms() + 120000;
         !fs::exists(next) && now_ms() < end && !run_pump(&run, 20);) {
    }
    run_send(&run, "q");
    run_wait(&run);
    EXPECT_EQ(ended_with(run), 0) << run.err_text;
    run_finish(&run);
    return dump;
}

TEST(Frames, MatchTheKeptPictures)
{
    const fs::path one = run_demo(LAST);
    for (const int n : {0, LAST}) {
        const std::string name = frame_name(n);
        const std::string got = read_png(one / name);
        ASSERT_EQ(got.size(), 640 * 480 * 3u) << name << " is not a 640 x 480 picture";
        const fs::path ref = fs::path(REFS_DIR) / ("frame" + std::to_string(n) + ".png");
        if (std::getenv("FRAMES_UPDATE_REFS")) {
            fs::copy_file(one / name, ref, fs::copy_options::overwrite_existing);
            continue;
        }
        const std::string want = read_png(ref);
        ASSERT_EQ(want.size(), got.size()) << "no kept picture " << ref;
        int differing = 0;
        for (size_t i = 0; i < got.size(); i += 3)
            differing += got.compare(i, 3, want, i, 3) != 0;
        EXPECT_LE(differing, 307) << name << " differs from " << ref;
    }
    fs::remove_all(one);
}

// The same bytes with every SIMD target the processor runs, as the library lists them
// when ACCEL_SIMD names none of them (and refuses to open the board).
TEST(Frames, AreTheSameOnEverySimdTarget)
{
    const Child listing =
        run_to_end({.exe = DEMO_PATH,
                    .dir = ASSETS_DIR,
                    .env = {"ACCEL_DISPLAY=none", "ACCEL_SIMD=none-such", "ACCEL_DEBUG=1"},
                    .in = PIPE,
                    .out = PIPE});
    EXPECT_NE(ended_with(listing), 0);
    const std::string runs = "this processor runs:";
    const size_t at = listing.err_text.find(runs);
    ASSERT_NE(at, std::string::npos) << listing.err_text;
    std::vector<std::string> targets;
    const size_t from = at + runs.size();
    std::istringstream line(listing.err_text.substr(from, listing.err_text.find('\n', at) - from));
    for (std::string t; line >> t;)
        targets.push_back(t);
    ASSERT_FALSE(targets.empty());
    EXPECT_EQ(targets.back(), "scalar");
    const int last = std::min(LAST, 30);
    const fs::path want = run_demo(last);
    for (const std::string &t : targets) {
        const fs::path got = run_demo(last, t);
        for (int n : {0, last})
            EXPECT_EQ(read_file(got / frame_name(n)), read_file(want / frame_name(n)))
                << frame_name(n) << " with " << t;
        fs::remove_all(got);
    }
    fs::remove_all(want);
}
