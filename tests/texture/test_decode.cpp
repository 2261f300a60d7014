// test_decode.cpp: texels from the file's formats to the sampler's RGBA8. The tool writes
// each format and shape, gu3dfGetInfo/gu3dfLoad read it, tex_allocate/tex_download decode
// it; every level must match the tool's choice exactly and the source within the
// format's precision. Hand-made texels pin the widening and table rules.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "gfx/gfx.h"
#include "tex_test.h"
#include "texenc.h"

namespace
{

// Bits of red, green, blue, alpha a format keeps; 0: the channel is fixed at 255.
// Table formats are checked against their table, grey ones get a grey source.
struct Precision {
    int32_t format;
    int bits[4];
    bool grey;
    bool table;
};

constexpr Precision PRECISION[] = {
    {GR_TEXFMT_RGB_332, {3, 3, 2, 0}, false, false},
    {GR_TEXFMT_YIQ_422, {8, 8, 8, 0}, false, true},
    {GR_TEXFMT_ALPHA_8, {0, 0, 0, 8}, false, false},
    {GR_TEXFMT_INTENSITY_8, {8, 8, 8, 0}, true, false},
    {GR_TEXFMT_ALPHA_INTENSITY_44, {4, 4, 4, 4}, true, false},
    {GR_TEXFMT_P_8, {8, 8, 8, 0}, false, true},
    {GR_TEXFMT_ARGB_8332, {3, 3, 2, 8}, false, false},
    {GR_TEXFMT_AYIQ_8422, {8, 8, 8, 8}, false, true},
    {GR_TEXFMT_RGB_565, {5, 6, 5, 0}, false, false},
    {GR_TEXFMT_ARGB_1555, {5, 5, 5, 1}, false, false},
    {GR_TEXFMT_ARGB_4444, {4, 4, 4, 4}, false, false},
    {GR_TEXFMT_ALPHA_INTENSITY_88, {8, 8, 8, 8}, true, false},
    {GR_TEXFMT_AP_88, {8, 8, 8, 8}, false, true},
};

// Half the widest step between neighbouring values of a `bits`-bit channel.
int tolerance(int bits)
{
    return bits >= 8 ? 0 : 255 / ((1 << bits) - 1) / 2 + 1;
}

// Smooth colour ramps across the texture with a few sharp edges; alpha ramps the other
// way. Grey when asked (the intensity formats keep one channel).
Image source_image(int w, int h, bool grey)
{
    Image im;
    im.width = w;
    im.height = h;
    im.rgba.resize((size_t)w * h * 4);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            uint8_t *p = &im.rgba[((size_t)y * w + x) * 4];
            const int r = 255 * x / std::max(1, w - 1), g = 255 * y / std::max(1, h - 1);
            const int b = ((x / 4 + y / 4) % 2) ? 230 : 20;
            const int grey_v = (r + g) / 2;
            p[0] = (uint8_t)(grey ? grey_v : r);
            p[1] = (uint8_t)(grey ? grey_v : g);
            p[2] = (uint8_t)(grey ? grey_v : b);
            p[3] = (uint8_t)(255 - (x * 7 + y * 3) % 256);
        }
    }
    return im;
}

struct Loaded {
    TexMemoryPtr mem;
    const Texture *tex = nullptr;
    std::vector<Image> source; // the tool's levels before encoding
    Encoded enc;
};

// Tool -> file -> gu3dfGetInfo/gu3dfLoad -> tex_allocate/tex_download.
void round_trip(const Precision &p, const MipShape &shape, Loaded *out)
{
    int w, h;
    enc_level_size(shape, 0, &w, &h);
    out->source = enc_mip_chain(source_image(w, h, p.grey), shape, false);
    out->enc = enc_encode(out->source, p.format);
    const std::string path = scratch_path("round.3DF");
    ASSERT_TRUE(enc_write_3df(path.c_str(), shape, out->enc));

    Gu3dfInfo info;
    ASSERT_EQ(gu3dfGetInfo(path.c_str(), &info), 1);
    ASSERT_EQ(info.header.width, (uint32_t)w);
    ASSERT_EQ(info.header.height, (uint32_t)h);
    ASSERT_EQ(info.header.format, p.format);
    ASSERT_EQ(info.mem_required, out->enc.texels.size());
    std::vector<uint8_t> data(info.mem_required);
    info.data = data.data();
    ASSERT_EQ(gu3dfLoad(path.c_str(), &info), 1);

    out->mem = new_tex_memory(2u << 20, 4096);
    const int32_t handle = allocate_like_program(out->mem.get(), info.header);
    ASSERT_GE(handle, 0);
    tex_download(out->mem.get(), handle, data.data(), &info.table);
    out->tex = tex_lookup(*out->mem, handle);
    ASSERT_NE(out->tex, nullptr);
    ASSERT_EQ(out->tex->level_count, enc_level_count(shape));
    EXPECT_FLOAT_EQ(out->tex->texels_per_unit, (float)std::max(w, h) / 256.0f);
}

