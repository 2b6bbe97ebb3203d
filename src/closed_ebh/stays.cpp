#include "closed_ebh/stays.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "closed_ebh/bounds.hpp"
#include "closed_ebh/fast_search.hpp"
#include "closed_ebh/levels.hpp"
#include "closed_ebh/vardo.hpp"

namespace tarvimo::closed_ebh {

using common::double_below;
using common::SMALLEST_LEVEL;

namespace {

// The unit roundoff of doubles.
constexpr double UNIT_ROUNDOFF = 0x1p-53;
// Relative widening of a near-tie band: covers the roundings of the band's
// own computation.
constexpr double BAND_WIDENING = 1.0 + 1e-12;
// Relative widening of the rows and sizes whose thresholds may lie at a near
// tie: covers the roundings of d = fl(1 / fl(alpha r)) and of the quotients
// that locate them (a few u).
constexpr double WIDENING = 1e-9;
// Rows an every-pair check searches one by one before the bounds clear the
// others at once: a check that fails mostly fails in its weakest rows, and
// the bounds cost about what a few dozen row searches cost.
constexpr std::int64_t ROWS_BEFORE_BOUNDS = 8;

// The i_out of a violating pair of row i_in of size r (off = total - r
// outside values, div_ra = fl(1 / fl(alpha r))), or -1 when the row has none.
//
// The check's halving compares the targets t(mid), t(mid + 1) and drops the
// side the larger one points away from. Write c for the running sums, A =
// fl(c[off + i] - c[off]), d = div_ra, V(j) = A + c[j] - i (i + j) d without
// rounding and g[j] = c[j + 1] - c[j]. Then |t(j) - V(j)| <= E = (2u + u^2) K
// with K = A + c[off] + i (i + off) d for every j, and V's increments are
// g[j] - i d. With D the largest fall of g (g[k] - g[l], k < l), a violation
// on the dropped side needs |g[mid] - i d| <= 2E + D (the proof is in the
// README, "When the check finds every violation": after t(mid) > t(mid + 1)
// the increment at mid is below 2E, and a violation left of mid forces every
// increment between it and mid into (-2E - D, 2E + D); the mirror case
// likewise). So the halving below drops a side unsearched only where that
// cannot hold, and searches it pair by pair otherwise: the row is searched
// exactly. The band 8u K + D, widened, exceeds 2E + D plus the roundings of
// i d and of the difference (each below u K). A non-finite increment makes
// D infinite (largest_increment_fall): every side is then searched.
std::int64_t row_violation(const EvalueProfile& profile, std::int64_t i_in, std::int64_t off, double div_ra,
                           double fall, StaysCounts& counts) {
    const auto violates = [&](std::int64_t j) { return compute_target(profile, i_in, j, off, div_ra) < -TOLERANCE; };
    const auto first_violation = [&](std::int64_t from, std::int64_t to) {
        ++counts.searched_sides;
        for (std::int64_t j = from; j <= to; ++j) {
            if (violates(j)) {
                return j;
            }
        }
        return std::int64_t{-1};
    };
    const double spread = (profile[off + i_in] - profile[off]) + profile[off] + pair_count(i_in, off) * div_ra;
    const double band = (8.0 * UNIT_ROUNDOFF * spread + fall) * BAND_WIDENING;
    const double threshold = static_cast<double>(i_in) * div_ra;
    std::int64_t lo = 0;
    std::int64_t hi = off;
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        const double target1 = compute_target(profile, i_in, mid, off, div_ra);
        if (target1 < -TOLERANCE) {
            return mid;
        }
        const double target2 = compute_target(profile, i_in, mid + 1, off, div_ra);
        if (target2 < -TOLERANCE) {
            return mid + 1;
        }
        const bool near_tie = !(std::fabs((profile[mid + 1] - profile[mid]) - threshold) > band);
        if (target1 > target2) {
            const std::int64_t found = near_tie ? first_violation(lo, mid - 1) : -1;
            if (found >= 0) {
                return found;
            }
            lo = mid + 2;
        } else {
            const std::int64_t found = near_tie ? first_violation(mid + 2, hi) : -1;
            if (found >= 0) {
                return found;
            }
            hi = mid - 1;
        }
    }
    return lo == hi && violates(lo) ? lo : -1;
}

// The levels by rank from the every-pair check, given e-BH's: the
// every-pair count (the e-BH count or the largest size whose every pair
// passes) is monotone in alpha, every rounded target being so, and the e-BH
// test too; so the scan over sizes with the running minimum
// (common::scan_closed_levels) gives, for each rank, the smallest double
// from which on that count reaches it. A size's own level comes from the
// levels of its violated pairs, each settled exactly (pair_level), the check
// being exact.
std::vector<double> every_pair_levels(std::vector<double> levels, const EvalueProfile& profile, double fall,
                                      double max_level, const common::CancelFlag* cancel, StaysCounts& counts) {
    MeanConsistentResult last{true, -1, -1};
    const auto passes = [&](int r, double alpha) {
        ++counts.scan.checks;
        const MeanConsistentResult check =
            every_pair_check(profile, r, alpha, fall, last.at_i_in, last.at_i_out, counts);
        if (!check.meanconsistent) {
            last = check;
        }
        return check.meanconsistent;
    };
    const auto size_level = [&](int r, double running) {
        const double below = double_below(running);
        if (!passes(r, below)) {
            return running;
        }
        ++counts.every_pair_sizes;
        ++counts.scan.searched_sizes;
        const auto passes_r = [&](double alpha) { return passes(r, alpha); };
        const auto violated_pair_level = [&](double from, double to) {
            return pair_level(profile, r, std::min<std::int64_t>(last.at_i_in, r), last.at_i_out, from, to);
        };
        return common::size_level_by_parts(SMALLEST_LEVEL, below, passes_r, violated_pair_level, passes_r, counts.scan);
    };
    common::scan_closed_levels(levels, max_level, size_level, cancel);
    return levels;
}

// Levels from which on each rank stays rejected, given for each rank a sound
// level X (closed e-BH rejects the rank at every double from X up to
// max_level): walking down from X over the doubles, the level is the last
// double before the first at which the public count falls below the rank.
// Ranks ta ... tb share X; the rejected ones at a double are a prefix of them.
// A public count below ta + 1 ends the walk whatever its value, so the
// count is evaluated only down to ta + 1 (public_count_down_to).
void walk_down(const EvalueProfile& profile, int ta, int tb, double sound, std::vector<double>& levels,
               const common::CancelFlag* cancel, StaysCounts& counts, const StaysLimits& limits) {
    double alpha = sound;
    int pending = tb;  // ranks ta ... pending are rejected at every double from alpha on
    for (int steps = 0; pending >= ta && alpha > SMALLEST_LEVEL; ++steps) {
        if (steps == limits.most_walk_steps) {
            ++counts.capped_walks;
            break;
        }
        const double below = double_below(alpha);
        ++counts.public_counts;
        const std::int64_t rejected = public_count_down_to(profile, below, ta + 1, cancel);
        for (; pending >= ta && pending + 1 > rejected; --pending) {
            levels[static_cast<std::size_t>(pending)] = alpha;
        }
        alpha = below;
    }
    for (; pending >= ta; --pending) {
        levels[static_cast<std::size_t>(pending)] = alpha;
    }
}

}  // namespace

