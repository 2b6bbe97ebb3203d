#pragma once

// Closed e-BH: what the bindings and the family decisions call. The literal
// routines (vardo.hpp) are the reference; closed_ebh_count takes the fast
// searches (fast_search.hpp), whose counts equal the literal ones for every
// input.

#include "closed_ebh/levels.hpp"
#include "closed_ebh/profile.hpp"
#include "closed_ebh/stays.hpp"
#include "closed_ebh/vardo.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_ebh {

// The count of largestmeanconsistent_cpp (or, `approximate`, of
// largestmeanconsistent_approximate_cpp) for a family of `total` hypotheses
// of which only n e-values are given, `e` pointing to them in ascending
// order, the total - n omitted ones counting as e-values of 0 placed before
// them. A set `cancel` stops the search by throwing common::SearchCancelled.
std::int64_t closed_ebh_count(const double* e, std::int64_t n, std::int64_t total, double alpha, bool approximate,
                              const common::CancelFlag* cancel);

// The same count on the profile of those e-values, built already.
std::int64_t closed_ebh_count(const EvalueProfile& profile, double alpha, bool approximate,
                              const common::CancelFlag* cancel);

}  // namespace tarvimo::closed_ebh
