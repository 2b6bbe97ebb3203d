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

#include <memory>
#include <optional>
#include <vector>

#include "cBY.hpp"
#include "cancellation.hpp"
#include "harmonic_table.hpp"

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

// closed_by_count of cBY.hpp, counting what it did into `stats`.
int certified_closed_by_count(const double* p, int n, int total, double alpha, bool approximate,
                              const CancelFlag* cancel, CertifiedCbyStats* stats = nullptr,
                              const CertifiedCbyTuning& tuning = {});

// Checks of one family at many levels, as the level scans make them. The
// family comes in versions (the level scans scale it by band), each under a
// key: the last few are kept, each with the engine's sums of 1 / p, and the
// harmonic numbers are shared. Each check's result is cBY_check_cpp's on the
// selected version padded with 1.0 (literal outside the certified domain).
class CertifiedCbyLevelChecks {
public:
    // For families of n given values of `total`.
    CertifiedCbyLevelChecks(int n, int total, const CancelFlag* cancel, const CertifiedCbyTuning& tuning = {});
    ~CertifiedCbyLevelChecks();
    CertifiedCbyLevelChecks(const CertifiedCbyLevelChecks&) = delete;
    CertifiedCbyLevelChecks& operator=(const CertifiedCbyLevelChecks&) = delete;

    // Selects the version kept under `key`; false if none is.
    bool select(int key);
    // Adds and selects a version: the n given p-values, largest first (zeros
    // already replaced), after total - n omitted ones of 1.
    void add(int key, std::vector<double> given);

    cBYCheckResult check(int r, int warm_s, double alpha);
    // The verdict of size s (1 ... total) in the check of count r at alpha,
    // on its own; nothing where it cannot be had so (outside the certified
    // domain, or where it depends on the sizes examined before it).
    std::optional<bool> size_passes(int r, int s, double alpha);
    const CertifiedCbyStats& stats() const { return stats_; }

private:
    static constexpr std::size_t CACHED_FAMILIES = 3;
    struct Family;
    bool certified(double alpha) const;
    // The selected version, its engine at alpha.
    Family& at_level(double alpha);
    HarmonicTable harmonic_;
    const CancelFlag* cancel_;
    CertifiedCbyTuning tuning_;
    CertifiedCbyStats stats_;
    std::vector<std::unique_ptr<Family>> families_;  // most recently selected first
};
