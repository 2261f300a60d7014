// test_texconv.cpp: the texture tool as a user runs it: the shipped textures remade byte
// for byte, an image file converted and read back, and bad requests refused.
#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <stb/stb_image_write.h>

#include "gfx/gfx.h"
#include "tex_test.h"

// The tool's exit status; what it wrote on standard error in *err.
static int texconv(const std::string &args, std::string *err)
{
    const std::string err_path = scratch_path("texconv.err");
    const int status =
        std::system((TEXCONV_PATH " " + args + " </dev/null >/dev/null 2>" + err_path).c_str());
    *err = read_file(err_path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Texconv, RemakesTheShippedTexturesByteForByte)
{
    std::string err;
    const std::string pattern_asset[2][2] = {{"tubes", "quib.3DF"}, {"marble", "plov1.3DF"}};
    for (const auto &[pattern, asset] : pattern_asset) {
        ASSERT_EQ(texconv("--pattern " + pattern + " --format rgb565 --lod 1 256 --aspect 1 1 -o " +
                              scratch_path(asset),
                          &err),
                  0)
            << err;
        const std::string shipped = read_file(ASSETS_DIR "/" + asset);
        EXPECT_TRUE(!shipped.empty() && read_file(scratch_path(asset)) == shipped) << asset;
    }
}

// A 64x32 PNG, red rising left to right and green top to bottom, converted to 2:1 rgb565;
// texels read back as 0xAABBGGRR. Then one clear line and a failing status for every bad
// request.
TEST(Texconv, ConvertsAnImageFileAndRefusesBadRequestsInOneLine)
{
    std::vector<uint8_t> px;
    for (int k = 0; k < 64 * 32; k++)
        px.insert(px.end(), {(uint8_t)(k % 64 * 4), (uint8_t)(k / 64 * 8), 99, 255});
    const std::string png = scratch_path("ramp.png"), out = " -o " + scratch_path("ramp.3DF");
    ASSERT_NE(stbi_write_png(png.c_str(), 64, 32, 4, px.data(), 64 * 4), 0);
    std::string err;
    ASSERT_EQ(texconv(png + " --format rgb565 --lod 1 64 --aspect 2 1" + out, &err), 0) << err;
    const Texture *tex = load_texture(scratch_path("ramp.3DF"));
    ASSERT_NE(tex, nullptr);
    ASSERT_EQ(tex->level[0].width_log2 * 10 + tex->level[0].height_log2, 65);
    EXPECT_EQ(tex->level[0].texels[63], 0xff6300ffu);      // 252 and 99 in 5 bits
    EXPECT_EQ(tex->level[0].texels[31 * 64], 0xff63f700u); // 248 in 6 bits

    write_file(png, "this is not an image");
    for (const std::string &args : std::vector<std::string>{
             "--pattern tubes", // no output
             "--pattern nosuch" + out, "--pattern tubes --format rgb888" + out,
             "--pattern tubes --lod 3 256" + out, "--pattern tubes --aspect 3 1" + out,
             "--pattern tubes --bogus" + out, "--pattern tubes --lod 1", // a missing value
             png + out, "/nonexistent/image.png" + out,
             "--pattern tubes -o /nonexistent/d/o.3DF"}) {
        EXPECT_NE(texconv(args, &err), 0) << args;
        EXPECT_EQ(err.rfind("texconv: ", 0), 0u) << args << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << args << ": " << err;
    }
}
