#pragma once

// Levels of the p-value procedures: for each hypothesis the smallest double
// alpha at which BY (or BH) and closed BY, as the families engine decides
// them (scaled below 0.05, common/level_search.hpp), reject it.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "closed_by/cBY.hpp"
#include "closed_by/fast_check.hpp"  // SizeCheck
#include "closed_by/harmonic_table.hpp"
#include "closed_by/tuning.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

using common::ClosedLevelCounts;

// Whether the step-up test of rank k (of `total`, factor = total * H_total,
// or total for BH) passes for the p-value q at alpha, scaled as the engine
// scales it: ((p factor) / k) - alpha <= 1e-10 on the scaled p and alpha.
bool step_up_pvalue_passes(double q, std::int64_t k, double factor, double alpha);

// The smallest double alpha in (0, max_level) at which that test passes, or
// max_level when none does.
double step_up_pvalue_level(double q, std::int64_t k, double factor, double max_level);

// The smallest level below max_level at which an omitted value of a family
// of n given p-values of `total` passes its step-up test (then every given
// value is rejected), or max_level.
double omitted_pvalue_level(int n, std::int64_t total, double harmonic, double max_level);

// Levels by rank of the step-up procedure: ascending[t] (sorted ascending)
// has rank t + 1 of `total`; its level is the smallest threshold of the
// ranks from t + 1 on (the cumulative minimum from the back), max_level
// where none is below. `harmonic` is H_total for BY, 1 for BH.
std::vector<double> step_up_pvalue_levels(const double* ascending, int n, std::int64_t total, double harmonic,
                                          double max_level);

// Checks of one family at many levels, as the level scan makes them. The
// family comes in versions (the scan scales it by band), each under a key:
// the last few are kept, each with its walk's sums of 1 / p, and the harmonic
// numbers are shared. Each check's result is cBY_check_cpp's on the selected
// version padded with 1.0 (the literal check outside the certified domain).
class LevelChecks {
public:
    // For families of n given values of `total`.
    LevelChecks(int n, std::int64_t total, const common::CancelFlag* cancel, const CertifiedCbyTuning& tuning = {});
    ~LevelChecks();
    LevelChecks(const LevelChecks&) = delete;
    LevelChecks& operator=(const LevelChecks&) = delete;

    // Selects the version kept under `key`; false if none is.
    bool select(int key);
    // Adds and selects a version: given p-values, largest first (zeros
    // already replaced), after total - given.size() omitted ones of 1.
    void add(int key, std::vector<double> given);

    // With a floor below alpha and least_count below r, the ranges of sizes
    // the check certifies hold from the floor up, for the counts from
    // least_count up to r, and a later check of such a count in between
    // takes them (CheckWalk::check).
    SizeCheck check(int r, std::int64_t warm_s, double alpha, double floor = 0.0, int least_count = 0);
    // The verdict of size s (1 ... total) in the check of count r at alpha,
    // on its own; nothing where it cannot be had so (outside the certified
    // domain, or where it depends on the sizes examined before it).
    std::optional<bool> size_passes(int r, std::int64_t s, double alpha);
    // Whether the check of count r, examining warm_s first, certainly fails
    // at alpha at that size without being run (WarmSizeLane); false where
    // that cannot be had so. Counted in stats().lane_counts.
    bool lane_fails(int r, std::int64_t warm_s, double alpha);
    const CertifiedCbyStats& stats() const { return stats_; }
    // s H_s, the factor of size s.
    double size_factor(std::int64_t s) const { return static_cast<double>(s) * harmonic_(s); }
    // m H_m of the whole family.
    double family_factor() const { return family_factor_; }
    double harmonic(std::int64_t s) const { return harmonic_(s); }
    // The selected version's given values, largest first.
    const std::vector<double>& values() const;

private:
    static constexpr std::size_t CACHED_VERSIONS = 3;
    struct Version;
    bool certified(double alpha) const;
    // The selected version, its walk moved to alpha.
    Version& at_level(double alpha);

    HarmonicTable harmonic_;
    double family_factor_;       // m H_m
    double least_factor_level_;  // the smallest level at which factor_in_domain holds for it
    const common::CancelFlag* cancel_;
    CertifiedCbyTuning tuning_;
    CertifiedCbyStats stats_;
    std::vector<std::unique_ptr<Version>> versions_;  // most recently selected first
};

// Doubling steps from a guessed level (its probes reach 2^GUESS_STEPS - 1
// doubles away) before a search drops the guess.
constexpr int GUESS_STEPS = 4;

