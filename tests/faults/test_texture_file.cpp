// test_texture_file.cpp: a texture file that changes between gu3dfGetInfo and gu3dfLoad.
// Drives the library as the program does: header, a buffer of exactly mem_required bytes
// (with a guard after it), load. Whatever became of the file, the load says 0 or loads
// the same shape, and never writes past the buffer.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "../common/run.h"
#include "gfx/gfx.h"

namespace
{

constexpr size_t GUARD = 256;
constexpr uint8_t GUARD_BYTE = 0xc5;

std::string texture_file(const char *format, int small, int large, int bytes_per_texel,
                         int table_bytes, uint8_t fill)
{
    std::string s = std::string("3df v1.0\n") + format + "\nlod range: " + std::to_string(small) +
                    " " + std::to_string(large) + "\naspect ratio: 1 1\n";
    s.append((size_t)table_bytes, '\x01');
    for (int size = large; size >= small; size /= 2)
        s.append((size_t)size * size * bytes_per_texel, (char)fill);
    return s;
}

struct Staged {
    Gu3dfInfo info;
    std::vector<uint8_t> buffer; // mem_required bytes, then the guard
};

// gu3dfGetInfo, then the staging buffer the program would allocate.
void get_info(const std::string &path, Staged *s)
{
    ASSERT_NE(gu3dfGetInfo(path.c_str(), &s->info), 0) << path;
    s->buffer.assign(s->info.mem_required + GUARD, GUARD_BYTE);
    s->info.data = s->buffer.data();
}

bool guard_intact(const Staged &s)
{
    for (size_t i = s.info.mem_required; i < s.buffer.size(); i++)
        if (s.buffer[i] != GUARD_BYTE)
            return false;
    return true;
}

class TextureFileChanges : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        path = dir + "/tex.3DF";
        original = texture_file("rgb565", 1, 256, 2, 0, 0x42);
        write_file(path, original);
        get_info(path, &staged);
        ASSERT_EQ(staged.info.mem_required, 174762u); // 2 bytes for each of 87381 texels
    }
    void TearDown() override { remove_dir(dir); }

    std::string dir, path, original;
    Staged staged;
};

TEST_F(TextureFileChanges, VanishedFileLoadsNothing)
{
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(gu3dfLoad(path.c_str(), &staged.info), 0);
    EXPECT_TRUE(guard_intact(staged));
}

TEST_F(TextureFileChanges, ShrunkFileLoadsNothingAtEveryLength)
{
    const size_t header = original.size() - staged.info.mem_required;
    for (size_t len : {(size_t)0, (size_t)10, header - 1, header, header + 1, header + 4096,
                       original.size() - 2, original.size() - 1}) {
        ASSERT_EQ(truncate(path.c_str(), (off_t)len), 0);
        EXPECT_EQ(gu3dfLoad(path.c_str(), &staged.info), 0) << "cut to " << len << " bytes";
        EXPECT_TRUE(guard_intact(staged)) << "cut to " << len << " bytes";
    }
}

// Same name, another texture: the buffer was sized for the first header, so each of
// these is refused, even those whose texels would fit.
TEST_F(TextureFileChanges, FileReplacedByAnotherTextureLoadsNothing)
{
    const std::string others[] = {
        texture_file("argb8332", 1, 256, 2, 0, 0x17), // same byte count, other format
        texture_file("ap88", 1, 256, 2, 1024, 0x55),  // the same and a palette before it
        texture_file("rgb565", 1, 64, 2, 0, 0x42),    // same format, fewer levels
        texture_file("rgb565", 2, 256, 2, 0, 0x42),   // one level short at the small end
    };
    for (const std::string &other : others) {
        write_file(path, other);
        EXPECT_EQ(gu3dfLoad(path.c_str(), &staged.info), 0) << other.substr(0, 40);
        EXPECT_TRUE(guard_intact(staged)) << other.substr(0, 40);
    }
}

TEST_F(TextureFileChanges, FileReplacedByOneThatIsNotAFileLoadsNothing)
{
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(gu3dfLoad(path.c_str(), &staged.info), 0);
    ASSERT_EQ(rmdir(path.c_str()), 0);
    // A FIFO that nobody writes to must not leave the load waiting for ever.
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(gu3dfLoad(path.c_str(), &staged.info), 0);
    EXPECT_TRUE(guard_intact(staged));
}

TEST_F(TextureFileChanges, BytesAddedAfterTheTexelsAreIgnored)
{
    write_file(path, original + std::string(5000, '\x7f'));
    EXPECT_NE(gu3dfLoad(path.c_str(), &staged.info), 0);
    EXPECT_TRUE(guard_intact(staged));
    EXPECT_EQ(staged.buffer[0], 0x42);
    EXPECT_EQ(staged.buffer[staged.info.mem_required - 1], 0x42);
}

// A failed load loses nothing: the same buffer then loads the file once it is whole again,
// and the texture goes into an open board as usual.
TEST_F(TextureFileChanges, FailedLoadLeavesTheLibraryWorking)
{
    ASSERT_EQ(truncate(path.c_str(), 100), 0);
    ASSERT_EQ(gu3dfLoad(path.c_str(), &staged.info), 0);
    write_file(path, original);
    ASSERT_NE(gu3dfLoad(path.c_str(), &staged.info), 0);
    EXPECT_TRUE(guard_intact(staged));

    setenv("ACCEL_DISPLAY", "none", 1);
    setenv("ACCEL_VSYNC", "0", 1);
    grGlideInit();
    GrHwConfiguration hw;
    ASSERT_NE(grSstQueryHardware(&hw), 0);
    grSstSelect(0);
    ASSERT_NE(grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                        GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2),
              0);
    const Gu3dfHeader &h = staged.info.header;
    const GrMipMapId_t id = guTexAllocateMemory(
        GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, (int32_t)h.width, (int32_t)h.height, h.format,
        GR_MIPMAP_NEAREST, h.small_lod, h.large_lod, h.aspect_ratio, GR_TEXTURECLAMP_WRAP,
        GR_TEXTURECLAMP_WRAP, GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
    EXPECT_NE(id, GR_NULL_MIPMAP_HANDLE);
    guTexDownloadMipMap(id, staged.info.data, &staged.info.table);
    grGlideShutdown();
}

} // namespace
