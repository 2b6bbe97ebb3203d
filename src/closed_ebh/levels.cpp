#include "closed_ebh/levels.hpp"

#include <algorithm>
#include <vector>

#include "closed_ebh_search.hpp"
#include "ebh_profile.hpp"
#include "mean_consistency.hpp"
#include "padded_values.hpp"

// Monotone in alpha: alpha / total never falls as alpha grows (rounding is
// monotone), nor does its product with k e >= 0 (+inf times a positive
// number stays +inf; times 0, below the smallest levels, it is NaN and fails).
bool step_up_evalue_passes(double e, int k, int total, double alpha) {
    return (static_cast<double>(k) * e) * (alpha / static_cast<double>(total)) >= 1.0 + TOLERANCE;
}

// The test passes from about total (1 + 1e-12) / (k e) on: the guess is
// within a few ulps of the threshold, and the search settles it exactly.
double step_up_evalue_level(double e, int k, int total, double max_level) {
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
std::vector<double> step_up_evalue_levels(const double* descending, int n, int total, double max_level) {
    require_family_size(n, total);
    std::vector<double> levels(static_cast<std::size_t>(n));
    double running = max_level;
    for (int t = n - 1; t >= 0; --t) {
        if (t + 1 == n || descending[t] != descending[t + 1]) {
            running = std::min(running, step_up_evalue_level(descending[t], t + 1, total, running));
        }
        levels[static_cast<std::size_t>(t)] = running;
    }
    return levels;
}

// Each size's check is monotone in alpha: every target is
// sum - fl(counts fl(1 / fl(alpha r))), whose subtrahend never grows as alpha
// does, and a violation is a target below -1e-12.
std::vector<double> closed_ebh_levels(const double* descending, int n, int total, double max_level,
                                      const CancelFlag* cancel, ClosedLevelCounts* counts) {
    require_family_size(n, total);
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
    int warm_i_in = -1;
    int warm_i_out = -1;
    int warm_r = -1;
    const auto passes = [&](int r, double alpha) {
        ++tally.checks;
        // A warm start names a violation of this size or of a larger one.
        const bool warm = warm_i_out >= 0 && r < total && warm_r >= r;
        const MeanConsistentResult check = fast_check(profile, r, alpha, warm ? warm_i_in : -1,
                                                      warm ? warm_i_out : -1, cancel, search_counts);
        if (!check.meanconsistent) {
            warm_i_in = check.at_i_in;
            warm_i_out = check.at_i_out;
            warm_r = r;
        }
        return check.meanconsistent;
    };
    // Half the level at which the weakest e-value of the set, alone, meets
    // its requirement 1 / (alpha r): there its target is about -e.
    const auto failing_level = [&](int r) {
        const double e = descending[r - 1];
        const double half = 0.5 / (static_cast<double>(r) * e);
        return half > SMALLEST_LEVEL && half < 1.0 ? half : SMALLEST_LEVEL;
    };
    scan_closed_levels(levels, max_level, passes, failing_level, cancel, tally);
    return levels;
}