// A bracket (known_false, known_true] of double orders around the first
// double at which a predicate passes; `settled` where the guess narrowed it
// to a few doubles.
struct GuessedBracket {
    std::int64_t known_false;
    std::int64_t known_true;
    bool settled;
};

// Narrows (failing, passing] (the predicate seen false at `failing`, true at
// `passing`) from a guessed first passing double: probes the guess, then
// gallops away from it by 1, 2, 4, ... doubles until the verdict turns,
// within GUESS_STEPS probes. Every bound it moves was observed, so the first
// passing double of a monotone predicate stays inside, and the double below
// whatever a bisection of the bracket returns is `failing` or was seen
// false, as in a bisection of the whole range. A guess outside the range, or
// one that the gallop cannot turn within its steps, leaves the bracket
// unsettled (possibly narrower) for the search without a guess.
template <typename Passes>
GuessedBracket bracket_from_guess(double failing, double passing, double guess, const Passes& passes) {
    std::int64_t known_false = common::double_order(failing);
    std::int64_t known_true = common::double_order(passing);
    const std::int64_t start = common::double_order(guess);
    if (!(guess > failing && guess <= passing)) {
        return {known_false, known_true, false};
    }
    const bool from_above = passes(guess);
    (from_above ? known_true : known_false) = start;
    std::int64_t step = 1;
    for (int steps = 1; steps <= GUESS_STEPS; ++steps, step *= 2) {
        if (known_true - known_false <= step) {
            return {known_false, known_true, true};
        }
        const std::int64_t probe = from_above ? known_true - step : known_false + step;
        const bool verdict = passes(common::double_at_order(probe));
        (verdict ? known_true : known_false) = probe;
        if (verdict != from_above) {
            return {known_false, known_true, true};
        }
    }
    return {known_false, known_true, known_true - known_false <= 1};
}

// Narrows (known_false, known_true] of a size's first passing double by
// bisecting over the breakpoints inside it (ascending), and then probes the
// double below the upper end: where the verdict turns at a breakpoint, as it
// does unless rounding decides a near tie of the sums, that settles it.
// Every bound it moves was observed, as in bracket_from_guess.
template <typename Passes>
GuessedBracket bracket_from_breakpoints(std::int64_t known_false, std::int64_t known_true,
                                        const std::vector<double>& breakpoints, const Passes& passes) {
    const auto inside = [&](double x) {
        return common::double_order(x) > known_false && common::double_order(x) < known_true;
    };
    std::size_t first = 0;
    std::size_t last = breakpoints.size();
    while (first < last && !inside(breakpoints[first])) {
        ++first;
    }
    while (last > first && !inside(breakpoints[last - 1])) {
        --last;
    }
    if (first == last) {
        return {known_false, known_true, known_true - known_false <= 1};
    }
    while (first < last) {
        const std::size_t mid = first + (last - first) / 2;
        const std::int64_t probe = common::double_order(breakpoints[mid]);
        if (passes(breakpoints[mid])) {
            known_true = probe;
            last = mid;
        } else {
            known_false = probe;
            first = mid + 1;
        }
    }
    if (known_true - known_false > 1) {
        const std::int64_t probe = known_true - 1;
        (passes(common::double_at_order(probe)) ? known_true : known_false) = probe;
    }
    return {known_false, known_true, known_true - known_false <= 1};
}

// Sizes on either side of the one that settled a candidate level that are
// judged on their own there before the next whole check: the nearest
// NEAR_NEIGHBOUR_SIZES always, the others while they have failed (or the
// whole check has named one of them) within the last FAR_NEIGHBOUR_PATIENCE
// candidates. On realistic data the deciding sizes move by one (farther
// along a climb, found by galloping) and the far probes find nothing: at
// 10^6, 255 failures in 105,000 probes at distance 2; on the BY line they
// spare whole checks.
constexpr int NEIGHBOUR_SIZES = 4;
constexpr int NEAR_NEIGHBOUR_SIZES = 1;
constexpr int FAR_NEIGHBOUR_PATIENCE = 64;