std::int64_t public_closed_ebh_count(const double* ascending, int n, std::int64_t total, double alpha,
                                     const common::CancelFlag* cancel) {
    const std::int64_t step_up = ebh_count(ascending, n, total, alpha);
    if (step_up == n) {
        return n;
    }
    return std::max(step_up, std::min<std::int64_t>(closed_ebh_search(ascending, n, total, alpha, false, cancel), n));
}

// With floor = 1 this is public_closed_ebh_count on the profile's values:
// the same e-BH count and, the exact search's scan reaching every size from
// floor up as it does without a floor, the same count where it is at least
// floor. Below floor the search reports 0 and the e-BH count, itself at most
// the public count, stays below floor too.
std::int64_t public_count_down_to(const EvalueProfile& profile, double alpha, std::int64_t floor,
                                  const common::CancelFlag* cancel) {
    const std::int64_t n = profile.given();
    const std::int64_t step_up = ebh_count(profile.values(), static_cast<int>(n), profile.total(), alpha);
    if (step_up == n) {
        return n;
    }
    return std::max(step_up, std::min(exact_search_down_to(profile, alpha, floor, cancel), n));
}

MeanConsistentResult every_pair_check(const EvalueProfile& profile, std::int64_t r, double alpha, double fall,
                                      std::int64_t warm_i_in, std::int64_t warm_i_out, StaysCounts& counts) {
    ++counts.every_pair_checks;
    const std::int64_t off = profile.total() - r;
    const double div_ra = 1.0 / (alpha * r);
    if (warm_i_in >= 1) {
        const std::int64_t i_in = std::min(warm_i_in, r);
        const std::int64_t i_out = std::min(warm_i_out, off);
        if (compute_target(profile, i_in, i_out, off, div_ra) < -TOLERANCE) {
            return {false, i_in, i_out};
        }
    }
    // The rows in ascending order, each searched exactly; the first
    // violating row's pair is reported. The rows that rows_left_by_bounds
    // does not list have every target at least 0, for every i_out, in the
    // rounding this check evaluates: their searches would find nothing, so
    // leaving them out reports the same pair, or none. Where the rows cannot
    // be bounded (omitted zeros inside, values past the ordered prefix,
    // penalties not normal) every row is searched.
    const bool bounded = r > ROWS_BEFORE_BOUNDS && rows_can_be_bounded(profile, r, div_ra);
    const std::int64_t first_rows = bounded ? ROWS_BEFORE_BOUNDS : r;
    for (std::int64_t i_in = 1; i_in <= first_rows; ++i_in) {
        const std::int64_t i_out = row_violation(profile, i_in, off, div_ra, fall, counts);
        if (i_out >= 0) {
            return {false, i_in, i_out};
        }
    }
    if (!bounded) {
        counts.unbounded_checks += r > ROWS_BEFORE_BOUNDS ? 1 : 0;
        return {true, -1, -1};
    }
    ++counts.bounded_checks;
    const std::vector<std::int64_t> rows = rows_left_by_bounds(profile, r, div_ra);
    counts.rows_bounded += r - static_cast<std::int64_t>(rows.size());
    for (const std::int64_t i_in : rows) {
        if (i_in > first_rows) {
            const std::int64_t i_out = row_violation(profile, i_in, off, div_ra, fall, counts);
            if (i_out >= 0) {
                return {false, i_in, i_out};
            }
        }
    }
    return {true, -1, -1};
}

