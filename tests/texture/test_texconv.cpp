// test_texconv.cpp: the texture tool as a user runs it: the shipped textures remade byte
// for byte, an image file read and written through the library's reader, and one clear
// line with a nonzero status for every bad request.
#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include <stb/stb_image_write.h>

#include "gfx/gfx.h"
#include "tex_test.h"
#include "texenc.h"

namespace
{

Child texconv(const std::string &args)
{
    std::istringstream in(args);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return run_to_end({.exe = TEXCONV_PATH, .args = words, .in = DEV_NULL, .out = PIPE});
}

TEST(Texconv, RemakesTheShippedTexturesByteForByte)
{
    const struct {
        const char *pattern, *asset;
    } assets[] = {{"tubes", "quib.3DF"}, {"marble", "plov1.3DF"}};
    for (const auto &a : assets) {
        const std::string out = scratch_path(a.asset);
        const Child r = texconv(std::string("--pattern ") + a.pattern +
                                " --format rgb565 --lod 1 256 --aspect 1 1 -o " + out);
        ASSERT_TRUE(exited_with(r, 0)) << r.err_text;
        const std::string made = read_file(out),
                          shipped = read_file(std::string(ASSETS_DIR) + "/" + a.asset);
        EXPECT_FALSE(shipped.empty()) << a.asset;
        EXPECT_TRUE(made == shipped) << a.asset << " differs from what the tool makes";
    }
}

TEST(Texconv, ReadsAnImageFile)
{
    // A 64x32 PNG: red rises left to right, green top to bottom; converted to 2:1 rgb565.
    std::vector<uint8_t> px;
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 64; x++)
            px.insert(px.end(), {(uint8_t)(x * 4), (uint8_t)(y * 8), 99, 255});
    const std::string png = scratch_path("ramp.png"), tdf = scratch_path("ramp.3DF");
    ASSERT_NE(stbi_write_png(png.c_str(), 64, 32, 4, px.data(), 64 * 4), 0);
    const Child r = texconv(png + " --format rgb565 --lod 1 64 --aspect 2 1 -o " + tdf +
                            " --preview " + scratch_path("ramp-preview.png"));
    ASSERT_TRUE(exited_with(r, 0)) << r.err_text;
    EXPECT_EQ(r.err_text, "");

    Gu3dfInfo info;
    ASSERT_EQ(gu3dfGetInfo(tdf.c_str(), &info), 1);
    std::vector<uint8_t> data(info.mem_required);
    info.data = data.data();
    ASSERT_EQ(gu3dfLoad(tdf.c_str(), &info), 1);
    auto mem = new_tex_memory(1 << 20, 0);
    const int32_t h = allocate_like_program(mem.get(), info.header);
    ASSERT_NE(h, -1);
    tex_download(mem.get(), h, data.data(), &info.table);
    const MipLevel &top = tex_lookup(*mem, h)->level[0];
    ASSERT_EQ(top.width_log2, 6);
    ASSERT_EQ(top.height_log2, 5);
    for (int y = 0; y < 32; y += 5) {
        for (int x = 0; x < 64; x += 7) {
            const Rgba c = texel_at(top, x, y);
            EXPECT_NEAR(c.r, x * 4, 5) << x << "," << y;
            EXPECT_NEAR(c.g, y * 8, 3) << x << "," << y;
            EXPECT_NEAR(c.b, 99, 5) << x << "," << y;
        }
    }
    // The last level, 1x1 (width 2 over 2:1 stops at 1), is the average of everything.
    const MipLevel &last = tex_lookup(*mem, h)->level[6];
    EXPECT_EQ(last.width_log2 + last.height_log2, 0);
    EXPECT_NEAR(texel_at(last, 0, 0).r, 126, 5);
    EXPECT_NEAR(texel_at(last, 0, 0).g, 124, 3);
}

TEST(Texconv, LevelsAreBoxFilteredOnStoredValuesOrInLinearLight)
{
    // Black and white columns, alpha 0 and 255 rows: one level down is the plain mean,
    // or with --linear the mean of the light (sRGB 188 is half of white's light).
    Image im;
    im.width = im.height = 4;
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++)
            im.rgba.insert(im.rgba.end(), {(uint8_t)(x % 2 ? 255 : 0), (uint8_t)(x % 2 ? 255 : 0),
                                           (uint8_t)(x % 2 ? 255 : 0), (uint8_t)(y % 2 ? 255 : 0)});
    const MipShape shape = {1, 4, 1, 1};
    const std::vector<Image> plain = enc_mip_chain(im, shape, false);
    const std::vector<Image> linear = enc_mip_chain(im, shape, true);
    ASSERT_EQ(plain.size(), 3u);
    for (int lv = 1; lv < 3; lv++) {
        EXPECT_EQ(plain[lv].rgba[0], 128) << lv;
        EXPECT_EQ(linear[lv].rgba[0], 188) << lv;
        EXPECT_EQ(plain[lv].rgba[3], 128) << lv; // alpha is never gamma-decoded
        EXPECT_EQ(linear[lv].rgba[3], 128) << lv;
    }
    EXPECT_EQ(linear[0].rgba, im.rgba); // the largest level at the image's own size
}

TEST(Texconv, BadRequestsGetOneLineAndAFailingStatus)
{
    const std::string out = " -o " + scratch_path("never.3DF");
    const std::string junk = scratch_path("junk.png");
    write_file(junk, "this is not an image");
    const struct {
        std::string args;
        bool with_output;
    } cases[] = {
        {"", false},                               // nothing to do
        {"--pattern tubes", false},                // no output
        {"--pattern nosuch", true},                // unknown pattern
        {"--pattern tubes --format rgb888", true}, // unknown format
        {"--pattern tubes --lod 3 256", true},     // not a power of two
        {"--pattern tubes --lod 256 1", true},     // smallest above largest
        {"--pattern tubes --lod 1 512", true},     // above 256
        {"--pattern tubes --lod 1", false},        // missing value
        {"--pattern tubes --lod 1 x", true},       // not a number
        {"--pattern tubes --aspect 3 1", true},    // not in the list
        {"--pattern tubes --bogus", true},         // unknown option
        {"--pattern tubes a.png", true},           // both an image and a pattern
        {"/nonexistent/image.png", true},          // unreadable image
        {junk, true},                              // not an image
    };
    for (const auto &c : cases) {
        const Child r = texconv(c.args + (c.with_output ? out : ""));
        EXPECT_TRUE(r.ended && !exited_with(r, 0)) << c.args;
        EXPECT_EQ(r.err_text.rfind("texconv: ", 0), 0u) << c.args << ": " << r.err_text;
        EXPECT_EQ(std::count(r.err_text.begin(), r.err_text.end(), '\n'), 1)
            << c.args << ": " << r.err_text;
    }
    const Child r = texconv("--pattern tubes -o /nonexistent/dir/out.3DF");
    EXPECT_TRUE(r.ended && !exited_with(r, 0));
    EXPECT_NE(r.err_text.find("/nonexistent/dir/out.3DF"), std::string::npos) << r.err_text;

    const Child help = texconv("--help");
    EXPECT_TRUE(exited_with(help, 0));
}

} // namespace
