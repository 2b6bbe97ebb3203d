#pragma once

// The step-up count without sorting: from the rank at which each candidate
// starts to meet its condition.
//
// Let passes(v, k) be a step-up condition of value v at rank k (rank 1 the
// strongest) that is monotone: once true at k, true at every larger k, and
// true at k for v whenever true at k for a weaker v. Both step-up tests are:
// BY's ((p * F) / k) - alpha <= t, since p * F grows with p and a correctly
// rounded quotient by a larger k is never larger; e-BH's ((k * e) * a) >= t
// for e >= 0, a > 0, for the same reason. Let r(v) be the first rank at
// which v passes, and N(k) the number of values with r(v) <= k. The scan of
// the sorted values returns the largest k whose k-th strongest value v_(k)
// passes at k, and that is the largest k with N(k) >= k:
// - if v_(k) passes at k, so do v_(1) ... v_(k), stronger, at k: N(k) >= k;
// - if N(k) >= k, the values with r(v) <= k are the strongest ones
//   (r never decreases as values weaken), at least k of them, so v_(k) is
//   among them and passes at k.
// At that largest K, N(K) = K exactly when K is below the number of values:
// N(K) > K would give N(K + 1) >= K + 1. So the rejected values are exactly
// those with r(v) <= K, and equal values (equal r) are never split: the set
// is every value at least as strong as the weakest of them.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/common.hpp"

namespace tarvimo::families {

// How the ranked counts went, for the tests.
struct RankedCountStats {
    long long ranked = 0;      // counts found from the ranks
    long long sorted = 0;      // counts left to the sort and scan (outside the proof's reach)
    long long bisections = 0;  // ranks the estimate missed by more than one, found by bisection
};

// The first rank in 1 ... limit at which passes(k) holds, or limit + 1,
// for passes monotone in k. `estimate` (any double, even NaN) is tried first
// with its neighbour, so that a close estimate settles the rank in two
// evaluations of the condition; otherwise the rank is bisected in what the
// two evaluations left open. Rank limit + 1 counts as passing.
template <typename Passes>
int first_passing_rank(const Passes& passes, double estimate, int limit, RankedCountStats& stats) {
    const auto holds = [&](int k) { return k > limit || passes(k); };
    const int guess = !(estimate >= 1.0) ? 1 : !(estimate <= limit) ? limit + 1 : static_cast<int>(std::ceil(estimate));
    int lo = 1;  // the first rank that holds lies in lo ... hi
    int hi = limit + 1;
    if (holds(guess)) {
        if (guess == 1 || !holds(guess - 1)) {
            return guess;
        }
        hi = guess - 1;
    } else {
        if (holds(guess + 1)) {
            return guess + 1;
        }
        lo = guess + 2;
    }
    ++stats.bisections;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (holds(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

// The step-up tests as ranked_step_up_count evaluates them, and an estimate
// of the first rank at which each value passes (any double: the tests
// settle it). BY and BH: ((p F) / k) - alpha <= t, F = m H_m or m.
struct PvalueRankTest {
    double factor;
    double alpha;
    double tolerance;
    double per_level;  // about 1 / (alpha + t): an estimate needs no exact quotient

    TARVIMO_NON_TRAPPING double estimate(double p) const { return (p * factor) * per_level; }
    TARVIMO_NON_TRAPPING bool passes(double p, double k) const { return ((p * factor) / k) - alpha <= tolerance; }
};

// e-BH: ((k e) (alpha / m)) >= 1 + t.
struct EvalueRankTest {
    double apm;        // alpha / m
    double threshold;  // 1 + t

    TARVIMO_NON_TRAPPING double estimate(double e) const { return threshold / (e * apm); }
    TARVIMO_NON_TRAPPING bool passes(double e, double k) const { return (k * e) * apm >= threshold; }
};

// ranks[i] = first_passing_rank of values[i] for ranks 1 ... limit where
// the two tests it makes first settle it, else 0: the same guess (the
// estimate's ceiling within 1 ... limit + 1), the same literal tests at the
// guess and at its neighbour, the same conclusions (the guess when it holds
// and is 1 or the rank below fails; the rank above when the guess fails and
// that one holds; rank limit + 1 counts as holding). Where they leave the
// rank open, first_passing_rank bisects.
template <typename Test>
TARVIMO_SETTLE_CLONES void settle_ranks(const Test& test, const double* values, int* ranks, std::int64_t n, int limit) {
    const double top = static_cast<double>(limit) + 1.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double v = values[i];
        const double estimate = test.estimate(v);
        const double low = estimate >= 1.0 ? estimate : 1.0;  // NaN: 1
        const double guess = std::ceil(low <= top ? low : top);
        const bool holds = (guess >= top) | test.passes(v, guess);
        const double other = holds ? guess - 1.0 : guess + 1.0;
        const bool other_holds = (other >= top) | ((other >= 1.0) & test.passes(v, other));
        ranks[i] = static_cast<int>(holds ? (other_holds ? 0.0 : guess) : (other_holds ? other : 0.0));
    }
}

// Candidates ranked between two checks for a stop request: well under a
// millisecond of ranking.
constexpr std::int64_t RANKS_PER_POLL = std::int64_t{1} << 18;

// The first passing ranks, in 1 ... limit + 1, of the `limit` candidates at
// `first`: settle_ranks settles most of them a slice at a time, and
// first_passing_rank (bisection, counted in `counts`) finds the others.
// Each rank is the first at which the literal test holds, whichever finds it.
template <typename Test>
void candidate_ranks(const Test& test, const double* first, int limit, std::vector<int>& ranks,
                     RankedCountStats& counts, const common::CancelFlag* cancel) {
    ranks.resize(static_cast<std::size_t>(limit));
    for (std::int64_t start = 0; start < limit; start += RANKS_PER_POLL) {
        common::stop_if_cancelled(cancel);
        settle_ranks(test, first + start, ranks.data() + start, std::min<std::int64_t>(RANKS_PER_POLL, limit - start),
                     limit);
    }
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        if (ranks[i] == 0) {
            const double v = first[i];
            const auto passes = [&test, v](int k) { return test.passes(v, static_cast<double>(k)); };
            ranks[i] = first_passing_rank(passes, test.estimate(v), limit, counts);
        }
    }
}

// The largest k <= ranks.size() with at least k ranks at most k, 0 if none.
inline int count_from_ranks(const std::vector<int>& ranks, std::vector<int>& tally) {
    const int n = static_cast<int>(ranks.size());
    tally.assign(static_cast<std::size_t>(n) + 2, 0);
    for (const int r : ranks) {
        ++tally[static_cast<std::size_t>(std::min(r, n + 1))];
    }
    int count = 0;
    int reached = 0;  // N(k)
    for (int k = 1; k <= n; ++k) {
        reached += tally[static_cast<std::size_t>(k)];
        if (reached >= k) {
            count = k;
        }
    }
    return count;
}

}  // namespace tarvimo::families
