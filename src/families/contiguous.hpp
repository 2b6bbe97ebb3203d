#pragma once

// One family of contiguous values decided by a step-up count (by, bh, ebh)
// in a single pass over its entries: the pass checks the domain of the
// unchecked input, counts the missing entries, and gathers the candidates
// with their positions, so that the mask is written from the positions of
// the rejected candidates rather than by another pass over the values.
//
// Why the mask is the one mark_strongest writes: the ranked count
// (ranked_count.hpp) rejects exactly the values whose first passing rank r
// is at most the count K, equal values never split; mark_strongest marks
// every present value at least as strong as the weakest of them, which are
// the same values: r never decreases as values weaken, so a value at least
// as strong as a rejected one has r <= K; a value that is not a candidate is
// weaker than every candidate (the candidate tests are monotone in the
// value), and a NaN is neither. Below alpha = 0.05 the p-values are ranked
// scaled by 2^j, as rejection_count scales them, which keeps their order.
// Where the count is not the ranked one (levels where omitted p-values pass,
// 2^j beyond a double, a closed method, more entries than a count holds),
// the family takes the literal route: gather_needed, rejection_count and
// mark_strongest, counted in ContiguousStats. There closed BY checks the
// domain in its gather (decide_closed_by_checked), the rest in a pass of
// their own. Closed e-BH, which sorts every value, checks them in its copy
// and sorts on up to two threads (closed_ebh_family.hpp), unless the family
// holds more entries than a count or more than its total.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define TARVIMO_COMPRESS_AVX2 1
#endif

#include "common/common.hpp"
#include "families/closed_ebh_family.hpp"
#include "families/masks.hpp"
#include "families/methods.hpp"
#include "families/needed.hpp"

namespace tarvimo::families {

// How contiguous families were decided, for the tests.
struct ContiguousStats {
    long long fused = 0;    // one pass, the mask from the candidates' positions
    long long literal = 0;  // the literal route (outside the fused pass's reach)
    // Closed e-BH sorted by decide_closed_ebh_family, and of those the
    // families sorted in two parts on two threads.
    long long closed_ebh_sorted = 0;
    long long closed_ebh_two_parts = 0;
    // Of the literal route's families with unchecked entries: those whose
    // gather checked the domain (closed BY), and those checked by a pass of
    // their own before the gather.
    long long checked_in_gather = 0;
    long long domain_scans = 0;
};

// The candidate test and the value the count ranks, for p-values (scaled by
// 2^j and capped at 1, as common::scaled_pvalue, exactly: a product by a
// power of two) and e-values, in the expressions of is_pvalue_candidate and
// is_evalue_candidate.
struct CandidateTest {
    bool pvalues;
    double scale;       // p-values: 2^j
    double factor_low;  // p-values: the lower bound of the line's factor
    double bound;       // p-values: CANDIDATE_MARGIN (alpha + BY_TOLERANCE_BOUND); e-values: alpha

    static CandidateTest of(const NeededValues& needed) {
        const bool pvalues = needed.kind == NeededValues::Kind::pvalue_candidates;
        return {pvalues, needed.scale, needed.factor_low,
                pvalues ? CANDIDATE_MARGIN * (needed.alpha + BY_TOLERANCE_BOUND) : needed.alpha};
    }
    double ranked(double v) const { return pvalues ? std::min(v * scale, 1.0) : v; }
    bool keeps(double ranked_value) const {
        return pvalues ? ranked_value * factor_low <= bound : is_evalue_candidate(ranked_value, bound);
    }
};

// The candidates of a pass: their ranked values and their positions, in
// input order. The pass compresses each block straight into them, so they
// keep room for a block past their `size` entries, uninitialised: a
// std::vector would fill it, or copy every block once more.
struct Candidates {
    std::unique_ptr<double[]> values;
    std::unique_ptr<std::int64_t[]> positions;
    std::size_t size = 0;
    std::size_t capacity = 0;

