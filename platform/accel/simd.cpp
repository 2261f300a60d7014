// simd.cpp: the choice of SIMD target, and its place in the stages' dispatch tables.
#include "simd.h"

#include <cstring>

#include <hwy/highway.h>

namespace
{

// The slot of `target` in a HWY_EXPORT table, as hwy::ChosenTarget computes it from a
// mask of targets: the portable fallback has the last slot.
int table_index(int64_t target)
{
#if (HWY_TARGETS & (HWY_TARGETS - 1)) == 0
    (void)target;
    return 0; // one target compiled: the table has one entry
#else
    const int64_t bits = HWY_CHOSEN_TARGET_SHIFT(target) | HWY_CHOSEN_TARGET_MASK_SCALAR;
    return (int)hwy::Num0BitsBelowLS1Bit_Nonzero64((uint64_t)bits);
#endif
}

int64_t best_target()
{
    const int64_t runs = hwy::SupportedTargets() & HWY_TARGETS;
    return runs & -runs; // lower bits are better targets
}

std::atomic<int64_t> selected{best_target()};

} // namespace

std::atomic<int> simd_table_index{table_index(selected.load())};

int simd_available(int64_t (&targets)[SIMD_MAX_TARGETS])
{
    int n = 0;
    for (int64_t left = hwy::SupportedTargets() & HWY_TARGETS; left && n < SIMD_MAX_TARGETS;
         left &= left - 1)
        targets[n++] = left & -left;
    return n;
}

int64_t simd_best()
{
    return best_target();
}

const char *simd_name(int64_t target)
{
    struct Named {
        int64_t target;
        const char *name;
    };
    static constexpr Named NAMES[] = {
        {HWY_SCALAR, "scalar"},   {HWY_EMU128, "scalar"},   {HWY_SSSE3, "ssse3"},
        {HWY_SSE4, "sse4"},       {HWY_AVX2, "avx2"},       {HWY_AVX3, "avx3"},
        {HWY_AVX3_DL, "avx3_dl"}, {HWY_NEON, "neon"},       {HWY_SVE, "sve"},
        {HWY_SVE2, "sve2"},       {HWY_SVE_256, "sve_256"}, {HWY_SVE2_128, "sve2_128"},
    };
    for (const Named &n : NAMES)
        if (n.target == target)
            return n.name;
    return "unknown";
}

int64_t simd_find(const char *name, bool *runs)
{
    *runs = false;
    for (int64_t left = HWY_TARGETS; left; left &= left - 1) {
        const int64_t t = left & -left;
        if (std::strcmp(simd_name(t), name) == 0) {
            *runs = (hwy::SupportedTargets() & t) != 0;
            return t;
        }
    }
    return 0;
}

void simd_select(int64_t target)
{
    selected.store(target);
    simd_table_index.store(table_index(target));
}

int64_t simd_selected()
{
    return selected.load();
}
