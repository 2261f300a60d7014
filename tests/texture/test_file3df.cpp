// test_file3df.cpp: reading 3DF files through gu3dfGetInfo and gu3dfLoad: every header
// rule broken once, the tables and texels as the caller receives them, and files that
// change between the two calls (into a buffer of exactly mem_required bytes with a guard
// after it, as the program allocates it). Files that are missing, folders or FIFOs are
// tests/program's, through the demo.
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "gfx/gfx.h"
#include "tex_test.h"

// rgb565, 4x4 down to 1x1: 16 + 4 + 1 texels of 2 bytes.
constexpr uint32_t GOOD_BYTES = 42;
const std::string TEXELS(GOOD_BYTES, '\x42');

static std::string with_line(int line, const std::string &text)
{
    const char *lines[4] = {"3df v1.1", "rgb565", "lod range: 1 4", "aspect ratio: 1 1"};
    std::string s;
    for (int k = 0; k < 4; k++)
        s += (k == line ? text : std::string(lines[k])) + "\n";
    return s;
}
const std::string GOOD_HEADER = with_line(-1, "");

// gu3dfGetInfo on a file holding exactly `bytes`.
static int32_t info_of(const std::string &bytes, Gu3dfInfo *info)
{
    write_file(scratch_path("case.3DF"), bytes);
    return gu3dfGetInfo(scratch_path("case.3DF").c_str(), info);
}

// gu3dfGetInfo then gu3dfLoad into a buffer of exactly mem_required bytes.
static int32_t load_of(const std::string &bytes, Gu3dfInfo *info, std::vector<uint8_t> *data)
{
    if (!info_of(bytes, info))
        return 0;
    data->assign(info->mem_required, 0);
    info->data = data->data();
    return gu3dfLoad(scratch_path("case.3DF").c_str(), info);
}

TEST(File3df, EachHeaderRuleBrokenOnceIsRefusedAndLeavesInfoAlone)
{
    const struct {
        int line; // the header line replaced by text; -1: text is the whole file
        std::string text;
        bool ok;
    } cases[] = {
        {-1, "3df v1.1\r\nrgb565\r\nlod range: 1 4\r\naspect ratio: 1 1\r\n" + TEXELS, true},
        {-1, "3df v12.345 \nrgb565\nlod range:\t 1  \t4 \t\naspect ratio:1 1  \n" + TEXELS, true},
        {0, "3df 1.1", false},   // the v
        {0, "3df v1", false},    // major.minor
        {0, "3df v1.1x", false}, // nothing after the version
        {1, "RGB565", false},
        {1, " rgb565", false},                                    // nothing before it
        {1, "rgb888", false},                                     // a known format
        {2, "LOD range: 1 4", false},                             // names as written
        {2, "lod range: 1", false},                               // two numbers
        {2, "lod range: 1 +4", false},                            // plain digits
        {2, "lod range: 3 4", false},                             // powers of two
        {2, "lod range: 0 4", false},                             // from 1
        {2, "lod range: 1 512", false},                           // to 256
        {2, "lod range: 1 4294967552", false},                    // which 32 bits would wrap to 256
        {2, "lod range: 4 1", false},                             // smallest first
        {2, "lod range: 1" + std::string(300, ' ') + "4", false}, // lines of sane length
        {3, "aspect ratio: 3 1", false},                          // one of 8:1 .. 1:8
        {3, "aspect ratio: 2 2", false},                          // reduced
        {3, "aspect ratio: 4294967297 1", false},                 // which 32 bits would wrap to 1
        {-1, "3df v1.1\rrgb565\rlod range: 1 4\raspect ratio: 1 1\r" + TEXELS, false}, // CR
        {-1, "3df v1.1\nrgb565\nlod range: 1 4\naspect ratio: 1 1", false},       // the last LF
        {-1, "3df v1.1\nrgb565\nlod range: 1 4\naspect ratio: 1 1\r\r\n", false}, // one CR
        {-1, std::string("3df v1.1\nrgb565\0\nlod range: 1 4\naspect ratio: 1 1\n", 51), false},
        {-1, std::string(1 << 20, 'a'), false},
        {-1, "", false},
    };
    Gu3dfInfo info;
    EXPECT_EQ(info_of(GOOD_HEADER + TEXELS, nullptr) + gu3dfGetInfo(nullptr, &info) +
                  gu3dfLoad(nullptr, &info),
              0);
    for (const auto &c : cases) {
        std::memset(&info, 0xab, sizeof info);
        const Gu3dfInfo before = info;
        const std::string file = c.line < 0 ? c.text : with_line(c.line, c.text) + TEXELS;
        EXPECT_EQ(info_of(file, &info), c.ok) << c.text.substr(0, 80);
        EXPECT_TRUE(c.ok ? info.mem_required == GOOD_BYTES
                         : !std::memcmp(&info, &before, sizeof info))
            << c.text.substr(0, 80);
    }
}