    // Room for `more` entries past `size`, keeping those below it.
    void reserve_more(std::size_t more) {
        if (size + more <= capacity) {
            return;
        }
        const std::size_t grown = std::max(size + more, 2 * capacity);
        std::unique_ptr<double[]> new_values(new double[grown]);
        std::unique_ptr<std::int64_t[]> new_positions(new std::int64_t[grown]);
        std::copy(values.get(), values.get() + size, new_values.get());
        std::copy(positions.get(), positions.get() + size, new_positions.get());
        values = std::move(new_values);
        positions = std::move(new_positions);
        capacity = grown;
    }
};

// Entries taken at a time by the candidate pass, between checks of the
// room left for candidates.
constexpr std::int64_t CANDIDATE_BLOCK = 1024;
// Room for candidates reserved before the pass: 1 / CANDIDATE_SHARE of the
// entries (a tenth of them and more are candidates in studies with many
// signals); more is added as needed.
constexpr std::int64_t CANDIDATE_SHARE = 8;

// Entries [start, end) of a block, one at a time without branches: the
// candidates into values/positions from `kept` on; returns the new `kept`.
inline std::size_t scan_block_portable(const double* in, std::int64_t start, std::int64_t end,
                                       const CandidateTest& test, double* values, std::int64_t* positions,
                                       std::size_t kept, int& outside, std::int64_t& missing) {
    for (std::int64_t j = start; j < end; ++j) {
        const double v = in[j];
        const double r = test.ranked(v);
        values[kept] = r;
        positions[kept] = j;
        kept += test.keeps(r) ? 1 : 0;
        outside |= outside_domain(v, test.pvalues);
        missing += v != v ? 1 : 0;
    }
    return kept;
}

#ifdef TARVIMO_COMPRESS_AVX2
// For each 4-bit mask of kept lanes, the 32-bit lanes that move the kept
// doubles (or 64-bit positions) to the front, in order.
struct CompressTable {
    alignas(32) std::int32_t lanes[16][8];
};

constexpr CompressTable compress_table() {
    CompressTable table{};
    for (int mask = 0; mask < 16; ++mask) {
        int next = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if ((mask >> lane) & 1) {
                table.lanes[mask][2 * next] = 2 * lane;
                table.lanes[mask][2 * next + 1] = 2 * lane + 1;
                ++next;
            }
        }
    }
    return table;
}

constexpr CompressTable COMPRESS_LANES = compress_table();

// scan_block_portable four entries at a time with AVX2, the same operations
// on each lane: _mm256_min_pd(1, x) is (1 < x) ? 1 : x, std::min(x, 1.0)
// with NaN kept; the ordered comparisons are false on NaN as the scalar ones
// are. Kept lanes are compressed by a permutation (a store of all four, the
// next one starting past the kept ones), so `values` and `positions` need 3
// entries of room past the block's.
__attribute__((target("avx2,popcnt"))) inline std::size_t scan_block_avx2(const double* in, std::int64_t start,
                                                                          std::int64_t end, const CandidateTest& test,
                                                                          double* values, std::int64_t* positions,
                                                                          std::size_t kept, int& outside,
                                                                          std::int64_t& missing) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(CANDIDATE_MARGIN);
    const __m256d scale = _mm256_set1_pd(test.scale);
    const __m256d factor_low = _mm256_set1_pd(test.factor_low);
    const __m256d bound = _mm256_set1_pd(test.bound);
    __m256i position = _mm256_setr_epi64x(start, start + 1, start + 2, start + 3);
    const __m256i four = _mm256_set1_epi64x(4);
    __m256d out_of_domain = zero;
    std::int64_t j = start;
    for (; j + 4 <= end; j += 4) {
        const __m256d v = _mm256_loadu_pd(in + j);
        __m256d r;
        __m256d keep;
        if (test.pvalues) {
            r = _mm256_min_pd(one, _mm256_mul_pd(v, scale));
            keep = _mm256_cmp_pd(_mm256_mul_pd(r, factor_low), bound, _CMP_LE_OQ);
            out_of_domain = _mm256_or_pd(
                out_of_domain, _mm256_or_pd(_mm256_cmp_pd(v, zero, _CMP_LT_OQ), _mm256_cmp_pd(v, one, _CMP_GT_OQ)));
        } else {
            r = v;
            keep = _mm256_cmp_pd(_mm256_mul_pd(_mm256_mul_pd(v, bound), two), one, _CMP_GE_OQ);
            out_of_domain = _mm256_or_pd(out_of_domain, _mm256_cmp_pd(v, zero, _CMP_LT_OQ));
        }
        missing += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(v, v, _CMP_UNORD_Q))));
        const int mask = _mm256_movemask_pd(keep);
        const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(COMPRESS_LANES.lanes[mask]));
        _mm256_storeu_pd(values + kept,
                         _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(r), lanes)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(positions + kept), _mm256_permutevar8x32_epi32(position, lanes));
        kept += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
        position = _mm256_add_epi64(position, four);
    }
    outside |= _mm256_movemask_pd(out_of_domain) != 0 ? 1 : 0;
    return scan_block_portable(in, j, end, test, values, positions, kept, outside, missing);
}

