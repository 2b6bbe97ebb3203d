#include "closed_ebh/levels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "closed_ebh/fast_search.hpp"
#include "closed_ebh/mean_consistency.hpp"
#include "closed_ebh/profile.hpp"
#include "closed_ebh/vardo.hpp"

namespace tarvimo::closed_ebh {

using common::double_above;
using common::double_below;
using common::first_passing_double;
using common::SMALLEST_LEVEL;

// Monotone in alpha: alpha / total never falls as alpha grows (rounding is
// monotone), nor does its product with k e >= 0 (+inf times a positive
// number stays +inf; times 0, below the smallest levels, it is NaN and fails),
// nor e alpha 2 of the candidate test, which decides only where k e overflows.
bool step_up_evalue_passes(double e, int k, std::int64_t total, double alpha) {
    return is_evalue_candidate(e, alpha) &&
           (static_cast<double>(k) * e) * (alpha / static_cast<double>(total)) >= 1.0 + TOLERANCE;
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
    std::vector<double> levels;
    common::reserve_advised(levels, static_cast<std::size_t>(n));
    levels.resize(static_cast<std::size_t>(n));
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

std::vector<double> ascending_copy(const double* descending, int n) {
    std::vector<double> ascending;
    common::reserve_advised(ascending, static_cast<std::size_t>(n));
    ascending.assign(std::make_reverse_iterator(descending + n), std::make_reverse_iterator(descending));
    return ascending;
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
    const double lo = double_above(from);
    if (lo > to) {
        return lo;
    }
    return first_passing_double(lo, to, guess,
                                [&](double alpha) { return pair_passes(profile, r, i_in, i_out, alpha); });
}

// Rows of a check whose pairs are taken as candidates for the pair that
// sets the size's level: the weakest members of the set (where realistic
// data binds), the rows around the row that bound the last size searched,
// and the whole set.
constexpr int WEAKEST_ROWS = 4;
constexpr int ROWS_AROUND_LAST = 4;
// Relative closeness at which a guess is not trusted: an outside value next
// to the row's minimum this close to the group's mean. There the targets of
// the row are flat within rounding, and the check's search over i_out can
// pass and fail by turns as alpha grows (tied e-values do this), so that a
// crossing found from the guess need not be the size's first.
constexpr double FLAT = 1e-9;

// The pair (i_in, i_out) of a check of size r.
struct Pair {
    int i_in;
    std::int64_t i_out;
};

// The i_out in 0 ... set_offset that minimises the real mean
// (sum + TOLERANCE) / (i_in + i_out) of row i_in, and that mean. Adding the
// next outside value lowers the mean exactly when the value is below it,
// and on ascending values the means then fall and rise once: the minimum is
// at the first i_out whose next value is not below the mean so far. The
// search gallops from `hint` (the minimum of a neighbouring row or size,
// which lies close) and then bisects. Rounding can make the predicate below
// false again after it held, next to near ties; where monotone_rows_end
// rules that out, every hint finds the same answer.
std::pair<std::int64_t, double> row_minimum(const EvalueProfile& profile, std::int64_t set_offset, int i_in,
                                            std::int64_t hint) {
    const double inside = (profile[set_offset + i_in] - profile[set_offset]) + TOLERANCE;
    const auto mean = [&](std::int64_t i_out) { return (inside + profile[i_out]) / static_cast<double>(i_in + i_out); };
    const auto at_minimum = [&](std::int64_t i_out) {
        return i_out == set_offset || !(profile.value(i_out) < mean(i_out));
    };
    // at_minimum is false on [0, lo) and true on [hi, set_offset].
    std::int64_t lo = 0;
    std::int64_t hi = set_offset;
    const std::int64_t start = std::clamp<std::int64_t>(hint, 0, set_offset);
    if (at_minimum(start)) {
        hi = start;
        for (std::int64_t step = 1; hi - step >= 0; step *= 2) {
            if (!at_minimum(hi - step)) {
                lo = hi - step + 1;
                break;
            }
            hi -= step;
        }
    } else {
        lo = start + 1;
        for (std::int64_t step = 1; lo + step - 1 < set_offset; step *= 2) {
            if (at_minimum(lo + step - 1)) {
                hi = lo + step - 1;
                break;
            }
            lo += step;
        }
    }
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (at_minimum(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return {lo, mean(lo)};
}

// Relative gap up to which two neighbouring positive e-values are a near
// tie for row_minimum, and positive values too small for its relative
// bounds (see monotone_rows_end).
constexpr double ROW_NEAR_TIE = 0x1p-48;
constexpr double ROW_TINY_VALUE = 0x1p-900;
// Values scanned per look for a near tie: the flags of a chunk are combined
// without branches.
constexpr std::int64_t NEAR_TIE_CHUNK = 1024;

// The end of the profile's part on which every row's predicate in
// row_minimum is monotone: it returns the ordered prefix's end, or earlier
// the position k of the first near tie (e[k - 1] > 0, and e[k] within
// ROW_NEAR_TIE of it or e[k - 1] below ROW_TINY_VALUE).
//
// Why. Let v_j = value(j), c_j = profile[j] (c_{j+1} = fl(c_j + v_j) on the
// ordered prefix, all c_j >= 0), A the row's inside sum with 0 <= A <=
// SUM_LIMIT, M_j = fl(fl(A + c_j) / (i + j)), and at(j) = !(v_j < M_j).
// Suppose at(j) and not at(j + 1) for j + 1 < s. If v_j = 0 then c_{j+1} =
// c_j, so M_{j+1} <= M_j <= 0 <= v_{j+1}: impossible. Otherwise, with u =
// 2^-53, |c_{j+1} - (c_j + v_j)| <= u c_{j+1} <= u X for X = A + c_{j+1},
// and A + c_j <= (i + j)(v_j + 2^-1075) / (1 - u)^2 from M_j <= v_j, so
// X <= (i + j + 1)(v_j + 2^-1075) / (1 - u)^3 and M_{j+1} < v_j (1 + 6u)
// for v_j >= ROW_TINY_VALUE. Then v_j <= v_{j+1} < v_j (1 + 6u): a near tie
// at j + 1 (e[k] > fl(e[k-1] + e[k-1] 2^-48) means e[k] > e[k-1](1 + 63u)).
// So on a row with s at most this end, at() is false up to some point and
// true from it on (at(s) holds by definition): every search finds the same
// minimum, whatever its hint.
std::int64_t monotone_rows_end(const EvalueProfile& profile) {
    const double* e = profile.values();
    const auto near_tie = [&](std::int64_t t) {
        const double previous = e[t - 1];
        return previous > 0.0 && (previous < ROW_TINY_VALUE || !(e[t] > previous + previous * ROW_NEAR_TIE));
    };
    const std::int64_t ordered = profile.ordered_prefix() - profile.zeros();
    for (std::int64_t start = 1; start < ordered; start += NEAR_TIE_CHUNK) {
        const std::int64_t end = std::min(ordered, start + NEAR_TIE_CHUNK);
        bool near = false;
        for (std::int64_t t = start; t < end; ++t) {
            near |= near_tie(t);
        }
        if (near) {
            std::int64_t t = start;
            while (!near_tie(t)) {
                ++t;
            }
            return profile.zeros() + t;
        }
    }
    return profile.ordered_prefix();
}

// Whether row i_in of the check with this offset lies where its minimum
// does not depend on the search's hint (monotone_rows_end).
bool row_is_monotone(const EvalueProfile& profile, std::int64_t set_offset, int i_in, std::int64_t monotone_end) {
    const double inside = (profile[set_offset + i_in] - profile[set_offset]) + TOLERANCE;
    return set_offset <= monotone_end && inside >= 0.0 && inside <= EvalueProfile::SUM_LIMIT;
}

constexpr int AROUND_ROWS = 2 * ROWS_AROUND_LAST + 1;

// A guessed pair, whether it can be trusted (see FLAT), and the i_out of the
// minimum of the whole set's row: the hint for that row at the next guess.
struct Guess {
    Pair pair;
    bool trusted;
    std::int64_t whole_i_out;
    // The minima found for the weakest rows 1 ... WEAKEST_ROWS and for the
    // rows from around_first on, -1 where not searched: hints for the same
    // rows at the next guess.
    std::array<std::int64_t, WEAKEST_ROWS> weakest_i_out;
    int around_first;
    std::array<std::int64_t, AROUND_ROWS> around_i_out;
};

// Smallest lower bound on a row's mean that weakest_row_loses relies on:
// far from the subnormal doubles, where the relative bounds hold.
constexpr double SMALLEST_MEAN_BOUND = 0x1p-1000;

// Whether no minimum of row i_in of the check with this offset can have a
// threshold mean / i_in below `best`, shown from the outside value at j
// (0 <= j < set_offset), the row lying before monotone_rows_end. Why: let
// A be the row's inside sum plus TOLERANCE (the double row_minimum adds the
// outside sums to) and c the running sums. Every mean (A + c[k]) / (i_in + k)
// with k <= j is at least A / (i_in + j); for k > j, c[k] - c[j] sums
// increments c[t + 1] - c[t] >= e_t - u c[s] >= e_j - u c[s] (ascending
// values, each sum within u c[s] of the exact one), so the mean is at least
// the smaller of (A + c[j]) / (i_in + j) and e_j - u c[s]. The smaller of
// A / (i_in + j) and e_j - u c[s], taken 8 u lower with every rounding of
// its own, bounds every real mean from below, and the threshold row_minimum
// computes lies within three roundings of the real one.
bool weakest_row_loses(const EvalueProfile& profile, std::int64_t set_offset, int i_in, std::int64_t j, double best) {
    const double inside = (profile[set_offset + i_in] - profile[set_offset]) + TOLERANCE;
    const double shift = profile[set_offset] * 0x1p-50;
    const double mean_low = std::min((inside / static_cast<double>(i_in + j)) * (1.0 - 0x1p-50),
                                     profile.value(j) * (1.0 - 0x1p-50) - shift);
    return mean_low >= SMALLEST_MEAN_BOUND && (mean_low / static_cast<double>(i_in)) * (1.0 - 0x1p-50) >= best;
}

// A guess before any: no pair, no minima.
Guess no_guess() {
    Guess none{{0, 0}, true, 0, {}, 0, {}};
    none.weakest_i_out.fill(-1);
    none.around_i_out.fill(-1);
    return none;
}

// Whether the outside values next to the minimum i_out of a row lie within
// FLAT of the group's mean.
bool flat_minimum(const EvalueProfile& profile, std::int64_t set_offset, std::int64_t i_out, double mean) {
    const auto near = [&](std::int64_t t) { return std::fabs(profile.value(t) - mean) <= FLAT * mean; };
    return (i_out < set_offset && near(i_out)) || (i_out > 0 && near(i_out - 1));
}

// The pair among the candidate rows with the smallest real threshold on
// 1 / (alpha r), mean / i_in: the pair whose own level is likely the size's.
// Only a guess: the levels are settled by whole checks. The rows are taken
// from the last binding row outward, each row's search starting from a
// neighbouring row's minimum (which moves with i_in in the same direction),
// or, where the row's minimum cannot depend on the hint (row_is_monotone),
// from the same row's minimum at the last guess, which lies closer still: at
// 10^6 e-values the weakest rows' minima lie some 10^5 values from the
// binding row's and move by a few dozen between guesses. The minima of the
// rows of a group move alike: such a start is moved by the last move of the
// group's row searched before.
Guess likely_binding_pair(const EvalueProfile& profile, int r, const Guess& last, std::int64_t monotone_end,
                          ClosedLevelCounts& counts) {
    const std::int64_t set_offset = profile.total() - r;
    Guess best = no_guess();
    best.pair = {r, set_offset};
    best.whole_i_out = last.whole_i_out;
    double best_threshold = INFINITY;
    bool best_flat = false;
    // Row i_in's minimum, searched from its own minimum at the last guess
    // (`own`, when there is one) moved by `drift` where the hint cannot
    // change the result (row_is_monotone), else from `chained`, a
    // neighbouring row's; `drift` becomes the row's own move.
    const auto consider = [&](int i_in, std::int64_t own, std::int64_t chained, std::int64_t& drift) {
        const bool own_hint = own >= 0 && row_is_monotone(profile, set_offset, i_in, monotone_end);
        counts.chained_hints += own >= 0 && !own_hint;
        const auto [i_out, mean] = row_minimum(profile, set_offset, i_in, own_hint ? own + drift : chained);
        drift = own_hint ? i_out - own : drift;
        const double threshold = mean / static_cast<double>(i_in);
        if (threshold < best_threshold) {
            best_threshold = threshold;
            best.pair = {i_in, i_out};
            best_flat = flat_minimum(profile, set_offset, i_out, mean);
        }
        return i_out;
    };
    const int first_around = std::max(WEAKEST_ROWS + 1, last.pair.i_in - ROWS_AROUND_LAST);
    best.around_first = first_around;
    std::int64_t hint = last.pair.i_out;
    std::int64_t lowest_hint = hint;
    std::int64_t drift = 0;
    for (int i_in = first_around; i_in <= std::min(r, last.pair.i_in + ROWS_AROUND_LAST); ++i_in) {
        const int own = i_in - last.around_first;
        hint = consider(i_in, own >= 0 && own < AROUND_ROWS ? last.around_i_out[own] : -1, hint, drift);
        best.around_i_out[i_in - first_around] = hint;
        lowest_hint = i_in == first_around ? hint : lowest_hint;
    }
    drift = 0;
    // A weakest row whose threshold cannot be below the best so far is not
    // searched where the weakest rows' minima do not depend on their hints:
    // the rows searched after it do not chain from it, and its own last
    // minimum stays its hint.
    bool weakest_monotone = true;
    for (int i_in = 1; i_in <= std::min(r, WEAKEST_ROWS); ++i_in) {
        weakest_monotone = weakest_monotone && row_is_monotone(profile, set_offset, i_in, monotone_end);
    }
    for (int i_in = std::min(r, WEAKEST_ROWS); i_in >= 1; --i_in) {
        const std::int64_t own = last.weakest_i_out[i_in - 1];
        if (weakest_monotone && own >= 0 && set_offset > 0 &&
            weakest_row_loses(profile, set_offset, i_in, std::clamp<std::int64_t>(own + drift, 0, set_offset - 1),
                              best_threshold)) {
            ++counts.weakest_skips;
            lowest_hint = own;
        } else {
            lowest_hint = consider(i_in, own, lowest_hint, drift);
        }
        best.weakest_i_out[i_in - 1] = lowest_hint;
    }
    if (r > WEAKEST_ROWS) {
        drift = 0;
        best.whole_i_out = consider(r, -1, last.whole_i_out, drift);
    }
    // Rows whose thresholds lie close together need no care: each row is
    // searched on its own, and a guess of the wrong one only misses.
    best.trusted = !best_flat;
    return best;
}

// Each size's check is monotone in alpha, every target being so, as long as
// the check's search over i_out finds every violation (the targets are
// convex in i_out in real arithmetic). The check of size r passes exactly
// when no pair violates: its level is the largest of the levels of the
// pairs.
//
// The sizes are scanned from the largest down with the running minimum M of
// the levels (common::scan_closed_levels explains why). A size matters only
// when its check passes at the double below M. For each size the pair
// likely to set its level is guessed (likely_binding_pair) and its own level
// L found from its target. When L is at or above M, the pair violates below
// M and the check, started at that pair, fails at once. When L is below M,
// the check at L and at the double below it settle the size: passing at L
// and failing below, L is the size's level (a crossing, as the whole check
// decides it). When the check at L fails instead, the guess missed a pair:
// the size goes the way of a size without guess (passes below M? then its
// level by parts, which bisects with whole checks where parts cannot
// settle it); `guess_misses` counts these, the sizes whose check passes
// below M although the guessed pair violates there, and the guesses not
// trusted (FLAT), which take the same way.
std::vector<double> closed_ebh_levels(const double* descending, int n, std::int64_t total, double max_level,
                                      const common::CancelFlag* cancel, ClosedLevelCounts* counts) {
    common::require_family_size(n, total);
    if (n == 0) {
        return {};
    }
    const std::vector<double> ascending = ascending_copy(descending, n);
    return closed_ebh_levels(descending, EvalueProfile(ascending.data(), n, total), max_level, cancel, counts);
}

namespace {

// Calls body(step) with the step of the closed levels' scan, which keeps its
// warm pairs and guesses from one size to the next; each part of a scan in
// two parts has its own.
template <typename Body>
void with_level_step(const double* descending, const EvalueProfile& profile, const common::CancelFlag* cancel,
                     ClosedLevelCounts& tally, const Body& body) {
    const std::int64_t total = profile.total();
    SearchCounts search_counts;
    MeanConsistentResult last{true, -1, -1};
    Guess last_binding = no_guess();
    const std::int64_t monotone_end = monotone_rows_end(profile);
    const ValueSamples samples(profile);
    // `likely_pass`: the check is expected to pass, and bounds its rows early.
    const auto check_size = [&](int r, double alpha, bool likely_pass) {
        ++tally.checks;
        // A warm start names a pair of this size or of a larger one; it
        // changes only the order of the probes.
        const bool warm = last.at_i_out >= 0 && r < total;
        const MeanConsistentResult check =
            fast_check(profile, r, alpha, warm ? last.at_i_in : -1, warm ? last.at_i_out : -1, cancel, search_counts,
                       likely_pass, &samples);
        if (!check.meanconsistent) {
            last = check;
        }
        return check.meanconsistent;
    };
    const auto passes = [&](int r, double alpha) { return check_size(r, alpha, false); };
    // Just below the level at which the weakest e-value of the set, alone,
    // meets its requirement 1 / (alpha r): there its target is about -1e-6 e
    // (the route by parts checks that it fails).
    const auto failing_level = [&](int r) {
        const double level = (1.0 - 1e-6) / (static_cast<double>(r) * descending[r - 1]);
        return level > SMALLEST_LEVEL && level < 1.0 ? level : SMALLEST_LEVEL;
    };
    // The level of size r without a guess, given a level known to fail
    // (or SMALLEST_LEVEL) and one where it passes.
    const auto level_by_parts = [&](int r, double failing, double passing) {
        const auto passes_r = [&](double alpha) { return passes(r, alpha); };
        const auto violated_pair_level = [&](double from, double to) {
            return pair_level(profile, r, std::min<std::int64_t>(last.at_i_in, r), last.at_i_out, from, to);
        };
        return common::size_level_by_parts(failing, passing, passes_r, violated_pair_level, passes_r, tally);
    };
    // The running minimum after size r, given the one before it.
    const auto size_level = [&](int r, double running) {
        const double below = double_below(running);
        const std::int64_t set_offset = total - r;
        if (last.at_i_out >= 0 && r < total) {
            // The pair a warm check probes first: when it violates, the
            // check reports it without probing further, so the check need
            // not run (the common case: the last violation holds on).
            const int i_in = static_cast<int>(std::min<std::int64_t>(last.at_i_in, r));
            const std::int64_t i_out = std::min<std::int64_t>(last.at_i_out, set_offset - 1);
            if (!pair_passes(profile, r, i_in, i_out, below)) {
                ++tally.settled_checks;
                last = {false, i_in, i_out};
                return running;
            }
        }
        const Guess guessed_pair = likely_binding_pair(profile, r, last_binding, monotone_end, tally);
        const Pair guess = guessed_pair.pair;
        if (!guessed_pair.trusted) {
            ++tally.guess_misses;
            if (!passes(r, below)) {
                return running;
            }
        } else {
            const double guessed = pair_level(profile, r, guess.i_in, guess.i_out, 0.0, below);
            last = {false, guess.i_in, guess.i_out};
            if (guessed > below) {
                if (!passes(r, below)) {
                    return running;  // as the guess says: the check finds the guessed pair violating
                }
                ++tally.guess_misses;  // a check that missed the guessed pair's violation
            } else if ((guessed == SMALLEST_LEVEL || !passes(r, double_below(guessed))) &&
                       check_size(r, guessed, true)) {
                ++tally.searched_sizes;
                last_binding = guessed_pair;
                return guessed;
            } else {
                ++tally.guess_misses;
                if (!passes(r, below)) {
                    return running;
                }
            }
        }
        ++tally.searched_sizes;
        const double failing = std::min(failing_level(r), below);
        const bool fails = failing < below && (failing == SMALLEST_LEVEL || !passes(r, failing));
        const double level = level_by_parts(r, fails ? failing : SMALLEST_LEVEL, below);
        last_binding = guessed_pair;
        last_binding.pair = {static_cast<int>(std::min<std::int64_t>(last.at_i_in, r)), last.at_i_out};
        last_binding.trusted = true;
        return level;
    };
    body(size_level);
}

}  // namespace

std::vector<double> closed_ebh_levels(const double* descending, const EvalueProfile& profile, double max_level,
                                      const common::CancelFlag* cancel, ClosedLevelCounts* counts, int threads) {
    const int n = static_cast<int>(profile.given());
    const std::int64_t total = profile.total();
    ClosedLevelCounts local;
    ClosedLevelCounts& tally = counts != nullptr ? *counts : local;
    std::vector<double> levels = step_up_evalue_levels(descending, n, total, max_level);
    if (n == 0) {
        return levels;
    }
    common::scan_closed_levels_split(
        levels, max_level,
        [&](ClosedLevelCounts& part_counts, const auto& body) {
            with_level_step(descending, profile, cancel, part_counts, body);
        },
        threads, cancel, tally);
    return levels;
}

}  // namespace tarvimo::closed_ebh
