#pragma once

// Fast searches for the largest mean-consistent size. Their counts equal
// those of largestmeanconsistent_cpp and largestmeanconsistent_approximate_cpp
// on the padded vector for every input: every check they make evaluates the
// targets of the literal check, in its order, except where a bound that
// cannot be wrong proves what those targets would decide.
//
// - A count of the exact scan usually fails at the first pair it probes, the
//   violation of the count before. While it does, the probed pair moves in a
//   way known in advance, and one bound over a run of counts proves them all
//   failing: the run's profile entries and 1 / (alpha r) are monotone in r,
//   and so is every rounded operation of the target.
// - A check that does not end within its first few probes bounds its other
//   rows at once: for a row (i_in members inside) every target over i_out is
//   bounded below through the minimum of cum[j] - j i_in / (r alpha), which
//   a band search on the ascending outside values bounds for any rounding of
//   the running sums, and which is concave in i_in, so that blocks of rows
//   are cleared together. Rows the bounds do not clear are searched as the
//   check would search them.
// - Everything the bounds do not cover runs the literal steps: values from
//   the first one that is unsorted, negative or NaN or whose running sum is
//   infinite or huge, omitted zeros among the candidates, and levels at which
//   1 / (alpha r) is not a positive normal number (alpha <= 0, +inf or NaN
//   on an ordered profile are settled at once: no target can then be
//   negative).

#include <cstdint>

#include "closed_ebh/bounds.hpp"
#include "closed_ebh/mean_consistency.hpp"
#include "closed_ebh/profile.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_ebh {

// How a search reached its count; the share of the literal fallbacks.
struct SearchCounts {
    std::int64_t counts_in_runs = 0;            // failing counts proven by a bound over a run
    std::int64_t first_probes = 0;              // counts whose first probe was evaluated alone
    std::int64_t second_probes = 0;             // counts decided by the first two targets of the warm row
    std::int64_t counts_in_whole_set_runs = 0;  // such counts proven at once, the row holding the whole set
    std::int64_t checks = 0;                    // counts of the exact scan that ran their check
    std::int64_t bulk_proofs = 0;               // checks whose remaining rows were bounded at once
    std::int64_t early_bounds_given_up = 0;     // early bounds that left too many rows (bound_early)
    std::int64_t tight_rows_proven = 0;         // warm rows of checks bound early shown clear near their warm pair
    std::int64_t tight_rows_searched = 0;       // such rows searched instead
    std::int64_t rows_proven = 0;               // rows cleared by the bounds
    std::int64_t rows_searched = 0;             // rows the bounds left, searched target by target
};

// The result of meanconsistent_cpp on the profile's vector, reported
// violation included, for 0 <= r; `counts` receives how it was reached.
// `bound_early` bounds the rows after the first probe instead of eight,
// giving up where that leaves more than a few rows (then after the third),
// which pays off for a check expected to pass. The result is the same:
// a cleared row holds no violation, so skipping its search changes neither
// whether a violation is found nor which is found first.
// `samples`, when given, are the profile's; they speed up the bulk bound.
MeanConsistentResult fast_check(const EvalueProfile& profile, std::int64_t r, double alpha, std::int64_t warm_i_in,
                                std::int64_t warm_i_out, const common::CancelFlag* cancel, SearchCounts& counts,
                                bool bound_early = false, const ValueSamples* samples = nullptr);

// The count of closed_ebh_count (closed_ebh.hpp): e holds n e-values ascending of a
// family of `total`, the others counting as 0 before them. `counts`, when
// given, receives how the count was reached.
std::int64_t closed_ebh_search(const double* e, std::int64_t n, std::int64_t total, double alpha, bool approximate,
                               const common::CancelFlag* cancel, SearchCounts* counts = nullptr);
// The same on a profile built already (its values ascending).
std::int64_t closed_ebh_search(const EvalueProfile& profile, double alpha, bool approximate,
                               const common::CancelFlag* cancel, SearchCounts* counts = nullptr);

// The exact search's count (closed_ebh_search, not approximate) where it is
// at least `floor`, else 0: the scan from the largest size down stops before
// the sizes below floor.
std::int64_t exact_search_down_to(const EvalueProfile& profile, double alpha, std::int64_t floor,
                                  const common::CancelFlag* cancel);

}  // namespace tarvimo::closed_ebh
