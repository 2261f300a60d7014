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

// Bilinear with wrap: the four texels around (si, ti) (tex_fixed's), weights from the 8
// fraction bits.
inline uint32_t tex_bilinear_fixed(const MipLevel &lv, int si, int ti)
{
    const int wmask = (1 << lv.width_log2) - 1, hmask = (1 << lv.height_log2) - 1;
    const int x0 = (si >> 8) & wmask, x1 = (x0 + 1) & wmask;
    const int y0 = (ti >> 8) & hmask, y1 = (y0 + 1) & hmask;
    const uint32_t *r0 = lv.texels + (y0 << lv.width_log2);
    const uint32_t *r1 = lv.texels + (y1 << lv.width_log2);
    return tex_lerp(tex_lerp(r0[x0], r0[x1], si & 255), tex_lerp(r1[x0], r1[x1], si & 255),
                    ti & 255);
}

inline uint32_t tex_bilinear(const MipLevel &lv, float s, float t)
{
    return tex_bilinear_fixed(lv, tex_fixed(s), tex_fixed(t));
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

// tex_lerp on two channels at once, each in a 16-bit half of a lane (bytes 0 and 2):
// a * (256 - w) + b * w is 256 * a + (b - a) * w, below 2^16, so its bits 8.. are
// a + ((b - a) * w >> 8). w and w_rest hold the weight in both halves.
template <class VW> HWY_INLINE VW tex_lerp2_n(VW a, VW b, VW w, VW w_rest)
{
    return hn::ShiftRight<8>(hn::Add(hn::Mul(a, w_rest), hn::Mul(b, w)));
}

// tex_mul255 on the two 16-bit halves of each lane: t * c + 128 and the sum below stay
// under 2^16.
template <class DW> HWY_INLINE hn::Vec<DW> tex_mul255_n(DW dw, hn::Vec<DW> t, hn::Vec<DW> c)
{
    const hn::Vec<DW> x = hn::Add(hn::Mul(t, c), hn::Set(dw, 128));
    return hn::ShiftRight<8>(hn::Add(x, hn::ShiftRight<8>(x)));
}

#if HWY_TARGET != HWY_SCALAR
// The texel pairs at texels[a] and texels[b], each two texels in one 8-byte load:
// {a, a + 1, b, b + 1}.
template <class D4>
HWY_INLINE hn::Vec<D4> tex_two_pairs(D4 d4, const uint32_t *texels, int a, int b)
{
    const hn::CappedTag<uint32_t, 2> d2;
    return hn::Combine(d4, hn::LoadU(d2, texels + b), hn::LoadU(d2, texels + a));
}
#endif

// Each lane's texel at `index` and its right neighbour (`right` further on) in *left and
// *next. Four, eight or sixteen lanes take two texels in one 8-byte load each, when no
// pair wraps across the level's right edge, and put them in place in registers; others go
// through memory.
template <class DU, class DI = hn::RebindToSigned<DU>>
HWY_INLINE void tex_pairs_n(DU du, const uint32_t *texels, hn::Vec<DI> index, bool adjacent,
                            hn::Vec<DI> right, hn::Vec<DU> *left, hn::Vec<DU> *next)
{
    const DI di;
    constexpr size_t MAX = hn::MaxLanes(DU());
#if HWY_TARGET != HWY_SCALAR
    if constexpr (MAX == 16) {
        if (adjacent && hn::Lanes(du) == 16) {
            const hn::Half<DU> dh;
            const hn::Half<decltype(dh)> dq;
            alignas(64) int32_t at[16];
            hn::Store(index, di, at);
            const auto p0 = hn::Combine(dh, tex_two_pairs(dq, texels, at[2], at[3]),
                                        tex_two_pairs(dq, texels, at[0], at[1]));
            const auto p1 = hn::Combine(dh, tex_two_pairs(dq, texels, at[6], at[7]),
                                        tex_two_pairs(dq, texels, at[4], at[5]));
            const auto p2 = hn::Combine(dh, tex_two_pairs(dq, texels, at[10], at[11]),
                                        tex_two_pairs(dq, texels, at[8], at[9]));
            const auto p3 = hn::Combine(dh, tex_two_pairs(dq, texels, at[14], at[15]),
                                        tex_two_pairs(dq, texels, at[12], at[13]));
            const hn::Vec<DU> lo = hn::Combine(du, p1, p0), hi = hn::Combine(du, p3, p2);
            *left = hn::ConcatEven(du, hi, lo);
            *next = hn::ConcatOdd(du, hi, lo);
            return;
        }
    }
    if constexpr (MAX == 8) {
        if (adjacent && hn::Lanes(du) == 8) {
            const hn::Half<DU> dh;
            alignas(32) int32_t at[8];
            hn::Store(index, di, at);
            const hn::Vec<DU> lo = hn::Combine(du, tex_two_pairs(dh, texels, at[2], at[3]),
                                               tex_two_pairs(dh, texels, at[0], at[1]));
            const hn::Vec<DU> hi = hn::Combine(du, tex_two_pairs(dh, texels, at[6], at[7]),
                                               tex_two_pairs(dh, texels, at[4], at[5]));
            *left = hn::ConcatEven(du, hi, lo);
            *next = hn::ConcatOdd(du, hi, lo);
            return;
        }
    }
    if constexpr (MAX == 4) {
        if (adjacent) {
            const hn::Vec<DU> p01 =
                tex_two_pairs(du, texels, hn::ExtractLane(index, 0), hn::ExtractLane(index, 1));
            const hn::Vec<DU> p23 =
                tex_two_pairs(du, texels, hn::ExtractLane(index, 2), hn::ExtractLane(index, 3));
            *left = hn::ConcatEven(du, p23, p01);
            *next = hn::ConcatOdd(du, p23, p01);
            return;
        }
    }
#endif
    const size_t n = hn::Lanes(du);
    alignas(64) int32_t at[MAX], step[MAX];
    alignas(64) uint32_t a[MAX], b[MAX];
    hn::StoreU(index, di, at);
    hn::StoreU(right, di, step);
    for (size_t i = 0; i < n; i++) {
        a[i] = texels[at[i]];
        b[i] = texels[at[i] + step[i]];
    }
    *left = hn::Load(du, a);
    *next = hn::Load(du, b);
}

// tex_bilinear then tex_modulate for a group of pixels: positions si, ti (tex_fixed's),
// colour channels r, g, b (0..255). Every texel index stays inside the level, so the lanes
// of pixels that are not stored read real texels too.
template <class DI, class DU = hn::RebindToUnsigned<DI>>
HWY_INLINE hn::Vec<DU> tex_sample_n(DI di, const MipLevel &lv, hn::Vec<DI> si, hn::Vec<DI> ti,
                                    hn::Vec<DI> r, hn::Vec<DI> g, hn::Vec<DI> b)
{
    const DU du;
    if constexpr (hn::MaxLanes(du) == 1) { // the scalar target: a pixel at a time
        const uint32_t texel = tex_bilinear_fixed(lv, hn::GetLane(si), hn::GetLane(ti));
        return hn::Set(du, tex_modulate(texel, (uint32_t)hn::GetLane(r), (uint32_t)hn::GetLane(g),
                                        (uint32_t)hn::GetLane(b)));
    } else {
        const hn::Repartition<uint16_t, DU> dw;
        using VW = hn::Vec<decltype(dw)>;
        const hn::Vec<DI> wmask = hn::Set(di, (1 << lv.width_log2) - 1);
        const hn::Vec<DI> hmask = hn::Set(di, (1 << lv.height_log2) - 1), one = hn::Set(di, 1);
        const hn::Vec<DI> x0 = hn::And(hn::ShiftRight<8>(si), wmask);
        const hn::Vec<DI> x1 = hn::And(hn::Add(x0, one), wmask);
        const hn::Vec<DI> y0 = hn::And(hn::ShiftRight<8>(ti), hmask);
        const hn::Vec<DI> y1 = hn::And(hn::Add(y0, one), hmask);
        const hn::Vec<DI> r0 = hn::ShiftLeftSame(y0, lv.width_log2);
        const hn::Vec<DI> r1 = hn::ShiftLeftSame(y1, lv.width_log2);
        // Plain loads, as gathers are slow on many processors. Unless some pixel's pair wraps
        // across the right edge, a pair is adjacent in memory.
        const bool adjacent = hn::AllFalse(di, hn::Eq(x0, wmask));
        const hn::Vec<DI> right = hn::Sub(x1, x0);
        hn::Vec<DU> t00, t01, t10, t11;
        tex_pairs_n(du, lv.texels, hn::Add(r0, x0), adjacent, right, &t00, &t01);
        tex_pairs_n(du, lv.texels, hn::Add(r1, x0), adjacent, right, &t10, &t11);

        // Red and blue in one lane's 16-bit halves, green and alpha in another's.
        const hn::Vec<DU> byte = hn::Set(du, 255u), pair = hn::Set(du, 0x00ff00ffu);
        const hn::Vec<DU> wx = hn::And(hn::BitCast(du, si), byte);
        const hn::Vec<DU> wy = hn::And(hn::BitCast(du, ti), byte);
        const VW full = hn::Set(dw, 256);
        const VW wx2 = hn::BitCast(dw, hn::Or(wx, hn::ShiftLeft<16>(wx))),
                 wx2_rest = hn::Sub(full, wx2);
        const VW wy2 = hn::BitCast(dw, hn::Or(wy, hn::ShiftLeft<16>(wy))),
                 wy2_rest = hn::Sub(full, wy2);
        const VW rb = tex_lerp2_n(tex_lerp2_n(hn::BitCast(dw, hn::And(t00, pair)),
                                              hn::BitCast(dw, hn::And(t01, pair)), wx2, wx2_rest),
                                  tex_lerp2_n(hn::BitCast(dw, hn::And(t10, pair)),
                                              hn::BitCast(dw, hn::And(t11, pair)), wx2, wx2_rest),
                                  wy2, wy2_rest);
        const VW ga = tex_lerp2_n(
            tex_lerp2_n(hn::BitCast(dw, hn::And(hn::ShiftRight<8>(t00), pair)),
                        hn::BitCast(dw, hn::And(hn::ShiftRight<8>(t01), pair)), wx2, wx2_rest),
            tex_lerp2_n(hn::BitCast(dw, hn::And(hn::ShiftRight<8>(t10), pair)),
                        hn::BitCast(dw, hn::And(hn::ShiftRight<8>(t11), pair)), wx2, wx2_rest),
            wy2, wy2_rest);

        // Alpha is multiplied by 255, which leaves it as it is.
        const hn::Vec<DU> rb_colour = hn::BitCast(du, hn::Or(r, hn::ShiftLeft<16>(b)));
        const hn::Vec<DU> ga_colour = hn::Or(hn::BitCast(du, g), hn::Set(du, 0x00ff0000u));
        const hn::Vec<DU> red_blue =
            hn::BitCast(du, tex_mul255_n(dw, rb, hn::BitCast(dw, rb_colour)));
        const hn::Vec<DU> green_alpha =
            hn::BitCast(du, tex_mul255_n(dw, ga, hn::BitCast(dw, ga_colour)));
        return hn::Or(red_blue, hn::ShiftLeft<8>(green_alpha));
    }
}

} // namespace accel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif // ACCEL_SAMPLE_H_TARGET