void expect_levels_match(const Precision &p, const Loaded &l, const std::string &what)
{
    double error_sum[4] = {}, count = 0;
    for (int lv = 0; lv < l.tex->level_count; lv++) {
        const MipLevel &m = l.tex->level[lv];
        const Image &src = l.source[lv], &dec = l.enc.decoded[lv];
        ASSERT_EQ(1 << m.width_log2, src.width) << what << " level " << lv;
        ASSERT_EQ(1 << m.height_log2, src.height) << what << " level " << lv;
        for (int y = 0; y < src.height; y++) {
            for (int x = 0; x < src.width; x++) {
                const Rgba got = texel_at(m, x, y);
                const int got_c[4] = {got.r, got.g, got.b, got.a};
                const uint8_t *s = &src.rgba[((size_t)y * src.width + x) * 4];
                const uint8_t *d = &dec.rgba[((size_t)y * src.width + x) * 4];
                for (int c = 0; c < 4; c++) {
                    ASSERT_EQ(got_c[c], d[c]) << what << " level " << lv << " texel " << x << ","
                                              << y << " channel " << c;
                    if (p.bits[c] == 0) {
                        ASSERT_EQ(got_c[c], 255) << what << " channel " << c;
                    } else if (!p.table || c == 3) {
                        ASSERT_LE(std::abs(got_c[c] - s[c]), tolerance(p.bits[c]))
                            << what << " level " << lv << " texel " << x << "," << y << " channel "
                            << c;
                    }
                    error_sum[c] += std::abs(got_c[c] - s[c]);
                }
                count++;
            }
        }
    }
    // Table formats are lossy by content; yiq keeps 4 I and 4 Q steps for the whole
    // picture, and the blue checker edges cost it most.
    if (p.table) {
        for (int c = 0; c < 3; c++)
            EXPECT_LT(error_sum[c] / count, 20.0) << what << " channel " << c;
    }
}

// Every aspect over a short chain, and full and partial level ranges.
TEST(Decode, EveryFormatShapeAndLevelRangeRoundTrips)
{
    std::vector<MipShape> shapes = {{1, 256, 1, 1}, {16, 128, 2, 1}, {64, 64, 1, 8}};
    for (const int a : {8, 4, 2})
        shapes.insert(shapes.end(), {{1, 32, a, 1}, {1, 32, 1, a}});
    shapes.push_back({1, 32, 1, 1});
    for (const Precision &p : PRECISION) {
        for (const MipShape &shape : shapes) {
            const std::string what =
                std::string(enc_format_info(p.format)->name) + " " +
                std::to_string(shape.small_size) + ".." + std::to_string(shape.large_size) + " " +
                std::to_string(shape.aspect_w) + ":" + std::to_string(shape.aspect_h);
            Loaded l;
            round_trip(p, shape, &l);
            if (HasFatalFailure())
                return;
            expect_levels_match(p, l, what);
            if (HasFatalFailure())
                return;
        }
    }
}

// One 1x1 texture of `format` holding `texel`, decoded through `table`.
Rgba decode_one(int32_t format, uint16_t texel, const GuTexTable *table)
{
    auto mem = new_tex_memory(1024, 0);
    Gu3dfHeader h = {1, 1, GR_LOD_1, GR_LOD_1, GR_ASPECT_1x1, format};
    const int32_t handle = allocate_like_program(mem.get(), h);
    EXPECT_GE(handle, 0);
    uint8_t src[2];
    if (enc_format_info(format)->bytes == 2)
        std::memcpy(src, &texel, 2);
    else
        src[0] = (uint8_t)texel;
    tex_download(mem.get(), handle, src, table);
    return texel_at(tex_lookup(*mem, handle)->level[0], 0, 0);
}

