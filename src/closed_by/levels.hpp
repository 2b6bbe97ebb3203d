#pragma once

// Levels of the p-value procedures: for each hypothesis the smallest double
// alpha at which BY (or BH) and closed BY, as the families engine decides
// them (scaled below 0.05, common/level_search.hpp), reject it.

#include <vector>

#include "cancellation.hpp"
#include "common/level_search.hpp"

// Whether the step-up test of rank k (of `total`, factor = total * H_total,
// or total for BH) passes for the p-value q at alpha, scaled as the engine
// scales it: ((p factor) / k) - alpha <= 1e-10 on the scaled p and alpha.
bool step_up_pvalue_passes(double q, int k, double factor, double alpha);

// The smallest double alpha in (0, max_level) at which that test passes, or
// max_level when none does.
double step_up_pvalue_level(double q, int k, double factor, double max_level);

// Levels by rank of the step-up procedure: ascending[t] (sorted ascending)
// has rank t + 1 of `total`; its level is the smallest threshold of the
// ranks from t + 1 on (the cumulative minimum from the back), max_level
// where none is below. `harmonic` is H_total for BY, 1 for BH.
std::vector<double> step_up_pvalue_levels(const double* ascending, int n, int total, double harmonic,
                                          double max_level);

// Levels by rank of closed BY on the n p-values `ascending` (strongest
// first, ties in the order the mask rejects them) of a family of `total`:
// level[t] is the smallest double alpha below max_level from which on the
// engine's closed BY count (the larger of the BY count and the exact closed
// search's) is at least t + 1, max_level where there is none.
std::vector<double> closed_by_levels(const double* ascending, int n, int total, double max_level,
                                     const CancelFlag* cancel, ClosedLevelCounts* counts = nullptr);
