#pragma once

// The methods a family is decided by, and the number of rejections of one
// family: the step-up count on the candidates alone (values that cannot meet
// the step-up condition at any rank are set aside without sorting), and the
// closed count above it.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "closed_ebh/closed_ebh.hpp"
#include "common/common.hpp"

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
// Step-up counts are a partition, a sort of the candidates and one pass:
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

// The number of rejections among the present values of a family of `total`
// hypotheses (the others omitted: p = 1, e = 0), leaving the values arranged
// with the rejected ones last. `ascending`: the values are already sorted
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
        arrange_for_step_up(method, alpha, total, values);
        return std::min(n, method.evidence == Evidence::evalues ? closed_ebh::ebh_count(values.data(), n, total, alpha)
                                                                : closed_by::by_count(values.data(), n, total, alpha));
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
