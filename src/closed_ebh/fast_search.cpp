#include "closed_ebh/fast_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "closed_ebh/bounds.hpp"
#include "closed_ebh/mean_consistency.hpp"
#include "closed_ebh/profile.hpp"
#include "closed_ebh/vardo.hpp"

namespace tarvimo::closed_ebh {

namespace {

// Probes a check searches one by one before it bounds its other rows at once:
// most failing checks end at their first or second probe, and the bulk bound
// costs about what a few dozen probes cost.
constexpr std::int64_t BULK_AFTER_PROBES = 8;
// A check expected to pass searches its warm row (the row expected to bind,
// which no bound clears at the level where it just passes, so it is searched
// either way) and then bounds its other rows, giving up once more than
// MOST_EARLY_ROWS_LEFT rows besides the warm one are left: a passing check
// leaves a few rows next to its warm row, while a check that fails across
// many rows (a guessed binding row that missed) would pay for a bulk bound
// leaving nearly every row (at 10^6 e-values a few dozen such checks cost
// more than the hundred thousand that pass). A check whose early bound gave
// up searches the middles of the rows below and above its warm row, where
// such a check fails, and bounds its rows in full after
// EARLY_BULK_AFTER_PROBES probes.
constexpr std::int64_t EARLY_BOUND_AFTER_PROBES = 1;
constexpr std::int64_t MOST_EARLY_ROWS_LEFT = 16;
constexpr std::int64_t EARLY_BULK_AFTER_PROBES = 3;
// Targets next to its warm pair that may show a tight row clear
// (row_clears_near): a few on realistic data, where the targets rise by far
// more than rounding one value away from the row's minimum.
constexpr int TIGHT_ROW_TARGETS = 16;
constexpr std::int64_t LONGEST_RUN = 1 << 30;
// Relative margin of the whole-set walk's bound (whole_set_run): a thousand
// times the roundings it covers.
constexpr double WHOLE_SET_MARGIN = 1e-13;
// Probes, or rows searched after a bulk bound, between two looks at the
// cancel flag within one check.
constexpr std::int64_t PROBES_PER_POLL = 256;

// The probes policy of the fast checks. Once `bulk_after` probes
// (BULK_AFTER_PROBES, or for a check bound early EARLY_BOUND_AFTER_PROBES and,
// where that bound gave up, EARLY_BULK_AFTER_PROBES) have found no violation,
// it bounds every row (bounds.hpp); from then on the check searches only the
// rows the bounds leave, and queues only the intervals that hold one.
class ProvenProbes {
public:
    ProvenProbes(const EvalueProfile& profile, std::int64_t r, double alpha, bool bound_early,
                 const ValueSamples* samples, std::int64_t tight_row, std::int64_t tight_i_out,
                 const common::CancelFlag* cancel, SearchCounts& counts)
        : profile_(profile),
          samples_(samples),
          tight_row_(tight_row),
          tight_i_out_(tight_i_out),
          bulk_after_(bound_early ? EARLY_BOUND_AFTER_PROBES : BULK_AFTER_PROBES),
          capped_(bound_early),
          r_(r),
          div_ra_(1.0 / (alpha * r)),
          // Without a positive 1 / (alpha r) (alpha <= 0, +inf or NaN) no
          // penalty is positive, and on an ordered profile every group sum
          // is at least 0: no target is below 0.
          all_clean_(!(div_ra_ > 0.0) && profile.ordered_prefix() == profile.total()),
          bounded_(rows_can_be_bounded(profile, r, div_ra_)),
          cancel_(cancel),
          counts_(counts) {}

    bool known_clean(std::int64_t i_in) {
        if (all_clean_) {
            return true;
        }
        if (++probes_ % PROBES_PER_POLL == 0) {
            common::stop_if_cancelled(cancel_);
        }
        if (bounded_ && !bulk_done_ && probes_ > bulk_after_) {
            bound_rows();
        }
        if (i_in == tight_row_ && bounded_ && !bulk_done_) {
            // Searched at most once: the first probe of a check bound early.
            const bool clear = row_clears_near(profile_, r_, div_ra_, i_in, tight_i_out_, TIGHT_ROW_TARGETS);
            counts_.tight_rows_proven += clear ? 1 : 0;
            counts_.tight_rows_searched += clear ? 0 : 1;
            if (clear) {
                return true;
            }
        }
        if (bulk_done_ && !std::binary_search(rows_left_.begin(), rows_left_.end(), i_in)) {
            return true;
        }
        counts_.rows_searched += bulk_done_;
        return false;
    }

