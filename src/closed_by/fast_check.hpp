#pragma once

// The certified closed BY check, and through it the searches of
// fast_search.hpp, with results bit for bit those of cBY_check_cpp,
// largestcBYsignificant_cpp and largestcBYsignificant_approximate_cpp, for
// every input, at a fraction of their cost. Inputs outside what the certificates are proven for (unsorted
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
//
// CheckWalk is that walk over sizes; SizeDecider (size_decider.hpp) decides
// one size; CountSearch (fast_search.hpp) runs the searches over counts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "closed_by/bounds.hpp"
#include "closed_by/cBY.hpp"
#include "closed_by/harmonic_table.hpp"
#include "closed_by/reciprocal_sums.hpp"
#include "closed_by/size_decider.hpp"
#include "closed_by/tuning.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

// Sizes 2 ... pad + 1 of a padded family see only omitted values (p = 1, cut
// off at every size >= 2 since H_2 = 1.5 > alpha + TOLERANCE) outside their
// candidate part: their outside sum is 0 and the loop ends at its first
// overlap. With an omitted value inside too (r > n), sizes 2 ... pad sum 0
// inside as well and fail. Otherwise (r <= n) the first overlap holds the
// largest given value in the set, whose e-value does not grow with s: the
// sizes fail from some size on.
struct OmittedOutside {
    std::int64_t lo = 0;
    std::int64_t hi = -1;  // empty when lo > hi
    bool all_fail = false;
    std::int64_t fail_from = -1;  // first failing size of lo ... hi (hi + 1 if none); -1 until known
};

// The result of a check: whether it passes, else the first failing size in
// the literal order. Sizes range up to the family's total, which may exceed
// what cBYCheckResult holds.
struct SizeCheck {
    bool res;
    std::int64_t at_s;  // 0 on a pass
};

// A node of the bisection tree of sizes: the sizes lo ... hi, at `depth`.
struct Node {
    std::int64_t lo;
    std::int64_t hi;
    std::int64_t depth;
};

// A size's place in the level order of the tree.
struct LevelOrderKey {
    std::int64_t depth;
    std::int64_t s;
};

// The verdicts a sweep found for the sizes first ... m, in size order: ranges
// certified at once (every size passes) and sizes decided one by one. Kept as
// runs, so that a sweep that certifies most sizes in a few ranges writes a
// few entries, not one per size.
class SweptVerdicts {
public:
    void clear();
    void add_range(std::int64_t lo, std::int64_t hi);  // every size lo ... hi passes
    void add(std::int64_t s, SizeVerdict verdict);
    // The verdict of size s; unknown where the sweep did not reach it.
    SizeVerdict at(std::int64_t s) const;
    // Whether every size lo ... hi is known to pass.
    bool all_pass(std::int64_t lo, std::int64_t hi) const;
    // Replaces the verdict of a size added uncertain by pass or fail.
    void settle(std::int64_t s, SizeVerdict verdict);
    // Whether every size added passed or failed (none left uncertain or stale).
    bool all_decided() const { return undecided_ == 0; }

private:
    struct Run {
        std::int64_t lo;
        std::int64_t hi;
        std::int64_t first_single;  // index in singles_ of size lo; -1 for sizes that all pass
    };
    const Run* run_of(std::int64_t s) const;
    std::vector<Run> runs_;  // ascending, disjoint
    std::vector<SizeVerdict> singles_;
    std::int64_t undecided_ = 0;  // single sizes neither passing nor failing
};

// The breadth-first walk of the check over the sizes of one count, in the
// literal order. Scratch is kept from one check to the next.
class CheckWalk {
public:
    CheckWalk(const PFamily& family, const HarmonicTable& harmonic, double alpha, CertifiedCbyStats& stats,
              const CertifiedCbyTuning& tuning = {}, const common::CancelFlag* cancel = nullptr)
        : family_(family),
          harmonic_(harmonic),
          alpha_(alpha),
          stats_(stats),
          tuning_(tuning),
          cancel_(cancel),
          decider_(family, harmonic, alpha, stats, tuning, cancel) {}

