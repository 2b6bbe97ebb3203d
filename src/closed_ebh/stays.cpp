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
// The most near-tie bands a group's confirmation looks at among its rows'
// thresholds (rows_clear_at) before it runs the every-pair check instead:
// each costs a few divisions, the every-pair check about what a thousand do.
constexpr std::size_t MOST_CONFIRMING_BANDS = 512;
// The longest run of sizes the scan certificate proves at once.
constexpr std::int64_t LONGEST_RUN = std::int64_t{1} << 30;

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

// What the walk may use to settle a step without the public count: the
// e-BH levels by rank and the near ties of a family that lists all of them
// (null: none).
struct WalkShortcut {
    const std::vector<double>* step_up = nullptr;
    const NearTieIndex* ties = nullptr;
    ScanPlan* plan = nullptr;  // the proofs of the last step, reused by the next
};

// Levels from which on each rank stays rejected, given for each rank a sound
// level X (closed e-BH rejects the rank at every double from X up to
// max_level): walking down from X over the doubles, the level is the last
// double before the first at which the public count falls below the rank.
// Ranks ta ... tb share X; the rejected ones at a double are a prefix of them.
// A public count below ta + 1 ends the walk whatever its value, so the
// count is evaluated only down to ta + 1 (public_count_down_to). Where the
// e-BH test of every rank from ta + 1 on fails (alpha below step_up[ta],
// the smallest of their e-BH levels: the test is monotone in alpha) and every
// size from ta + 1 up fails whatever its check's start (sizes_fail_from),
// the public count is below ta + 1 without evaluating it.
void walk_down(const EvalueProfile& profile, int ta, int tb, double sound, std::vector<double>& levels,
               const WalkShortcut& shortcut, const common::CancelFlag* cancel, StaysCounts& counts,
               const StaysLimits& limits) {
    double alpha = sound;
    int pending = tb;  // ranks ta ... pending are rejected at every double from alpha on
    for (int steps = 0; pending >= ta && alpha > SMALLEST_LEVEL; ++steps) {
        if (steps == limits.most_walk_steps) {
            ++counts.capped_walks;
            break;
        }
        const double below = double_below(alpha);
        std::int64_t rejected = 0;
        const bool step_up_fails =
            shortcut.ties != nullptr && (*shortcut.step_up)[static_cast<std::size_t>(ta)] > below;
        if (step_up_fails && sizes_fail_from(profile, *shortcut.ties, below, ta + 1, limits.most_pair_searches,
                                             *shortcut.plan, cancel, counts)) {
            ++counts.scanned_below;
        } else {
            counts.scan_fallbacks += step_up_fails ? 1 : 0;
            ++counts.public_counts;
            rejected = public_count_down_to(profile, below, ta + 1, cancel);
        }
        for (; pending >= ta && pending + 1 > rejected; --pending) {
            levels[static_cast<std::size_t>(pending)] = alpha;
        }
        alpha = below;
    }
    for (; pending >= ta; --pending) {
        levels[static_cast<std::size_t>(pending)] = alpha;
    }
}

// The smallest alpha' <= alpha down to which the threshold t(alpha') of a
// row stays clear of the near ties, given t(alpha) within [low, high]
// (relative roundings of a few u aside) and clear of them: as alpha falls
// to alpha' it rises by alpha / alpha' up to a few u, so it stays clear
// until [low, high] so raised and widened meets a band; where no band meets
// it (widened below by 2 WIDENING), until its top reaches the next band
// above. +inf: not clear at alpha.
double point_clear_down_to(const NearTieIndex& index, double alpha, double low, double high) {
    const double top = high * (1.0 + WIDENING);
    if (meets_near_tie(index, low * (1.0 - 2.0 * WIDENING), top)) {
        return INFINITY;
    }
    const auto next = std::upper_bound(index.lows.begin(), index.lows.end(), top);
    return next == index.lows.end() ? 0.0 : std::min(alpha, alpha * top * (1.0 + 2.0 * WIDENING) / *next);
}

