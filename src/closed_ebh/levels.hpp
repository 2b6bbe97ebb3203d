#pragma once

// Levels of the e-value procedures: for each hypothesis the smallest double
// alpha at which e-BH and closed e-BH, as the families engine decides them,
// reject it.

#include <cstdint>
#include <utility>
#include <vector>

#include "closed_ebh/profile.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_ebh {

using common::ClosedLevelCounts;

// Whether the e-BH test of rank k of `total` passes for the e-value e at
// alpha: (k e) (alpha / total) >= 1 + 1e-12.
bool step_up_evalue_passes(double e, int k, std::int64_t total, double alpha);

// The smallest double alpha in (0, max_level) at which that test passes, or
// max_level when none does.
double step_up_evalue_level(double e, int k, std::int64_t total, double max_level);

// Levels by rank of e-BH: descending[t] (sorted descending) has rank t + 1
// of `total`; its level is the smallest threshold of the ranks from t + 1
// on, max_level where none is below.
std::vector<double> step_up_evalue_levels(const double* descending, int n, std::int64_t total, double max_level);

// The n e-values `descending` in ascending order, in memory advised for
// huge pages (common/huge_pages.hpp).
std::vector<double> ascending_copy(const double* descending, int n);

// Whether the target of the pair (i_in, i_out) of size r is no violation at
// alpha, as the check evaluates it.
bool pair_passes(const EvalueProfile& profile, int r, std::int64_t i_in, std::int64_t i_out, double alpha);

// The smallest double in (from, to] at which that pair passes, or a value
// above `to`.
double pair_level(const EvalueProfile& profile, int r, std::int64_t i_in, std::int64_t i_out, double from, double to);

// The i_out in 0 ... set_offset at which row i_in's real mean
// (inside sum + 1e-12 + profile[i_out]) / (i_in + i_out) stops falling, the
// first where the next outside value is not below the mean so far (or
// set_offset), and that mean: the row's likely binding pair. Searched from
// `hint` by galloping and bisection.
std::pair<std::int64_t, double> row_minimum(const EvalueProfile& profile, std::int64_t set_offset, int i_in,
                                            std::int64_t hint);

// The end of the profile's part up to which the predicate row_minimum
// searches is monotone on every row: before it, no two neighbouring positive
// values lie within 2^-48 of each other (nor is one below 2^-900).
std::int64_t monotone_rows_end(const EvalueProfile& profile);

// Whether row_minimum of row i_in of the check with this offset has one
// answer, whatever its hint: the row lies before monotone_end and its inside
// sum is finite, at least 0 and at most SUM_LIMIT.
bool row_is_monotone(const EvalueProfile& profile, std::int64_t set_offset, int i_in, std::int64_t monotone_end);

// Crossing levels by rank of closed e-BH on the n e-values `descending`
// (strongest first, ties in the order the mask rejects them) of a family of
// `total`: level[t] is the smallest double alpha below max_level at which
// the engine's closed e-BH count (the larger of the e-BH count and the exact
// closed search's) reaches t + 1 while it does not at the double below, as
// the levels' own checks find it, max_level where there is none. The
// settling in stays.hpp relies on two properties of these crossings: below
// max_level, either the e-BH test of the largest rank sharing level[t] passes
// there or the check of that size does; and at the double below level[t]
// every size from t + 1 up has a violating pair and the e-BH count is below
// t + 1 (each size's check failed there or higher). Where every check's
// search is exact, the count is monotone in alpha and level[t] is the level
// from which on rank t + 1 stays rejected; stays.hpp settles the rest.
std::vector<double> closed_ebh_levels(const double* descending, int n, std::int64_t total, double max_level,
                                      const common::CancelFlag* cancel, ClosedLevelCounts* counts = nullptr);
// The same on the profile of the family built already: its values are
// `descending` in ascending order. A large family's scan runs in two parts
// (common::scan_closed_levels_in_two), at once with two threads; the levels
// do not depend on `threads`.
std::vector<double> closed_ebh_levels(const double* descending, const EvalueProfile& profile, double max_level,
                                      const common::CancelFlag* cancel, ClosedLevelCounts* counts = nullptr,
                                      int threads = 1);

}  // namespace tarvimo::closed_ebh
