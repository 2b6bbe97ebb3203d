#include "closed_by/levels.hpp"

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "cBY.hpp"
#include "certified_cby.hpp"
#include "checked_count.hpp"
#include "harmonic_table.hpp"
#include "padded_values.hpp"

namespace {

using cby::TOLERANCE;

// Selects in `checks` the family as the engine hands it to the closed BY
// core at a level of band j: the given p-values scaled by 2^j (at most 1),
// exact zeros replaced, largest first (the omitted ones, 1.0, stay 1.0 at
// every band).
void select_band(CertifiedCbyLevelChecks& checks, const double* ascending, int n, int j) {
    if (checks.select(j)) {
        return;
    }
    std::vector<double> scaled(static_cast<std::size_t>(n));
    for (int t = 0; t < n; ++t) {
        const double p = scaled_pvalue(ascending[n - 1 - t], j);
        scaled[static_cast<std::size_t>(t)] = p == 0.0 ? cby::ZERO_REPLACEMENT : p;
    }
    checks.add(j, std::move(scaled));
}

}  // namespace

// Monotone in alpha. Within a band (fixed j) the scaled p is fixed, and
// fl(x - alpha') never rises as alpha' = alpha 2^j grows: rounding is
// monotone. Across band edges see common/level_search.hpp.
bool step_up_pvalue_passes(double q, int k, double factor, double alpha) {
    const int j = level_exponent(alpha);
    const double p = scaled_pvalue(q, j);
    return ((p * factor) / static_cast<double>(k)) - std::ldexp(alpha, j) <= TOLERANCE;
}

// The test passes from about x - 1e-10 on in the band of x, x the scaled
// ((p factor) / k): that guess is within a few ulps of the threshold, and
// the search settles it exactly from there.
double step_up_pvalue_level(double q, int k, double factor, double max_level) {
    if (!(max_level > SMALLEST_LEVEL)) {
        return max_level;
    }
    const double hi = double_below(max_level);
    const double rough = (q * factor) / static_cast<double>(k);
    const int j = level_exponent(rough);
    const double guess = std::ldexp(((scaled_pvalue(q, j) * factor) / static_cast<double>(k)) - TOLERANCE, -j);
    const double level = first_passing_double(SMALLEST_LEVEL, hi, guess,
                                              [&](double alpha) { return step_up_pvalue_passes(q, k, factor, alpha); });
    return level <= hi ? level : max_level;
}

// Rank t + 1 is rejected at alpha when some rank k >= t + 1 passes its test
// (the step-up count is the largest passing rank), and each test passes from
// its own threshold on: the level is the smallest threshold from rank t + 1
// on. Equal p-values get equal levels: at a larger rank the same p passes
// first, ((p factor) / k) falling with k.
std::vector<double> step_up_pvalue_levels(const double* ascending, int n, int total, double harmonic,
                                          double max_level) {
    require_family_size(n, total);
    const double factor = static_cast<double>(total) * harmonic;
    std::vector<double> levels(static_cast<std::size_t>(n));
    double running = max_level;
    for (int t = n - 1; t >= 0; --t) {
        // A rank's threshold lies within 1e-8 of (p factor) / k or above it
        // (the margin is at most 2e-9 of the scaled level); one that cannot
        // be below the running minimum is not searched.
        const double rough = (ascending[t] * factor) / static_cast<double>(t + 1);
        if ((t + 1 == n || ascending[t] != ascending[t + 1]) && rough * ROUGH_LEVEL_SHORTFALL < running) {
            running = std::min(running, step_up_pvalue_level(ascending[t], t + 1, factor, running));
        }
        levels[static_cast<std::size_t>(t)] = running;
    }
    return levels;
}

std::vector<double> closed_by_levels(const double* ascending, int n, int total, double max_level,
                                     const CancelFlag* cancel, ClosedLevelCounts* counts) {
    require_family_size(n, total);
    ClosedLevelCounts local;
    ClosedLevelCounts& tally = counts != nullptr ? *counts : local;
    std::vector<double> levels = step_up_pvalue_levels(ascending, n, total, harmonic_number(total), max_level);
    if (n == 0) {
        return levels;
    }
    CertifiedCbyLevelChecks checks(n, total, cancel);
    int warm_s = 0;
    const auto passes = [&](int r, double alpha) {
        ++tally.checks;
        const int j = level_exponent(alpha);
        select_band(checks, ascending, n, j);
        const cBYCheckResult check = checks.check(r, warm_s, std::ldexp(alpha, j));
        if (!check.res) {
            warm_s = check.at_s;
        }
        return check.res;
    };
    // Whether size s of the check of r passes at alpha, on its own; -1
    // where that cannot be had.
    const auto size_passes = [&](int r, int s, double alpha) {
        const int j = level_exponent(alpha);
        select_band(checks, ascending, n, j);
        const std::optional<bool> verdict = checks.size_passes(r, s, std::ldexp(alpha, j));
        return verdict ? static_cast<int>(*verdict) : -1;
    };
    // Just below the r-th smallest p-value: there the scaled p-value exceeds
    // the scaled level (at least 0.05) by more than 1e-6 of it, far more than
    // 1e-10, so its e-value is 0 at every size and the check fails at size
    // one (1 / (alpha r) exceeds 1e-10).
    const auto failing_level = [&](int r) {
        const double below = ascending[r - 1] * (1.0 - 1e-6);
        return below > SMALLEST_LEVEL ? below : SMALLEST_LEVEL;
    };
    // The check of r passes when every size does: its level is the largest
    // of its sizes' levels, each bisected on that size alone (a few e-values
    // per step instead of a whole check), the sizes being those at which the
    // whole check fails on the way up.
    const auto size_level = [&](int r, double failing, double passing) {
        const auto passes_r = [&](double alpha) { return passes(r, alpha); };
        const auto failing_size_level = [&](double from, double to) {
            const int s = warm_s;
            bool judged = true;
            const double level = bisect_levels(double_order(from), double_order(to), [&](double alpha) {
                const int verdict = judged ? size_passes(r, s, alpha) : 0;
                judged = judged && verdict >= 0;
                return verdict == 1;
            });
            return judged ? level : -1.0;
        };
        // Also keeps the searches within one or two bands of the scaled values.
        narrow_from_above(failing, passing, passes_r);
        return size_level_by_parts(failing, passing, passes_r, failing_size_level, passes_r, tally);
    };
    scan_closed_levels(levels, max_level, passes, failing_level, size_level, cancel, tally);
    return levels;
}
