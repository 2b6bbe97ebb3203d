#pragma once

// The closed BY searches over candidate counts with the counts of
// largestcBYsignificant_cpp and largestcBYsignificant_approximate_cpp, for
// every input: the exact scan from the largest count down and the bisection
// above the BY count, each count checked by the walk of fast_check.hpp, and
// runs of counts that certainly fail at their warm size settled without a
// check (the lane).

#include "closed_by/bounds.hpp"
#include "closed_by/fast_check.hpp"
#include "closed_by/harmonic_table.hpp"
#include "closed_by/tuning.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

// The lane of warm size s at alpha: whether the check of a count r, which
// examines s first, certainly fails there without being run. O(1) per count.
class WarmSizeLane {
public:
    WarmSizeLane(const PFamily& family, const HarmonicTable& harmonic, double alpha, std::int64_t s);
    // True only where cBY_check_cpp(p, r, harmonic, s, alpha) returns {false, s}.
    bool settles(std::int64_t r) const;
    // settles(r - i) into settled[i] for i < k, computed four counts at a
    // time where the processor has AVX2: the counts r - k + 1 ... r must lie
    // in 1 ... n, where their candidate sets start among the given values.
    void settles_block(std::int64_t r, int k, bool* settled) const;
    bool open() const { return open_; }

private:
    PFamily family_;
    std::int64_t s_;
    double Hs_;
    double factor_;
    double alpha_;
    double invalpha_;
    double cutoff_;
    double F_;
    bool open_;  // every value outside the candidate part is cut off at s
    double later_e_;
};

class CountSearch {
public:
    CountSearch(const PFamily& family, const HarmonicTable& harmonic, double alpha, CertifiedCbyStats& stats,
                const CertifiedCbyTuning& tuning = {}, const common::CancelFlag* cancel = nullptr)
        : family_(family),
          harmonic_(harmonic),
          alpha_(alpha),
          invalpha_(1.0 / alpha),
          cutoff_(alpha + TOLERANCE),
          stats_(stats),
          tuning_(tuning),
          cancel_(cancel),
          walk_(family, harmonic, alpha, stats, tuning, cancel) {}

    std::int64_t exact_search();
    std::int64_t approximate_search();

private:
    std::int64_t lane(std::int64_t r, std::int64_t s);

    PFamily family_;
    const HarmonicTable& harmonic_;
    double alpha_;
    double invalpha_;
    double cutoff_;
    CertifiedCbyStats& stats_;
    CertifiedCbyTuning tuning_;
    const common::CancelFlag* cancel_;
    CheckWalk walk_;
};

// The BY step-up count of a family, as BY_cpp scans its full vector; Hm is
// H_m. `sorted`: the values never increase, which lets the scan start late.
std::int64_t by_scan(const PFamily& family, double Hm, double alpha, bool sorted);

// closed_by_count of closed_by.hpp, counting what it did into `stats`.
std::int64_t certified_closed_by_count(const double* p, int n, std::int64_t total, double alpha, bool approximate,
                                       const common::CancelFlag* cancel, CertifiedCbyStats* stats = nullptr,
                                       const CertifiedCbyTuning& tuning = {});

}  // namespace tarvimo::closed_by