// A miss needs two neighbouring outside increments g[k], g[k + 1] within
// 2E + D of a row's threshold i d (row_violation), so within 4E + 2D of each
// other, the larger above i d - 2E - D. Below max_level, i d > 1 / (max_level
// total) up to rounding (alpha < max_level, r <= total, i >= 1). With
// K <= c[total] (1 + u) + total (i d) and i d <= g + 2E + D, where g is the
// larger increment, 4E + 2D <= 8.0001u (c[total] + total (g + D)) + 2D for
// any family of fewer than 2^31 hypotheses (the E on the right is at most
// 2^-48 of the left side). The band takes 8.1u, widened; it also bounds
// 2E + D, the distance to i d at which a miss needs both increments.
NearTies near_ties(const EvalueProfile& profile, double fall, double max_level, std::size_t most) {
    NearTies found;
    if (!std::isfinite(fall)) {
        found.complete = false;
        return found;
    }
    const std::int64_t total = profile.total();
    const double sum = profile[total];
    const double lowest_threshold = (1.0 - 1e-12) / (max_level * static_cast<double>(total));
    // The increments among the omitted zeros are all 0: their pairs are
    // listed once, at k = 0, where they reach the most sizes.
    for (std::int64_t k = std::max<std::int64_t>(0, profile.zeros() - 2); k + 2 < total; ++k) {
        const double first = profile[k + 1] - profile[k];
        const double second = profile[k + 2] - profile[k + 1];
        const double larger = std::max(first, second);
        const double band =
            (8.1 * UNIT_ROUNDOFF * (sum + static_cast<double>(total) * (larger + fall)) + 2.0 * fall) * BAND_WIDENING;
        if (std::fabs(second - first) <= band && larger + band >= lowest_threshold) {
            if (found.ties.size() == most) {
                found.complete = false;
                return found;
            }
            found.ties.push_back({k + 1 < profile.zeros() ? 0 : k, std::min(first, second), larger, band});
        }
    }
    return found;
}

bool every_search_exact(const EvalueProfile& profile, double fall, double max_level) {
    const NearTies found = near_ties(profile, fall, max_level, 0);
    return found.complete && found.ties.empty();
}

