#include "closed_by/levels.hpp"

#include <cmath>
#include <vector>

#include "cBY.hpp"
#include "certified_cby.hpp"
#include "checked_count.hpp"
#include "harmonic_table.hpp"
#include "padded_values.hpp"

namespace {

using cby::TOLERANCE;

// The family as the engine hands it to the closed BY core at a level of band
// j: the p-values scaled by 2^j (at most 1), exact zeros replaced, largest
// first after total - n omitted values of 1. Rebuilt when the band changes.
class ScaledFamily {
public:
    ScaledFamily(const double* ascending, int n, int total) : ascending_(ascending), n_(n), total_(total) {}

    const std::vector<double>& at_band(int j) {
        if (j != band_) {
            values_.assign(static_cast<std::size_t>(total_), 1.0);
            for (int t = 0; t < n_; ++t) {
                const double p = scaled_pvalue(ascending_[n_ - 1 - t], j);
                values_[static_cast<std::size_t>(total_ - n_ + t)] = p == 0.0 ? cby::ZERO_REPLACEMENT : p;
            }
            band_ = j;
        }
        return values_;
    }

private:
    const double* ascending_;
    int n_;
    int total_;
    int band_ = -1;
    std::vector<double> values_;
};

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
        if (t + 1 == n || ascending[t] != ascending[t + 1]) {
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
    const std::vector<double> harmonic = harmonic_numbers_cpp(total);
    ScaledFamily family(ascending, n, total);
    int warm_s = 0;
    const auto passes = [&](int r, double alpha) {
        ++tally.checks;
        const int j = level_exponent(alpha);
        const cBYCheckResult check = certified_cby_check(family.at_band(j), r, harmonic, warm_s, std::ldexp(alpha, j));
        if (!check.res) {
            warm_s = check.at_s;
        }
        return check.res;
    };
    // Half the r-th smallest p-value: there the scaled p-value is twice the
    // scaled level, above it by far more than 1e-10, and the check fails at
    // size one (its e-value is 0 and 1 / (alpha r) exceeds 1e-10).
    const auto failing_level = [&](int r) {
        const double half = 0.5 * ascending[r - 1];
        return half > SMALLEST_LEVEL ? half : SMALLEST_LEVEL;
    };
    scan_closed_levels(levels, max_level, passes, failing_level, cancel, tally);
    return levels;
}
