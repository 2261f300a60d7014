// texture.cpp: a board's texture memory and the decoding of texels for the sampler.
// Reads the allocation values of guTexAllocateMemory and the texels and table of
// guTexDownloadMipMap (laid out as gu3dfLoad leaves them); writes Texture records whose
// levels are RGBA8 (bytes R, G, B, A), zero until the first download.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "texture.h"

namespace
{

// Width to height, in GR_ASPECT_* order; as log2 of the shorter side's divisor.
constexpr int ASPECT_SHIFT[] = {3, 2, 1, 0, 1, 2, 3};

bool wider_than_high(int32_t aspect)
{
    return aspect <= GR_ASPECT_1x1;
}

// Bytes R, G, B, A in memory. The sampler and the displays read texels and pixels as
// little-endian words, as every processor the library builds for stores them.
static_assert(std::endian::native == std::endian::little);
constexpr uint32_t pack(uint32_t r, uint32_t g, uint32_t b, uint32_t a)
{
    return r | g << 8 | b << 16 | a << 24;
}

// A channel of `bits` bits widened to 8 by repeating its bits from the top, so that
// 0 stays 0 and the largest value becomes 255.
constexpr uint32_t widen(uint32_t v, int bits)
{
    uint32_t out = 0;
    int have = 0;
    while (have < 8) {
        out = out << bits | v;
        have += bits;
    }
    return out >> (have - 8);
}

bool has_palette(int32_t format)
{
    return format == GR_TEXFMT_P_8 || format == GR_TEXFMT_AP_88;
}
bool has_ncc(int32_t format)
{
    return format == GR_TEXFMT_YIQ_422 || format == GR_TEXFMT_AYIQ_8422;
}

uint32_t decode_332(uint32_t v)
{
    return pack(widen(v >> 5, 3), widen(v >> 2 & 7, 3), widen(v & 3, 2), 0);
}

uint32_t decode_yiq(uint32_t v, const GuNccTable &t)
{
    const int y = t.y[v >> 4 & 15], i = v >> 2 & 3, q = v & 3;
    uint32_t c[3];
    for (int k = 0; k < 3; k++)
        c[k] = (uint32_t)std::clamp(y + t.i[i][k] + t.q[q][k], 0, 255);
    return pack(c[0], c[1], c[2], 0);
}

uint32_t decode_palette(uint32_t v, const uint32_t *palette)
{
    const uint32_t e = palette[v];
    return pack(e >> 16 & 255, e >> 8 & 255, e & 255, 0);
}

// The colour, with alpha 0, that a byte means in an 8-bit format or in the low byte of
// its 16-bit counterpart (whose high byte is alpha).
void build_byte_lut(int32_t format, const GuTexTable *table, uint32_t lut[256])
{
    for (uint32_t v = 0; v < 256; v++) {
        switch (format) {
        case GR_TEXFMT_RGB_332:
        case GR_TEXFMT_ARGB_8332:
            lut[v] = decode_332(v) | pack(0, 0, 0, 255);
            break;
        case GR_TEXFMT_YIQ_422:
        case GR_TEXFMT_AYIQ_8422:
            lut[v] = decode_yiq(v, table->ncc) | pack(0, 0, 0, 255);
            break;
        case GR_TEXFMT_P_8:
        case GR_TEXFMT_AP_88:
            lut[v] = decode_palette(v, table->palette) | pack(0, 0, 0, 255);
            break;
        case GR_TEXFMT_ALPHA_8:
            lut[v] = pack(255, 255, 255, v);
            break;
        case GR_TEXFMT_INTENSITY_8:
        case GR_TEXFMT_ALPHA_INTENSITY_88:
            lut[v] = pack(v, v, v, 255);
            break;
        case GR_TEXFMT_ALPHA_INTENSITY_44: {
            const uint32_t i = widen(v & 15, 4);
            lut[v] = pack(i, i, i, widen(v >> 4, 4));
            break;
        }
        default:
            lut[v] = 0;
        }
    }
}

void decode_bytes(const uint8_t *src, uint32_t n, const uint32_t lut[256], uint32_t *dst)
{
    for (uint32_t k = 0; k < n; k++)
        dst[k] = lut[src[k]];
}

// 16-bit texels whose low byte goes through the byte table and whose high byte is alpha.
void decode_alpha_byte(const uint8_t *src, uint32_t n, const uint32_t lut[256], uint32_t *dst)
{
    const uint32_t rgb_mask = pack(255, 255, 255, 0);
    for (uint32_t k = 0; k < n; k++) {
        uint16_t v;
        std::memcpy(&v, src + 2 * k, 2); // the caller's buffer need not be aligned
        dst[k] = (lut[v & 255] & rgb_mask) | pack(0, 0, 0, v >> 8);
    }
}

template <int32_t FORMAT> void decode_direct(const uint8_t *src, uint32_t n, uint32_t *dst)
{
    for (uint32_t k = 0; k < n; k++) {
        uint16_t v;
        std::memcpy(&v, src + 2 * k, 2);
        if constexpr (FORMAT == GR_TEXFMT_RGB_565)
            dst[k] = pack(widen(v >> 11, 5), widen(v >> 5 & 63, 6), widen(v & 31, 5), 255);
        else if constexpr (FORMAT == GR_TEXFMT_ARGB_1555)
            dst[k] = pack(widen(v >> 10 & 31, 5), widen(v >> 5 & 31, 5), widen(v & 31, 5),
                          v >> 15 ? 255 : 0);
        else
            dst[k] = pack(widen(v >> 8 & 15, 4), widen(v >> 4 & 15, 4), widen(v & 15, 4),
                          widen(v >> 12, 4));
    }
}

void decode_level(int32_t format, const uint8_t *src, uint32_t n, const uint32_t lut[256],
                  uint32_t *dst)
{
    switch (format) {
    case GR_TEXFMT_RGB_565:
        decode_direct<GR_TEXFMT_RGB_565>(src, n, dst);
        break;
    case GR_TEXFMT_ARGB_1555:
        decode_direct<GR_TEXFMT_ARGB_1555>(src, n, dst);
        break;
    case GR_TEXFMT_ARGB_4444:
        decode_direct<GR_TEXFMT_ARGB_4444>(src, n, dst);
        break;
    case GR_TEXFMT_ARGB_8332:
    case GR_TEXFMT_AYIQ_8422:
    case GR_TEXFMT_ALPHA_INTENSITY_88:
    case GR_TEXFMT_AP_88:
        decode_alpha_byte(src, n, lut, dst);
        break;
    default:
        decode_bytes(src, n, lut, dst);
    }
}

// The slot of a live texture that this memory handed out as `handle`, else -1.
int slot_of(const TexMemory &mem, int32_t handle)
{
    if (handle < mem.handle_base || handle - mem.handle_base >= mem.count)
        return -1;
    const int slot = handle - mem.handle_base;
    return mem.tex[slot].live ? slot : -1;
}

} // namespace

