// sample.h: the texture stage, inlined into the raster loops: one pixel at a time, and
// a group of pixels in vectors for each SIMD target (below). Reads one MipLevel (RGBA8,
// row 0 first) at s, t in that level's texels; writes a texel, and the pixel it makes
// with the iterated colour. Both ways give the same bytes.
#ifndef ACCEL_SAMPLE_H
#define ACCEL_SAMPLE_H

#include <cstdint>
#include <cstring>

#include "texture.h"

// Texel coordinates are clamped to this many fixed-point steps (8 fraction bits) before
// converting to int, so that a wild plane (NaN included) samples some texel instead of
// overflowing; wrapped setup keeps real triangles far inside.
constexpr float TEX_COORD_LIMIT = 1073741824.0f; // 2^30

// floor((v - 0.5) * 256) as an int: texel centres sit at half-integers, 8 bits of weight.
// Written as truncate-then-correct, as the vector path computes it.
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

#endif // ACCEL_SAMPLE_H

// The vector path, once per SIMD target: included again for each by the files that
// foreach_target compiles.
#if defined(ACCEL_SAMPLE_H_TARGET) == defined(HWY_TARGET_TOGGLE)
#ifdef ACCEL_SAMPLE_H_TARGET
#undef ACCEL_SAMPLE_H_TARGET
#else
#define ACCEL_SAMPLE_H_TARGET
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace accel::HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

// tex_fixed, lane by lane.
template <class DF, class DI = hn::RebindToSigned<DF>>
HWY_INLINE hn::Vec<DI> tex_fixed_n(DF df, hn::Vec<DF> v)
{
    const DI di;
    const hn::Vec<DF> limit = hn::Set(df, TEX_COORD_LIMIT), low = hn::Neg(limit);
    hn::Vec<DF> f = hn::Mul(hn::Sub(v, hn::Set(df, 0.5f)), hn::Set(df, 256.0f));
    f = hn::IfThenElse(hn::Gt(f, low), f, low); // NaN takes the lower limit
    f = hn::IfThenElse(hn::Lt(f, limit), f, limit);
    const hn::Vec<DI> i = hn::ConvertTo(di, f);
    return hn::IfThenElse(hn::RebindMask(di, hn::Gt(hn::ConvertTo(df, i), f)),
                          hn::Sub(i, hn::Set(di, 1)), i);
}

// tex_channel, lane by lane: compares, not Min and Max, whose NaN differs by target.
template <class DF, class DI = hn::RebindToSigned<DF>>
HWY_INLINE hn::Vec<DI> tex_channel_n(DF df, hn::Vec<DF> v)
{
    const hn::Vec<DF> zero = hn::Zero(df), top = hn::Set(df, 255.0f);
    v = hn::IfThenElse(hn::Gt(v, zero), v, zero);
    v = hn::IfThenElse(hn::Lt(v, top), v, top);
    return hn::ConvertTo(DI(), hn::Add(v, hn::Set(df, 0.5f)));
}

// tex_lerp on two channels at once, bytes 0 and 2 of each lane: a * (256 - w) + b * w is
// 256 * a + (b - a) * w, so its bits 8.. are a + ((b - a) * w >> 8), and below 2^16 it
// leaves the other channel's half alone.
template <class DU>
HWY_INLINE hn::Vec<DU> tex_lerp2_n(DU du, hn::Vec<DU> a, hn::Vec<DU> b, hn::Vec<DU> w,
                                   hn::Vec<DU> w_rest)
{
    return hn::And(hn::ShiftRight<8>(hn::Add(hn::Mul(a, w_rest), hn::Mul(b, w))),
                   hn::Set(du, 0x00ff00ffu));
}

// tex_mul255, lane by lane.
template <class DU> HWY_INLINE hn::Vec<DU> tex_mul255_n(DU du, hn::Vec<DU> t, hn::Vec<DU> c)
{
    const hn::Vec<DU> x = hn::Add(hn::Mul(t, c), hn::Set(du, 128u));
    return hn::ShiftRight<8>(hn::Add(x, hn::ShiftRight<8>(x)));
}

