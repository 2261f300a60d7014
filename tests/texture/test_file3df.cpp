// test_file3df.cpp: reading 3DF files through gu3dfGetInfo and gu3dfLoad: every header
// rule broken in turn, short and long files, files that change between the two calls
// (into a buffer of exactly mem_required bytes with a guard after it, as the program
// allocates it), and the table and texel values as the caller receives them.
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "gfx/gfx.h"
#include "tex_test.h"

namespace
{

// rgb565, 4x4 down to 1x1: 16 + 4 + 1 texels of 2 bytes.
const std::string GOOD_HEADER = "3df v1.1\nrgb565\nlod range: 1 4\naspect ratio: 1 1\n";
constexpr uint32_t GOOD_BYTES = 42;

std::string texels(size_t n, uint8_t first = 0)
{
    std::string s(n, '\0');
    for (size_t k = 0; k < n; k++)
        s[k] = (char)(uint8_t)(first + k * 7);
    return s;
}

// gu3dfGetInfo on a file holding exactly `bytes`.
int32_t info_of(const std::string &bytes, Gu3dfInfo *info)
{
    const std::string path = scratch_path("case.3DF");
    write_file(path, bytes);
    return gu3dfGetInfo(path.c_str(), info);
}

// gu3dfGetInfo then gu3dfLoad into a buffer of exactly mem_required bytes.
int32_t load_of(const std::string &bytes, Gu3dfInfo *info, std::vector<uint8_t> *data)
{
    if (!info_of(bytes, info))
        return 0;
    data->assign(info->mem_required, 0);
    info->data = data->data();
    return gu3dfLoad(scratch_path("case.3DF").c_str(), info);
}

std::string with_line(int line, const std::string &text)
{
    const char *lines[4] = {"3df v1.1", "rgb565", "lod range: 1 4", "aspect ratio: 1 1"};
    std::string s;
    for (int k = 0; k < 4; k++)
        s += (k == line ? text : std::string(lines[k])) + "\n";
    return s;
}

TEST(File3df, EveryBrokenHeaderRuleIsRefusedAndLeavesInfoAlone)
{
    // Each header line in turn replaced by a broken one.
    const std::vector<const char *> broken[4] = {
        {"3DF v1.1", "3df v1", "3df 1.1", "3dfv1.1", "3df  v1.1", "3df v1.", "3df v.1", "3df vx.1",
         "3df v1.1x", "", " 3df v1.1", "3df v1.1 x"},
        {"RGB565", "rgb 565", "rgb565 ", " rgb565", "rgb888", "", "rgb5650", "argb"},
        {"lod range: 0 4", "lod range: 3 4", "lod range: 1 512", "lod range: 4 1", "lod range: 1",
         "lod range: 1 4 8", "lod range: -1 4", "lod range 1 4", "LOD range: 1 4", "lod range: 14",
         "lod range: 1 +4", "lod range: 1 4.0", "lod range: 1 0x4", "lod range : 1 4"},
        {"aspect ratio: 3 1", "aspect ratio: 2 2", "aspect ratio: 16 1", "aspect ratio: 1",
         "aspect ratio 1 1", "aspect ratio: 1 1 1", "aspect ratio: 0 0", "aspect ratio: 1 16",
         "aspect ratio: 11"},
    };
    for (int line = 0; line < 4; line++)
        for (const char *text : broken[line]) {
            Gu3dfInfo info;
            std::memset(&info, 0xab, sizeof info);
            const Gu3dfInfo before = info;
            EXPECT_EQ(info_of(with_line(line, text) + texels(GOOD_BYTES), &info), 0)
                << "line " << line << ": '" << text << "'";
            EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << text;
        }
}

TEST(File3df, SizesBeyondAnyTextureAreRefusedWithoutOverflow)
{
    for (const char *lods :
         {"lod range: 1 4294967552", "lod range: 1 99999999999999999999", "lod range: 4294967297 4",
          "lod range: 1 256256", "lod range: 1 2048"}) {
        Gu3dfInfo info;
        EXPECT_EQ(info_of(with_line(2, lods) + texels(GOOD_BYTES), &info), 0) << lods;
    }
    Gu3dfInfo info;
    EXPECT_EQ(info_of(with_line(3, "aspect ratio: 4294967297 1") + texels(GOOD_BYTES), &info), 0);
}

TEST(File3df, LineEndsAndBlanks)
{
    Gu3dfInfo info;
    EXPECT_EQ(info_of("3df v1.1\r\nrgb565\r\nlod range: 1 4\r\naspect ratio: 1 1\r\n" +
                          texels(GOOD_BYTES),
                      &info),
              1);
    EXPECT_EQ(info.mem_required, GOOD_BYTES);
    EXPECT_EQ(info_of("3df v12.345 \nrgb565\nlod range:\t 1  \t4 \t\naspect ratio:1 1  \n" +
                          texels(GOOD_BYTES),
                      &info),
              1);
    EXPECT_EQ(info.mem_required, GOOD_BYTES);

    // A bare CR is not a line end; a missing last LF leaves the header unfinished; a line
    // may not run on without end.
    EXPECT_EQ(info_of("3df v1.1\rrgb565\rlod range: 1 4\raspect ratio: 1 1\r" + texels(42), &info),
              0);
    EXPECT_EQ(info_of("3df v1.1\nrgb565\nlod range: 1 4\naspect ratio: 1 1", &info), 0);
    EXPECT_EQ(info_of("3df v1.1\nrgb565\nlod range: 1 4\naspect ratio: 1 1\r\r\n", &info), 0);
    EXPECT_EQ(
        info_of(with_line(2, "lod range: 1" + std::string(300, ' ') + "4") + texels(42), &info), 0);
    EXPECT_EQ(info_of(std::string(1 << 20, 'a'), &info), 0);
    EXPECT_EQ(
        info_of(std::string("3df v1.1\nrgb565\0\nlod range: 1 4\naspect ratio: 1 1\n", 51), &info),
        0);
}

TEST(File3df, HeaderValuesForEveryShape)
{
    const struct {
        std::string format, lods, aspect;
        uint32_t width, height;
        int32_t small_lod, large_lod, aspect_ratio, gr_format;
        uint32_t bytes;
    } cases[] = {
        {"rgb565", "1 256", "1 1", 256, 256, GR_LOD_1, GR_LOD_256, GR_ASPECT_1x1, GR_TEXFMT_RGB_565,
         2 * 87381},
        {"p8", "8 128", "1 4", 32, 128, GR_LOD_8, GR_LOD_128, GR_ASPECT_1x4, GR_TEXFMT_P_8,
         4096 + 1024 + 256 + 64 + 16},
        // Sides stop at 1: 4x1, 2x1, 1x1.
        {"ai88", "1 4", "8 1", 4, 1, GR_LOD_1, GR_LOD_4, GR_ASPECT_8x1,
         GR_TEXFMT_ALPHA_INTENSITY_88, 2 * 7},
        {"yiq", "16 16", "2 1", 16, 8, GR_LOD_16, GR_LOD_16, GR_ASPECT_2x1, GR_TEXFMT_YIQ_422, 128},
        {"argb4444", "1 1", "1 8", 1, 1, GR_LOD_1, GR_LOD_1, GR_ASPECT_1x8, GR_TEXFMT_ARGB_4444, 2},
        {"a8", "2 64", "4 1", 64, 16, GR_LOD_2, GR_LOD_64, GR_ASPECT_4x1, GR_TEXFMT_ALPHA_8,
         1024 + 256 + 64 + 16 + 4 + 2},
        {"rgb332", "32 32", "1 2", 16, 32, GR_LOD_32, GR_LOD_32, GR_ASPECT_1x2, GR_TEXFMT_RGB_332,
         512},
    };
    for (const auto &c : cases) {
        Gu3dfInfo info;
        ASSERT_EQ(info_of("3df v1.0\n" + c.format + "\nlod range: " + c.lods +
                              "\naspect ratio: " + c.aspect + "\n",
                          &info),
                  1)
            << c.format;
        EXPECT_EQ(info.header.width, c.width) << c.format;
        EXPECT_EQ(info.header.height, c.height) << c.format;
        EXPECT_EQ(info.header.small_lod, c.small_lod) << c.format;
        EXPECT_EQ(info.header.large_lod, c.large_lod) << c.format;
        EXPECT_EQ(info.header.aspect_ratio, c.aspect_ratio) << c.format;
        EXPECT_EQ(info.header.format, c.gr_format) << c.format;
        EXPECT_EQ(info.mem_required, c.bytes) << c.format;
    }
}

TEST(File3df, FilesThatAreNotThereOrNotFiles)
{
    Gu3dfInfo info;
    EXPECT_EQ(gu3dfGetInfo(scratch_path("missing.3DF").c_str(), &info), 0);
    EXPECT_EQ(gu3dfGetInfo(scratch_dir().c_str(), &info), 0);
    EXPECT_EQ(gu3dfGetInfo("", &info), 0);
    EXPECT_EQ(gu3dfGetInfo(nullptr, &info), 0);
    EXPECT_EQ(gu3dfGetInfo(scratch_path("missing.3DF").c_str(), nullptr), 0);
    EXPECT_EQ(info_of("", &info), 0);
    // A FIFO nobody writes to would block a plain open for ever.
    const std::string fifo = scratch_path("fifo.3DF");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(gu3dfGetInfo(fifo.c_str(), &info), 0);
}

// Files cut short after the header are refused as they change under the reader, below.
TEST(File3df, TablesMustBeWholeBeforeTheTexels)
{
    Gu3dfInfo info;
    std::vector<uint8_t> data;
    // A palette file needs the whole 1024-byte table and then its texels.
    const std::string p8 = with_line(1, "p8");
    EXPECT_EQ(load_of(p8 + texels(1000), &info, &data), 0);
    EXPECT_EQ(load_of(p8 + texels(1024 + 20), &info, &data), 0);
    EXPECT_EQ(load_of(p8 + texels(1024 + 21), &info, &data), 1);
    const std::string yiq = with_line(1, "yiq");
    EXPECT_EQ(load_of(yiq + std::string(79, '\0'), &info, &data), 0);
    EXPECT_EQ(load_of(yiq + std::string(80 + 21, '\0'), &info, &data), 1);

    info.data = nullptr;
    EXPECT_EQ(gu3dfLoad(scratch_path("case.3DF").c_str(), &info), 0);
    EXPECT_EQ(gu3dfLoad(nullptr, &info), 0);
}

TEST(File3df, TablesAndTexelsArriveInHostOrder)
{
    Gu3dfInfo info;
    std::vector<uint8_t> data;
    // 16-bit texels are big-endian in the file, host-order in the buffer.
    ASSERT_EQ(load_of(GOOD_HEADER + "\x12\x34\xab\xcd" + texels(GOOD_BYTES - 4), &info, &data), 1);
    uint16_t first[2];
    std::memcpy(first, data.data(), 4);
    EXPECT_EQ(first[0], 0x1234);
    EXPECT_EQ(first[1], 0xabcd);

    // The palette: 0xAARRGGBB from big-endian bytes; 8-bit texels as they are.
    std::string table;
    for (int e = 0; e < 256; e++)
        table += std::string{(char)0xff, (char)e, (char)(255 - e), (char)(e * 3)};
    ASSERT_EQ(load_of(with_line(1, "p8") + table + "\x07\xf0" + texels(19), &info, &data), 1);
    EXPECT_EQ(info.table.palette[0], 0xff00ff00u);
    EXPECT_EQ(info.table.palette[200], 0xffc83758u);
    EXPECT_EQ(data[0], 0x07);
    EXPECT_EQ(data[1], 0xf0);

    // The compression table: 16 Y, then 4 I and 4 Q entries of red, green, blue.
    std::string ncc;
    auto put = [&](int v) { ncc += std::string{(char)((v >> 8) & 255), (char)(v & 255)}; };
    for (int k = 0; k < 16; k++)
        put(k * 17);
    for (int k = 0; k < 12; k++)
        put(-256 + k * 40);
    for (int k = 0; k < 12; k++)
        put(255 - k * 30);
    ASSERT_EQ(load_of(with_line(1, "ayiq8422") + ncc + texels(GOOD_BYTES), &info, &data), 1);
    EXPECT_EQ(info.table.ncc.y[15], 255);
    EXPECT_EQ(info.table.ncc.i[0][0], -256);
    EXPECT_EQ(info.table.ncc.i[3][2], -256 + 11 * 40);
    EXPECT_EQ(info.table.ncc.q[0][0], 255);
    EXPECT_EQ(info.table.ncc.q[3][2], 255 - 11 * 30);

    // Values outside their documented ranges make the table, and the file, invalid.
    for (int at : {0, 15, 16, 39}) {
        std::string bad = ncc;
        const int v = at < 16 ? 256 : -257;
        bad[2 * at] = (char)((v >> 8) & 255);
        bad[2 * at + 1] = (char)(v & 255);
        EXPECT_EQ(load_of(with_line(1, "yiq") + bad + texels(21), &info, &data), 0) << at;
    }
}

// ---- the file changes between gu3dfGetInfo and gu3dfLoad ---------------------------

constexpr size_t GUARD = 256;
constexpr uint8_t GUARD_BYTE = 0xc5;

class FileChanges : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        path = scratch_path("changing.3DF");
        original = GOOD_HEADER + std::string(GOOD_BYTES, '\x42');
        write_file(path, original);
        ASSERT_EQ(gu3dfGetInfo(path.c_str(), &info), 1);
        buffer.assign(info.mem_required + GUARD, GUARD_BYTE);
        info.data = buffer.data();
    }

    bool load() { return gu3dfLoad(path.c_str(), &info) == 1; }

    bool guard_intact() const
    {
        for (size_t i = GOOD_BYTES; i < buffer.size(); i++)
            if (buffer[i] != GUARD_BYTE)
                return false;
        return true;
    }

    std::string path, original;
    Gu3dfInfo info;
    std::vector<uint8_t> buffer; // mem_required bytes, then the guard
};