    // cBY_check_cpp's result for count r, whose first size is warm_s (0: none).
    // With a floor below the level and least_count below r, the ranges of
    // sizes up to m - r its sweep certifies (of least_carried_width sizes or
    // more) hold at every level from the floor up to this one, for every
    // count from least_count up to r. A later check of such a count at a
    // level in between takes them without certifying them again.
    SizeCheck check(std::int64_t r, std::int64_t warm_s, double floor = 0.0, std::int64_t least_count = 0);
    // The verdict of size s in the check of count r, evaluated on its own:
    // pass, fail, or stale where its loop would read entries of e_out that
    // the sizes examined before it left (the verdict then depends on them).
    SizeVerdict size_verdict(std::int64_t r, std::int64_t s);
    // Moves to another level; what the walk keeps of the family (the sums of
    // 1 / p) does not depend on it.
    void set_alpha(double alpha) {
        if (alpha != alpha_) {
            known_.clear();
        }
        alpha_ = alpha;
        decider_.set_alpha(alpha);
    }

private:
    // The per-check state of one breadth-first walk.
    struct Walk {
        const CountSizes& sizes;
        OmittedOutside omitted;
        std::int64_t bound_fails_from = -1;  // s_b + 1, the first size the bound test fails; -1 until known
        bool swept = false;
        std::int64_t first_individual = 2;  // sizes from here on have no shortcut
        std::int64_t first_swept = 0;       // verdicts_ holds sizes first_swept ... m
        std::optional<EoutHistory> history = std::nullopt;
        std::size_t applied = 0;       // entries of examined_ applied to history
        double floor = 0.0;            // the sweep certifies ranges from here up (0: none)
        std::int64_t least_count = 0;  // for the counts from here up to its own (not below it: none)
    };

    // Sizes first ... last that pass at every level in [lo, hi] of their
    // CarriedRanges, for each count least ... r: a sweep given a floor and a
    // least count certified them.
    struct CarriedRange {
        std::int64_t first;
        std::int64_t last;
    };
    struct CarriedRanges {
        std::int64_t r = 0;
        double lo = 0.0;
        double hi = 0.0;
        std::int64_t least = 0;
        std::vector<CarriedRange> ranges;  // ascending
    };
    // The sweeps whose ranges are kept, most recent first.
    static constexpr std::size_t CARRIED_SWEEPS = 4;
    // A kept range that applies to a sweep; `across` where a sweep of
    // another count certified it.
    struct ApplyingRange {
        std::int64_t first;
        std::int64_t last;
        bool across;
    };

    std::int64_t bound_fails_from(Walk& walk) const;
    OmittedOutside omitted_outside(std::int64_t r) const;
    std::int64_t omitted_fail_from(Walk& walk) const;
    SizeVerdict omitted_verdict(const Walk& walk, std::int64_t s) const;
    std::optional<LevelOrderKey> first_omitted_failure(Walk& walk, const Node& node) const;
    SizeVerdict replay_history(Walk& walk, std::int64_t s);
    void gather_carried(std::int64_t r);
    bool sweep(Walk& walk);
    bool settle_uncertain(Walk& walk);
    bool passes_everywhere_else(Walk& walk);
    SizeVerdict known_verdict(std::int64_t r, std::int64_t s) const;

    PFamily family_;
    const HarmonicTable& harmonic_;
    double alpha_;
    CertifiedCbyStats& stats_;
    CertifiedCbyTuning tuning_;
    const common::CancelFlag* cancel_;
    std::unique_ptr<ReciprocalSums> sums_;
    SizeDecider decider_;
    // Scratch kept across the checks of a search.
    std::vector<Node> queue_;
    std::vector<std::int64_t> examined_;   // sizes examined in detail, in the literal order
    SweptVerdicts verdicts_;               // after a sweep
    std::vector<std::int64_t> uncertain_;  // the sizes the last sweep left uncertain, ascending
    std::vector<CarriedRanges> carried_;   // at most CARRIED_SWEEPS
    std::vector<ApplyingRange> applying_;  // those that apply to the current sweep, by first size
    mutable std::int64_t bound_hint_ = 0;  // where the last check's bound test first failed
    // The sizes of count known_r_ judged on their own at this level
    // (size_verdict) that passed or failed: the walk's verdicts for them.
    std::int64_t known_r_ = 0;
    std::vector<std::pair<std::int64_t, SizeVerdict>> known_;
};

// The domain the certificates are proven for.
bool values_in_domain(const double* q, std::int64_t n);
bool alpha_in_domain(double alpha);
bool factor_in_domain(const HarmonicTable& harmonic, double alpha);
// The same for a family whose m H_m is `family_factor` (0 for an empty one).
bool factor_in_domain(double family_factor, double alpha);

// The value that stands for the exact zeros of a family checked at alpha (or
// at any level from alpha up), given its smallest nonzero value:
// ZERO_REPLACEMENT, as the literal routines have it, unless the stand-in may
// be that value, which keeps the values in order (outside the domain, every
// check runs its literal steps) with every decision of every check the same.
double zero_stand_in(double smallest_nonzero, double family_factor, double alpha);

// The first size whose harmonic number a family of n given values of
// `total` keeps in its table (HarmonicTable's dense_from): all of them when
// it is padded little, else those of the sizes beyond the omitted values.
// A family beyond the summed harmonic numbers never holds them all.
std::int64_t dense_harmonic_from(int n, std::int64_t total, const CertifiedCbyTuning& tuning);

// cBY_check_cpp's result for every input.
cBYCheckResult certified_cby_check(const std::vector<double>& p, int r, const std::vector<double>& harmonic, int warm_s,
                                   double alpha, CertifiedCbyStats* stats = nullptr,
                                   const CertifiedCbyTuning& tuning = {});

}  // namespace tarvimo::closed_by
