// test_decode.cpp: texels from the file's formats to the sampler's RGBA8. The tool writes
// each format and shape and the library reads and decodes it: every level must be what
// the tool chose. Hand-made texels pin the widening and table rules.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "gfx/gfx.h"
#include "tex_test.h"
#include "texenc.h"

namespace
{

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
            TexMemoryPtr mem;
            const Texture *tex = load_texture(path, &mem);
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

// One 1x1 texture of `format` holding `texel`, decoded through `table`, as 0xAABBGGRR.
uint32_t decode_one(int32_t format, uint16_t texel, const GuTexTable *table)
{
    TexMemoryPtr mem(new TexMemory);
    tex_memory_init(mem.get(), 1024, 0);
    const int32_t handle =
        tex_allocate(mem.get(), GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, 1, 1, format, GR_MIPMAP_NEAREST,
                     GR_LOD_1, GR_LOD_1, GR_ASPECT_1x1, GR_TEXTURECLAMP_WRAP, GR_TEXTURECLAMP_WRAP,
                     GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
    uint8_t src[2];
    std::memcpy(src, &texel, 2);
    if (tex_texel_bytes(format) == 1)
        src[0] = (uint8_t)texel;
    tex_download(mem.get(), handle, src, table);
    return texel_at(tex_lookup(*mem, handle)->level[0], 0, 0);
}

// Channels widen by repeating their high bits; tables give colour (Y + I + Q per channel,
// clamped) and the format gives alpha; without a table the texture stays as allocated.
TEST(Decode, ChannelsWidenAndTablesGiveColour)
{
    GuTexTable pal = {}, ncc = {};
    pal.palette[0x42] = 0x00102030; // alpha byte 0: ignored
    ncc.ncc.y[0xa] = 250;
    ncc.ncc.y[0x3] = 10;
    const int16_t i2[3] = {100, -5, -100}, q1[3] = {-3, 255, -256};
    std::memcpy(ncc.ncc.i[2], i2, sizeof i2);
    std::memcpy(ncc.ncc.q[1], q1, sizeof q1);
    const struct {
        int32_t format;
        uint16_t texel;
        const GuTexTable *table;
        uint32_t want;
    } cases[] = {
        {GR_TEXFMT_RGB_565, 0x8410, nullptr, 0xff848284}, // 10000 100000 10000
        {GR_TEXFMT_ARGB_4444, 0x1f30, nullptr, 0x110033ff},
        {GR_TEXFMT_ARGB_1555, 0x8000 | 1 << 10, nullptr, 0xff000008},
        {GR_TEXFMT_ARGB_1555, 0x7fff, nullptr, 0x00ffffff},
        {GR_TEXFMT_RGB_332, 0x25, nullptr, 0xff552424},
        {GR_TEXFMT_ARGB_8332, 0x7f03, nullptr, 0x7fff0000},
        {GR_TEXFMT_ALPHA_8, 0x3c, nullptr, 0x3cffffff},
        {GR_TEXFMT_INTENSITY_8, 0x3c, nullptr, 0xff3c3c3c},
        {GR_TEXFMT_ALPHA_INTENSITY_44, 0x4c, nullptr, 0x44cccccc},
        {GR_TEXFMT_ALPHA_INTENSITY_88, 0x204c, nullptr, 0x204c4c4c},
        {GR_TEXFMT_P_8, 0x42, &pal, 0xff302010},
        {GR_TEXFMT_AP_88, 0x9942, &pal, 0x99302010},
        {GR_TEXFMT_YIQ_422, 0xa0 | 2 << 2 | 1, &ncc, 0xff00ffff},
        {GR_TEXFMT_YIQ_422, 0x30 | 2 << 2, &ncc, 0xff00056e},
        {GR_TEXFMT_AYIQ_8422, 0x8030 | 1, &ncc, 0x8000ff07},
        {GR_TEXFMT_P_8, 0x42, nullptr, 0},
        {GR_TEXFMT_AYIQ_8422, 0x8030, nullptr, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decode_one(c.format, c.texel, c.table), c.want)
            << enc_format_info(c.format)->name << " 0x" << std::hex << c.texel;
}

} // namespace
