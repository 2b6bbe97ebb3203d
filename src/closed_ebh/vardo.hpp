#pragma once

// Closed e-value Benjamini-Hochberg (e-BH) procedure: the eBH step-up count,
// the mean-consistency check on a cumulative e-value profile, and the searches
// for the largest mean-consistent size. E-values are sorted ascending by the
// caller, so the candidate set of size r is the last r positions.

#include <cstdint>
#include <vector>

#include "closed_ebh/mean_consistency.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_ebh {

// Number of rejections of the eBH step-up procedure.
int eBH_cpp(const std::vector<double>& e, double alpha);

// Mean-consistency check of the candidate set of size r on the profile cum_e
// (m + 1 running sums: outside block ascending, then inside block ascending).
// warm_i_in / warm_i_out (-1 for none) name the pair to probe first.
MeanConsistentResult meanconsistent_cpp(const std::vector<double>& cum_e, int r, double alpha, int warm_i_in,
                                        int warm_i_out);

// Cold-started check, verdict only.
bool meanconsistent_wrapper_cpp(const std::vector<double>& cum_e, int r, double alpha);

// Largest r whose r largest e-values are mean consistent (exact scan).
int largestmeanconsistent_cpp(const std::vector<double>& e, double alpha);

// Bisection above the eBH count; mean consistency need not be monotone in r.
int largestmeanconsistent_approximate_cpp(const std::vector<double>& e, double alpha);

// Counts for a family of `total` hypotheses of which only n e-values are
// given, `e` pointing to them in ascending order. The total - n omitted
// hypotheses count as e-values of 0 placed before the given ones; the counts
// equals that of eBH_cpp on that padded vector. The closed count of such a
// family is closed_ebh_count (closed_ebh.hpp).
std::int64_t ebh_count(const double* e, int n, std::int64_t total, double alpha);

// Whether an e-value can pass the e-BH test at some rank: (k e) (alpha / m)
// <= e alpha (1 + 3 2^-53) < 1 for k <= m where e alpha 2 < 1 (the factor 2
// absorbs the roundings). The families engine ranks only these candidates,
// so a value that is not one is not rejected, also where k e overflows to
// infinity for an e-value near the largest double and its test would pass.
constexpr double EVALUE_CANDIDATE_MARGIN = 2.0;
inline bool is_evalue_candidate(double e, double alpha) { return e * alpha * EVALUE_CANDIDATE_MARGIN >= 1.0; }

// The e-BH count as the families engine takes it: ebh_count over the
// candidates among the n ascending e-values (the last block), the others
// counted as omitted. It equals ebh_count unless k e overflows.
std::int64_t candidate_ebh_count(const double* ascending, int n, std::int64_t total, double alpha);

}  // namespace tarvimo::closed_ebh