inline bool processor_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}
#else
inline bool processor_has_avx2() { return false; }
#endif

// One pass over the n entries at `in`: the candidates of `test` (with their
// positions) into `candidates`, out[j] = false for every entry, and the
// domain and missing entries found; `cancel` is checked every
// STOP_CHECK_VALUES entries. `avx2` (only where the processor has it) takes
// four entries at a time; both give the same result.
inline EntryScan gather_candidates(const double* in, bool* out, std::int64_t n, const CandidateTest& test,
                                   Candidates& candidates, bool avx2, const common::CancelFlag* cancel) {
    constexpr auto room = static_cast<std::size_t>(CANDIDATE_BLOCK + 4);
    candidates.size = 0;
    candidates.reserve_more(static_cast<std::size_t>(n / CANDIDATE_SHARE) + room);
    int outside = 0;
    std::int64_t missing = 0;
    for (std::int64_t start = 0; start < n; start += CANDIDATE_BLOCK) {
        if (start % STOP_CHECK_VALUES == 0) {
            common::stop_if_cancelled(cancel);
        }
        const std::int64_t end = std::min(n, start + CANDIDATE_BLOCK);
        candidates.reserve_more(room);
        double* values = candidates.values.get();
        std::int64_t* positions = candidates.positions.get();
#ifdef TARVIMO_COMPRESS_AVX2
        if (avx2) {
            candidates.size =
                scan_block_avx2(in, start, end, test, values, positions, candidates.size, outside, missing);
        } else
#endif
        {
            candidates.size =
                scan_block_portable(in, start, end, test, values, positions, candidates.size, outside, missing);
        }
        std::memset(out + start, 0, static_cast<std::size_t>(end - start));
    }
    return {outside != 0, n - missing};
}

// Contiguous step-up families of at most this many entries are decided on
// the calling thread: the fused pass takes about a millisecond for them, so
// a Ctrl-C waits no longer than that, and handing the work to a thread would
// cost a wake-up that a busy machine delays by as much again.
constexpr std::int64_t INLINE_CONTIGUOUS_STEP_UP_VALUES = std::int64_t{1} << 20;

inline bool contiguous_step_up_runs_inline(std::int64_t n) { return n <= INLINE_CONTIGUOUS_STEP_UP_VALUES; }

// Working storage of a contiguous family.
struct ContiguousScratch {
    Candidates candidates;
    std::vector<int> ranks;
    std::vector<int> tally;
    std::vector<double> needed;  // the literal route's gathered values
};

inline bool gathers_candidates(const NeededValues& needed) {
    return needed.kind == NeededValues::Kind::evalue_candidates || needed.kind == NeededValues::Kind::pvalue_candidates;
}

// The literal route of closed BY on n contiguous unchecked entries, with
// the domain checked in the pass that gathers the p-values within the
// omission bound: true when decided, false when an entry lies outside the
// domain (nothing decided), nullopt where the literal route does not gather
// in one pass, which then checks the entries in a pass of its own.
//
// Why the result is the literal route's (a separate check, gather_needed,
// rejection_count, mark_strongest): where this runs, the total is given and
// not below n, or absent with n within 32 bits, and the omission bound does
// not depend on the total. gather_needed then takes one pass with the test
// of needed_values(method, alpha, n or the total), which is
// gather_within_bound's, and gathers nothing again (needed_values of the
// present count is the same); its total is the given one, else the present
// count. The domain test is the separate pass's, over the same entries, and
// a refused family is left before the count as the separate check leaves it
// before the gather.
template <typename Sort>
std::optional<bool> decide_closed_by_checked(const Method& method, double alpha, std::int64_t n,
                                             std::optional<std::int64_t> total, const double* in, bool* out,
                                             const DomainCheck& domain, std::vector<double>& gathered,
                                             const common::CancelFlag* cancel, const Sort& sort) {
    constexpr std::int64_t largest = std::numeric_limits<int>::max();
    if (!method.closed || method.evidence != Evidence::pvalues || (total ? *total < n : n > largest)) {
        return std::nullopt;
    }
    const NeededValues needed = needed_values(method, alpha, total.value_or(n));
    if (needed.kind != NeededValues::Kind::pvalues_within_bound) {
        return std::nullopt;
    }
    const EntryScan scan =
        gather_within_bound(n, [in](std::int64_t j) { return in[j]; }, needed, gathered, cancel, PvalueDomainTest{in});
    if (!in_domain(scan, n, domain)) {
        return false;
    }
    const std::int64_t family_total = total.value_or(scan.present);
    const int count = rejection_count(method, alpha, family_total, gathered, false, cancel, sort);
    mark_strongest(in, out, n, gathered, count, false, cancel);
    return true;
}

