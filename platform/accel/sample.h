// sample.h: the texture stage, inlined into the raster loops.
// Reads one MipLevel (RGBA8, row 0 first) at s, t in that level's texels; writes a
// texel, and the pixel it makes with the iterated colour.
#pragma once

#include <cstdint>

#include <emmintrin.h>

#include "texture.h"

// Texel coordinates are clamped to this many fixed-point steps (8 fraction bits) before
// converting to int, so that a wild plane (NaN included) samples some texel instead of
// overflowing; wrapped setup keeps real triangles far inside.
constexpr float TEX_COORD_LIMIT = 1073741824.0f; // 2^30

// floor((v - 0.5) * 256) as an int: texel centres sit at half-integers, 8 bits of weight.
// Written as truncate-then-correct so that the SSE2 path computes the same integer.
inline int tex_fixed(float v)
{
    float f = (v - 0.5f) * 256.0f;
    f = f > -TEX_COORD_LIMIT ? f : -TEX_COORD_LIMIT; // NaN takes the lower limit
    f = f < TEX_COORD_LIMIT ? f : TEX_COORD_LIMIT;
    const int i = (int)f;
    return (float)i > f ? i - 1 : i;
}

// Per channel a + (b - a) * w / 256 on packed RGBA8, w in 0..255.
inline uint32_t tex_lerp(uint32_t a, uint32_t b, int w)
{
    uint32_t out = 0;
    for (int sh = 0; sh < 32; sh += 8) {
        const int ca = (int)(a >> sh) & 255, cb = (int)(b >> sh) & 255;
        out |= (uint32_t)(ca + (((cb - ca) * w) >> 8)) << sh;
    }
    return out;
}

// Bilinear with wrap: the four texels around (s, t), weights from the 8 fraction bits.
inline uint32_t tex_bilinear(const MipLevel &lv, float s, float t)
{
    const int si = tex_fixed(s), ti = tex_fixed(t);
    const int wmask = (1 << lv.width_log2) - 1, hmask = (1 << lv.height_log2) - 1;
    const int x0 = (si >> 8) & wmask, x1 = (x0 + 1) & wmask;
    const int y0 = (ti >> 8) & hmask, y1 = (y0 + 1) & hmask;
    const uint32_t *r0 = lv.texels + (y0 << lv.width_log2);
    const uint32_t *r1 = lv.texels + (y1 << lv.width_log2);
    return tex_lerp(tex_lerp(r0[x0], r0[x1], si & 255), tex_lerp(r1[x0], r1[x1], si & 255),
                    ti & 255);
}

// round(t * c / 255) for t, c in 0..255, exactly (no ties can occur: 255 is odd).
inline uint32_t tex_mul255(uint32_t t, uint32_t c)
{
    const uint32_t x = t * c + 128;
    return (x + (x >> 8)) >> 8;
}

// The pixel: texel R, G, B times the colour's bytes / 255, rounded; alpha is the texel's.
inline uint32_t tex_modulate(uint32_t texel, uint32_t r, uint32_t g, uint32_t b)
{
    return tex_mul255(texel & 255, r) | tex_mul255((texel >> 8) & 255, g) << 8 |
           tex_mul255((texel >> 16) & 255, b) << 16 | (texel & 0xff000000u);
}

// An iterated colour channel to a byte: clamped to 0..255 (NaN to 0), then rounded, halves
// up.
inline uint32_t tex_channel(float v)
{
    v = v > 0.0f ? v : 0.0f;
    v = v < 255.0f ? v : 255.0f;
    return (uint32_t)(int)(v + 0.5f);
}

// Whether this processor runs sample_wide4 (AVX2).
bool sample_available_wide();
// Four pixels at once: bilinear at the fixed-point positions si, ti (tex_fixed's), each
// texel times its pixel's colour (16-bit r g b 255 lanes: pixels 0-1 in col01, 2-3 in
// col23), packed RGBA8 into *out. False, with nothing written, when a pixel's texel pair
// wraps across the level's right edge; the caller then samples them the general way.
bool sample_wide4(const MipLevel &lv, __m128i si, __m128i ti, __m128i col01, __m128i col23,
                  __m128i *out);