// Where the rows the first probes of sizes r_lo ... r take after a
// violation (warm_i_in, .) found at r + 1, row min(warm_i_in, r') of size
// r', have their thresholds clear of the near ties: the smallest alpha' <=
// alpha down to which they stay clear at every alpha' (this alpha at
// least), +inf when they are not clear at alpha.
//
// Below warm_i_in the threshold is r' d(r'), d(r') = fl(1 / fl(alpha r')) =
// (1 + e) / (alpha r') with |e| below 2.0001u: within a few u of 1 / alpha
// (point_clear_down_to). From warm_i_in up it is i d(r'), i = warm_i_in,
// falling as r' grows (every rounding is monotone), so between its values
// at both ends. A band [low, high] meeting that range can hold it only for
// the sizes r' within [i / (alpha high), i / (alpha low)], widened: none may
// lie there. The thresholds below the band are those of the sizes from the
// first past that window, s; as alpha falls to alpha' they rise to
// i / (alpha' r') at most (a few u aside) and stay below the band while
// alpha' exceeds i / (s low), widened. The thresholds above a band
// only rise away from it; the first band above the range is met first by the
// largest threshold. WIDENING covers the roundings of d, of the products
// and of the quotients, and those of the bands' ends.
double rows_clear_down_to(const NearTieIndex& index, double alpha, std::int64_t r_lo, std::int64_t r,
                          std::int64_t warm_i_in) {
    double clear_to = 0.0;
    if (r_lo < warm_i_in) {
        clear_to = point_clear_down_to(index, alpha, 1.0 / alpha, 1.0 / alpha);
    }
    if (r < warm_i_in || !(clear_to <= alpha)) {
        return clear_to;
    }
    const double row = static_cast<double>(warm_i_in);
    const std::int64_t from = std::max(r_lo, warm_i_in);
    const double bottom = row * (1.0 / (alpha * static_cast<double>(r))) * (1.0 - WIDENING);
    const double top = row * (1.0 / (alpha * static_cast<double>(from))) * (1.0 + WIDENING);
    // The bands before `first` all end below `bottom`.
    std::size_t t = static_cast<std::size_t>(std::lower_bound(index.highs.begin(), index.highs.end(), bottom) -
                                             index.highs.begin());
    for (; t < index.lows.size() && !(index.lows[t] > top); ++t) {
        if (index.ends[t] < bottom) {
            continue;
        }
        if (!(index.lows[t] > 0.0)) {
            return INFINITY;
        }
        const double first_size = std::ceil(row / (alpha * index.ends[t]) * (1.0 - WIDENING));
        const double last_size = std::floor(row / (alpha * index.lows[t]) * (1.0 + WIDENING));
        if (std::max(first_size, static_cast<double>(from)) <= std::min(last_size, static_cast<double>(r))) {
            return INFINITY;
        }
        const double below = std::max(static_cast<double>(from), last_size + 1.0);
        if (below <= static_cast<double>(r)) {
            clear_to = std::max(clear_to, row / (below * index.lows[t]) * (1.0 + 3.0 * WIDENING));
        }
    }
    if (t < index.lows.size()) {
        clear_to = std::max(clear_to, row / (static_cast<double>(from) * index.lows[t]) * (1.0 + 3.0 * WIDENING));
    }
    return std::min(clear_to, alpha);
}

// Whether no row of size r at alpha has its threshold within a band of the
// index: search_exact_at on every near tie of the family (the rows located
// the same way), so that a check of size r at alpha that passes is every
// pair's. False also when more than `most` bands lie among the rows'
// thresholds d ... r d.
bool rows_clear_at(const NearTieIndex& index, std::int64_t r, double alpha, std::size_t most) {
    const double d = 1.0 / (alpha * static_cast<double>(r));
    const double bottom = d * (1.0 - WIDENING);
    const double top = static_cast<double>(r) * d * (1.0 + WIDENING);
    // The bands from `first` to `end` start at most at `top`, and those
    // before `first` end below `bottom`.
    const auto first = static_cast<std::size_t>(std::lower_bound(index.highs.begin(), index.highs.end(), bottom) -
                                                index.highs.begin());
    const auto end =
        static_cast<std::size_t>(std::upper_bound(index.lows.begin(), index.lows.end(), top) - index.lows.begin());
    if (end > first + most) {
        return false;
    }
    for (std::size_t t = first; t < end; ++t) {
        if (index.ends[t] < bottom) {
            continue;
        }
        const double first_row = std::max(1.0, std::ceil(index.lows[t] / d * (1.0 - WIDENING)));
        const double last_row = std::min(static_cast<double>(r), std::floor(index.ends[t] / d * (1.0 + WIDENING)));
        if (first_row <= last_row) {
            return false;
        }
    }
    return true;
}

