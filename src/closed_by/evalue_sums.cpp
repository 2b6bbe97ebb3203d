#include "closed_by/evalue_sums.hpp"

#include "closed_by/cBY.hpp"

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define TARVIMO_VECTOR_SUMS 1
#endif

namespace tarvimo::closed_by {

namespace {

double scalar_sum(const double* q, int n, double F, double invalpha) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        sum += invalpha / stable_ceiling_cpp(q[i] * F);
    }
    return sum;
}

#ifdef TARVIMO_VECTOR_SUMS
// The same operations lane by lane: the product, less the tolerance, rounded
// up (round-to-+inf is the IEEE ceiling), then max with 1, which gives 1 for
// a NaN as stable_ceiling_cpp does, and the division.
__attribute__((target("avx512f"))) double avx512_sum(const double* q, int n, double F, double invalpha) {
    const __m512d factor = _mm512_set1_pd(F);
    const __m512d tolerance = _mm512_set1_pd(TOLERANCE);
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d numerator = _mm512_set1_pd(invalpha);
    __m512d sum0 = _mm512_setzero_pd();
    __m512d sum1 = _mm512_setzero_pd();
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512d x0 = _mm512_sub_pd(_mm512_mul_pd(_mm512_loadu_pd(q + i), factor), tolerance);
        const __m512d x1 = _mm512_sub_pd(_mm512_mul_pd(_mm512_loadu_pd(q + i + 8), factor), tolerance);
        const __m512d c0 = _mm512_max_pd(_mm512_roundscale_pd(x0, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC), one);
        const __m512d c1 = _mm512_max_pd(_mm512_roundscale_pd(x1, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC), one);
        sum0 = _mm512_add_pd(sum0, _mm512_div_pd(numerator, c0));
        sum1 = _mm512_add_pd(sum1, _mm512_div_pd(numerator, c1));
    }
    alignas(64) double lanes[8];
    _mm512_store_pd(lanes, _mm512_add_pd(sum0, sum1));
    double total = 0.0;
    for (const double lane : lanes) {
        total += lane;
    }
    return total + scalar_sum(q + i, n - i, F, invalpha);
}

__attribute__((target("avx2"))) double avx2_sum(const double* q, int n, double F, double invalpha) {
    const __m256d factor = _mm256_set1_pd(F);
    const __m256d tolerance = _mm256_set1_pd(TOLERANCE);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d numerator = _mm256_set1_pd(invalpha);
    __m256d sum0 = _mm256_setzero_pd();
    __m256d sum1 = _mm256_setzero_pd();
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256d x0 = _mm256_sub_pd(_mm256_mul_pd(_mm256_loadu_pd(q + i), factor), tolerance);
        const __m256d x1 = _mm256_sub_pd(_mm256_mul_pd(_mm256_loadu_pd(q + i + 4), factor), tolerance);
        const __m256d c0 = _mm256_max_pd(_mm256_round_pd(x0, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC), one);
        const __m256d c1 = _mm256_max_pd(_mm256_round_pd(x1, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC), one);
        sum0 = _mm256_add_pd(sum0, _mm256_div_pd(numerator, c0));
        sum1 = _mm256_add_pd(sum1, _mm256_div_pd(numerator, c1));
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, _mm256_add_pd(sum0, sum1));
    double total = 0.0;
    for (const double lane : lanes) {
        total += lane;
    }
    return total + scalar_sum(q + i, n - i, F, invalpha);
}
#endif

}  // namespace

double sum_of_evalues(const double* q, int n, double F, double invalpha) {
#ifdef TARVIMO_VECTOR_SUMS
    if (n >= 16) {
        if (__builtin_cpu_supports("avx512f")) {
            return avx512_sum(q, n, F, invalpha);
        }
        if (__builtin_cpu_supports("avx2")) {
            return avx2_sum(q, n, F, invalpha);
        }
    }
#endif
    return scalar_sum(q, n, F, invalpha);
}

}  // namespace tarvimo::closed_by
