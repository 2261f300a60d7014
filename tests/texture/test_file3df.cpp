// test_file3df.cpp: reading 3DF files through gu3dfGetInfo and gu3dfLoad: every header
// rule broken in turn, short and long files, files that change under the reader, and the
// table and texel values as the caller receives them.
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
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
    const struct {
        int line;
        std::string text;
    } cases[] = {
        {0, "3DF v1.1"},
        {0, "3df v1"},
        {0, "3df 1.1"},
        {0, "3dfv1.1"},
        {0, "3df  v1.1"},
        {0, "3df v1."},
        {0, "3df v.1"},
        {0, "3df vx.1"},
        {0, "3df v1.1x"},
        {0, ""},
        {0, " 3df v1.1"},
        {0, "3df v1.1 x"},
        {1, "RGB565"},
        {1, "rgb 565"},
        {1, "rgb565 "},
        {1, " rgb565"},
        {1, "rgb888"},
        {1, ""},
        {1, "rgb5650"},
        {1, "argb"},
        {2, "lod range: 0 4"},
        {2, "lod range: 3 4"},
        {2, "lod range: 1 512"},
        {2, "lod range: 4 1"},
        {2, "lod range: 1"},
        {2, "lod range: 1 4 8"},
        {2, "lod range: -1 4"},
        {2, "lod range 1 4"},
        {2, "LOD range: 1 4"},
        {2, "lod range: 14"},
        {2, "lod range: 1 +4"},
        {2, "lod range: 1 4.0"},
        {2, "lod range: 1 0x4"},
        {2, "lod range : 1 4"},
        {3, "aspect ratio: 3 1"},
        {3, "aspect ratio: 2 2"},
        {3, "aspect ratio: 16 1"},
        {3, "aspect ratio: 1"},
        {3, "aspect ratio 1 1"},
        {3, "aspect ratio: 1 1 1"},
        {3, "aspect ratio: 0 0"},
        {3, "aspect ratio: 1 16"},
        {3, "aspect ratio: 11"},
    };
    for (const auto &c : cases) {
        Gu3dfInfo info;
        std::memset(&info, 0xab, sizeof info);
        Gu3dfInfo before = info;
        EXPECT_EQ(info_of(with_line(c.line, c.text) + texels(GOOD_BYTES), &info), 0)
            << "line " << c.line << ": '" << c.text << "'";
        EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << c.text;
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
    const char *names[] = {"rgb332",   "yiq",    "a8",       "i8",       "ai44", "p8",  "argb8332",
                           "ayiq8422", "rgb565", "argb1555", "argb4444", "ai88", "ap88"};
    const int32_t formats[] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, 14};
    for (int k = 0; k < 13; k++) {
        Gu3dfInfo info;
        ASSERT_EQ(info_of(with_line(1, names[k]), &info), 1) << names[k];
        EXPECT_EQ(info.header.format, formats[k]) << names[k];
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
    info.data = nullptr;
    EXPECT_EQ(gu3dfLoad(fifo.c_str(), &info), 0);
}

TEST(File3df, ShortFilesFailAndLongFilesLoadWithoutOverrun)
{
    Gu3dfInfo info;
    std::vector<uint8_t> data;
    EXPECT_EQ(load_of(GOOD_HEADER + texels(GOOD_BYTES - 1), &info, &data), 0);
    EXPECT_EQ(load_of(GOOD_HEADER, &info, &data), 0);
    EXPECT_EQ(load_of(GOOD_HEADER + texels(GOOD_BYTES), &info, &data), 1);
    // Bytes after the last level are ignored, and nothing lands past mem_required.
    EXPECT_EQ(load_of(GOOD_HEADER + texels(GOOD_BYTES) + std::string(5000, '\xee'), &info, &data),
              1);
    std::vector<uint8_t> guarded(GOOD_BYTES + 64, 0x5a);
    info.data = guarded.data();
    ASSERT_EQ(gu3dfLoad(scratch_path("case.3DF").c_str(), &info), 1);
    for (size_t k = GOOD_BYTES; k < guarded.size(); k++)
        ASSERT_EQ(guarded[k], 0x5a) << "byte " << k;

    // A palette file needs the whole 1024-byte table and then its texels.
    const std::string p8 = with_line(1, "p8");
    EXPECT_EQ(load_of(p8 + texels(1000), &info, &data), 0);
    EXPECT_EQ(load_of(p8 + texels(1024 + 20), &info, &data), 0);
    EXPECT_EQ(load_of(p8 + texels(1024 + 21), &info, &data), 1);
    const std::string yiq = with_line(1, "yiq");
    EXPECT_EQ(load_of(yiq + std::string(79, '\0'), &info, &data), 0);
    EXPECT_EQ(load_of(yiq + std::string(80 + 21, '\0'), &info, &data), 1);

    // Garbage after a valid header is texels when there are enough of them.
    EXPECT_EQ(load_of(GOOD_HEADER + texels(GOOD_BYTES, 0xf3), &info, &data), 1);

    info.data = nullptr;
    EXPECT_EQ(gu3dfLoad(scratch_path("case.3DF").c_str(), &info), 0);
    EXPECT_EQ(gu3dfLoad(nullptr, &info), 0);
}

TEST(File3df, AFileChangedSinceGetInfoIsRefused)
{
    const std::string path = scratch_path("moving.3DF");
    write_file(path, GOOD_HEADER + texels(GOOD_BYTES));
    Gu3dfInfo info;
    ASSERT_EQ(gu3dfGetInfo(path.c_str(), &info), 1);
    std::vector<uint8_t> data(info.mem_required + 64, 0x5a);
    info.data = data.data();

    // Another shape, another format with the same byte count, another size.
    write_file(path, "3df v1.1\nrgb565\nlod range: 1 8\naspect ratio: 2 1\n" + texels(1000));
    EXPECT_EQ(gu3dfLoad(path.c_str(), &info), 0);
    write_file(path, with_line(1, "argb1555") + texels(GOOD_BYTES));
    EXPECT_EQ(gu3dfLoad(path.c_str(), &info), 0);
    write_file(path, "3df v1.1\nrgb565\nlod range: 1 256\naspect ratio: 1 1\n" + texels(2 * 87381));
    EXPECT_EQ(gu3dfLoad(path.c_str(), &info), 0);
    for (size_t k = 0; k < data.size(); k++)
        ASSERT_EQ(data[k], 0x5a) << "a refused load wrote byte " << k;

    // A caller that changed mem_required is not trusted either.
    write_file(path, GOOD_HEADER + texels(GOOD_BYTES));
    info.mem_required = GOOD_BYTES + 64;
    EXPECT_EQ(gu3dfLoad(path.c_str(), &info), 0);
    info.mem_required = GOOD_BYTES;
    EXPECT_EQ(gu3dfLoad(path.c_str(), &info), 1);
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

} // namespace
