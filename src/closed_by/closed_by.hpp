#pragma once

// Closed BY: what the bindings and the family decisions call. The literal
// routines (cBY.hpp) are the reference; the counts and the check here take
// the certified route (fast_search.hpp, fast_check.hpp), whose results equal
// the literal ones for every input.

#include <cstdint>
#include <vector>

#include "closed_by/cBY.hpp"
#include "closed_by/harmonic_table.hpp"  // harmonic_number, for the step-up counts of the families
#include "closed_by/levels.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

// cBY_check_cpp's result for every input.
cBYCheckResult closed_by_check(const std::vector<double>& p, int r, const std::vector<double>& harmonic, int warm_s,
                               double alpha);

// Counts for a family of `total` hypotheses of which only n p-values are
// given, `p` pointing to them sorted largest first. The total - n omitted
// hypotheses count as p-values of 1 placed before the given ones; the counts
// equal those of BY_cpp and of largestcBYsignificant_cpp (or, `approximate`,
// largestcBYsignificant_approximate_cpp) on that padded vector. A set
// `cancel` stops the search by throwing common::SearchCancelled.
std::int64_t by_count(const double* p, int n, std::int64_t total, double alpha);
// The Benjamini-Hochberg count: the BY step-up test with H_m replaced by 1,
// equal to BY_cpp's count with every harmonic number 1.
std::int64_t bh_count(const double* p, int n, std::int64_t total, double alpha);
std::int64_t closed_by_count(const double* p, int n, std::int64_t total, double alpha, bool approximate,
                             const common::CancelFlag* cancel);

}  // namespace tarvimo::closed_by
