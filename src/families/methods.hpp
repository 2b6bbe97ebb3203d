#pragma once

// The methods a family is decided by, and the number of rejections of one
// family: the step-up count on the candidates alone (values that cannot meet
// the step-up condition at any rank are set aside without sorting), and the
// closed count above it.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "closed_ebh/closed_ebh.hpp"
#include "common/common.hpp"
#include "families/ranked_count.hpp"

namespace tarvimo::families {

enum class Evidence { evalues, pvalues };

struct Method {
    Evidence evidence;
    bool closed;
    bool approximate;
};

inline Method method_named(const std::string& name) {
    if (name == "ebh") return {Evidence::evalues, false, false};
    if (name == "closed_ebh") return {Evidence::evalues, true, false};
    if (name == "closed_ebh_approximate") return {Evidence::evalues, true, true};
    if (name == "by") return {Evidence::pvalues, false, false};
    if (name == "closed_by") return {Evidence::pvalues, true, false};
    if (name == "closed_by_approximate") return {Evidence::pvalues, true, true};
    throw std::invalid_argument("unknown method '" + name +
                                "'; expected ebh, closed_ebh, closed_ebh_approximate, by, closed_by or "
                                "closed_by_approximate");
}

// Step-up candidates. An e-value can meet the e-BH condition at some rank
// only if e * alpha is close to 1 or more, and a p-value can meet the BY
// condition only if p * H_m is close to alpha or less. The factor-2 margin
// absorbs every rounding of the core's expressions (a few ulps) and the
// error of the summed H_m (below m * 2^-53 relative, under 2.4e-7 for any
// 32-bit m), so a value that is not a candidate fails its condition at every
// rank: for e-values (k e) (alpha / m) <= e alpha (1 + 3 2^-53) < 1, for
// p-values ((p m H_m) / k) - alpha >= 1.8 (alpha + 1e-9) - alpha > 1e-10.
constexpr double CANDIDATE_MARGIN = 2.0;
constexpr double BY_TOLERANCE_BOUND = 1e-9;
static_assert(BY_TOLERANCE_BOUND > closed_by::TOLERANCE, "the bound must cover the BY step-up tolerance");

// A lower bound of H_m without summing it: H_m >= ln(m + 1) and H_m >= 1.
inline double harmonic_lower_bound(int m) { return std::max(1.0, std::log1p(static_cast<double>(m))); }

inline bool is_evalue_candidate(double e, double alpha) { return e * alpha * CANDIDATE_MARGIN >= 1.0; }

inline bool is_pvalue_candidate(double p, double harmonic_low, double alpha) {
    return p * harmonic_low <= CANDIDATE_MARGIN * (alpha + BY_TOLERANCE_BOUND);
}

// Families at most this large (counting omitted hypotheses) are decided on
// the calling thread: the literal closed searches, the slowest, cost about
// m^2 simple steps, a few milliseconds at this size.
constexpr std::int64_t INLINE_CLOSED_VALUES = 1024;
// Step-up counts are a pass over the values and a few over the candidates:
// about a millisecond for this many values in all.
constexpr std::int64_t INLINE_STEP_UP_VALUES = 1 << 16;

// Whether deciding families with `values` values in all is short enough to
// run on the calling thread, without a thread to wait on.
inline bool runs_inline(const Method& method, std::int64_t values) {
    return values <= (method.closed ? INLINE_CLOSED_VALUES : INLINE_STEP_UP_VALUES);
}

// The present values in the order of a step-up count: the values that
// cannot be rejected at any rank first, in any order, then the candidates
// sorted with the strongest last. The count equals the one on a fully sorted
// vector, since the scan returns at the first rank that meets its condition
// and no value of the first block meets it at any rank.
inline void arrange_for_step_up(const Method& method, double alpha, int total, std::vector<double>& values) {
    if (method.evidence == Evidence::evalues) {
        const auto first = std::partition(values.begin(), values.end(),
                                          [alpha](double e) { return !is_evalue_candidate(e, alpha); });
        std::sort(first, values.end());
    } else {
        const double harmonic_low = harmonic_lower_bound(total);
        const auto first = std::partition(values.begin(), values.end(), [&](double p) {
            return !is_pvalue_candidate(p, harmonic_low, alpha);
        });
        std::sort(first, values.end(), std::greater<>());
    }
}

// The step-up count on values sorted with the strongest last. Only the
// candidates, a block at the end, are handed over: the others count as
// omitted hypotheses (p = 1, e = 0), which changes nothing, since neither
// they nor the stand-ins meet the condition at any rank and the candidates
// keep their ranks.
inline int sorted_step_up_count(const Method& method, double alpha, int total, const std::vector<double>& sorted) {
    const int n = static_cast<int>(sorted.size());
    if (method.evidence == Evidence::evalues) {
        const auto first = std::partition_point(sorted.begin(), sorted.end(),
                                                [alpha](double e) { return !is_evalue_candidate(e, alpha); });
        const int candidates = static_cast<int>(sorted.end() - first);
        return closed_ebh::ebh_count(sorted.data() + (n - candidates), candidates, total, alpha);
    }
    const double harmonic_low = harmonic_lower_bound(total);
    const auto first = std::partition_point(sorted.begin(), sorted.end(), [&](double p) {
        return !is_pvalue_candidate(p, harmonic_low, alpha);
    });
    const int candidates = static_cast<int>(sorted.end() - first);
    return closed_by::by_count(sorted.data() + (n - candidates), candidates, total, alpha);
}

// The step-up count (at most n) by sorting the candidates and scanning them,
// leaving the values as arrange_for_step_up does: the reference of
// ranked_step_up_count, and its route outside the proof's reach.
inline int sorted_route_step_up_count(const Method& method, double alpha, int total, std::vector<double>& values) {
    const int n = static_cast<int>(values.size());
    arrange_for_step_up(method, alpha, total, values);
    return std::min(n, method.evidence == Evidence::evalues ? closed_ebh::ebh_count(values.data(), n, total, alpha)
                                                            : closed_by::by_count(values.data(), n, total, alpha));
}

// The step-up count of the present values from the ranks at which the
// candidates start to meet the condition (ranked_count.hpp), without sorting
// them. Leaves the rejected values last, those equal to the weakest of them
// first among them, which is all mark_strongest reads. Bit for bit the count
// of sorted_route_step_up_count: the conditions are the scans' expressions
// (ebh_count's ((k e) (alpha / m)) >= 1 + 1e-12, by_scan's
// ((p (m H_m)) / k) - alpha <= 1e-10, H_m the same summed double), whose
// monotonicity in k and in the value the comment heading ranked_count.hpp
// shows, and the candidates the same. The scan on the arranged values
// returns the largest rank whose value passes: the non-candidates before
// the candidates pass at no rank, and so the count is the one of the
// candidates in order. Outside the proof's reach it takes that route:
// alpha not a positive finite number, or omitted p-values that pass at rank
// m (then the scan returns m, all given values rejected).
inline int ranked_step_up_count(const Method& method, double alpha, int total, std::vector<double>& values,
                                RankedCountStats* stats = nullptr) {
    RankedCountStats local;
    RankedCountStats& counts = stats != nullptr ? *stats : local;
    const auto sorted_route = [&] {
        ++counts.sorted;
        return sorted_route_step_up_count(method, alpha, total, values);
    };
    if (!(alpha > 0.0 && alpha <= std::numeric_limits<double>::max())) {
        return sorted_route();
    }
    std::vector<int> ranks;
    std::vector<double>::iterator first;
    const bool evalues = method.evidence == Evidence::evalues;
    if (evalues) {
        first = std::partition(values.begin(), values.end(),
                               [alpha](double e) { return !is_evalue_candidate(e, alpha); });
        const int limit = static_cast<int>(values.end() - first);
        const double apm = alpha / static_cast<double>(total);
        const double threshold = 1.0 + closed_ebh::TOLERANCE;
        ranks.reserve(static_cast<std::size_t>(limit));
        for (auto it = first; it != values.end(); ++it) {
            const double e = *it;
            const auto passes = [&](int k) { return (static_cast<double>(k) * e) * apm >= threshold; };
            ranks.push_back(first_passing_rank(passes, threshold / (e * apm), limit, counts));
        }
    } else {
        const double factor = static_cast<double>(total) * closed_by::harmonic_number(total);
        const int n = static_cast<int>(values.size());
        if (total > n && (factor / static_cast<double>(total)) - alpha <= closed_by::TOLERANCE) {
            return sorted_route();
        }
        const double harmonic_low = harmonic_lower_bound(total);
        first = std::partition(values.begin(), values.end(),
                               [&](double p) { return !is_pvalue_candidate(p, harmonic_low, alpha); });
        const int limit = static_cast<int>(values.end() - first);
        const double per_level = 1.0 / (alpha + closed_by::TOLERANCE);  // an estimate needs no exact quotient
        ranks.reserve(static_cast<std::size_t>(limit));
        for (auto it = first; it != values.end(); ++it) {
            const double x = *it * factor;
            const auto passes = [&](int k) { return (x / static_cast<double>(k)) - alpha <= closed_by::TOLERANCE; };
            ranks.push_back(first_passing_rank(passes, x * per_level, limit, counts));
        }
    }
    std::vector<int> tally;
    const int count = count_from_ranks(ranks, tally);
    if (count == 0) {
        ++counts.ranked;
        return 0;
    }
    // The weakest rejected value, and the rejected values moved last.
    double weakest = *first;
    bool found = false;
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        const double v = first[static_cast<std::ptrdiff_t>(i)];
        if (ranks[i] <= count && (!found || (evalues ? v < weakest : v > weakest))) {
            weakest = v;
            found = true;
        }
    }
    const auto rejected = std::partition(first, values.end(), [&](double v) {
        return !(evalues ? v >= weakest : v <= weakest);
    });
    std::partition(rejected, values.end(), [weakest](double v) { return v == weakest; });
    ++counts.ranked;
    return count;
}