bool same(const Rgba &a, const Rgba &b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

TEST(Decode, ChannelsWidenByRepeatingTheirHighBits)
{
    const struct {
        int32_t format;
        uint16_t texel;
        Rgba want;
    } cases[] = {
        {GR_TEXFMT_RGB_565, 0xf800, {255, 0, 0, 255}},
        {GR_TEXFMT_RGB_565, 0x07e0, {0, 255, 0, 255}},
        {GR_TEXFMT_RGB_565, 0x8410, {0x84, 0x82, 0x84, 255}}, // 10000 100000 10000
        {GR_TEXFMT_ARGB_4444, 0x8888, {0x88, 0x88, 0x88, 0x88}},
        {GR_TEXFMT_ARGB_4444, 0x1f30, {0xff, 0x33, 0x00, 0x11}},
        {GR_TEXFMT_ARGB_1555, 0x7fff, {255, 255, 255, 0}},
        {GR_TEXFMT_ARGB_1555, 0x8000 | 1 << 10, {0x08, 0, 0, 255}},
        {GR_TEXFMT_RGB_332, 0xe0, {255, 0, 0, 255}},
        {GR_TEXFMT_RGB_332, 0x20 | 0x04 | 0x01, {0x24, 0x24, 0x55, 255}},
        {GR_TEXFMT_ARGB_8332, 0x7f03, {0, 0, 255, 0x7f}},
        {GR_TEXFMT_ALPHA_8, 0x3c, {255, 255, 255, 0x3c}},
        {GR_TEXFMT_INTENSITY_8, 0x3c, {0x3c, 0x3c, 0x3c, 255}},
        {GR_TEXFMT_ALPHA_INTENSITY_44, 0x4c, {0xcc, 0xcc, 0xcc, 0x44}},
        {GR_TEXFMT_ALPHA_INTENSITY_88, 0x204c, {0x4c, 0x4c, 0x4c, 0x20}},
    };
    for (const auto &c : cases) {
        const Rgba got = decode_one(c.format, c.texel, nullptr);
        EXPECT_TRUE(same(got, c.want))
            << enc_format_info(c.format)->name << " 0x" << std::hex << c.texel << " gave " << got.r
            << " " << got.g << " " << got.b << " " << got.a;
    }
}

TEST(Decode, TablesGiveColourAndTheFormatGivesAlpha)
{
    GuTexTable t;
    std::memset(&t, 0, sizeof t);
    t.palette[0x42] = 0x00102030; // alpha byte 0: ignored
    EXPECT_TRUE(same(decode_one(GR_TEXFMT_P_8, 0x42, &t), {0x10, 0x20, 0x30, 255}));
    EXPECT_TRUE(same(decode_one(GR_TEXFMT_AP_88, 0x9942, &t), {0x10, 0x20, 0x30, 0x99}));

    // Y + I + Q per channel, clamped to 0..255.
    std::memset(&t, 0, sizeof t);
    t.ncc.y[0xa] = 250;
    t.ncc.y[0x3] = 10;
    const int16_t i2[3] = {100, -5, -100}, q1[3] = {-3, 255, -256};
    std::memcpy(t.ncc.i[2], i2, sizeof i2);
    std::memcpy(t.ncc.q[1], q1, sizeof q1);
    EXPECT_TRUE(same(decode_one(GR_TEXFMT_YIQ_422, 0xa0 | 2 << 2 | 1, &t), {255, 255, 0, 255}));
    EXPECT_TRUE(same(decode_one(GR_TEXFMT_YIQ_422, 0x30 | 2 << 2, &t), {110, 5, 0, 255}));
    EXPECT_TRUE(same(decode_one(GR_TEXFMT_AYIQ_8422, 0x8030 | 1, &t), {7, 255, 0, 0x80}));

    // Without a table the indices mean nothing: the texture stays as allocated.
    EXPECT_TRUE(same(decode_one(GR_TEXFMT_P_8, 0x42, nullptr), {0, 0, 0, 0}));
    EXPECT_TRUE(same(decode_one(GR_TEXFMT_AYIQ_8422, 0x8030, nullptr), {0, 0, 0, 0}));
}

TEST(Decode, PalettesAreExactForFewColours)
{
    // 200 distinct colours in a single level: the palette holds each of them.
    Image im;
    im.width = im.height = 32;
    for (int k = 0; k < 32 * 32; k++) {
        const int c = k % 200;
        im.rgba.insert(im.rgba.end(),
                       {(uint8_t)(c * 37), (uint8_t)(c * 11 + 3), (uint8_t)c, (uint8_t)(k % 256)});
    }
    const MipShape shape = {32, 32, 1, 1};
    for (int32_t format : {GR_TEXFMT_P_8, GR_TEXFMT_AP_88}) {
        const Encoded enc = enc_encode({im}, format);
        ASSERT_TRUE(enc_write_3df(scratch_path("few.3DF").c_str(), shape, enc));
        Gu3dfInfo info;
        ASSERT_EQ(gu3dfGetInfo(scratch_path("few.3DF").c_str(), &info), 1);
        std::vector<uint8_t> data(info.mem_required);
        info.data = data.data();
        ASSERT_EQ(gu3dfLoad(scratch_path("few.3DF").c_str(), &info), 1);
        auto mem = new_tex_memory(1 << 20, 0);
        const int32_t h = allocate_like_program(mem.get(), info.header);
        tex_download(mem.get(), h, data.data(), &info.table);
        const MipLevel &lv = tex_lookup(*mem, h)->level[0];
        for (int k = 0; k < 32 * 32; k++) {
            const Rgba got = texel_at(lv, k % 32, k / 32);
            const uint8_t *s = &im.rgba[(size_t)k * 4];
            const int alpha = format == GR_TEXFMT_AP_88 ? s[3] : 255;
            ASSERT_TRUE(same(got, {s[0], s[1], s[2], alpha})) << "texel " << k;
        }
    }
}

} // namespace
