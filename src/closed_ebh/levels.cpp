#include "closed_ebh/levels.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "closed_ebh/fast_search.hpp"
#include "closed_ebh/mean_consistency.hpp"
#include "closed_ebh/profile.hpp"

namespace tarvimo::closed_ebh {

using common::double_at_order;
using common::double_below;
using common::double_order;
using common::first_passing_double;
using common::SMALLEST_LEVEL;

// Monotone in alpha: alpha / total never falls as alpha grows (rounding is
// monotone), nor does its product with k e >= 0 (+inf times a positive
// number stays +inf; times 0, below the smallest levels, it is NaN and fails).
bool step_up_evalue_passes(double e, int k, std::int64_t total, double alpha) {
    return (static_cast<double>(k) * e) * (alpha / static_cast<double>(total)) >= 1.0 + TOLERANCE;
}

// The test passes from about total (1 + 1e-12) / (k e) on: the guess is
// within a few ulps of the threshold, and the search settles it exactly.
double step_up_evalue_level(double e, int k, std::int64_t total, double max_level) {
    if (!(max_level > SMALLEST_LEVEL)) {
        return max_level;
    }
    const double hi = double_below(max_level);
    const double guess = (static_cast<double>(total) * (1.0 + TOLERANCE)) / (static_cast<double>(k) * e);
    const double level = first_passing_double(SMALLEST_LEVEL, hi, guess,
                                              [&](double alpha) { return step_up_evalue_passes(e, k, total, alpha); });
    return level <= hi ? level : max_level;
}

// As for the p-values: the smallest threshold from the rank on. Equal
// e-values get equal levels, k e growing with k.
std::vector<double> step_up_evalue_levels(const double* descending, int n, std::int64_t total, double max_level) {
    common::require_family_size(n, total);
    std::vector<double> levels(static_cast<std::size_t>(n));
    double running = max_level;
    for (int t = n - 1; t >= 0; --t) {
        // A rank's threshold lies within 1e-8 of total / (k e) or above it;
        // one that cannot be below the running minimum is not searched.
        const double rough = static_cast<double>(total) / (static_cast<double>(t + 1) * descending[t]);
        if ((t + 1 == n || descending[t] != descending[t + 1]) && rough * common::ROUGH_LEVEL_SHORTFALL < running) {
            running = std::min(running, step_up_evalue_level(descending[t], t + 1, total, running));
        }
        levels[static_cast<std::size_t>(t)] = running;
    }
    return levels;
}

// Whether the target of the pair (i_in, i_out) of size r is no violation at
// alpha, as the check evaluates it. Monotone in alpha: the subtrahend
// fl(counts fl(1 / fl(alpha r))) of the target never grows as alpha does.
bool pair_passes(const EvalueProfile& profile, int r, std::int64_t i_in, std::int64_t i_out, double alpha) {
    const std::int64_t set_offset = profile.total() - r;
    return !(compute_target(profile, i_in, i_out, set_offset, 1.0 / (alpha * r)) < -TOLERANCE);
}

// The smallest double in (from, to] at which the pair passes, or a value
// above `to`. The pair passes from about counts / (r (sum + 1e-12)) on; the
// search settles it from there.
double pair_level(const EvalueProfile& profile, int r, std::int64_t i_in, std::int64_t i_out, double from, double to) {
    const std::int64_t set_offset = profile.total() - r;
    const double sum = (profile[set_offset + i_in] - profile[set_offset]) + profile[i_out];
    const double counts = pair_count(i_in, i_out);
    const double guess = counts / (static_cast<double>(r) * (sum + TOLERANCE));
    const double lo = double_at_order(double_order(from) + 1);
    if (lo > to) {
        return lo;
    }
    return first_passing_double(lo, to, guess,
                                [&](double alpha) { return pair_passes(profile, r, i_in, i_out, alpha); });
}

// Each size's check is monotone in alpha, every target being so, as long as
// the check's search over i_out finds every violation (the targets are
// convex in i_out in real arithmetic). The check of size r passes exactly
// when no pair violates: its level is the largest of the levels of the
// pairs, found by size_level_by_parts from the violations the check reports.
std::vector<double> closed_ebh_levels(const double* descending, int n, std::int64_t total, double max_level,
                                      const common::CancelFlag* cancel, ClosedLevelCounts* counts) {
    common::require_family_size(n, total);
    ClosedLevelCounts local;
    ClosedLevelCounts& tally = counts != nullptr ? *counts : local;
    std::vector<double> levels = step_up_evalue_levels(descending, n, total, max_level);
    if (n == 0) {
        return levels;
    }
    const std::vector<double> ascending(std::make_reverse_iterator(descending + n),
                                        std::make_reverse_iterator(descending));
    const EvalueProfile profile(ascending.data(), n, total);
    SearchCounts search_counts;
    MeanConsistentResult last{true, -1, -1};
    const auto passes = [&](int r, double alpha) {
        ++tally.checks;
        // A warm start names the violation of this size or of a larger one;
        // it changes only the order of the probes.
        const bool warm = last.at_i_out >= 0 && r < total;
        const MeanConsistentResult check =
            fast_check(profile, r, alpha, warm ? last.at_i_in : -1, warm ? last.at_i_out : -1, cancel, search_counts);
        if (!check.meanconsistent) {
            last = check;
        }
        return check.meanconsistent;
    };
    // Just below the level at which the weakest e-value of the set, alone,
    // meets its requirement 1 / (alpha r): there its target is about -1e-6 e
    // (the scan checks that it fails).
    const auto failing_level = [&](int r) {
        const double level = (1.0 - 1e-6) / (static_cast<double>(r) * descending[r - 1]);
        return level > SMALLEST_LEVEL && level < 1.0 ? level : SMALLEST_LEVEL;
    };
    const auto size_level = [&](int r, double failing, double passing) {
        const auto passes_r = [&](double alpha) { return passes(r, alpha); };
        const auto violated_pair_level = [&](double from, double to) {
            return pair_level(profile, r, std::min<std::int64_t>(last.at_i_in, r), last.at_i_out, from, to);
        };
        return common::size_level_by_parts(failing, passing, passes_r, violated_pair_level, passes_r, tally);
    };
    common::scan_closed_levels(levels, max_level, passes, failing_level, size_level, cancel, tally);
    return levels;
}

}  // namespace tarvimo::closed_ebh