// The present values a family's count needs; the others count as omitted
// (p = 1, e = 0), which changes no count, and are never read:
// - by, ebh: the step-up candidates, as the comment on sorted_step_up_count
//   shows;
// - closed BY: the p-values at most alpha + 1e-10 (the omission bound): a
//   p-value above it changes no decision of BY or closed BY, whatever the
//   family's total. The bound's proof holds for 0 < alpha < 1; at other
//   levels every present value is kept;
// - closed e-BH: every present value (an omitted e-value counts as 0, which
//   changes the closed count unless it is 0).
// NaN (a missing entry) is never kept.
struct NeededValues {
    Method method;
    double alpha;
    double harmonic_low;  // for the BY candidates
    double pvalue_bound;  // for closed BY

    bool operator()(double v) const {
        if (!method.closed) {
            return method.evidence == Evidence::evalues ? is_evalue_candidate(v, alpha)
                                                        : is_pvalue_candidate(v, harmonic_low, alpha);
        }
        return method.evidence == Evidence::evalues ? v == v : v <= pvalue_bound;
    }
};

inline NeededValues needed_values(const Method& method, double alpha, int total) {
    const bool bounded = alpha > 0.0 && alpha < 1.0;
    return {method, alpha, harmonic_lower_bound(total),
            bounded ? alpha + closed_by::TOLERANCE : std::numeric_limits<double>::infinity()};
}