// tex_bilinear then tex_modulate for a group of pixels: positions si, ti (tex_fixed's),
// colour channels r, g, b (0..255). Every texel index stays inside the level, so the lanes
// of pixels that are not stored read real texels too.
template <class DI, class DU = hn::RebindToUnsigned<DI>>
HWY_INLINE hn::Vec<DU> tex_sample_n(DI di, const MipLevel &lv, hn::Vec<DI> si, hn::Vec<DI> ti,
                                    hn::Vec<DI> r, hn::Vec<DI> g, hn::Vec<DI> b)
{
    const DU du;
    const hn::Vec<DI> wmask = hn::Set(di, (1 << lv.width_log2) - 1);
    const hn::Vec<DI> hmask = hn::Set(di, (1 << lv.height_log2) - 1), one = hn::Set(di, 1);
    const hn::Vec<DI> x0 = hn::And(hn::ShiftRight<8>(si), wmask);
    const hn::Vec<DI> x1 = hn::And(hn::Add(x0, one), wmask);
    const hn::Vec<DI> y0 = hn::And(hn::ShiftRight<8>(ti), hmask);
    const hn::Vec<DI> y1 = hn::And(hn::Add(y0, one), hmask);
    const hn::Vec<DI> r0 = hn::ShiftLeftSame(y0, lv.width_log2);
    const hn::Vec<DI> r1 = hn::ShiftLeftSame(y1, lv.width_log2);
    // Each pixel's two texels of a row, lane by lane into memory and back as two vectors:
    // plain loads, as gathers are slow on many processors. Where no pixel's pair wraps
    // across the right edge, a pair is adjacent in memory and comes in one 8-byte load.
    constexpr size_t MAX = hn::MaxLanes(DU());
    const size_t n = hn::Lanes(du);
    alignas(64) int32_t top[MAX], bottom[MAX], right[MAX];
    alignas(64) uint32_t top_pairs[2 * MAX], bottom_pairs[2 * MAX];
    hn::StoreU(hn::Add(r0, x0), di, top);
    hn::StoreU(hn::Add(r1, x0), di, bottom);
    if (hn::AllFalse(di, hn::Eq(x0, wmask))) {
        for (size_t i = 0; i < n; i++) {
            std::memcpy(top_pairs + 2 * i, lv.texels + top[i], 8);
            std::memcpy(bottom_pairs + 2 * i, lv.texels + bottom[i], 8);
        }
    } else {
        hn::StoreU(hn::Sub(x1, x0), di, right);
        for (size_t i = 0; i < n; i++) {
            top_pairs[2 * i] = lv.texels[top[i]];
            top_pairs[2 * i + 1] = lv.texels[top[i] + right[i]];
            bottom_pairs[2 * i] = lv.texels[bottom[i]];
            bottom_pairs[2 * i + 1] = lv.texels[bottom[i] + right[i]];
        }
    }
    hn::Vec<DU> t00, t01, t10, t11;
    hn::LoadInterleaved2(du, top_pairs, t00, t01);
    hn::LoadInterleaved2(du, bottom_pairs, t10, t11);

    const hn::Vec<DU> byte = hn::Set(du, 255u), pair = hn::Set(du, 0x00ff00ffu);
    const hn::Vec<DU> full = hn::Set(du, 256u);
    const hn::Vec<DU> wx = hn::And(hn::BitCast(du, si), byte), wx_rest = hn::Sub(full, wx);
    const hn::Vec<DU> wy = hn::And(hn::BitCast(du, ti), byte), wy_rest = hn::Sub(full, wy);
    // Red and blue in one lane's bytes 0 and 2, green and alpha in another's.
    const hn::Vec<DU> rb = tex_lerp2_n(
        du, tex_lerp2_n(du, hn::And(t00, pair), hn::And(t01, pair), wx, wx_rest),
        tex_lerp2_n(du, hn::And(t10, pair), hn::And(t11, pair), wx, wx_rest), wy, wy_rest);
    const hn::Vec<DU> ga =
        tex_lerp2_n(du,
                    tex_lerp2_n(du, hn::And(hn::ShiftRight<8>(t00), pair),
                                hn::And(hn::ShiftRight<8>(t01), pair), wx, wx_rest),
                    tex_lerp2_n(du, hn::And(hn::ShiftRight<8>(t10), pair),
                                hn::And(hn::ShiftRight<8>(t11), pair), wx, wx_rest),
                    wy, wy_rest);

    const hn::Vec<DU> red = tex_mul255_n(du, hn::And(rb, byte), hn::BitCast(du, r));
    const hn::Vec<DU> green = tex_mul255_n(du, hn::And(ga, byte), hn::BitCast(du, g));
    const hn::Vec<DU> blue = tex_mul255_n(du, hn::ShiftRight<16>(rb), hn::BitCast(du, b));
    return hn::Or(
        hn::Or(red, hn::ShiftLeft<8>(green)),
        hn::Or(hn::ShiftLeft<16>(blue), hn::And(hn::ShiftLeft<8>(ga), hn::Set(du, 0xff000000u))));
}

} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif // ACCEL_SAMPLE_H_TARGET
