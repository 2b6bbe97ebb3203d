#pragma once

// Levels of closed e-BH as "the smallest double alpha from which on the
// hypothesis stays rejected". The check's halving search over i_out can miss
// a violation where two neighbouring outside increments are near-tied at a
// row's threshold, so on such inputs (tied e-values) the decision is not
// monotone in alpha, and a crossing of a check need not be such a level. The
// crossings of closed_ebh_levels are confirmed or replaced here, with an
// every-pair check (monotone in alpha, never passing where the public check
// fails) and the public count at the doubles just below. The proofs are in
// stays.cpp and the subsystem's README.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "closed_ebh/mean_consistency.hpp"
#include "closed_ebh/profile.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_ebh {

// How far the settling goes: families of more hypotheses keep the crossings
// (the every-pair check and the public counts per distinct level would cost
// more than the levels themselves), and at most this many public counts are
// evaluated below one sound level.
struct StaysLimits {
    std::int64_t largest_family = 4096;
    int most_walk_steps = 1024;
    // The certificates that spare the every-pair check and the public counts
    // of a group (false: every group takes them, for the tests), the most
    // near ties the first two take (more turn them off for the family), and
    // the most rows they try per near tie.
    bool certify = true;
    std::size_t most_near_ties = 64;
    int most_rows = 4096;
    // The most rows the walk's scan certificate (sizes_fail_from) searches
    // for a violating pair of one size before it leaves the step to the
    // public count.
    int most_pair_searches = 256;
};

// Neighbouring increments g[k], g[k + 1] of a profile within `band` of each
// other, where band bounds 4E + 2D of any check (see near_ties in stays.cpp).
struct NearTie {
    std::int64_t k;
    double smaller;
    double larger;
    double band;
};

// The near ties of a profile; not complete when an increment is not finite
// or there are more than asked for.
struct NearTies {
    bool complete = true;
    std::vector<NearTie> ties;
};

// The distinct bands [larger - band, smaller + band] of near ties, ordered
// by their low ends, with the highest high end among each prefix: whether a
// range of thresholds meets a band is one binary search.
struct NearTieIndex {
    std::vector<double> lows;
    std::vector<double> ends;   // the bands' high ends
    std::vector<double> highs;  // highs[t]: the highest of ends[0 ... t]
};

// What the settling did, for the tests and the benchmarks.
struct StaysCounts {
    long long exact_families = 0;        // families where no check can miss: crossings kept, proven exact
    long long families_left = 0;         // families above largest_family: crossings kept unverified
    long long uncertified_families = 0;  // families with too many near ties (or infinite sums) to certify
    long long groups = 0;                // distinct crossing levels examined
    long long confirmed = 0;             // of which the e-BH test, a certificate or the every-pair check confirmed
    long long certified = 0;  // groups confirmed by search_exact_at or the near-tie index, without the every-pair check
    long long certified_below = 0;    // groups whose walk searches_exact_from settled without a public count
    long long every_pair_checks = 0;  // every-pair checks run
    long long searched_sides = 0;     // halving steps at a near tie whose dropped side was searched pair by pair
    long long bounded_checks = 0;     // every-pair checks past their first rows whose other rows were bounded
    long long unbounded_checks = 0;   // every-pair checks past their first rows that searched every row
    long long rows_bounded = 0;       // rows the bounds cleared in those checks (some among the first rows)
    long long every_pair_sizes = 0;   // sizes whose every-pair level was searched
    long long public_counts = 0;      // public counts evaluated below a sound level
    long long lowered = 0;            // ranks whose level ended below the sound level they started from
    long long raised = 0;             // ranks whose level ended above their crossing
    long long capped_walks = 0;       // groups whose walk stopped at most_walk_steps (their level: the last verified)
    long long scanned_below = 0;      // walk steps whose count below the group's ranks sizes_fail_from proved
    long long scan_fallbacks = 0;     // walk steps where it did not, left to the public count
    long long scanned_runs = 0;       // runs of sizes it proved failing at once
    long long scanned_pairs = 0;      // rows it searched for a violating pair
    long long reused_runs = 0;        // runs proven at a larger alpha that served again
    long long rechecked_runs = 0;     // of which checked again for near ties
    common::ClosedLevelCounts scan;   // the every-pair level scan, when a crossing was not confirmed
};

// What closed_ebh rejects at alpha on n ascending e-values of a family of
// `total`: the larger of the e-BH count and the exact closed search's, at
// most n.
std::int64_t public_closed_ebh_count(const double* ascending, int n, std::int64_t total, double alpha,
                                     const common::CancelFlag* cancel);

// The public count on the profile's ascending values where it is at least
// `floor`, else a count below floor (the exact search stops there).
std::int64_t public_count_down_to(const EvalueProfile& profile, double alpha, std::int64_t floor,
                                  const common::CancelFlag* cancel);