    bool may_violate(std::int64_t lo, std::int64_t hi) const {
        if (all_clean_) {
            return false;
        }
        const auto left = std::lower_bound(rows_left_.begin(), rows_left_.end(), lo);
        return !bulk_done_ || (left != rows_left_.end() && *left <= hi);
    }

private:
    // The bulk bound, or the early one (capped_), which may give up.
    void bound_rows() {
        if (capped_) {
            capped_ = false;
            std::optional<std::vector<std::int64_t>> left =
                rows_left_by_bounds_at_most(profile_, r_, div_ra_, samples_, tight_row_, MOST_EARLY_ROWS_LEFT);
            if (!left) {
                ++counts_.early_bounds_given_up;
                bulk_after_ = EARLY_BULK_AFTER_PROBES;
                return;
            }
            rows_left_ = std::move(*left);
        } else {
            rows_left_ = rows_left_by_bounds(profile_, r_, div_ra_, samples_, tight_row_);
        }
        bulk_done_ = true;
        ++counts_.bulk_proofs;
        counts_.rows_proven += r_ - static_cast<std::int64_t>(rows_left_.size());
    }

    const EvalueProfile& profile_;
    const ValueSamples* samples_;
    const std::int64_t tight_row_;
    const std::int64_t tight_i_out_;
    std::int64_t bulk_after_;
    bool capped_;
    const std::int64_t r_;
    const double div_ra_;
    const bool all_clean_;
    const bool bounded_;
    const common::CancelFlag* cancel_;
    SearchCounts& counts_;
    std::int64_t probes_ = 0;
    bool bulk_done_ = false;
    std::vector<std::int64_t> rows_left_;  // after the bulk bound: the rows it did not clear, ascending
};

// The check of size r < m warm from (warm_i_in, warm_i_out), warm_i_in >= 1
// and warm_i_out >= 0, decided by its first two targets where they decide it.
// check_mean_consistency probes the row i_in = min(warm_i_in, r) first, and
// the fast checks' policy searches it whenever 1 / (alpha r) > 0: before
// BULK_AFTER_PROBES probes it treats no row as clean. In that row
// violating_i_out (0 < m - r, so lo < hi) evaluates i_out = min(warm_i_out,
// m - r - 1) and then i_out + 1, and returns the first below -TOLERANCE. So
// when the second violates and the first does not, the check reports
// (i_in, i_out + 1): the same two targets through the same compute_target.
// Otherwise the check runs. On a short list of a huge family the scan's warm
// pair walks the boundary one count at a time, the first target just
// passing and the second failing, for hundreds of millions of counts.
bool second_probe_decides(const EvalueProfile& profile, std::int64_t r, double alpha, std::int64_t warm_i_in,
                          std::int64_t warm_i_out, MeanConsistentResult& result) {
    const std::int64_t set_offset = profile.total() - r;
    const double div_ra = 1.0 / (alpha * r);
    if (!(div_ra > 0.0) || set_offset < 1 || r < 1 || warm_i_in < 1 || warm_i_out < 0) {
        return false;
    }
    const std::int64_t i_in = std::min(warm_i_in, r);
    const std::int64_t i_out = std::min(warm_i_out, set_offset - 1);
    if (compute_target(profile, i_in, i_out, set_offset, div_ra) < -TOLERANCE ||
        !(compute_target(profile, i_in, i_out + 1, set_offset, div_ra) < -TOLERANCE)) {
        return false;
    }
    result = {false, i_in, i_out + 1};
    return true;
}

// How far the walk of second_probe_decides goes when its warm row holds the
// whole set: on a short list of a huge family, from the count r with
// i_in = r and i_out = K - r on, each count r' reports (r', K - r' + 1), so
// the next takes i_in = r' - 1 and i_out = K - r' + 1: the group keeps K
// members, and the walk moves one count at a time, for as many counts as
// the list's sum S allows groups (about alpha S).
//
// While r' is at least the number n of given values, the set holds all of
// them and both i_out lie among the omitted zeros (K <= total - 1, so
// K + 1 - r' <= total - n): both targets sum (S - 0.0) + 0.0 = S exactly,
// the last entry of the profile. The penalty of a group of G is
// fl(fl(r' G) fl(1 / fl(alpha r'))): four roundings of G / alpha, so within
// 5 u of the double P = G / alpha (u = 2^-53; alpha normal, G / alpha
// finite). Where S exceeds P1 = K / alpha by 1e-13 (|S| + P1), far more than
// those roundings, every first target is at least 0, not a violation; where
// P2 = (K + 1) / alpha exceeds S by 2 TOLERANCE more than that, every second
// target is below -2 TOLERANCE, a violation. Then second_probe_decides
// decides every count from r down to max(n, floor) alike, and reports the
// same pairs. Returns that count, or r + 1 where the bound does not show it.
struct WholeSetRun {
    std::int64_t r_lo;
    std::int64_t group;  // K
};

WholeSetRun whole_set_run(const EvalueProfile& profile, std::int64_t r, double alpha, std::int64_t warm_i_in,
                          std::int64_t warm_i_out, std::int64_t floor) {
    const std::int64_t m = profile.total();
    const WholeSetRun none{r + 1, 0};
    const std::int64_t r_lo = std::max({floor, profile.given(), std::int64_t{1}});
    if (r <= r_lo || r >= m || warm_i_in < r || warm_i_out < 0 || !(alpha >= std::numeric_limits<double>::min()) ||
        profile[0] != 0.0) {
        return none;
    }
    const std::int64_t group = r + std::min(warm_i_out, m - r - 1);
    const double sum = profile[m];
    const double first = static_cast<double>(group) / alpha;
    const double second = static_cast<double>(group + 1) / alpha;
    const bool firsts_pass = sum - first > WHOLE_SET_MARGIN * (std::abs(sum) + first);
    const bool seconds_fail = second - sum > WHOLE_SET_MARGIN * (std::abs(sum) + second) + 2.0 * TOLERANCE;
    if (!(firsts_pass && seconds_fail && std::isfinite(second))) {
        return none;
    }
    return {r_lo, group};
}

// The exact scan from the largest size down; with `floor` > 1 it stops
// before the sizes below floor and returns 0 when every size it scanned
// failed. The sizes from floor up see the same checks, warm starts and
// runs either way: the scan reaches them first.
std::int64_t exact_search(const EvalueProfile& profile, double alpha, const common::CancelFlag* cancel,
                          SearchCounts& counts, std::int64_t floor = 1) {
    const std::int64_t m = profile.total();
    if (m == 0) {
        return 0;
    }
    MeanConsistentResult mc = fast_check(profile, m, alpha, -1, -1, cancel, counts);
    if (mc.meanconsistent) {
        return m;
    }
    std::int64_t warm_i_in = mc.at_i_in;
    std::int64_t warm_i_out = mc.at_i_out;
    const bool monotone_level = alpha > 0.0;
    std::int64_t length = 1;
    for (std::int64_t r = m - 1; r >= std::max<std::int64_t>(floor, 1);) {
        common::stop_if_cancelled(cancel);
        // A count that its warm row's first two targets decide costs two
        // targets, and a walk of such counts with the whole set in the row is
        // proven at once. While failing runs keep growing (length > 1) they are
        // cheaper per count, so these are tried only when they have shrunk to one.
        if (length == 1) {
            const WholeSetRun run = whole_set_run(profile, r, alpha, warm_i_in, warm_i_out, floor);
            if (run.r_lo <= r) {
                counts.counts_in_whole_set_runs += r - run.r_lo + 1;
                warm_i_in = run.r_lo;
                warm_i_out = run.group - run.r_lo + 1;
                r = run.r_lo - 1;
                continue;
            }
            if (second_probe_decides(profile, r, alpha, warm_i_in, warm_i_out, mc)) {
                ++counts.second_probes;
                warm_i_in = mc.at_i_in;
                warm_i_out = mc.at_i_out;
                --r;
                continue;
            }
        }
        bool probe_known_clean = false;
        if (monotone_level) {
            const FailingRun run = failing_run(profile, alpha, r, warm_i_in, warm_i_out, length);
            if (run.bounded && run.bound < -TOLERANCE) {
                counts.counts_in_runs += r - run.r_lo + 1;
                warm_i_in = std::min(warm_i_in, run.r_lo);
                r = run.r_lo - 1;
                length = std::min(2 * length, LONGEST_RUN);
                continue;
            }
            if (length > 1) {
                length /= 2;
                continue;
            }
            probe_known_clean = run.bounded;  // the bound of a one-count run is its first target
        }
        if (!probe_known_clean) {
            const std::int64_t set_offset = m - r;
            const std::int64_t i_in = std::min(warm_i_in, r);
            const std::int64_t i_out = std::min(warm_i_out, set_offset - 1);
            ++counts.first_probes;
            if (compute_target(profile, i_in, i_out, set_offset, 1.0 / (alpha * r)) < -TOLERANCE) {
                warm_i_in = i_in;
                warm_i_out = i_out;
                --r;
                continue;
            }
        }
        ++counts.checks;
        mc = fast_check(profile, r, alpha, warm_i_in, warm_i_out, cancel, counts);
        if (mc.meanconsistent) {
            return r;
        }
        warm_i_in = mc.at_i_in;
        warm_i_out = mc.at_i_out;
        --r;
    }
    return 0;
}

}  // namespace

MeanConsistentResult fast_check(const EvalueProfile& profile, std::int64_t r, double alpha, std::int64_t warm_i_in,
                                std::int64_t warm_i_out, const common::CancelFlag* cancel, SearchCounts& counts,
                                bool bound_early, const ValueSamples* samples) {
    common::stop_if_cancelled(cancel);
    // A check expected to pass binds at its warm row, which it searches first.
    const std::int64_t tight_row = bound_early ? std::min(warm_i_in, r) : 0;
    ProvenProbes probes(profile, r, alpha, bound_early, samples, tight_row, warm_i_out, cancel, counts);
    return check_mean_consistency(profile, r, alpha, warm_i_in, warm_i_out, probes);
}

std::int64_t exact_search_down_to(const EvalueProfile& profile, double alpha, std::int64_t floor,
                                  const common::CancelFlag* cancel) {
    SearchCounts ignored;
    common::stop_if_cancelled(cancel);
    return exact_search(profile, alpha, cancel, ignored, floor);
}

std::int64_t closed_ebh_search(const double* e, std::int64_t n, std::int64_t total, double alpha, bool approximate,
                               const common::CancelFlag* cancel, SearchCounts* counts) {
    const EvalueProfile profile(e, n, total);
    return closed_ebh_search(profile, alpha, approximate, cancel, counts);
}

std::int64_t closed_ebh_search(const EvalueProfile& profile, double alpha, bool approximate,
                               const common::CancelFlag* cancel, SearchCounts* counts) {
    SearchCounts ignored;
    SearchCounts& tally = counts != nullptr ? *counts : ignored;
    const double* e = profile.values();
    const std::int64_t n = profile.given();
    const std::int64_t total = profile.total();
    common::stop_if_cancelled(cancel);
    if (!approximate) {
        return exact_search(profile, alpha, cancel, tally);
    }
    const std::int64_t skipped = below_ebh_threshold(profile, alpha);
    const std::int64_t min_r = ebh_count(e + skipped, n - skipped, total, alpha);
    if (min_r == total) {
        return total;
    }
    return largest_passing_by_bisection(min_r, total,
                                        [&](std::int64_t r, std::int64_t warm_i_in, std::int64_t warm_i_out) {
                                            return fast_check(profile, r, alpha, warm_i_in, warm_i_out, cancel, tally);
                                        });
}

}  // namespace tarvimo::closed_ebh
