// Whole frames: the real demo on the bundled assets, with no display and no 60 Hz wait,
// dumping every shown frame; frames 0 and 100 are compared with pictures kept in ref/.
//
// Tolerance: on the machine the pictures were made on, the frames are byte for byte the
// same run after run and for every thread count (checked exactly below). Against the
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
#include <string>
#include <vector>
#include <zlib.h>

#include "../common/run.h"

namespace fs = std::filesystem;

namespace
{

// The last frame compared. Emulated (a cross build under qemu-user) a frame takes some
// fifty times longer: there frame 0 only.
#ifdef FRAMES_EMULATED
constexpr int LAST = 0;
#else
constexpr int LAST = 100;
#endif

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb; // top row first
};

uint32_t be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// Reads the library's own dumps: 8-bit RGB, not interlaced, every row with filter 0.
bool read_png(const fs::path &path, Picture *pic)
{
    const std::string text = read_file(path);
    const std::vector<uint8_t> file(text.begin(), text.end());
    if (file.size() < 8 || std::memcmp(file.data(), "\x89PNG\r\n\x1a\n", 8) != 0)
        return false;
    std::vector<uint8_t> packed;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t len = be32(&file[at]);
        if (len > file.size() - at - 12)
            return false;
        const uint8_t *type = &file[at + 4], *data = &file[at + 8];
        if (std::memcmp(type, "IHDR", 4) == 0) {
            pic->width = (int)be32(data);
            pic->height = (int)be32(data + 4);
            if (data[8] != 8 || data[9] != 2 || data[12] != 0)
                return false;
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            packed.insert(packed.end(), data, data + len);
        }
        at += 12 + len;
    }
    if (pic->width <= 0 || pic->height <= 0 || pic->width > 4096 || pic->height > 4096)
        return false;
    const size_t row = 1 + (size_t)pic->width * 3;
    std::vector<uint8_t> raw(row * pic->height);
    uLongf raw_len = raw.size();
    if (uncompress(raw.data(), &raw_len, packed.data(), packed.size()) != Z_OK ||
        raw_len != raw.size())
        return false;
    pic->rgb.clear();
    for (int y = 0; y < pic->height; y++) {
        if (raw[row * y] != 0)
            return false;
        pic->rgb.insert(pic->rgb.end(), &raw[row * y + 1], &raw[row * y + row]);
    }
    return true;
}

std::string frame_name(int n)
{
    char name[64];
    std::snprintf(name, sizeof name, "board0-frame%06d.png", n);
    return name;
}

// Runs the demo in a fresh folder holding the assets until frame `last` has been shown,
// then presses a key. Returns the dump folder.
// simd: ACCEL_SIMD's value, empty for the default.
fs::path run_demo(const char *threads, int last, const std::string &simd = "")
{
    const std::string dir = make_temp_dir();
    fs::create_directories(dir + "/dump");
    for (const char *f : {"obj.dat", "quib.3DF", "plov1.3DF"})
        fs::copy_file(fs::path(ASSETS_DIR) / f, fs::path(dir) / f);
    Child run;
    std::string why;
    EXPECT_TRUE(run_start(
        {.exe = DEMO_PATH,
         .dir = dir,
         .env = {"ACCEL_DISPLAY=none", "ACCEL_VSYNC=0", std::string("ACCEL_THREADS=") + threads,
                 "ACCEL_DUMP=dump", simd.empty() ? "ACCEL_SIMD" : "ACCEL_SIMD=" + simd},
         .in = PIPE,
         .out = PIPE},
        &run, &why))
        << why;
    // Frame `last` is complete once the next one has been started.
    const fs::path next = fs::path(dir) / "dump" / frame_name(last + 1);
    for (const long long end = now_ms() + 120000; !fs::exists(next) && now_ms() < end;)
        if (run_pump(&run, 20))
            break;
    run_send(&run, "q");
    EXPECT_TRUE(run_wait(&run)) << "the demo did not end after the key";
    EXPECT_TRUE(exited_with(run, 0)) << describe_end(run) << "\n" << run.err_text;
    run_finish(&run);
    return fs::path(dir) / "dump";
}

int differing_pixels(const Picture &a, const Picture &b)
{
    int n = 0;
    for (size_t i = 0; i + 2 < a.rgb.size(); i += 3)
        n += std::memcmp(&a.rgb[i], &b.rgb[i], 3) != 0;
    return n;
}

TEST(Frames, MatchTheKeptPicturesAndDoNotDependOnThreads)
{
    const int frames[] = {0, LAST};
    const fs::path one = run_demo("1", LAST), two = run_demo("2", LAST), none = run_demo("0", LAST);
    for (int n : frames) {
        const std::string name = frame_name(n);
        ASSERT_EQ(read_file(one / name), read_file(two / name)) << name << ": 1 vs 2 threads";
        ASSERT_EQ(read_file(one / name), read_file(none / name)) << name << ": 1 vs 0 threads";

        Picture got, want;
        ASSERT_TRUE(read_png(one / name, &got)) << name;
        ASSERT_EQ(got.width, 640);
        ASSERT_EQ(got.height, 480);
        const fs::path ref = fs::path(REFS_DIR) / ("frame" + std::to_string(n) + ".png");
        if (std::getenv("FRAMES_UPDATE_REFS")) {
            fs::create_directories(REFS_DIR);
            fs::copy_file(one / name, ref, fs::copy_options::overwrite_existing);
            continue;
        }
        ASSERT_TRUE(read_png(ref, &want)) << "no kept picture " << ref;
        EXPECT_LE(differing_pixels(got, want), 307) << name << " differs from " << ref;
    }
    for (const fs::path &d : {one, two, none})
        fs::remove_all(d.parent_path());
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
    EXPECT_FALSE(exited_with(listing, 0));
    const std::string runs = "this processor runs:";
    const size_t at = listing.err_text.find(runs);
    ASSERT_NE(at, std::string::npos) << listing.err_text;
    std::vector<std::string> targets;
    std::string line = listing.err_text.substr(at + runs.size());
    line = line.substr(0, line.find('\n')) + " ";
    for (size_t from = 1, end; (end = line.find(' ', from)) != std::string::npos; from = end + 1)
        targets.push_back(line.substr(from, end - from));
    ASSERT_FALSE(targets.empty());
    EXPECT_EQ(targets.back(), "scalar");
    const int last = std::min(LAST, 30);
    const fs::path want = run_demo("2", last);
    for (const std::string &t : targets) {
        const fs::path got = run_demo("2", last, t);
        for (int n : {0, last})
            EXPECT_EQ(read_file(got / frame_name(n)), read_file(want / frame_name(n)))
                << frame_name(n) << " with " << t;
        fs::remove_all(got.parent_path());
    }
    fs::remove_all(want.parent_path());
}

} // namespace