TEST_F(FileChanges, VanishedOrShrunkFileLoadsNothing)
{
    const size_t header = GOOD_HEADER.size();
    for (size_t len : {(size_t)0, (size_t)10, header - 1, header, header + 1, header + 20,
                       original.size() - 2, original.size() - 1}) {
        ASSERT_EQ(truncate(path.c_str(), (off_t)len), 0);
        EXPECT_FALSE(load()) << "cut to " << len << " bytes";
        EXPECT_TRUE(guard_intact()) << "cut to " << len << " bytes";
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_FALSE(load());
    EXPECT_TRUE(guard_intact());
}

// Same name, another texture: the buffer was sized for the first header, so each of
// these is refused, even those whose texels would fit; so is a caller's changed size.
TEST_F(FileChanges, FileReplacedByAnotherTextureLoadsNothing)
{
    const std::string others[] = {
        with_line(1, "argb1555") + texels(GOOD_BYTES),          // same byte count, other format
        with_line(1, "ap88") + texels(1024 + GOOD_BYTES),       // the same and a palette before
        with_line(2, "lod range: 1 2") + texels(GOOD_BYTES),    // same format, fewer levels
        with_line(2, "lod range: 2 4") + texels(GOOD_BYTES),    // a level short at the small end
        with_line(3, "aspect ratio: 2 1") + texels(GOOD_BYTES), // another shape
    };
    for (const std::string &other : others) {
        write_file(path, other);
        EXPECT_FALSE(load()) << other.substr(0, 60);
        EXPECT_TRUE(guard_intact()) << other.substr(0, 60);
    }
    write_file(path, original);
    info.mem_required = GOOD_BYTES + 64;
    EXPECT_FALSE(load()) << "a caller that changed mem_required is trusted";
    EXPECT_TRUE(guard_intact());
}

TEST_F(FileChanges, FileReplacedByOneThatIsNotAFileLoadsNothing)
{
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_FALSE(load());
    ASSERT_EQ(rmdir(path.c_str()), 0);
    // A FIFO that nobody writes to must not leave the load waiting for ever.
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(load());
    EXPECT_TRUE(guard_intact());
    ASSERT_EQ(unlink(path.c_str()), 0);
}

TEST_F(FileChanges, BytesAddedAfterTheTexelsAreIgnored)
{
    write_file(path, original + std::string(5000, '\x7f'));
    EXPECT_TRUE(load());
    EXPECT_TRUE(guard_intact());
    EXPECT_EQ(buffer[0], 0x42);
    EXPECT_EQ(buffer[GOOD_BYTES - 1], 0x42);
}

// A failed load loses nothing: the same buffer then loads the file once it is whole again,
// and the texture goes into an open board as usual.
TEST_F(FileChanges, FailedLoadLeavesTheLibraryWorking)
{
    ASSERT_EQ(truncate(path.c_str(), (off_t)original.size() - 1), 0);
    ASSERT_FALSE(load());
    write_file(path, original);
    ASSERT_TRUE(load());
    EXPECT_TRUE(guard_intact());

    setenv("ACCEL_DISPLAY", "none", 1);
    setenv("ACCEL_VSYNC", "0", 1);
    grGlideInit();
    GrHwConfiguration hw;
    ASSERT_NE(grSstQueryHardware(&hw), 0);
    grSstSelect(0);
    ASSERT_NE(grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                        GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2),
              0);
    const Gu3dfHeader &h = info.header;
    const GrMipMapId_t id = guTexAllocateMemory(
        GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, (int32_t)h.width, (int32_t)h.height, h.format,
        GR_MIPMAP_NEAREST, h.small_lod, h.large_lod, h.aspect_ratio, GR_TEXTURECLAMP_WRAP,
        GR_TEXTURECLAMP_WRAP, GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
    EXPECT_NE(id, GR_NULL_MIPMAP_HANDLE);
    guTexDownloadMipMap(id, info.data, &info.table);
    grGlideShutdown();
}

} // namespace