// The smallest target of row i_in of the check (off outside values, d =
// div_ra) that the check's halving over i_out meets, and its i_out.
std::pair<double, std::int64_t> row_low(const EvalueProfile& profile, std::int64_t i_in, std::int64_t off,
                                        double div_ra) {
    std::pair<double, std::int64_t> low{INFINITY, -1};
    const auto probe = [&](std::int64_t j) {
        const double target = compute_target(profile, i_in, j, off, div_ra);
        if (target < low.first) {
            low = {target, j};
        }
        return target;
    };
    std::int64_t lo = 0;
    std::int64_t hi = off;
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (probe(mid) > probe(mid + 1)) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    probe(lo);
    return low;
}

// A violating pair of size r at alpha in a row whose threshold lies at no
// near tie, or {true, -1, -1} when none was found among most_searches rows.
// The rows next to the warm pair's are searched first (the pair that binds
// slides by a row as the size falls); then the rows' lowest targets are
// followed by ternary search over i_in (the rows that violate lie around
// the binding row), and last the rows around the warm pair's, outward (tied
// values flatten the rows' lowest targets). Any pair returned violates: its
// target is below -TOLERANCE as the check evaluates it.
MeanConsistentResult violating_pair_in_clear_row(const EvalueProfile& profile, const NearTieIndex& index, double alpha,
                                                 std::int64_t r, std::int64_t warm_i_in, std::int64_t most_searches,
                                                 StaysCounts& counts) {
    const std::int64_t off = profile.total() - r;
    const double div_ra = 1.0 / (alpha * static_cast<double>(r));
    std::int64_t searches = 0;
    MeanConsistentResult found{true, -1, -1};
    // The row's lowest target, +inf for a row at a near tie (never taken).
    const auto low_of = [&](std::int64_t i_in) -> double {
        ++searches;
        if (!(rows_clear_down_to(index, alpha, r, r, i_in) <= alpha)) {
            return INFINITY;
        }
        ++counts.scanned_pairs;
        const auto [target, i_out] = row_low(profile, i_in, off, div_ra);
        if (target < -TOLERANCE && found.meanconsistent) {
            found = {false, i_in, i_out};
        }
        return target;
    };
    for (const std::int64_t i_in : {warm_i_in, warm_i_in - 1, warm_i_in + 1}) {
        if (found.meanconsistent && i_in >= 1 && searches < most_searches) {
            low_of(std::min(i_in, r));
        }
    }
    std::int64_t a = 1;
    std::int64_t b = r;
    while (found.meanconsistent && b - a > 2 && searches < most_searches) {
        const std::int64_t third = (b - a) / 3;
        const std::int64_t x = a + third;
        const std::int64_t y = b - third;
        if (low_of(x) < low_of(y)) {
            b = y;
        } else {
            a = x;
        }
    }
    for (std::int64_t i_in = a; i_in <= b && found.meanconsistent && searches < most_searches; ++i_in) {
        low_of(i_in);
    }
    for (std::int64_t step = 2; warm_i_in >= 1 && found.meanconsistent && searches < most_searches && step <= r;
         ++step) {
        low_of(std::min(warm_i_in + step, r));
        low_of(std::max<std::int64_t>(warm_i_in - step, 1));
    }
    return found;
}

}  // namespace

NearTieIndex near_tie_index(const std::vector<NearTie>& ties) {
    std::vector<std::pair<double, double>> bands;
    bands.reserve(ties.size());
    for (const NearTie& tie : ties) {
        bands.emplace_back(tie.larger - tie.band, tie.smaller + tie.band);
    }
    std::sort(bands.begin(), bands.end());
    bands.erase(std::unique(bands.begin(), bands.end()), bands.end());
    NearTieIndex index;
    double highest = -INFINITY;
    for (const auto& [low, high] : bands) {
        highest = std::max(highest, high);
        index.lows.push_back(low);
        index.ends.push_back(high);
        index.highs.push_back(highest);
    }
    return index;
}

