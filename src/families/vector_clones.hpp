#pragma once

// Where the processor has AVX2 (chosen when the module loads), the loops of
// the functions marked TARVIMO_AVX2_CLONE compare four doubles at a time.
#if defined(__GNUC__) && defined(__x86_64__)
#define TARVIMO_AVX2_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define TARVIMO_AVX2_CLONE
#endif
