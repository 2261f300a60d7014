// simd.h: which of the compiled SIMD targets draws. The stages that have vector paths
// (bin, clip, setup, raster and its sampling) are compiled once per target with
// Highway's foreach_target, and each exports a table of its versions; SIMD_DISPATCH
// calls the version of the selected target. Unless told otherwise that is the best
// target this processor runs.
#pragma once

#include <atomic>
#include <cstdint>

// Targets are Highway's target bits (HWY_AVX2, HWY_NEON, HWY_SCALAR, ...).
constexpr int SIMD_MAX_TARGETS = 16;

// The compiled targets this processor runs, best first; returns how many.
int simd_available(int64_t (&targets)[SIMD_MAX_TARGETS]);
int64_t simd_best();
// A target's name in lower case ("avx2", "neon"); the portable fallback is "scalar".
const char *simd_name(int64_t target);
// The compiled target of that name, or 0. *runs says whether this processor runs it.
int64_t simd_find(const char *name, bool *runs);
// Draws with `target` (one of simd_available's) from now on. Only while nothing is being
// drawn: the tests call it between pictures, grSstOpen with ACCEL_SIMD's choice.
void simd_select(int64_t target);
int64_t simd_selected();

// The selected target's entry in a HWY_EXPORT table (made in namespace accel).
extern std::atomic<int> simd_table_index;
#define SIMD_DISPATCH(fn)                                                                          \
    (*accel::HWY_DISPATCH_TABLE(fn)[simd_table_index.load(std::memory_order_relaxed)])