bool meets_near_tie(const NearTieIndex& index, double low, double high) {
    // The bands whose low end is at most `high` are a prefix; one of them
    // meets [low, high] when its high end is at least `low`.
    const auto end = std::upper_bound(index.lows.begin(), index.lows.end(), high);
    return end != index.lows.begin() && !(index.highs[static_cast<std::size_t>(end - index.lows.begin() - 1)] < low);
}

// The public search's exact scan fails a size r whichever way it reaches
// it: by a run bound or a first or second probe (each a violating pair), or
// by a check warm from the last violation. Such a check searches every row
// the bounds do not clear until it finds a violation, and the bounds clear
// only rows without one; a row whose threshold lies at no near tie is
// searched exactly from any start (row_violation). So a size with a
// violating pair in such a row fails in every check, from any warm start,
// and when every size from floor up does, the scan's count is below floor.
//
// The sizes are taken from the total down like the scan: a pair found at
// r + 1 is carried into runs of sizes below it, each proven violating by
// failing_run (its bound holds for the run's first probes, the pair
// (min(warm_i_in, r'), warm_i_out)) and their rows proven clear by
// rows_clear_down_to; runs double while they hold and halve when not. A
// size no run covers gets a pair of its own (violating_pair_in_clear_row).
// The proof needs every threshold positive and finite, and the rounding
// bounds behind the near ties need 1 / (alpha r) normal.
bool sizes_fail_from(const EvalueProfile& profile, const NearTieIndex& index, double alpha, std::int64_t floor,
                     int most_pair_searches, ScanPlan& plan, const common::CancelFlag* cancel, StaysCounts& counts) {
    const double total = static_cast<double>(profile.total());
    if (!(alpha > 0.0) || floor < 1 || !std::isfinite(1.0 / alpha) || !std::isnormal(1.0 / (alpha * total))) {
        return false;
    }
    // The runs proven at a larger alpha keep their violations (a target only
    // falls as alpha falls); those shown clear only down to an alpha above
    // this one are checked again, and the plan ends before the first that
    // is not clear.
    if (plan.alpha < alpha) {
        plan.runs.clear();
        plan.rechecks.clear();
    }
    std::size_t kept = plan.runs.size();
    while (!plan.rechecks.empty() && plan.rechecks.front().first > alpha) {
        const auto [clear_to, k] = plan.rechecks.front();
        std::pop_heap(plan.rechecks.begin(), plan.rechecks.end());
        plan.rechecks.pop_back();
        if (k >= kept || plan.runs[k].clear_to != clear_to) {
            continue;  // dropped, or checked again since
        }
        ++counts.rechecked_runs;
        FailingSizes& run = plan.runs[k];
        run.clear_to = rows_clear_down_to(index, alpha, run.lo, run.hi, run.i_in);
        if (run.clear_to <= alpha) {
            plan.rechecks.emplace_back(run.clear_to, k);
            std::push_heap(plan.rechecks.begin(), plan.rechecks.end());
        } else {
            kept = k;
        }
    }
    counts.reused_runs += static_cast<long long>(kept);
    plan.runs.resize(kept);
    plan.alpha = alpha;
    std::int64_t r = profile.total();
    std::int64_t warm_i_in = -1;
    std::int64_t warm_i_out = -1;
    if (kept > 0) {
        r = plan.runs.back().lo - 1;
        warm_i_in = std::min(plan.runs.back().i_in, plan.runs.back().lo);
        warm_i_out = plan.runs.back().i_out;
    }
    // Sizes hi ... lo with the pair (min(i_in, r'), i_out), clear down to
    // clear_to, joined to the run before when that run's rows continue into
    // them: only the rows matter for their thresholds, and the last pair for
    // the next run.
    const auto add_run = [&](std::int64_t hi, std::int64_t lo, std::int64_t i_in, std::int64_t i_out, double clear_to) {
        if (!plan.runs.empty() && plan.runs.back().lo == hi + 1 &&
            std::min(plan.runs.back().i_in, hi) == std::min(i_in, hi)) {
            FailingSizes& last = plan.runs.back();
            last.lo = lo;
            last.i_out = i_out;
            if (!(clear_to <= last.clear_to)) {
                last.clear_to = clear_to;
                plan.rechecks.emplace_back(clear_to, plan.runs.size() - 1);
                std::push_heap(plan.rechecks.begin(), plan.rechecks.end());
            }
            return;
        }
        plan.runs.push_back({hi, lo, i_in, i_out, clear_to});
        plan.rechecks.emplace_back(clear_to, plan.runs.size() - 1);
        std::push_heap(plan.rechecks.begin(), plan.rechecks.end());
    };
    // Row searches left for this call: two per size to cover and a few
    // sizes' worth more, so that a call that does not succeed costs about
    // what the scan would.
    std::int64_t searches_left = 2 * std::max<std::int64_t>(r - floor + 1, 0) + 4 * std::int64_t{most_pair_searches};
    std::int64_t length = 1;
    while (r >= floor) {
        if (warm_i_in >= 1) {
            const FailingRun run = failing_run(profile, alpha, r, warm_i_in, warm_i_out, length);
            const double clear_to = run.bounded && run.bound < -TOLERANCE
                                        ? rows_clear_down_to(index, alpha, run.r_lo, r, warm_i_in)
                                        : INFINITY;
            if (clear_to <= alpha) {
                ++counts.scanned_runs;
                add_run(r, run.r_lo, warm_i_in, warm_i_out, clear_to);
                warm_i_in = std::min(warm_i_in, run.r_lo);
                r = run.r_lo - 1;
                length = std::min(2 * length, LONGEST_RUN);
                continue;
            }
            if (length > 1) {
                length /= 2;
                continue;
            }
        }
        common::stop_if_cancelled(cancel);
        const std::int64_t searched_before = counts.scanned_pairs;
        const MeanConsistentResult found = violating_pair_in_clear_row(
            profile, index, alpha, r, warm_i_in, std::min<std::int64_t>(most_pair_searches, searches_left), counts);
        searches_left -= std::max<std::int64_t>(counts.scanned_pairs - searched_before, 1);
        if (found.meanconsistent) {
            return false;
        }
        add_run(r, r, found.at_i_in, found.at_i_out, rows_clear_down_to(index, alpha, r, r, found.at_i_in));
        warm_i_in = found.at_i_in;
        warm_i_out = found.at_i_out;
        --r;
    }
    return true;
}