bool search_exact_at(const std::vector<NearTie>& ties, std::int64_t total, std::int64_t r, double alpha) {
    const std::int64_t off = total - r;
    const double d = 1.0 / (alpha * r);
    for (const NearTie& tie : ties) {
        if (tie.k + 2 > off) {
            continue;  // not both outside increments of size r
        }
        // Rows i with i d in [larger - band, smaller + band]; the widening
        // covers the rounding of the quotients.
        const double first_row = std::max(1.0, std::ceil((tie.larger - tie.band) / d * (1.0 - WIDENING)));
        const double last_row =
            std::min(static_cast<double>(r), std::floor((tie.smaller + tie.band) / d * (1.0 + WIDENING)));
        if (first_row <= last_row) {
            return false;
        }
    }
    return true;
}

bool searches_exact_from(const std::vector<NearTie>& ties, std::int64_t total, std::int64_t smallest_size, double alpha,
                         int most_rows) {
    // Size r has row i at a threshold i d_r in [low, high] only if r lies
    // in [i / (alpha high), i / (alpha low)] up to the roundings of d_r and
    // of these quotients (a few u, relative), which WIDENING covers.
    for (const NearTie& tie : ties) {
        const std::int64_t largest_size = total - tie.k - 2;
        const double low = tie.larger - tie.band;
        const double high = tie.smaller + tie.band;
        if (largest_size < smallest_size) {
            continue;
        }
        if (!(low > 0.0)) {
            return false;  // thresholds of every size can reach it
        }
        for (int i = 1;; ++i) {
            if (i > most_rows) {
                return false;
            }
            const double from = std::max({static_cast<double>(smallest_size), static_cast<double>(i),
                                          std::ceil(i / (alpha * high) * (1.0 - WIDENING))});
            if (from > static_cast<double>(largest_size)) {
                break;  // larger rows need larger sizes still
            }
            const double to =
                std::min(static_cast<double>(largest_size), std::floor(i / (alpha * low) * (1.0 + WIDENING)));
            if (from <= to) {
                return false;
            }
        }
    }
    return true;
}

double largest_increment_fall(const EvalueProfile& profile) {
    // The increments among the omitted zeros are all 0.
    double fall = 0.0;
    double largest = profile.zeros() > 0 ? 0.0 : -INFINITY;
    for (std::int64_t j = std::max<std::int64_t>(0, profile.zeros() - 1); j < profile.total(); ++j) {
        const double increment = profile[j + 1] - profile[j];
        if (!std::isfinite(increment)) {
            return INFINITY;
        }
        fall = std::max(fall, largest - increment);
        largest = std::max(largest, increment);
    }
    return fall;
}

// For each group of ranks sharing a crossing L (the largest of them, rank r,
// is the size or the e-BH rank that set L: the levels are running minima
// from the largest size down), L is a sound level when the e-BH test of rank
// r passes at L, or when every pair of size r passes at L: then every pair
// passes at every larger alpha, so every check of size r passes whatever its
// search, and the public count is at least r from L on. Size r's check
// passes at L (closed_ebh_levels), so where no row of size r at L lies at a
// near tie (search_exact_at) every pair passes; otherwise the every-pair
// check decides. Where L is not confirmed, the every-pair level U of each
// rank is sound (the every-pair count is monotone and never exceeds the
// public count). From the sound level the walk finds the level exactly:
// below it the public decision can differ from the every-pair one only where
// some check misses a violation, and the walk evaluates the public count
// itself. It is spared for a confirmed group when no size from its smallest
// rank t up can miss at the double below L (searches_exact_from): every such
// size has a violating pair there (closed_ebh_levels), so every check fails,
// the e-BH count is below t, and the public count with them. Ranks at
// max_level start there.
void settle_stays_rejected(const double* descending, int n, std::int64_t total, double max_level,
                           std::vector<double>& levels, const common::CancelFlag* cancel, StaysCounts& counts,
                           const StaysLimits& limits) {
    if (n == 0) {
        return;
    }
    const std::vector<double> ascending = ascending_copy(descending, n);
    settle_stays_rejected(descending, EvalueProfile(ascending.data(), n, total), max_level, levels, cancel, counts,
                          limits);
}

