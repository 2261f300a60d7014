// test_decode.cpp: texels from the file's formats to the sampler's RGBA8. The tool writes
// each format and shape, with its own palettes and compression tables, and the library
// reads and decodes it: every level must be what the tool, which decodes on its own,
// chose.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "gfx/gfx.h"
#include "tex_test.h"
#include "texenc.h"

TEST(Decode, EveryFormatAndShapeRoundTripsThroughTheTool)
{
    const MipShape shapes[] = {{1, 32, 8, 1}, {4, 64, 1, 2}, {1, 16, 1, 1}};
    for (const FormatInfo &f : enc_formats())
        for (const MipShape &shape : shapes) {
            int w, h;
            enc_level_size(shape, 0, &w, &h);
            Image im; // colour ramps with sharp edges; alpha ramps the other way
            im.width = w;
            im.height = h;
            for (int k = 0; k < w * h; k++)
                im.rgba.insert(im.rgba.end(), {(uint8_t)(k % w * 255 / w), (uint8_t)(k / w * 7),
                                               (uint8_t)((k / 4 + k / w / 4) % 2 ? 230 : 20),
                                               (uint8_t)(255 - k % 256)});
            const Encoded enc = enc_encode(enc_mip_chain(im, shape, false), f.format);
            const std::string path = scratch_path("round.3DF"), what = f.name;
            ASSERT_TRUE(enc_write_3df(path.c_str(), shape, enc));
            const Texture *tex = load_texture(path);
            ASSERT_NE(tex, nullptr) << what;
            ASSERT_EQ(tex->level_count, (int)enc.decoded.size()) << what;
            for (int lv = 0; lv < tex->level_count; lv++) {
                const Image &want = enc.decoded[lv];
                ASSERT_EQ(1 << tex->level[lv].width_log2, want.width) << what << " " << lv;
                ASSERT_EQ(1 << tex->level[lv].height_log2, want.height) << what << " " << lv;
                ASSERT_EQ(std::memcmp(tex->level[lv].texels, want.rgba.data(), want.rgba.size()), 0)
                    << what << " level " << lv << " of " << w << "x" << h;
            }
        }
}
