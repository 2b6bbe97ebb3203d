#pragma once

// Levels: the smallest double alpha at which a procedure rejects a
// hypothesis. The helpers shared by the step-up and the closed levels: the
// scaled evaluation of the p-value procedures at small alpha, and the search
// for the first double at which a test that is monotone in alpha passes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "common/cancellation.hpp"
#include "common/run_on_threads.hpp"

// Scaled evaluation of the p-value procedures. Their margins are absolute on
// the alpha scale (p m H_m / k - alpha <= 1e-10, cut-offs at alpha + 1e-10,
// sums against u / (r alpha) - 1e-10), so below about 1e-9 they would
// dominate alpha. Below SCALED_LEVEL_FLOOR the procedures therefore decide at
// alpha 2^j and p 2^j, with j chosen so that alpha 2^j lies in [0.05, 0.1):
// the core then always sees a level in [0.05, 1), where its margins are at
// most 2e-9 relative to alpha.
//
// Why this is exact, and where it can add a fall in alpha of its own:
// - Multiplying by a power of two is exact for every double in range (also
//   for subnormal p, whose scaled value is exact as well). Scaled p-values
//   above 1 are set to 1: a value above alpha 2^j + 1e-10 (the scaled level
//   is below 0.1) is cut off at every size, fails the BY test at every rank
//   and the size-one test of the closed check, so 1 decides alike.
// - At alpha >= 0.05, j = 0: every decision there is the core's own.
// - Within one band (fixed j) the values are fixed and the core decides
//   exactly as at the scaled alpha: monotone wherever the core is, that is
//   everywhere except near ties that rounding decides (closed_by/README.md,
//   "Monotone in alpha"; closed_ebh/README.md, "When the check finds every
//   violation").
// - Across a band edge: let b = 0.05 2^-j be the lowest level of band j and
//   a < b a level of band j + 1, so that a 2^(j+1) = 2 a' and p 2^(j+1) = 2 q
//   with a' = a 2^j < 0.05 and q = p 2^j. Every operation of the BY test and
//   of the closed BY check is homogeneous under (alpha, p) -> (2 alpha, 2 p):
//   the products p F that enter the ceilings are unchanged, 1 / (2 alpha),
//   the e-values, their sums and the critical values halve exactly, and
//   fl(2 x - 2 y) = 2 fl(x - y). So deciding (2 a', 2 q) with margin 1e-10
//   is deciding (a', q) with the margins of the comparisons on the p scale
//   halved to 5e-11 (the BY test, the cut-offs, the size-one test
//   p <= alpha + 1e-10) and those on the e-value scale doubled to 2e-10 (the
//   sums against u / (alpha r) - 1e-10, the size-one e-value against
//   1 / (alpha r) - 1e-10).
//   - BY has only the first kind. A smaller margin rejects less, and
//     a' < 0.05: by monotonicity within band j, what band j + 1 rejects at
//     a, band j rejects at b. BY's decision is monotone across every edge.
//   - Closed BY has both. Divided by the e-value scale 1 / a', an e-value
//     comparison passes where sum 1/c >= u / r - 2e-10 a' below the edge,
//     against u / r - 1e-10 a' with the core's own margin: the two differ
//     only where the reciprocals of the ceilings fall short of u / r (or
//     1/c of 1/r) by more than 1e-10 a' and at most 2e-10 a', that is by
//     2.5e-12 ... 1e-11. Without such a near tie, band j + 1 at a decides
//     as the core at (a', q) with its p-side margins halved, which rejects
//     no more than the core there and so no more than band j at b. With
//     one, the check can pass just below b and fail at b with every ceiling
//     the same: the decision falls at the edge, in exact arithmetic (the
//     example is in closed_by/README.md). Such a near tie needs ceilings
//     whose least common multiple times r is at least 10^11, so families of
//     up to 23 hypotheses cannot have one. The closed BY levels hold at the
//     edges above them (closed_by/levels.cpp, the scan's step).
//   Zeros are the one value that does not scale: the core replaces p = 0 by
//   1e-12 in scaled units, another real value in each band. Where
//   fl(m H_m fl(1 / alpha)) <= 0.8e12 at the scaled level (at least 0.05:
//   families of up to about 1.7e9 hypotheses) every value at most 1e-12
//   decides alike at every size of every check (closed_by/fast_check.cpp,
//   before zero_stand_in), so the stand-in changes no decision there;
//   beyond, that is not shown.
// The e-value procedures need no scaling: e-BH's margin (1 + 1e-12 on
// k e alpha / m) is relative already, and closed e-BH's (targets of order
// 1 / alpha against -1e-12) only tightens as alpha falls.
namespace tarvimo::common {

constexpr double SCALED_LEVEL_FLOOR = 0.05;

// The j >= 0 with alpha 2^j in [0.05, 0.1) for 0 < alpha < 0.05; 0 otherwise.
inline int level_exponent(double alpha) {
    if (!(alpha > 0.0 && alpha < SCALED_LEVEL_FLOOR)) {
        return 0;
    }
    int exponent = 0;
    std::frexp(alpha, &exponent);  // alpha = f 2^exponent, f in [0.5, 1)
    int j = -4 - exponent;         // alpha 2^j in [2^-5, 2^-4) = [0.03125, 0.0625)
    if (std::ldexp(alpha, j) < SCALED_LEVEL_FLOOR) {
        ++j;
    }
    return j;
}

// alpha 2^j. At j = 0, the common case, alpha itself: ldexp by 0 is exact.
inline double scaled_level(double alpha, int j) { return j == 0 ? alpha : std::ldexp(alpha, j); }

// p 2^j, at most 1 (NaN stays NaN).
inline double scaled_pvalue(double p, int j) { return std::min(scaled_level(p, j), 1.0); }

// Non-negative doubles in order: their bit patterns as integers.
inline std::int64_t double_order(double x) {
    std::int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

inline double double_at_order(std::int64_t order) {
    double x;
    std::memcpy(&x, &order, sizeof x);
    return x;
}

// The double just below x > 0.
inline double double_below(double x) { return double_at_order(double_order(x) - 1); }
// The double just above x >= 0.
inline double double_above(double x) { return double_at_order(double_order(x) + 1); }

// The smallest positive double.
constexpr double SMALLEST_LEVEL = std::numeric_limits<double>::denorm_min();

// The first double at which passes() holds, between known_false (a double
// order where it was seen false, or one below the range) and known_true (one
// where it was seen true, or one above the range), by bisection.
template <typename Passes>
double bisect_levels(std::int64_t known_false, std::int64_t known_true, const Passes& passes) {
    while (known_true - known_false > 1) {
        const std::int64_t mid = known_false + (known_true - known_false) / 2;
        (passes(double_at_order(mid)) ? known_true : known_false) = mid;
    }
    return double_at_order(known_true);
}

// The smallest double x in [lo, hi] (0 < lo <= hi, finite) at which
// passes(x), for a predicate false below some point and true from it on;
// the double above hi if passes(hi) is false. Gallops from `guess` (any
// double; clamped into the range) and then bisects, so a guess within a few
// ulps costs a few evaluations. On a predicate that rounding made
// non-monotone the result still has passes(result) observed true (or is
// above hi) and passes at the double below it observed false (or is lo).
template <typename Passes>
double first_passing_double(double lo, double hi, double guess, const Passes& passes) {
    const std::int64_t first = double_order(lo);
    const std::int64_t last = double_order(hi);
    std::int64_t known_false = first - 1;
    std::int64_t known_true = last + 1;
    const std::int64_t start = std::clamp(double_order(std::max(guess, 0.0)), first, last);
    if (passes(double_at_order(start))) {
        known_true = start;
        for (std::int64_t step = 1; known_true - step > known_false; step *= 2) {
            const std::int64_t probe = known_true - step;
            if (!passes(double_at_order(probe))) {
                known_false = probe;
                break;
            }
            known_true = probe;
        }
    } else {
        known_false = start;
        for (std::int64_t step = 1; known_false + step < known_true; step *= 2) {
            const std::int64_t probe = known_false + step;
            if (passes(double_at_order(probe))) {
                known_true = probe;
                break;
            }
            known_false = probe;
        }
    }
    return bisect_levels(known_false, known_true, passes);
}

// A step-up rank's threshold is never below its rough level (the value
// times its factor over the rank, without margin) times this: the margins
// are at most 2e-9 of the scaled level, and the roundings a few ulps.
constexpr double ROUGH_LEVEL_SHORTFALL = 1.0 - 1e-6;

// A level at or above max_level is reported as 1.
inline double reported_level(double level, double max_level) { return level < max_level ? level : 1.0; }

// What a part of a closed level scan gave each size r (at r - 1): its
// step-up level, and the running minimum its step was given.
struct ScanTrace {
    std::vector<double> step_up;
    std::vector<double> given;
};

// What a closed level scan did, for the tests and the benchmarks.
struct ClosedLevelCounts {
    long long checks = 0;          // whole checks of one size at one level
    long long settled_checks = 0;  // checks whose failure was shown without running them
    long long searched_sizes = 0;  // sizes that passed below the running minimum: their level was searched
    long long parts = 0;           // rows or sizes of a check whose own level was searched
    long long fallbacks = 0;       // searched sizes bisected with whole checks after all
    long long guess_misses = 0;    // sizes whose guessed binding pair was not the size's level
    long long break_misses = 0;    // of those, closed BY sizes not settled at a breakpoint of their values
    long long chained_hints = 0;   // closed e-BH weakest-row searches not started from their own last minimum
    long long weakest_skips = 0;   // closed e-BH weakest rows a bound showed not to set the guess, unsearched
    long long sizes_first = 0;    // closed BY sizes searched by their own sizes without a whole check below the minimum
    long long failed_on_top = 0;  // of those, sizes with a size failing on its own there: not searched
    long long climbs = 0;         // closed BY neighbours searched from a gallop along rising own levels
    long long lower_part = 0;     // sizes a scan on two threads gave its lower part
    long long rescanned = 0;      // of those, sizes scanned again before the parts joined
    long long edge_searches = 0;  // closed BY sizes searched again above a band edge where their check failed

    void add(const ClosedLevelCounts& other) {
        checks += other.checks;
        settled_checks += other.settled_checks;
        searched_sizes += other.searched_sizes;
        parts += other.parts;
        fallbacks += other.fallbacks;
        guess_misses += other.guess_misses;
        break_misses += other.break_misses;
        chained_hints += other.chained_hints;
        weakest_skips += other.weakest_skips;
        sizes_first += other.sizes_first;
        failed_on_top += other.failed_on_top;
        climbs += other.climbs;
        lower_part += other.lower_part;
        rescanned += other.rescanned;
        edge_searches += other.edge_searches;
    }
};

// The level of a size by bisection with whole checks, between a level at
// which it fails (or SMALLEST_LEVEL, which is then tried) and one at which it
// passes.
template <typename Passes>
double bisected_size_level(double failing, double passing, const Passes& passes) {
    if (failing == SMALLEST_LEVEL && passes(failing)) {
        return failing;
    }
    return bisect_levels(double_order(failing), double_order(passing), passes);
}

// The level of a size whose check is a conjunction of parts (rows of pairs,
// or sizes), each monotone in alpha: the largest of the parts' levels. The
// parts that matter are found by the whole check itself: at the current
// candidate level it fails at some part, whose own level (above the
// candidate) becomes the next candidate, until the whole check passes. The
// result is then confirmed against the whole check at the double below; a
// part whose level cannot be had, or a confirmation that fails, sends the
// size to bisection with whole checks.
//
// check(alpha) runs the whole check, returning true when it passes and else
// recording the failing part; part_level(from, to) gives the smallest double
// in (from, to] at which that part passes (or a value above `to`), or a
// negative value where the part cannot be judged on its own.
// Parts settled for one size before its level is bisected instead: each part
// should come once (it passes from its own level on), so many mean that the
// parts, judged alone, disagree with the whole check.
constexpr int MOST_PARTS = 256;

template <typename Check, typename PartLevel, typename Passes>
double size_level_by_parts(double failing, double passing, const Check& check, const PartLevel& part_level,
                           const Passes& passes, ClosedLevelCounts& counts) {
    double candidate = failing;
    if (check(candidate)) {
        return candidate;  // only at SMALLEST_LEVEL: a failing level was known otherwise
    }
    int parts = 0;
    do {
        ++counts.parts;
        const double next = part_level(candidate, passing);
        if (!(next > candidate && next <= passing) || ++parts > MOST_PARTS) {
            ++counts.fallbacks;
            return bisected_size_level(candidate, passing, passes);
        }
        candidate = next;
    } while (!check(candidate));
    const double below = double_below(candidate);
    if (below > failing && passes(below)) {
        ++counts.fallbacks;
        return bisected_size_level(failing, below, passes);
    }
    return candidate;
}

// Relative steps below a passing level at which narrow_from_above checks.
constexpr double NARROWING_STEPS[] = {1.0 / 64, 1.0 / 8, 1.0 / 2};

// Narrows the range (failing, passing] of a size's level from above with a
// few whole checks at passing (1 - step): the levels of successive sizes lie
// close together.
template <typename Passes>
void narrow_from_above(double& failing, double& passing, const Passes& passes) {
    for (const double step : NARROWING_STEPS) {
        const double probe = passing * (1.0 - step);
        if (!(probe > failing)) {
            return;
        }
        if (!passes(probe)) {
            failing = probe;
            return;
        }
        passing = probe;
    }
}

// The scan over sizes hi down to lo from `running`, the running minimum
// after the sizes above hi; returns the one after lo. With `trace`, records
// what it gave each size.
template <typename Step>
double scan_closed_sizes(std::vector<double>& levels, int hi, int lo, double running, const Step& step,
                         const CancelFlag* cancel, ScanTrace* trace = nullptr) {
    for (int r = hi; r >= lo; --r) {
        stop_if_cancelled(cancel);
        const auto at = static_cast<std::size_t>(r - 1);
        if (trace != nullptr) {
            trace->step_up[at] = levels[at];
        }
        running = std::min(running, levels[at]);
        if (trace != nullptr) {
            trace->given[at] = running;
        }
        if (running > SMALLEST_LEVEL) {
            running = step(r, running);
        }
        levels[at] = running;
    }
    return running;
}

// Levels by rank of a closed procedure, which rejects the larger of its
// step-up count and its closed count (the largest size whose check passes).
// `levels` enters holding the step-up levels by rank (nondecreasing) and
// leaves holding the closed ones. step(r, running) is given the running
// minimum M of the levels after the sizes above r and returns it after size
// r: min(M, lambda_r), where lambda_r is the level from which on the check of
// size r passes.
//
// Rank t is rejected at alpha when the step-up count reaches t or some size
// r >= t passes. If each size passes exactly from a threshold lambda_r on
// (its check monotone in alpha), the level of rank t is the minimum of its
// step-up level and of lambda_r over r >= t. The scan takes the sizes from
// the largest down with that running minimum M; lambda_r matters only when
// it is below M, that is when the check passes at the double below M, and
// only then need a step search it. A failing check, the common case, costs
// one check, cheap with the warm start the checks keep from one size to the
// next.
template <typename Step>
void scan_closed_levels(std::vector<double>& levels, double max_level, const Step& step, const CancelFlag* cancel) {
    scan_closed_sizes(levels, static_cast<int>(levels.size()), 1, max_level, step, cancel);
}

// The scan in two parts, at once where `threads` >= 2: the sizes above
// `split` as above with `upper`, and the sizes from split down with `lower`,
// from max_level as if nothing lay above them. The scan then goes on from
// split with the true running minimum until it gives a size the minimum that
// the lower part gave it, and the lower part's levels from there on stand.
// That is the one-part scan wherever the sizes' checks are monotone in alpha:
// a step's result then depends only on its size and the minimum it is given
// (what a step keeps from one size to the next, warm sizes, hints and
// certified ranges, changes the work, never a verdict, and the crossing it
// finds is the only one). Where rounding makes a check fall as alpha grows,
// the hints can lead the two scans to different crossings; both are
// crossings, and the levels never depend on the number of threads. The sizes
// before the join are scanned again with `upper` (where levels fall with the
// size, as on realistic data, the parts join at once). Returns how many.
template <typename Upper, typename Lower>
int scan_closed_levels_in_two(std::vector<double>& levels, double max_level, int split, const Upper& upper,
                              const Lower& lower, int threads, const CancelFlag* cancel) {
    const int n = static_cast<int>(levels.size());
    if (split < 1 || split >= n) {
        scan_closed_levels(levels, max_level, upper, cancel);
        return 0;
    }
    ScanTrace trace{std::vector<double>(static_cast<std::size_t>(split)),
                    std::vector<double>(static_cast<std::size_t>(split))};
    double running = max_level;
    const auto part = [&](int t) {
        if (t == 0) {
            running = scan_closed_sizes(levels, n, split + 1, max_level, upper, cancel);
        } else {
            scan_closed_sizes(levels, split, 1, max_level, lower, cancel, &trace);
        }
    };
    if (threads >= 2) {
        run_on_threads(2, part);
    } else {
        part(0);
        part(1);
    }
    for (int r = split; r >= 1; --r) {
        stop_if_cancelled(cancel);
        const auto at = static_cast<std::size_t>(r - 1);
        running = std::min(running, trace.step_up[at]);
        if (running == trace.given[at]) {
            return split - r;  // the lower part's levels from r down are the scan's
        }
        if (running > SMALLEST_LEVEL) {
            running = upper(r, running);
        }
        levels[at] = running;
    }
    return split;
}

// Families of at least this many values scan their closed levels in two
// parts, if the lower part holds at least LEAST_LOWER_PART sizes.
constexpr int TWO_PART_LEVELS = 1 << 16;
constexpr int LEAST_LOWER_PART = 1 << 12;

// How a family's scan splits: the lower part takes `lower_share` of the
// ranks whose step-up level is below max_level, and half of `upper_cost`
// times the ranks above them. The searched sizes lie among the ranks below
// max_level, spread about evenly, and the closed levels are at most the
// step-up ones, whose ranks below max_level are most of them; the upper part
// also runs every size above those, each at `upper_cost` of the work of one
// below (a check that fails at its warm size without running, mostly).
struct SplitRule {
    double lower_share = 0.6;
    double upper_cost = 0.0;
};

// Where a family's scan splits, given its step-up levels by rank (0: one
// part). With the default rule, on realistic data at 10^6 the two parts of
// closed e-BH take about the same time, within 20%, at max_level 0.1 and 1.
// The split does not depend on the threads, so neither do the levels.
inline int two_part_split(const std::vector<double>& step_up, double max_level, const SplitRule& rule = {}) {
    if (step_up.size() < static_cast<std::size_t>(TWO_PART_LEVELS)) {
        return 0;
    }
    const auto below = std::lower_bound(step_up.begin(), step_up.end(), max_level) - step_up.begin();
    const auto above = static_cast<std::ptrdiff_t>(step_up.size()) - below;
    const auto split = static_cast<int>(static_cast<double>(below) * rule.lower_share +
                                        static_cast<double>(above) * rule.upper_cost / 2.0);
    return split >= LEAST_LOWER_PART ? split : 0;
}

// A procedure's closed levels: the scan, in the two parts of two_part_split
// (by `rule`) where there are two. with_step(counts, body) calls body(step) with a new
// step that tallies into `counts`; each part has its own.
template <typename WithStep>
void scan_closed_levels_split(std::vector<double>& levels, double max_level, const WithStep& with_step, int threads,
                              const CancelFlag* cancel, ClosedLevelCounts& counts, const SplitRule& rule = {}) {
    const int split = two_part_split(levels, max_level, rule);
    if (split == 0) {
        with_step(counts, [&](const auto& step) { scan_closed_levels(levels, max_level, step, cancel); });
        return;
    }
    ClosedLevelCounts lower_counts;
    with_step(counts, [&](const auto& upper) {
        with_step(lower_counts, [&](const auto& lower) {
            lower_counts.rescanned = scan_closed_levels_in_two(levels, max_level, split, upper, lower, threads, cancel);
        });
    });
    lower_counts.lower_part = split;
    counts.add(lower_counts);
}

// The step that checks size r at the double below M and searches its level
// only when it passes there. passes(r, alpha) is the check of size r at
// alpha; failing_level(r) a level at which it is known to fail, or
// SMALLEST_LEVEL; size_level(r, failing, passing) the smallest double at
// which it passes, given a level where it fails (or SMALLEST_LEVEL) and one
// where it passes.
template <typename Passes, typename FailingLevel, typename SizeLevel>
auto searching_step(const Passes& passes, const FailingLevel& failing_level, const SizeLevel& size_level,
                    ClosedLevelCounts& counts) {
    return [&passes, &failing_level, &size_level, &counts](int r, double running) {
        const double below = double_below(running);
        if (!passes(r, below)) {
            return running;
        }
        ++counts.searched_sizes;
        const double failing = std::min(failing_level(r), below);
        const bool fails = failing < below && (failing == SMALLEST_LEVEL || !passes(r, failing));
        return size_level(r, fails ? failing : SMALLEST_LEVEL, below);
    };
}

}  // namespace tarvimo::common