void settle_stays_rejected(const double* descending, const EvalueProfile& profile, double max_level,
                           std::vector<double>& levels, const common::CancelFlag* cancel, StaysCounts& counts,
                           const StaysLimits& limits) {
    const int n = static_cast<int>(profile.given());
    const std::int64_t total = profile.total();
    if (n == 0) {
        return;
    }
    const double fall = largest_increment_fall(profile);
    const NearTies ties = near_ties(profile, fall, max_level, limits.most_near_ties);
    const bool certify = limits.certify && ties.complete;
    if (certify && ties.ties.empty()) {
        ++counts.exact_families;
        return;
    }
    if (total > limits.largest_family) {
        ++counts.families_left;
        return;
    }
    counts.uncertified_families += limits.certify && !ties.complete ? 1 : 0;
    const std::vector<double> step_up = step_up_evalue_levels(descending, n, total, max_level);
    std::vector<double> sound(levels.size());
    std::vector<bool> settled_at_sound(levels.size(), false);
    std::vector<double> every_pair;
    for (int tb = n - 1; tb >= 0;) {
        int ta = tb;
        while (ta > 0 && levels[static_cast<std::size_t>(ta - 1)] == levels[static_cast<std::size_t>(tb)]) {
            --ta;
        }
        const double crossing = levels[static_cast<std::size_t>(tb)];
        bool confirmed = !(crossing < max_level);
        bool settled = false;
        if (!confirmed) {
            ++counts.groups;
            // Unless the e-BH test set L, size r's check passes at L.
            const bool by_step_up = step_up[static_cast<std::size_t>(tb)] <= crossing;
            const bool certified = !by_step_up && certify && search_exact_at(ties.ties, total, tb + 1, crossing);
            counts.certified += certified ? 1 : 0;
            confirmed = by_step_up || certified ||
                        every_pair_check(profile, tb + 1, crossing, fall, -1, -1, counts).meanconsistent;
            counts.confirmed += confirmed ? 1 : 0;
            settled = confirmed && certify && crossing > SMALLEST_LEVEL &&
                      searches_exact_from(ties.ties, total, ta + 1, double_below(crossing), limits.most_rows);
            counts.certified_below += settled ? 1 : 0;
        }
        if (!confirmed && every_pair.empty()) {
            every_pair = every_pair_levels(step_up, profile, fall, max_level, cancel, counts);
        }
        for (int t = ta; t <= tb; ++t) {
            sound[static_cast<std::size_t>(t)] =
                confirmed ? std::min(crossing, max_level) : every_pair[static_cast<std::size_t>(t)];
            settled_at_sound[static_cast<std::size_t>(t)] = settled;
        }
        tb = ta - 1;
    }
    std::vector<double> result(sound);
    for (int tb = n - 1; tb >= 0;) {
        int ta = tb;
        const auto same = [&](int t) {
            return sound[static_cast<std::size_t>(t)] == sound[static_cast<std::size_t>(tb)] &&
                   settled_at_sound[static_cast<std::size_t>(t)] == settled_at_sound[static_cast<std::size_t>(tb)];
        };
        while (ta > 0 && same(ta - 1)) {
            --ta;
        }
        if (!settled_at_sound[static_cast<std::size_t>(tb)]) {
            walk_down(profile, ta, tb, sound[static_cast<std::size_t>(tb)], result, cancel, counts, limits);
        }
        tb = ta - 1;
    }
    for (std::size_t t = 0; t < levels.size(); ++t) {
        counts.lowered += result[t] < sound[t] ? 1 : 0;
        counts.raised += result[t] > levels[t] ? 1 : 0;
    }
    levels = result;
}

std::vector<double> stays_rejected_levels(const double* descending, int n, std::int64_t total, double max_level,
                                          const common::CancelFlag* cancel, StaysCounts* counts) {
    common::require_family_size(n, total);
    // One ascending copy and profile for both passes.
    const std::vector<double> ascending = ascending_copy(descending, n);
    return stays_rejected_levels(descending, EvalueProfile(ascending.data(), n, total), max_level, cancel, counts);
}

std::vector<double> stays_rejected_levels(const double* descending, const EvalueProfile& profile, double max_level,
                                          const common::CancelFlag* cancel, StaysCounts* counts) {
    StaysCounts local;
    std::vector<double> levels = closed_ebh_levels(descending, profile, max_level, cancel);
    settle_stays_rejected(descending, profile, max_level, levels, cancel, counts != nullptr ? *counts : local);
    return levels;
}

}  // namespace tarvimo::closed_ebh
