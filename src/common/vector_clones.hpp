#pragma once

// Where the processor has AVX2 (chosen when the module loads), the loops of
// the functions marked TARVIMO_AVX2_CLONE compare four doubles at a time.
#if defined(__GNUC__) && defined(__x86_64__)
#define TARVIMO_AVX2_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define TARVIMO_AVX2_CLONE
#endif

// Loops that compute both arms of their selections and keep one (ranks
// settled in families/ranked_count.hpp, the closed BY lane's counts in
// closed_by/fast_search.cpp) compile to vector code only when
// floating-point operations are taken not to trap. That changes no value
// (every operation is still the IEEE one, in the same order, without
// contraction); a division by 0 that one arm may meet gives an infinity or
// NaN that the selection drops. The AVX2 clone takes four values at a time
// where the processor has it. Functions compiled with these options are not
// inlined into others, nor others into them.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define TARVIMO_NON_TRAPPING __attribute__((optimize("no-trapping-math")))
#define TARVIMO_SETTLE_CLONES __attribute__((target_clones("avx2", "default"), optimize("no-trapping-math")))
#else
#define TARVIMO_NON_TRAPPING
#define TARVIMO_SETTLE_CLONES
#endif
