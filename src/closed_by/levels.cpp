#include "closed_by/levels.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "closed_by/fast_check.hpp"

namespace tarvimo::closed_by {

using common::bisect_levels;
using common::double_below;
using common::double_order;
using common::first_passing_double;
using common::level_exponent;
using common::scaled_pvalue;
using common::SMALLEST_LEVEL;

// One version of the family: its values, whether the certificates hold for
// them, and the walk that keeps its sums of 1 / p (built on first use).
struct LevelChecks::Version {
    int key;
    std::vector<double> given;
    bool in_domain;
    std::optional<CheckWalk> walk;
};

// The harmonic numbers as certified_closed_by_count keeps them.
LevelChecks::LevelChecks(int n, std::int64_t total, const common::CancelFlag* cancel, const CertifiedCbyTuning& tuning)
    : harmonic_(total, dense_harmonic_from(n, total, tuning), cancel), cancel_(cancel), tuning_(tuning) {}

LevelChecks::~LevelChecks() = default;

bool LevelChecks::select(int key) {
    for (std::size_t i = 0; i < versions_.size(); ++i) {
        if (versions_[i]->key == key) {
            const auto at = versions_.begin() + static_cast<std::ptrdiff_t>(i);
            std::rotate(versions_.begin(), at, at + 1);
            return true;
        }
    }
    return false;
}

void LevelChecks::add(int key, std::vector<double> given) {
    const int n = common::checked_count(given.size(), "the given p-values");
    common::require_family_size(n, harmonic_.size());
    if (versions_.size() == CACHED_VERSIONS) {
        versions_.pop_back();
    }
    const bool in_domain = values_in_domain(given.data(), n);
    versions_.insert(versions_.begin(),
                     std::make_unique<Version>(Version{key, std::move(given), in_domain, std::nullopt}));
}

bool LevelChecks::certified(double alpha) const {
    return !versions_.empty() && versions_.front()->in_domain && alpha_in_domain(alpha) &&
           factor_in_domain(harmonic_, alpha);
}

LevelChecks::Version& LevelChecks::at_level(double alpha) {
    Version& version = *versions_.front();
    if (!version.walk) {
        const int n = static_cast<int>(version.given.size());
        const std::int64_t total = harmonic_.size();
        version.walk.emplace(PFamily{version.given.data(), n, total - n, total}, harmonic_, alpha, stats_, tuning_,
                             cancel_);
    } else {
        version.walk->set_alpha(alpha);
    }
    return version;
}

SizeCheck LevelChecks::check(int r, std::int64_t warm_s, double alpha) {
    if (!certified(alpha)) {
        ++stats_.literal_runs;
        const Version& version = *versions_.front();
        const std::vector<double> padded =
            common::padded_values(version.given.data(), static_cast<int>(version.given.size()), harmonic_.size(), 1.0);
        const int total = static_cast<int>(padded.size());
        std::vector<double> harmonic(static_cast<std::size_t>(total) + 1);
        for (int s = 0; s <= total; ++s) {
            harmonic[static_cast<std::size_t>(s)] = harmonic_(s);
        }
        const cBYCheckResult result = cBY_check_cpp(padded, r, harmonic, static_cast<int>(warm_s), alpha);
        return {result.res, result.at_s};
    }
    return at_level(alpha).walk->check(r, warm_s);
}

std::optional<bool> LevelChecks::size_passes(int r, std::int64_t s, double alpha) {
    const std::int64_t total = harmonic_.size();
    if (!certified(alpha) || r < 1 || r > total || s < 1 || s > total) {
        return std::nullopt;
    }
    const SizeVerdict verdict = at_level(alpha).walk->size_verdict(r, s);
    if (verdict == SizeVerdict::pass || verdict == SizeVerdict::fail) {
        return verdict == SizeVerdict::pass;
    }
    return std::nullopt;
}

namespace {

// Selects in `checks` the family as the engine hands it to the closed BY
// core at a level of band j: the given p-values scaled by 2^j (at most 1),
// exact zeros replaced, largest first (the omitted ones, 1.0, stay 1.0 at
// every band).
void select_band(LevelChecks& checks, const double* ascending, int n, int j) {
    if (checks.select(j)) {
        return;
    }
    std::vector<double> scaled(static_cast<std::size_t>(n));
    for (int t = 0; t < n; ++t) {
        const double p = scaled_pvalue(ascending[n - 1 - t], j);
        scaled[static_cast<std::size_t>(t)] = p == 0.0 ? ZERO_REPLACEMENT : p;
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

// The omitted values (p = 1) hold the ranks n + 1 ... total; of them the one
// at rank total passes first. BH's test there, 1 - alpha <= 1e-10, passes
// from about 1 - 1e-10 on, and then every present value is rejected too.
double omitted_pvalue_level(int n, std::int64_t total, double harmonic, double max_level) {
    return total > n ? step_up_pvalue_level(1.0, total, static_cast<double>(total) * harmonic, max_level) : max_level;
}

// Rank t + 1 is rejected at alpha when some rank k >= t + 1 passes its test
// (the step-up count is the largest passing rank), and each test passes from
// its own threshold on: the level is the smallest threshold from rank t + 1
// on. Equal p-values get equal levels: at a larger rank the same p passes
// first, ((p factor) / k) falling with k.
std::vector<double> step_up_pvalue_levels(const double* ascending, int n, std::int64_t total, double harmonic,
                                          double max_level) {
    common::require_family_size(n, total);
    const double factor = static_cast<double>(total) * harmonic;
    std::vector<double> levels(static_cast<std::size_t>(n));
    double running = omitted_pvalue_level(n, total, harmonic, max_level);
    for (int t = n - 1; t >= 0; --t) {
        // A rank's threshold that cannot be below the running minimum is not searched.
        const double rough = (ascending[t] * factor) / static_cast<double>(t + 1);
        if ((t + 1 == n || ascending[t] != ascending[t + 1]) && rough * common::ROUGH_LEVEL_SHORTFALL < running) {
            running = std::min(running, step_up_pvalue_level(ascending[t], t + 1, factor, running));
        }
        levels[static_cast<std::size_t>(t)] = running;
    }
    return levels;
}

std::vector<double> closed_by_levels(const double* ascending, int n, std::int64_t total, double max_level,
                                     const common::CancelFlag* cancel, ClosedLevelCounts* counts) {
    common::require_family_size(n, total);
    ClosedLevelCounts local;
    ClosedLevelCounts& tally = counts != nullptr ? *counts : local;
    std::vector<double> levels = step_up_pvalue_levels(ascending, n, total, harmonic_number(total), max_level);
    if (n == 0) {
        return levels;
    }
    LevelChecks checks(n, total, cancel);
    std::int64_t warm_s = 0;
    const auto passes = [&](int r, double alpha) {
        ++tally.checks;
        const int j = level_exponent(alpha);
        select_band(checks, ascending, n, j);
        const SizeCheck check = checks.check(r, warm_s, std::ldexp(alpha, j));
        if (!check.res) {
            warm_s = check.at_s;
        }
        return check.res;
    };
    // Whether size s of the check of r passes at alpha, on its own; -1
    // where that cannot be had.
    const auto size_passes = [&](int r, std::int64_t s, double alpha) {
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
            const std::int64_t s = warm_s;
            bool judged = true;
            const double level = bisect_levels(double_order(from), double_order(to), [&](double alpha) {
                const int verdict = judged ? size_passes(r, s, alpha) : 0;
                judged = judged && verdict >= 0;
                return verdict == 1;
            });
            return judged ? level : -1.0;
        };
        // Also keeps the searches within one or two bands of the scaled values.
        common::narrow_from_above(failing, passing, passes_r);
        return common::size_level_by_parts(failing, passing, passes_r, failing_size_level, passes_r, tally);
    };
    common::scan_closed_levels(levels, max_level, passes, failing_level, size_level, cancel, tally);
    return levels;
}

}  // namespace tarvimo::closed_by