std::int64_t public_closed_ebh_count(const double* ascending, int n, std::int64_t total, double alpha,
                                     const common::CancelFlag* cancel) {
    const std::int64_t step_up = candidate_ebh_count(ascending, n, total, alpha);
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
    const std::int64_t step_up = candidate_ebh_count(profile.values(), static_cast<int>(n), profile.total(), alpha);
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
    // Families that are settled list every near tie (at most one per
    // increment) for the walk's scan certificate; the others only whether
    // there is one.
    const bool settled_family = total <= limits.largest_family;
    const NearTies ties =
        near_ties(profile, fall, max_level, settled_family ? static_cast<std::size_t>(total) : limits.most_near_ties);
    const bool few_ties = ties.complete && ties.ties.size() <= limits.most_near_ties;
    const bool certify = limits.certify && few_ties;
    if (certify && ties.ties.empty()) {
        ++counts.exact_families;
        return;
    }
    if (!settled_family) {
        ++counts.families_left;
        return;
    }
    counts.uncertified_families += limits.certify && !few_ties ? 1 : 0;
    const std::vector<double> step_up = step_up_evalue_levels(descending, n, total, max_level);
    const NearTieIndex tie_index = near_tie_index(ties.ties);
    ScanPlan plan;
    const WalkShortcut shortcut{&step_up, limits.certify && ties.complete ? &tie_index : nullptr, &plan};
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
            const bool certified =
                !by_step_up &&
                ((certify && search_exact_at(ties.ties, total, tb + 1, crossing)) ||
                 (shortcut.ties != nullptr && rows_clear_at(tie_index, tb + 1, crossing, MOST_CONFIRMING_BANDS)));
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
            walk_down(profile, ta, tb, sound[static_cast<std::size_t>(tb)], result, shortcut, cancel, counts, limits);
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
                                          const common::CancelFlag* cancel, StaysCounts* counts, int threads) {
    StaysCounts local;
    std::vector<double> levels = closed_ebh_levels(descending, profile, max_level, cancel, nullptr, threads);
    settle_stays_rejected(descending, profile, max_level, levels, cancel, counts != nullptr ? *counts : local);
    return levels;
}

}  // namespace tarvimo::closed_ebh