int tex_texel_bytes(int32_t format)
{
    switch (format) {
    case GR_TEXFMT_RGB_332:
    case GR_TEXFMT_YIQ_422:
    case GR_TEXFMT_ALPHA_8:
    case GR_TEXFMT_INTENSITY_8:
    case GR_TEXFMT_ALPHA_INTENSITY_44:
    case GR_TEXFMT_P_8:
        return 1;
    case GR_TEXFMT_ARGB_8332:
    case GR_TEXFMT_AYIQ_8422:
    case GR_TEXFMT_RGB_565:
    case GR_TEXFMT_ARGB_1555:
    case GR_TEXFMT_ARGB_4444:
    case GR_TEXFMT_ALPHA_INTENSITY_88:
    case GR_TEXFMT_AP_88:
        return 2;
    default:
        return 0;
    }
}

int tex_table_bytes(int32_t format)
{
    if (has_palette(format))
        return 256 * 4;
    if (has_ncc(format))
        return 40 * 2;
    return 0;
}

bool tex_shape(int32_t format, int32_t small_lod, int32_t large_lod, int32_t aspect,
               TexShape *shape)
{
    const int texel_bytes = tex_texel_bytes(format);
    if (texel_bytes == 0 || large_lod < GR_LOD_256 || small_lod > GR_LOD_1 ||
        small_lod < large_lod || aspect < GR_ASPECT_8x1 || aspect > GR_ASPECT_1x8)
        return false;
    const int longer = 256 >> large_lod;
    const int shorter = std::max(1, longer >> ASPECT_SHIFT[aspect]);
    TexShape s;
    s.width = wider_than_high(aspect) ? longer : shorter;
    s.height = wider_than_high(aspect) ? shorter : longer;
    s.level_count = small_lod - large_lod + 1;
    for (int l = 0; l < s.level_count; l++)
        s.texel_count += (uint32_t)(std::max(1, s.width >> l) * std::max(1, s.height >> l));
    s.bytes = s.texel_count * (uint32_t)texel_bytes;
    *shape = s;
    return true;
}