// The level of one count's check from its sizes: the largest of the sizes'
// own levels. `failing` is a level where the whole check fails, at size
// `failed_at`, and `passing` one where it passes. The sizes come from `hint`
// (the size that decided the previous count; 0 for none), from the sizes
// near the last one that fail on their own at the candidate, and from the
// whole check where none does. Returns the level and the size that settled
// it (0 where bisection with whole checks did).
//
// check(alpha) runs the whole check: 0 where it passes, else the size at
// which it failed. own_level(s, from, to) is the smallest double in
// (from, to] at which size s passes on its own, the double below it being
// `from` or one where s was seen failing on its own; negative where s
// cannot be judged alone. failing_neighbour(s, alpha) is a size near s that
// fails on its own at alpha, or 0.
//
// Why the result is a crossing (the whole check passes there and fails at
// the double below) with no check at the double below: the whole check fails
// at every candidate before it moves on, and at the double below each one.
// It fails at `failing`; each new candidate's double below is the previous
// candidate or a level where some size, judged on its own, fails; and the
// candidate is left only where the whole check or a size judged on its own
// fails there. A size judged on its own reads nothing that earlier sizes
// left, so the walk of the whole check reaches the same verdict if it
// examines that size, and it does unless it fails earlier (the bound test
// drops only sizes it passes, which are judged passing on their own).
// A hint or neighbour that cannot be judged alone gives way to the size the
// whole check names. A size named by the whole check that cannot be judged
// alone, or more than MOST_PARTS sizes (they would creep up where the whole
// check disagrees with them), send the count to bisection with whole checks,
// counted in counts.fallbacks.
//
// Without `passing_checked`, `passing` is only the top of the range: the
// whole check has not been run there. own_level(s, from, to) then returns a
// value above `to` where s fails on its own at `to`, and the count's result
// is that value with s: the whole check fails at `passing` too (the walk
// reaches s unless it fails earlier, as above). Bisection first checks
// `passing` and returns the double above it with the size that failed there
// where the check fails there.
// Otherwise the result is a crossing as above; where the check passes at
// `passing` and is monotone in alpha it is the one crossing there is, the
// result with `passing_checked`.
struct CountLevel {
    double level;
    std::int64_t deciding;
};

template <typename Check, typename OwnLevel, typename FailingNeighbour>
CountLevel count_level_by_sizes(double failing, double passing, std::int64_t failed_at, std::int64_t hint,
                                const Check& check, const OwnLevel& own_level,
                                const FailingNeighbour& failing_neighbour, ClosedLevelCounts& counts,
                                bool passing_checked = true) {
    double candidate = failing;
    std::int64_t deciding_size = 0;
    std::int64_t s = hint >= 1 ? hint : failed_at;
    bool named_by_check = hint < 1;
    const auto bisected = [&](double from) {
        if (const std::int64_t at = passing_checked ? 0 : check(passing); at != 0) {
            return CountLevel{common::double_above(passing), at};
        }
        ++counts.fallbacks;
        const auto passes = [&](double alpha) { return check(alpha) == 0; };
        return CountLevel{common::bisected_size_level(from, passing, passes), 0};
    };
    for (int parts = 1;; ++parts) {
        ++counts.parts;
        if (parts > common::MOST_PARTS) {
            return bisected(candidate);
        }
        const double next = s >= 1 ? own_level(s, candidate, passing) : -1.0;
        if (next < 0.0 && !named_by_check) {
            s = candidate == failing ? failed_at : check(candidate);
            named_by_check = true;
            if (s == 0) {
                return bisected(candidate);  // cannot be: the whole check fails at the candidate
            }
            continue;
        }
        if (!passing_checked && next > passing) {
            return {next, s};
        }
        if (!(next > candidate && next <= passing)) {
            return bisected(candidate);
        }
        candidate = next;
        deciding_size = s;
        s = failing_neighbour(s, candidate);
        named_by_check = false;
        if (s >= 1) {
            continue;
        }
        s = check(candidate);
        named_by_check = true;
        if (s == 0) {
            return {candidate, deciding_size};
        }
    }
}

// Levels by rank of closed BY on the n p-values `ascending` (strongest
// first, ties in the order the mask rejects them) of a family of `total`:
// level[t] is a double alpha below max_level at which the engine's closed
// BY count (the larger of the BY count and the exact closed search's) is at
// least t + 1 and at the double below not, max_level where there is none;
// where that count is monotone in alpha (everywhere but near ties of the
// checks' reciprocal sums, README "Monotone in alpha"), the smallest alpha
// from which on it is. A large
// family's scan runs in two parts (common::scan_closed_levels_in_two), at
// once with two threads; the levels do not depend on `threads`.
std::vector<double> closed_by_levels(const double* ascending, int n, std::int64_t total, double max_level,
                                     const common::CancelFlag* cancel, ClosedLevelCounts* counts = nullptr,
                                     int threads = 1);

}  // namespace tarvimo::closed_by
