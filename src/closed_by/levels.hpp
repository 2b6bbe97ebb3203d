#pragma once

// Levels of the p-value procedures: for each hypothesis the smallest double
// alpha at which BY (or BH) and closed BY, as the families engine decides
// them (scaled below 0.05, common/level_search.hpp), reject it.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "closed_by/cBY.hpp"
#include "closed_by/fast_check.hpp"  // SizeCheck
#include "closed_by/harmonic_table.hpp"
#include "closed_by/tuning.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

using common::ClosedLevelCounts;

// Whether the step-up test of rank k (of `total`, factor = total * H_total,
// or total for BH) passes for the p-value q at alpha, scaled as the engine
// scales it: ((p factor) / k) - alpha <= 1e-10 on the scaled p and alpha.
bool step_up_pvalue_passes(double q, int k, double factor, double alpha);

// The smallest double alpha in (0, max_level) at which that test passes, or
// max_level when none does.
double step_up_pvalue_level(double q, int k, double factor, double max_level);

// The smallest level below max_level at which an omitted value of a family
// of n given p-values of `total` passes its step-up test (then every given
// value is rejected), or max_level.
double omitted_pvalue_level(int n, std::int64_t total, double harmonic, double max_level);

// Levels by rank of the step-up procedure: ascending[t] (sorted ascending)
// has rank t + 1 of `total`; its level is the smallest threshold of the
// ranks from t + 1 on (the cumulative minimum from the back), max_level
// where none is below. `harmonic` is H_total for BY, 1 for BH.
std::vector<double> step_up_pvalue_levels(const double* ascending, int n, std::int64_t total, double harmonic,
                                          double max_level);

// Levels by rank of closed BY on the n p-values `ascending` (strongest
// first, ties in the order the mask rejects them) of a family of `total`:
// level[t] is the smallest double alpha below max_level from which on the
// engine's closed BY count (the larger of the BY count and the exact closed
// search's) is at least t + 1, max_level where there is none.
// Checks of one family at many levels, as the level scan makes them. The
// family comes in versions (the scan scales it by band), each under a key:
// the last few are kept, each with its walk's sums of 1 / p, and the harmonic
// numbers are shared. Each check's result is cBY_check_cpp's on the selected
// version padded with 1.0 (the literal check outside the certified domain).
class LevelChecks {
public:
    // For families of n given values of `total`.
    LevelChecks(int n, std::int64_t total, const common::CancelFlag* cancel, const CertifiedCbyTuning& tuning = {});
    ~LevelChecks();
    LevelChecks(const LevelChecks&) = delete;
    LevelChecks& operator=(const LevelChecks&) = delete;

    // Selects the version kept under `key`; false if none is.
    bool select(int key);
    // Adds and selects a version: the n given p-values, largest first (zeros
    // already replaced), after total - n omitted ones of 1.
    void add(int key, std::vector<double> given);

    SizeCheck check(int r, std::int64_t warm_s, double alpha);
    // The verdict of size s (1 ... total) in the check of count r at alpha,
    // on its own; nothing where it cannot be had so (outside the certified
    // domain, or where it depends on the sizes examined before it).
    std::optional<bool> size_passes(int r, std::int64_t s, double alpha);
    const CertifiedCbyStats& stats() const { return stats_; }

private:
    static constexpr std::size_t CACHED_VERSIONS = 3;
    struct Version;
    bool certified(double alpha) const;
    // The selected version, its walk moved to alpha.
    Version& at_level(double alpha);

    HarmonicTable harmonic_;
    const common::CancelFlag* cancel_;
    CertifiedCbyTuning tuning_;
    CertifiedCbyStats stats_;
    std::vector<std::unique_ptr<Version>> versions_;  // most recently selected first
};

std::vector<double> closed_by_levels(const double* ascending, int n, std::int64_t total, double max_level,
                                     const common::CancelFlag* cancel, ClosedLevelCounts* counts = nullptr);

}  // namespace tarvimo::closed_by
