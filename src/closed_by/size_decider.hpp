#pragma once

// The decision of one size of the closed BY check, for one candidate count:
// by the size's literal steps where they are cheap, else by a certificate
// (bounds.hpp), else by the literal steps after all. A size's verdict
// depends only on the size, except where its overlap loop reads entries of
// e_out that earlier sizes left behind: the verdict is then `stale`, and the
// walk over sizes (fast_check.hpp) replays those sizes.

#include <limits>

#include "closed_by/bounds.hpp"
#include "closed_by/harmonic_table.hpp"
#include "closed_by/tuning.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

// The budget of a literal run that must reach a verdict.
constexpr long UNLIMITED = std::numeric_limits<long>::max();

class SizeDecider {
public:
    SizeDecider(const PFamily& family, const HarmonicTable& harmonic, double alpha, CertifiedCbyStats& stats,
                const CertifiedCbyTuning& tuning = {}, const common::CancelFlag* cancel = nullptr)
        : family_(family),
          harmonic_(harmonic),
          alpha_(alpha),
          invalpha_(1.0 / alpha),
          cutoff_(alpha + TOLERANCE),
          stats_(stats),
          tuning_(tuning),
          cancel_(cancel) {}

    // Whether size s passes the check's bound test, which drops the size.
    bool bound_passes(const CountSizes& sizes, std::int64_t s) const;
    // Whether size 1, which the bound test did not drop, fails.
    bool size_one_fails(const CountSizes& sizes) const;
    // Size s of 2 ... pad + 1 of a padded family with no omitted value inside
    // (r <= n), whose outside holds only omitted values.
    SizeVerdict omitted_size_verdict(const CountSizes& sizes, std::int64_t s) const;
    // A size with its cut-off known. With `defer` (in a sweep) exact sums are
    // skipped and an undecided size is left `uncertain`; never `unknown`.
    SizeVerdict decide(const CountSizes& sizes, const SizeSetup& z, std::int64_t cut, std::int64_t* argmin, bool defer,
                       bool expect_fail);
    // A size met on its own, in the order of the check's walk.
    SizeVerdict evaluate_single(const CountSizes& sizes, std::int64_t s);
    // Moves to another level. The memo's cut-off depends on it and is found
    // again; where the smallest h lies and the last verdict stay as hints,
    // which steer the certificates' search and order, never their verdict
    // (the level searches ask the same size at many levels close together,
    // and skip its budgeted literal steps, which ran out there before).
    void set_alpha(double alpha) {
        alpha_ = alpha;
        invalpha_ = 1.0 / alpha;
        cutoff_ = alpha + TOLERANCE;
        memo_.cut_hint = memo_.cut >= 0 ? memo_.cut : memo_.cut_hint;
        memo_.cut = -1;
    }

private:
    long literal_cost(const CountSizes& sizes, const SizeSetup& z, std::int64_t cut) const;
    SizeVerdict run_literal(const CountSizes& sizes, const SizeSetup& z) const;
    SizeVerdict fall_back(const CountSizes& sizes, const SizeSetup& z);

    PFamily family_;
    const HarmonicTable& harmonic_;
    double alpha_;
    double invalpha_;
    double cutoff_;
    CertifiedCbyStats& stats_;
    CertifiedCbyTuning tuning_;
    const common::CancelFlag* cancel_;
    // The last size evaluated on its own, its cut-off (-1 until found at this
    // level) and where its smallest h was found, for the next count's check.
    struct SizeMemo {
        std::int64_t s = -1;
        std::int64_t cut = -1;
        std::int64_t argmin = -1;
        SizeVerdict verdict = SizeVerdict::unknown;  // its last verdict
        std::int64_t cut_hint = -1;                  // its cut-off at an earlier level, where the search starts
    } memo_;
};

// Inline: the walk asks both of nearly every size it meets.
// A size whose H_s would be resumed below the held part is first tried with
// bounds on H_s: fl(s x) and then fl(p y), p >= 0, never decrease in x and
// y, so where the test gives the same verdict with both bounds it gives it
// with H_s. In a family beyond 2^31 - 1 the bound's search would otherwise
// sum the shared checkpoints up to 2^31 once per process (seconds) for
// probes far from where the test turns.
inline bool SizeDecider::bound_passes(const CountSizes& sizes, std::int64_t s) const {
    const double p = sizes.largest_inside();
    const double allowed = static_cast<double>(std::min(s, sizes.count())) * alpha_;
    if (s >= BOUNDED_HARMONIC_FROM && harmonic_.resumes(s)) {
        const HarmonicBounds bounds = summed_harmonic_bounds(s);
        if (p * (static_cast<double>(s) * bounds.hi) <= allowed) {
            return true;
        }
        if (!(p * (static_cast<double>(s) * bounds.lo) <= allowed)) {
            return false;
        }
        ++stats_.bounds_undecided;
    }
    const double factor = static_cast<double>(s) * harmonic_(s);
    return p * factor <= allowed;
}

inline bool SizeDecider::size_one_fails(const CountSizes& sizes) const {
    const double p = sizes.largest_inside();
    const double largest_inside_e = by_evalue(p, 1.0, invalpha_, cutoff_, invalpha_);
    return invalpha_ / static_cast<double>(sizes.count()) > largest_inside_e + TOLERANCE;
}

}  // namespace tarvimo::closed_by