// Texels are big-endian in the file and host order in the buffer (what they decode to is
// test_decode's); a table must be whole before the texels, and a compression table within
// its documented ranges.
TEST(File3df, TexelsArriveInHostOrderAndTablesAreChecked)
{
    Gu3dfInfo info;
    std::vector<uint8_t> data;
    ASSERT_EQ(load_of(GOOD_HEADER + "\x12\x34\xab\xcd" + TEXELS.substr(4), &info, &data), 1);
    EXPECT_EQ(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24, 0xabcd1234);
    const std::string p8 = with_line(1, "p8"), palette(1024, '\x10');
    EXPECT_EQ(load_of(p8 + palette.substr(0, 1000), &info, &data), 0);
    EXPECT_EQ(load_of(p8 + palette + TEXELS.substr(0, 20), &info, &data), 0);
    const std::string ncc(80, '\0'); // 16 Y, then 4 I and 4 Q entries of red, green, blue
    ASSERT_EQ(load_of(with_line(1, "yiq") + ncc + TEXELS.substr(0, 21), &info, &data), 1);
    for (int at : {0, 15, 16, 39}) {
        std::string bad = ncc;
        bad[2 * at] = (char)(at < 16 ? 1 : 0xfe); // Y 256 or I, Q -512
        EXPECT_EQ(load_of(with_line(1, "yiq") + bad + TEXELS.substr(0, 21), &info, &data), 0) << at;
    }
}

// The file changes between gu3dfGetInfo and gu3dfLoad, into a buffer of mem_required
// bytes and a guard: cut short, removed, another texture under the same name (even one
// whose texels would fit), or no longer a file. Each load is refused without a byte past
// mem_required written; a caller's changed size is not trusted; bytes after the texels
// are ignored, and a failed load loses nothing: the whole file then loads.
TEST(File3df, FileChangedSinceGetInfoLoadsNothingAndLosesNothing)
{
    const std::string path = scratch_path("changing.3DF"), good = GOOD_HEADER + TEXELS;
    write_file(path, good);
    Gu3dfInfo info;
    ASSERT_EQ(gu3dfGetInfo(path.c_str(), &info), 1);
    std::vector<uint8_t> buffer(info.mem_required + 256, 0xc5);
    info.data = buffer.data();
    auto load = [&](const std::string &why, int32_t want) {
        EXPECT_EQ(gu3dfLoad(path.c_str(), &info), want) << why;
        EXPECT_EQ(std::count(buffer.begin() + GOOD_BYTES, buffer.end(), 0xc5), 256) << why;
    };
    for (const std::string &other :
         {good.substr(0, 0), good.substr(0, GOOD_HEADER.size() - 1), GOOD_HEADER,
          good.substr(0, good.size() - 1), with_line(1, "argb1555") + TEXELS,
          with_line(1, "ap88") + std::string(1024, 0) + TEXELS,
          with_line(2, "lod range: 2 4") + TEXELS, with_line(3, "aspect ratio: 2 1") + TEXELS}) {
        write_file(path, other);
        load(other.substr(0, 60), 0);
    }
    unlink(path.c_str());
    load("removed", 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); // nobody writes to it: no waiting for ever
    load("a FIFO", 0);
    unlink(path.c_str());
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    load("a folder", 0);
    rmdir(path.c_str());
    write_file(path, good + std::string(5000, '\x7f'));
    info.mem_required = GOOD_BYTES + 64;
    load("a caller that changed mem_required", 0);
    info.mem_required = GOOD_BYTES;
    load("whole again, and more", 1);
    EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + GOOD_BYTES, 0x42), GOOD_BYTES);
}
