// sample_wide.cpp: the texture stage's four-pixel bilinear sample and modulate in 256-bit
// registers, for processors with AVX2 (chosen once, at load). Reads one MipLevel at four
// fixed-point positions; writes four pixels, the same bytes as the SSE2 path in raster.cpp.
#include "sample.h"

#include <immintrin.h>

namespace
{

// (d * w) >> 8 and a + that, per 16-bit lane, exactly as the SSE2 path's lerp16.
__attribute__((target("avx2"))) inline __m256i lerp16(__m256i a, __m256i b, __m256i w)
{
    const __m256i d = _mm256_sub_epi16(b, a);
    const __m256i m = _mm256_or_si256(_mm256_srli_epi16(_mm256_mullo_epi16(d, w), 8),
                                      _mm256_slli_epi16(_mm256_mulhi_epi16(d, w), 8));
    return _mm256_add_epi16(a, m);
}

// Texels i and i + 1, then j and j + 1: the 8-byte pairs of two pixels.
__attribute__((target("avx2"))) inline __m128i pair_rows(const uint32_t *texels, int i, int j)
{
    return _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i *)(texels + i)),
                              _mm_loadl_epi64((const __m128i *)(texels + j)));
}

} // namespace

bool sample_available_wide()
{
    __builtin_cpu_init(); // asked from a static initializer, maybe before libgcc's own
    return __builtin_cpu_supports("avx2");
}

__attribute__((target("avx2"))) bool sample_wide4(const MipLevel &lv, __m128i si, __m128i ti,
                                                  __m128i col01, __m128i col23, __m128i *out)
{
    const __m128i wmask = _mm_set1_epi32((1 << lv.width_log2) - 1);
    const __m128i hmask = _mm_set1_epi32((1 << lv.height_log2) - 1);
    const __m128i x0 = _mm_and_si128(_mm_srai_epi32(si, 8), wmask);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(x0, wmask)))
        return false; // a pair wraps across the right edge: not adjacent in memory
    const __m128i y0 = _mm_and_si128(_mm_srai_epi32(ti, 8), hmask);
    const __m128i y1 = _mm_and_si128(_mm_add_epi32(y0, _mm_set1_epi32(1)), hmask);
    const __m128i shift = _mm_cvtsi32_si128(lv.width_log2);
    alignas(16) int i0[4], i1[4];
    _mm_store_si128((__m128i *)i0, _mm_add_epi32(_mm_sll_epi32(y0, shift), x0));
    _mm_store_si128((__m128i *)i1, _mm_add_epi32(_mm_sll_epi32(y1, shift), x0));

    // Per pixel p: its top pair (a, b) and bottom pair (c, d), channels widened to 16 bits,
    // pixel 0 (2) in the low 128 bits and pixel 1 (3) in the high.
    const __m256i top01 = _mm256_cvtepu8_epi16(pair_rows(lv.texels, i0[0], i0[1]));
    const __m256i bot01 = _mm256_cvtepu8_epi16(pair_rows(lv.texels, i1[0], i1[1]));
    const __m256i top23 = _mm256_cvtepu8_epi16(pair_rows(lv.texels, i0[2], i0[3]));
    const __m256i bot23 = _mm256_cvtepu8_epi16(pair_rows(lv.texels, i1[2], i1[3]));

    // Weights in both 16-bit halves of each 32-bit lane, spread to the pixels' lanes.
    const __m128i fx = _mm_and_si128(si, _mm_set1_epi32(255));
    const __m128i fy = _mm_and_si128(ti, _mm_set1_epi32(255));
    const __m256i wx = _mm256_castsi128_si256(_mm_or_si128(fx, _mm_slli_epi32(fx, 16)));
    const __m256i wy = _mm256_castsi128_si256(_mm_or_si128(fy, _mm_slli_epi32(fy, 16)));
    const __m256i wx01 = _mm256_permutevar8x32_epi32(wx, _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1));
    const __m256i wx23 = _mm256_permutevar8x32_epi32(wx, _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3));
    const __m256i wy02 = _mm256_permutevar8x32_epi32(wy, _mm256_setr_epi32(0, 0, 2, 2, 1, 1, 3, 3));

    // Across: (a, c) towards (b, d); then down: the lanes hold pixels 0, 2 | 1, 3.
    const __m256i rows01 =
        lerp16(_mm256_unpacklo_epi64(top01, bot01), _mm256_unpackhi_epi64(top01, bot01), wx01);
    const __m256i rows23 =
        lerp16(_mm256_unpacklo_epi64(top23, bot23), _mm256_unpackhi_epi64(top23, bot23), wx23);
    const __m256i texel =
        lerp16(_mm256_unpacklo_epi64(rows01, rows23), _mm256_unpackhi_epi64(rows01, rows23), wy02);

    // round(t * c / 255), as modulate16.
    const __m256i colour =
        _mm256_set_m128i(_mm_unpackhi_epi64(col01, col23), _mm_unpacklo_epi64(col01, col23));
    __m256i x = _mm256_add_epi16(_mm256_mullo_epi16(texel, colour), _mm256_set1_epi16(128));
    x = _mm256_srli_epi16(_mm256_add_epi16(x, _mm256_srli_epi16(x, 8)), 8);
    const __m256i bytes = _mm256_packus_epi16(x, x); // pixels 0 2 0 2 | 1 3 1 3
    *out = _mm_unpacklo_epi32(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1));
    return true;
}