void tex_memory_init(TexMemory *mem, uint32_t capacity, int32_t handle_base)
{
    mem->capacity = capacity;
    mem->used = 0;
    mem->handle_base = handle_base;
    mem->count = 0;
}

void tex_memory_release(TexMemory *mem)
{
    for (int k = 0; k < mem->count; k++) {
        std::free(mem->tex[k].rgba);
        mem->tex[k] = Texture{};
    }
    mem->count = 0;
    mem->used = 0;
}

int32_t tex_allocate(TexMemory *mem, int32_t tmu, int32_t odd_even_mask, int32_t width,
                     int32_t height, int32_t format, int32_t mipmap_mode, int32_t small_lod,
                     int32_t large_lod, int32_t aspect_ratio, int32_t s_clamp, int32_t t_clamp,
                     int32_t min_filter, int32_t mag_filter, float lod_bias, int32_t trilinear)
{
    // The board has one texture unit holding every level, samples bilinearly, wraps, and
    // picks the nearest level with no bias. Asking for anything else would be drawn
    // wrongly without a word, so it is refused.
    if (tmu != GR_TMU0 || odd_even_mask != GR_MIPMAPLEVELMASK_BOTH ||
        s_clamp != GR_TEXTURECLAMP_WRAP || t_clamp != GR_TEXTURECLAMP_WRAP ||
        min_filter != GR_TEXTUREFILTER_BILINEAR || mag_filter != GR_TEXTUREFILTER_BILINEAR ||
        !(lod_bias == 0.0f) || trilinear != 0)
        return -1;
    // DISABLE samples the largest level only: it is the only level decoded and shown to
    // the sampler, though every level keeps its place in texture memory.
    if (mipmap_mode != GR_MIPMAP_NEAREST && mipmap_mode != GR_MIPMAP_DISABLE)
        return -1;
    TexShape shape;
    if (!tex_shape(format, small_lod, large_lod, aspect_ratio, &shape) || width != shape.width ||
        height != shape.height)
        return -1;
    if (mem->count >= TEX_MAX_TEXTURES || (uint64_t)mem->used + shape.bytes > mem->capacity)
        return -1;

    const int levels = mipmap_mode == GR_MIPMAP_DISABLE ? 1 : shape.level_count;
    uint32_t texels = 0;
    for (int l = 0; l < levels; l++)
        texels += (uint32_t)(std::max(1, shape.width >> l) * std::max(1, shape.height >> l));
    uint32_t *rgba = (uint32_t *)std::calloc(texels, sizeof(uint32_t));
    if (!rgba)
        return -1;

    Texture *t = &mem->tex[mem->count];
    *t = Texture{};
    t->live = true;
    t->format = format;
    t->level_count = levels;
    t->texels_per_unit = (float)std::max(shape.width, shape.height) / 256.0f;
    t->rgba = rgba;
    uint32_t at = 0;
    for (int l = 0; l < levels; l++) {
        const int w = std::max(1, shape.width >> l), h = std::max(1, shape.height >> l);
        t->level[l].texels = rgba + at;
        t->level[l].width_log2 = std::countr_zero((unsigned)w);
        t->level[l].height_log2 = std::countr_zero((unsigned)h);
        at += (uint32_t)(w * h);
    }
    mem->used += shape.bytes;
    return mem->handle_base + mem->count++;
}

void tex_download(TexMemory *mem, int32_t handle, const void *src, const GuTexTable *table)
{
    const int slot = slot_of(*mem, handle);
    if (slot < 0 || !src)
        return;
    Texture *t = &mem->tex[slot];
    if (!table && (has_palette(t->format) || has_ncc(t->format)))
        return; // nothing to decode the indices through
    uint32_t lut[256];
    build_byte_lut(t->format, table, lut);
    const int texel_bytes = tex_texel_bytes(t->format);
    const uint8_t *p = (const uint8_t *)src;
    uint32_t *dst = t->rgba;
    for (int l = 0; l < t->level_count; l++) {
        const uint32_t n = 1u << (t->level[l].width_log2 + t->level[l].height_log2);
        decode_level(t->format, p, n, lut, dst);
        p += n * (uint32_t)texel_bytes;
        dst += n;
    }
}

const Texture *tex_lookup(const TexMemory &mem, int32_t handle)
{
    const int slot = slot_of(mem, handle);
    return slot < 0 ? nullptr : &mem.tex[slot];
}
