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
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "closed_ebh/closed_ebh.hpp"
#include "common/common.hpp"
#include "families/ranked_count.hpp"
#include "families/sort_in_steps.hpp"

namespace tarvimo::families {

enum class Evidence { evalues, pvalues };

struct Method {
    Evidence evidence;
    bool closed;
    bool approximate;
    bool harmonic = true;  // the p-value step-up line carries H_m: BY; false: Benjamini-Hochberg
};

inline Method method_named(const std::string& name) {
    if (name == "ebh") return {Evidence::evalues, false, false};
    if (name == "closed_ebh") return {Evidence::evalues, true, false};
    if (name == "closed_ebh_approximate") return {Evidence::evalues, true, true};
    if (name == "by") return {Evidence::pvalues, false, false};
    if (name == "closed_by") return {Evidence::pvalues, true, false};
    if (name == "closed_by_approximate") return {Evidence::pvalues, true, true};
    if (name == "bh") return {Evidence::pvalues, false, false, false};
    throw std::invalid_argument("unknown method '" + name +
                                "'; expected ebh, closed_ebh, closed_ebh_approximate, by, closed_by, "
                                "closed_by_approximate or bh");
}

// Step-up candidates. An e-value can meet the e-BH condition at some rank
// only if e * alpha is close to 1 or more, and a p-value can meet the BY
// condition only if p * H_m is close to alpha or less. The factor-2 margin
// absorbs every rounding of the core's expressions (a few ulps) and the
// error of H_m (the summed one errs below m * 2^-53 relative, under 2.4e-7
// for any 32-bit m; the rounded one above by half an ulp), so a value that is not a candidate fails its condition at
// every rank: for e-values (k e) (alpha / m) <= e alpha (1 + 3 2^-53) < 1, for p-values ((p m H_m) / k) - alpha >= 1.8
// (alpha + 1e-9) - alpha > 1e-10. BH's line has 1 in place of H_m, exactly, and the same bound holds. Where k e
// overflows to infinity (an e-value near the largest double, at an alpha below about 1e-300) the e-value test
// would pass; the procedures then do not reject such a value, which is not ranked, and its levels follow them.
constexpr double CANDIDATE_MARGIN = 2.0;
constexpr double BY_TOLERANCE_BOUND = 1e-9;
static_assert(BY_TOLERANCE_BOUND > closed_by::TOLERANCE, "the bound must cover the BY step-up tolerance");

// A lower bound of H_m without summing it: H_m >= ln(m + 1) and H_m >= 1.
inline double harmonic_lower_bound(std::int64_t m) { return std::max(1.0, std::log1p(static_cast<double>(m))); }

using closed_ebh::is_evalue_candidate;
static_assert(closed_ebh::EVALUE_CANDIDATE_MARGIN == CANDIDATE_MARGIN, "one margin for both kinds of candidates");

inline bool is_pvalue_candidate(double p, double harmonic_low, double alpha) {
    return p * harmonic_low <= CANDIDATE_MARGIN * (alpha + BY_TOLERANCE_BOUND);
}

// The lower bound of the factor of a p-value step-up line: H_m's for BY, 1 for BH.
inline double line_factor_lower_bound(const Method& method, std::int64_t m) {
    return method.harmonic ? harmonic_lower_bound(m) : 1.0;
}

// The multiplier of p in BY's and BH's step-up test, m H_m or m.
inline double step_up_factor(const Method& method, std::int64_t total) {
    return static_cast<double>(total) * (method.harmonic ? closed_by::harmonic_number(total) : 1.0);
}

// Whether an omitted p-value of 1 passes the step-up test at rank `total`,
// `factor` the step_up_factor: then the scan rejects every given value, and
// the ranked count leaves the family to the sorted route.
inline bool omitted_pvalues_pass(double factor, std::int64_t total, double alpha) {
    return (factor / static_cast<double>(total)) - alpha <= closed_by::TOLERANCE;
}

// The p-value step-up count of `method` (BY or BH) on p-values sorted largest first.
inline std::int64_t pvalue_step_up_count(const Method& method, const double* p, int n, std::int64_t total,
                                         double alpha) {
    return method.harmonic ? closed_by::by_count(p, n, total, alpha) : closed_by::bh_count(p, n, total, alpha);
}

inline bool stop_requested(const common::CancelFlag* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// Sorts [first, last), descending or ascending, by std::sort in steps that
// `cancel` can stop (SearchCancelled). The _fast module sorts large ranges
// with numpy's sort instead, through the same interface.
struct StdSortInSteps {
    void operator()(double* first, double* last, bool descending, const common::CancelFlag* cancel) const {
        const auto stop = [cancel] { return stop_requested(cancel); };
        if (descending) {
            sort_in_steps(
                first, last, [](double* a, double* b) { std::sort(a, b, std::greater<>()); }, std::greater<>(), stop);
        } else {
            sort_in_steps(first, last, [](double* a, double* b) { std::sort(a, b); }, std::less<>(), stop);
        }
    }
};

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
// sort(first, last, descending, cancel) sorts the candidates.
template <typename Sort>
void arrange_for_step_up(const Method& method, double alpha, std::int64_t total, std::vector<double>& values,
                         const common::CancelFlag* cancel, const Sort& sort) {
    double* end = values.data() + values.size();
    if (method.evidence == Evidence::evalues) {
        double* first =
            std::partition(values.data(), end, [alpha](double e) { return !is_evalue_candidate(e, alpha); });
        sort(first, end, false, cancel);
    } else {
        const double factor_low = line_factor_lower_bound(method, total);
        double* first =
            std::partition(values.data(), end, [&](double p) { return !is_pvalue_candidate(p, factor_low, alpha); });
        sort(first, end, true, cancel);
    }
}

// The step-up count on values sorted with the strongest last. Only the
// candidates, a block at the end, are handed over: the others count as
// omitted hypotheses (p = 1, e = 0), which changes nothing, since neither
// they nor the stand-ins meet the condition at any rank and the candidates
// keep their ranks.
inline std::int64_t sorted_step_up_count(const Method& method, double alpha, std::int64_t total, const double* sorted,
                                         int n) {
    const double* end = sorted + n;
    if (method.evidence == Evidence::evalues) {
        return closed_ebh::candidate_ebh_count(sorted, n, total, alpha);
    }
    const double factor_low = line_factor_lower_bound(method, total);
    const double* first =
        std::partition_point(sorted, end, [&](double p) { return !is_pvalue_candidate(p, factor_low, alpha); });
    const int candidates = static_cast<int>(end - first);
    return pvalue_step_up_count(method, first, candidates, total, alpha);
}

inline std::int64_t sorted_step_up_count(const Method& method, double alpha, std::int64_t total,
                                         const std::vector<double>& sorted) {
    return sorted_step_up_count(method, alpha, total, sorted.data(), static_cast<int>(sorted.size()));
}

// The step-up count (at most n) by sorting the candidates and scanning them,
// leaving the values as arrange_for_step_up does: the reference of
// ranked_step_up_count, and its route outside the proof's reach.
template <typename Sort = StdSortInSteps>
int sorted_route_step_up_count(const Method& method, double alpha, std::int64_t total, std::vector<double>& values,
                               const common::CancelFlag* cancel = nullptr, const Sort& sort = {}) {
    const int n = static_cast<int>(values.size());
    arrange_for_step_up(method, alpha, total, values, cancel, sort);
    return static_cast<int>(std::min<std::int64_t>(
        n, method.evidence == Evidence::evalues ? closed_ebh::ebh_count(values.data(), n, total, alpha)
                                                : pvalue_step_up_count(method, values.data(), n, total, alpha)));
}

// The step-up count of the `limit` candidates at `first` (values that can
// never pass left out), at a positive finite alpha where omitted p-values do
// not pass at rank `total`: the first passing rank of each candidate
// (candidate_ranks, in `ranks`, in the candidates' order), and the largest k
// with k of them passing by rank k (count_from_ranks).
inline int count_of_candidates(const Method& method, double alpha, std::int64_t total, const double* first, int limit,
                               std::vector<int>& ranks, std::vector<int>& tally, RankedCountStats& counts,
                               const common::CancelFlag* cancel) {
    if (method.evidence == Evidence::evalues) {
        const EvalueRankTest test{alpha / static_cast<double>(total), 1.0 + closed_ebh::TOLERANCE};
        candidate_ranks(test, first, limit, ranks, counts, cancel);
    } else {
        const PvalueRankTest test{step_up_factor(method, total), alpha, closed_by::TOLERANCE,
                                  1.0 / (alpha + closed_by::TOLERANCE)};
        candidate_ranks(test, first, limit, ranks, counts, cancel);
    }
    return count_from_ranks(ranks, tally);
}

// The step-up count of the present values from the ranks at which the
// candidates start to meet the condition (ranked_count.hpp), without sorting
// them. Leaves the rejected values last, those equal to the weakest of them
// first among them, which is all mark_strongest reads. Bit for bit the count
// of sorted_route_step_up_count: the conditions are the scans' expressions
// (ebh_count's ((k e) (alpha / m)) >= 1 + 1e-12, by_scan's
// ((p (m H_m)) / k) - alpha <= 1e-10, H_m the same summed double, or 1 for
// BH), whose
// monotonicity in k and in the value the comment heading ranked_count.hpp
// shows, and the candidates the same. The scan on the arranged values
// returns the largest rank whose value passes: the non-candidates before
// the candidates pass at no rank, and so the count is the one of the
// candidates in order. Outside the proof's reach it takes that route:
// alpha not a positive finite number, or omitted p-values that pass at rank
// m (then the scan returns m, all given values rejected).
template <typename Sort = StdSortInSteps>
int ranked_step_up_count(const Method& method, double alpha, std::int64_t total, std::vector<double>& values,
                         RankedCountStats* stats = nullptr, const common::CancelFlag* cancel = nullptr,
                         const Sort& sort = {}) {
    RankedCountStats local;
    RankedCountStats& counts = stats != nullptr ? *stats : local;
    const auto sorted_route = [&] {
        ++counts.sorted;
        return sorted_route_step_up_count(method, alpha, total, values, cancel, sort);
    };
    if (!(alpha > 0.0 && alpha <= std::numeric_limits<double>::max())) {
        return sorted_route();
    }
    std::vector<double>::iterator first;
    const bool evalues = method.evidence == Evidence::evalues;
    if (evalues) {
        first =
            std::partition(values.begin(), values.end(), [alpha](double e) { return !is_evalue_candidate(e, alpha); });
    } else {
        const int n = static_cast<int>(values.size());
        if (total > n && omitted_pvalues_pass(step_up_factor(method, total), total, alpha)) {
            return sorted_route();
        }
        const double factor_low = line_factor_lower_bound(method, total);
        first = std::partition(values.begin(), values.end(),
                               [&](double p) { return !is_pvalue_candidate(p, factor_low, alpha); });
    }
    std::vector<int> ranks;
    std::vector<int> tally;
    const int count = count_of_candidates(method, alpha, total, values.data() + (first - values.begin()),
                                          static_cast<int>(values.end() - first), ranks, tally, counts, cancel);
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
    const auto rejected =
        std::partition(first, values.end(), [&](double v) { return !(evalues ? v >= weakest : v <= weakest); });
    std::partition(rejected, values.end(), [weakest](double v) { return v == weakest; });
    ++counts.ranked;
    return count;
}

// Closed BY decides the same without the p-values above alpha + 1e-10 (the
// omission bound): such a p-value changes no decision of BY or closed BY,
// whatever the family's total, so it is dropped before the sort and counts
// as an omitted p-value of 1. The bound's proof holds for 0 < alpha < 1.
// Removing keeps the order of the others.
inline void drop_beyond_omission_bound(double alpha, std::vector<double>& values) {
    if (alpha > 0.0 && alpha < 1.0) {
        const double bound = alpha + closed_by::TOLERANCE;
        values.erase(std::remove_if(values.begin(), values.end(), [bound](double p) { return p > bound; }),
                     values.end());
    }
}

// rejection_count at a level the core decides as it is (p-values below
// 0.05 are scaled first), leaving the values arranged with the rejected ones
// last, those equal to the weakest of them first. sort(first, last,
// descending, cancel) sorts a range.
template <typename Sort = StdSortInSteps>
int core_rejection_count(const Method& method, double alpha, std::int64_t total, std::vector<double>& values,
                         bool ascending, const common::CancelFlag* cancel, const Sort& sort = {}) {
    int n = common::checked_count(values.size(), "a family");
    common::require_family_size(n, total);
    if (n == 0) {
        return 0;
    }
    if (!method.closed) {
        return ranked_step_up_count(method, alpha, total, values, nullptr, cancel, sort);
    }
    if (method.evidence == Evidence::pvalues) {
        drop_beyond_omission_bound(alpha, values);
        n = static_cast<int>(values.size());
    }
    if (!ascending) {
        sort(values.data(), values.data() + values.size(), false, cancel);
    }
    if (method.evidence == Evidence::pvalues) {
        std::reverse(values.begin(), values.end());
    }
    const int step_up = static_cast<int>(std::min<std::int64_t>(n, sorted_step_up_count(method, alpha, total, values)));
    if (step_up == n) {
        return n;
    }
    const std::int64_t closed =
        method.evidence == Evidence::evalues
            ? closed_ebh::closed_ebh_count(values.data(), n, total, alpha, method.approximate, cancel)
            : closed_by::closed_by_count(values.data(), n, total, alpha, method.approximate, cancel);
    return std::max(step_up, static_cast<int>(std::min<std::int64_t>(closed, n)));
}

// The number of rejections among the present values of a family of `total`
// hypotheses (the others omitted: p = 1, e = 0), leaving the values arranged
// with the rejected ones last. `ascending`: the values are already sorted
// ascending. A closed procedure rejects at least as many as its step-up
// procedure: its count is the larger of the two. Below 0.05 the p-value
// procedures decide at alpha 2^j on the p-values times 2^j
// (common/level_search.hpp); the rejected values, at most 0.1 + 1e-10 once
// scaled and so never capped at 1, are scaled back exactly.
// sort(first, last, descending, cancel) sorts a range.
template <typename Sort = StdSortInSteps>
int rejection_count(const Method& method, double alpha, std::int64_t total, std::vector<double>& values, bool ascending,
                    const common::CancelFlag* cancel, const Sort& sort = {}) {
    const int j = method.evidence == Evidence::pvalues ? common::level_exponent(alpha) : 0;
    if (j == 0) {
        return core_rejection_count(method, alpha, total, values, ascending, cancel, sort);
    }
    for (double& p : values) {
        p = common::scaled_pvalue(p, j);
    }
    const int count = core_rejection_count(method, std::ldexp(alpha, j), total, values, ascending, cancel, sort);
    for (auto p = values.end() - count; p != values.end(); ++p) {
        *p = std::ldexp(*p, -j);
    }
    return count;
}

}  // namespace tarvimo::families