// The number of rejections among the present values of a family of `total`
// hypotheses (the others omitted: p = 1, e = 0), leaving the values arranged
// with the rejected ones last, those equal to the weakest of them first. `ascending`: the values are already sorted
// ascending. A closed procedure rejects at least as many as its step-up
// procedure: its count is the larger of the two.
inline int rejection_count(const Method& method, double alpha, int total, std::vector<double>& values, bool ascending,
                           const common::CancelFlag* cancel) {
    const int n = common::checked_count(values.size(), "a family");
    common::require_family_size(n, total);
    if (n == 0) {
        return 0;
    }
    if (!method.closed) {
        return ranked_step_up_count(method, alpha, total, values);
    }
    if (!ascending) {
        std::sort(values.begin(), values.end());
    }
    if (method.evidence == Evidence::pvalues) {
        std::reverse(values.begin(), values.end());
    }
    const int step_up = std::min(n, sorted_step_up_count(method, alpha, total, values));
    if (step_up == n) {
        return n;
    }
    const int closed = method.evidence == Evidence::evalues
                           ? closed_ebh::closed_ebh_count(values.data(), n, total, alpha, method.approximate, cancel)
                           : closed_by::closed_by_count(values.data(), n, total, alpha, method.approximate, cancel);
    return std::max(step_up, std::min(closed, n));
}

}  // namespace tarvimo::families
