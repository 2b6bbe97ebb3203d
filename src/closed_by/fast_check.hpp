#pragma once

// The closed BY check and searches with results bit for bit those of
// cBY_check_cpp, largestcBYsignificant_cpp and
// largestcBYsignificant_approximate_cpp, for every input, at a fraction of
// their cost. Inputs outside what the certificates are proven for (unsorted
// or non-finite p-values, p < 0 or p > 1, alpha outside (0, 1), a harmonic
// vector that is not the exact one, and for the check p = 0, which the
// searches replace first) go to those literal routines unchanged.
//
// How a check is reproduced. The literal check examines sizes breadth first
// over the bisection tree of 1 ... m and returns the first failing size in
// that order. Within the proven domain the bound test is monotone in s (it
// holds on a prefix 1 ... s_b of the sizes), so the sizes it drops pass it,
// every other size is examined unless the check fails earlier, and the
// result is the first failing size in level order of the tree, or a pass.
// A size's verdict depends only on the size, except when its overlap loop
// reads entries of e_out that earlier sizes left behind; the verdicts below
// detect that and then rebuild those entries from the sizes examined before
// it (EoutHistory), which the literal order determines.

#include <vector>

#include "closed_by/bounds.hpp"
#include "closed_by/cBY.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

// What the certified routines did, for the tests and the benchmarks.
struct CertifiedCbyStats {
    long long literal_runs = 0;      // searches or checks handed to the literal routines
    long long lane_counts = 0;       // counts shown to fail at their warm size in O(1)
    long long skipped_counts = 0;    // counts with an omitted p-value inside, failing at one size
    long long sweeps = 0;            // checks whose sizes were all decided in size order
    long long sizes_literal = 0;     // sizes short enough to run the literal steps
    long long sizes_certified = 0;   // sizes decided by a certificate
    long long exact_sums = 0;        // certificates that summed every term exactly
    long long blocks_certified = 0;  // ranges of sizes certified to pass at once
    long long fallbacks = 0;         // sizes no certificate decided, run literally
    long long history_replays = 0;   // sizes whose loop read entries left by earlier sizes
};

// When the engine takes which route. Results never depend on it; the tests
// lower the thresholds so that small inputs take every route.
struct CertifiedCbyTuning {
    long literal_work = 64;   // a size whose literal steps take at most this many e-values runs them
    int direct_sizes = 128;   // sizes examined one by one before the rest are decided in size order
    bool blocks = true;       // certify ranges of sizes at once
    bool lane = true;         // settle failing counts at their warm size without a check
    // A family padded by more omitted values than this keeps only checkpoints
    // of the harmonic numbers below its given values.
    int dense_padding = 1 << 20;
};

// cBY_check_cpp's result for every input.
cBYCheckResult certified_cby_check(const std::vector<double>& p, int r, const std::vector<double>& harmonic,
                                   int warm_s, double alpha, CertifiedCbyStats* stats = nullptr,
                                   const CertifiedCbyTuning& tuning = {});

// closed_by_count of closed_by.hpp, counting what it did into `stats`.
int certified_closed_by_count(const double* p, int n, int total, double alpha, bool approximate,
                              const common::CancelFlag* cancel, CertifiedCbyStats* stats = nullptr,
                              const CertifiedCbyTuning& tuning = {});

// The BY step-up count of a family, as BY_cpp scans its full vector; Hm is
// H_m. `sorted`: the values never increase, which lets the scan start late.
int by_scan(const PFamily& family, double Hm, double alpha, bool sorted);

}  // namespace tarvimo::closed_by