// Whether no pair (i_in, i_out) of size r has a target below -TOLERANCE at
// alpha, as the check evaluates targets; a violating pair when one exists.
// `fall` is largest_increment_fall(profile). Tries the pair `warm` first
// (i_in < 0: none).
MeanConsistentResult every_pair_check(const EvalueProfile& profile, std::int64_t r, double alpha, double fall,
                                      std::int64_t warm_i_in, std::int64_t warm_i_out, StaysCounts& counts);

// The pairs of neighbouring increments of the profile near enough to each
// other, and to a threshold 1 / (alpha r) of some alpha below max_level, for
// a check's search to miss a violation there; at most `most`. `fall` as
// below.
NearTies near_ties(const EvalueProfile& profile, double fall, double max_level, std::size_t most);

// The index of the bands of `ties`.
NearTieIndex near_tie_index(const std::vector<NearTie>& ties);

// Sizes hi down to lo, each with a violating pair (min(i_in, r), .) in a
// row clear of the near ties at every alpha from clear_to up to where it was
// shown; i_out: the pair of size lo.
struct FailingSizes {
    std::int64_t hi;
    std::int64_t lo;
    std::int64_t i_in;
    std::int64_t i_out;
    double clear_to;
};

// The runs of sizes sizes_fail_from proved failing at `alpha`, from the
// family's total down. At a smaller alpha every pair still violates (a
// target only falls as alpha falls), so the runs serve again there, those
// clear only down to a larger alpha once checked again (`rechecks`: a heap
// of (clear_to, run) by clear_to).
struct ScanPlan {
    double alpha = 0.0;
    std::vector<FailingSizes> runs;
    std::vector<std::pair<double, std::size_t>> rechecks;
};

// Whether some band of the index meets [low, high].
bool meets_near_tie(const NearTieIndex& index, double low, double high);

// Whether every size from `floor` (>= 1) up to the family's total fails at
// alpha > 0 in every check the public search can make, whatever its warm
// start: each size is shown to have a violating pair in a row whose
// threshold lies at none of the near ties of `index` (which must list every
// near tie of the profile below max_level > alpha). False when that is not
// shown within most_pair_searches row searches for a size, or within two
// per size to cover and 4 most_pair_searches more in all. `plan` carries
// the runs proven from one call to the next (start with an empty one). See
// stays.cpp.
bool sizes_fail_from(const EvalueProfile& profile, const NearTieIndex& index, double alpha, std::int64_t floor,
                     int most_pair_searches, ScanPlan& plan, const common::CancelFlag* cancel, StaysCounts& counts);

// Whether no check of closed e-BH on the profile, of any size at any alpha
// below max_level, can miss a violation (no near ties): then its count is
// monotone in alpha and the crossings are the levels.
bool every_search_exact(const EvalueProfile& profile, double fall, double max_level);

// Whether no row of size r at alpha has its threshold at one of the near
// ties (of a family of `total`): the check of size r at alpha, whatever its
// start, then passes exactly when every pair does.
bool search_exact_at(const std::vector<NearTie>& ties, std::int64_t total, std::int64_t r, double alpha);

// The same for every size from smallest_size to total at alpha; false also
// when a near tie needs more than most_rows rows tried.
bool searches_exact_from(const std::vector<NearTie>& ties, std::int64_t total, std::int64_t smallest_size, double alpha,
                         int most_rows);

// The largest g[k] - g[l] over k < l of the increments g[j] = c[j + 1] - c[j]
// of the profile's running sums, or 0 when they never fall; +inf when an
// increment is not finite.
double largest_increment_fall(const EvalueProfile& profile);

// Replaces the crossing levels by rank of closed_ebh_levels (descending[t]
// has rank t + 1; `levels` nondecreasing) by the levels from which on each
// rank stays rejected (see stays.cpp), for families up to
// limits.largest_family.
void settle_stays_rejected(const double* descending, int n, std::int64_t total, double max_level,
                           std::vector<double>& levels, const common::CancelFlag* cancel, StaysCounts& counts,
                           const StaysLimits& limits = {});
// The same on the profile of the family built already: its values are
// `descending` in ascending order.
void settle_stays_rejected(const double* descending, const EvalueProfile& profile, double max_level,
                           std::vector<double>& levels, const common::CancelFlag* cancel, StaysCounts& counts,
                           const StaysLimits& limits = {});

// Levels by rank of closed e-BH: level[t] is the smallest double alpha below
// max_level such that closed e-BH rejects rank t + 1 at every double from
// alpha up to max_level (max_level where there is none). Exact for families
// up to StaysLimits::largest_family; larger ones keep the crossings.
std::vector<double> stays_rejected_levels(const double* descending, int n, std::int64_t total, double max_level,
                                          const common::CancelFlag* cancel, StaysCounts* counts = nullptr);
// The same on the profile of the family built already: its values are
// `descending` in ascending order; the crossings' scan may take `threads`
// (closed_ebh_levels).
std::vector<double> stays_rejected_levels(const double* descending, const EvalueProfile& profile, double max_level,
                                          const common::CancelFlag* cancel, StaysCounts* counts = nullptr,
                                          int threads = 1);

}  // namespace tarvimo::closed_ebh