// Decides one family of n contiguous entries at `in` (NaN missing) of
// `total` hypotheses (default: the present entries), writing its mask to
// `out`. Entries arrive checked, or are checked as `domain` says: then false
// is returned, nothing decided, when one lies outside the domain. The
// step-up methods take the fused pass (see the top of this file), closed
// e-BH the sort of closed_ebh_family.hpp on up to `threads` threads; the
// rest, and what those cannot decide, the literal route. sort(first, last,
// descending, cancel) sorts a range; for closed e-BH it is called from two
// threads at once.
template <typename Sort>
bool decide_contiguous_family(const Method& method, double alpha, std::int64_t n, std::optional<std::int64_t> total,
                              const double* in, bool* out, const DomainCheck& domain, ContiguousScratch& scratch,
                              const common::CancelFlag* cancel, const Sort& sort, ContiguousStats* stats = nullptr,
                              bool avx2 = processor_has_avx2(), int threads = 1) {
    ContiguousStats local;
    ContiguousStats& counts = stats != nullptr ? *stats : local;
    const bool pvalues = method.evidence == Evidence::pvalues;
    const auto literal_route = [&](bool scanned) {
        ++counts.literal;
        if (!scanned && domain.check) {
            const std::optional<bool> checked =
                decide_closed_by_checked(method, alpha, n, total, in, out, domain, scratch.needed, cancel, sort);
            if (checked) {
                ++counts.checked_in_gather;
                return *checked;
            }
            ++counts.domain_scans;
            if (!in_domain(scan_entries(in, n, pvalues), n, domain)) {
                return false;
            }
        }
        const std::int64_t family_total = gather_needed(
            method, alpha, n, total, [in](std::int64_t j) { return in[j]; }, scratch.needed, cancel, "values", in);
        const int count = rejection_count(method, alpha, family_total, scratch.needed, false, cancel, sort);
        mark_strongest(in, out, n, scratch.needed, count, !pvalues, cancel);
        return true;
    };
    constexpr std::int64_t largest = std::numeric_limits<int>::max();
    if (method.closed && !pvalues && n <= largest && !(total && *total < n)) {
        ++counts.closed_ebh_sorted;
        counts.closed_ebh_two_parts += sorts_in_two_parts(n, threads) ? 1 : 0;
        return decide_closed_ebh_family(method, alpha, n, total, in, out, domain, threads, cancel, sort);
    }
    if (method.closed || n > largest || (total && *total < n)) {
        return literal_route(false);
    }
    NeededValues needed = needed_values(method, alpha, total.value_or(n));
    if (!gathers_candidates(needed)) {
        return literal_route(false);
    }
    const EntryScan scan = gather_candidates(in, out, n, CandidateTest::of(needed), scratch.candidates, avx2, cancel);
    if (!in_domain(scan, n, domain)) {
        return false;
    }
    const std::int64_t family_total = total.value_or(scan.present);
    common::require_family_size(static_cast<int>(scan.present), family_total);
    if (!total && scan.present < n) {
        // The default total leaves out the missing entries: the candidates of that total.
        const NeededValues exact = needed_values(method, alpha, family_total);
        if (!gathers_candidates(exact)) {
            return literal_route(true);
        }
        if (!(exact == needed)) {
            gather_candidates(in, out, n, CandidateTest::of(exact), scratch.candidates, avx2, cancel);
            needed = exact;
        }
    }
    ++counts.fused;
    const Candidates& candidates = scratch.candidates;
    RankedCountStats ranked;
    const int count =
        count_of_candidates(method, needed.alpha, family_total, candidates.values.get(),
                            static_cast<int>(candidates.size), scratch.ranks, scratch.tally, ranked, cancel);
    // Each position once, its entry zeroed by the pass: a plain store, without a branch.
    for (std::size_t i = 0; i < candidates.size; ++i) {
        out[candidates.positions[i]] = scratch.ranks[i] <= count;
    }
    return true;
}

}  // namespace tarvimo::families
