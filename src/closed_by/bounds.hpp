#pragma once

// The verdict of one size of the cBY check (the outside walk, the inside
// prefix and the overlap loop of cBY_check_cpp), decided without the literal
// walks where a rigorous bound allows it.
//
// Notation for a candidate count r and a size s. Positions 0 ... m-1 hold the
// p-values largest first; T0 = m - r is the first position of the candidate
// set. The e-value of position i at size s is 0 if p_i * H_s exceeds
// alpha + TOLERANCE (a prefix of positions 0 ... c, since p is sorted), else
// invalpha / stable_ceiling(p_i * F) with F = s * H_s * invalpha; it never
// decreases along the vector. At overlap u the literal loop holds
//   in(u)  = e-values of positions T0 ... T0 + u - 1, summed in a fixed order,
//   out(u) = e-values of positions 0 ... s - u - 1 (those not cut off),
// and tests in(u) >= theta(u) (the size passes) and in(u) + out(u) < theta(u)
// (it fails), theta(u) = u * invalpha / r - TOLERANCE as the loop computes
// it. With E_in, E_out the exact sums of the same double terms and
// beta = invalpha / r,
//   g(u) = E_in(u) - u * beta  and  h(u) = E_in(u) + E_out(u) - u * beta
// are convex in u: their increments e_in(u) - beta and
// e_in(u) - e_out(s - u - 1) - beta never decrease. That, bounds on the
// exact sums, and bounds on how far the loop's doubles stray from them
// (about 2^-53 relative per term they sum, rounded_terms) decide most
// sizes; the rest run literally.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>

#include "closed_by/cBY.hpp"
#include "closed_by/harmonic_table.hpp"
#include "closed_by/reciprocal_sums.hpp"

namespace tarvimo::closed_by {

// Positions 0 ... m-1 of a family of m = pad + n p-values, largest first:
// `pad` omitted hypotheses that count as p = 1, then the n given values.
struct PFamily {
    const double* given;
    int n;
    std::int64_t pad;
    std::int64_t m;

    double at(std::int64_t i) const { return i < pad ? 1.0 : given[i - pad]; }
};

// The e-value of p at a size with harmonic number Hs and F = s * Hs *
// invalpha, as the check computes it: 0 where p * Hs exceeds cutoff.
inline double by_evalue(double p, double Hs, double F, double cutoff, double invalpha) {
    return Hs * p <= cutoff ? invalpha / stable_ceiling_cpp(p * F) : 0.0;
}

enum class SizeVerdict : std::uint8_t {
    unknown,
    pass,
    fail,
    stale,      // the loop reads entries that earlier sizes left in e_out
    uncertain,  // no certificate decided it: the literal steps will
};

// The per-size quantities exactly as cBY_check_cpp computes them.
struct SizeSetup {
    std::int64_t s;
    double Hs;
    double factor;  // s * H_s
    double F;       // factor * invalpha
    std::int64_t minu;
    std::int64_t maxu;
    std::int64_t maxv;
};

// The last outside position a size's walk stops at as cut off (-1: none),
// and the last overlap its loop then reaches.
inline std::int64_t walk_cut(const SizeSetup& z, std::int64_t cut) {
    return z.maxv > 0 && cut >= 0 ? std::min(cut, z.maxv - 1) : -1;
}

inline std::int64_t last_overlap(const SizeSetup& z, std::int64_t walk_cut) {
    return walk_cut < 0 ? z.maxu : std::min(z.maxu, z.s - walk_cut);
}

// The most nonzero terms one of the size's sums adds or removes, with the
// cut-off at `cut`: the inside sum takes at most maxu, the outside sum and
// its removals only the positions past the walk's cut-off. Adding or
// removing 0 is exact, so this, not s, bounds the roundings. It matters in a
// padded family, whose omitted values are all cut off: s can be 10^12 while
// the sums hold a few thousand terms. For sizes up to z.s whose cut-offs are
// all at least `cut`, rounded_terms(z, cut) bounds every one of them (maxu
// and maxv never decrease with s).
inline std::int64_t rounded_terms(const SizeSetup& z, std::int64_t cut) {
    const std::int64_t c = walk_cut(z, cut);
    const std::int64_t outside = c < 0 ? z.maxv : z.maxv - 1 - c;
    return std::max(z.maxu, outside);
}

struct Interval {
    double lo;
    double hi;
};

// The e-value rule of one size: its F, and c, the last position cut off at
// H_s (-1 if none).
struct EvalueMap {
    double F;
    std::int64_t cut;
};

// The entries of e_out that the literal check leaves behind: runs of slots
// lo ... hi, each written by one size with factor F, so that slot j holds
// invalpha / stable_ceiling(p_(j-1) * F). Slots outside the runs hold 0.
class EoutHistory {
public:
    // The outside walk of one size: slots cut+2 ... maxv written, and slots
    // from cut+1 down cleared until one already holds 0.
    void apply(std::int64_t maxv, std::int64_t cut, double F);
    double read(std::int64_t slot, const PFamily& family, double invalpha) const;

private:
    struct Run {
        std::int64_t hi;
        double F;
    };
    void write(std::int64_t lo, std::int64_t hi, double F);
    void clear_down(std::int64_t slot);
    std::map<std::int64_t, Run> runs_;  // by first slot
};

// One candidate count r of one family: the sizes' setups, e-values and
// verdicts. ReciprocalSums are built on first use and kept by the caller.
class CountSizes {
public:
    // With least_count in 1 ... r - 1, the object stands for every count
    // least_count ... r at once, for certify_block_up_to over sizes up to
    // m - r only (see there); its other verdicts are not to be asked.
    CountSizes(const PFamily& family, const HarmonicTable& harmonic, double alpha, std::int64_t r,
               std::unique_ptr<ReciprocalSums>* sums, std::int64_t least_count = 0);

    SizeSetup setup(std::int64_t s) const;
    double largest_inside() const { return family_.at(t0_); }
    std::int64_t count() const { return r_; }

    // The last position cut off at H_s; `known` is a position known to be cut
    // off (-1 for none).
    std::int64_t cut_index(double Hs, std::int64_t known) const;
    // The same for a size >= 2, searched from `near`, a position close to it
    // (the size's cut-off at another level).
    std::int64_t cut_index_near(double Hs, std::int64_t near) const;

    // The literal steps of size z: the outside walk, the inside prefix and the
    // overlap loop of cBY_check_cpp. `budget` bounds the e-values computed
    // (unknown beyond it); without `history` a read of an entry left by an
    // earlier size gives `stale`.
    SizeVerdict literal(const SizeSetup& z, long budget, const EoutHistory* history,
                        const common::CancelFlag* cancel = nullptr) const;

    // A certificate for size z whose cut-off is `cut`; `literal_cost` is the
    // work a literal run would take, the most a certificate may spend.
    // `argmin` is where the search for the smallest h starts (-1: at minu)
    // and receives where it ended, a good start for a neighbouring count;
    // with `expect_fail` the fail certificate is tried first; exact sums of
    // all terms, the costliest level, only `with_exact_sums`, and
    // `used_exact_sums` says whether they were needed.
    SizeVerdict certify(const SizeSetup& z, std::int64_t cut, long literal_cost, std::int64_t* argmin, bool expect_fail,
                        bool with_exact_sums, bool* used_exact_sums) const;

    // Whether every size s1 ... s2 certainly passes (2 <= s1 <= s2). `argmin`
    // is where the search for the smallest h starts (-1: at s1's minu) and
    // receives where it ended, as in certify.
    bool certify_block(const SizeSetup& z1, std::int64_t cut1, const SizeSetup& z2, std::int64_t cut2,
                       std::int64_t* argmin) const;
    // Whether every size s1 ... s2 certainly passes at every alpha from this
    // count's up to that of `high`, the same count of the same family at a
    // level at most 1.5 times higher. z1, z2 and cut2 are taken at this
    // alpha, z1_high and cut1_high at high's. Built for the counts
    // least_count ... r with s2 <= m - r, the sizes pass for each of them.
    bool certify_block_up_to(const CountSizes& high, const SizeSetup& z1, const SizeSetup& z2, std::int64_t cut2,
                             const SizeSetup& z1_high, std::int64_t cut1_high, std::int64_t* argmin) const;

private:
    // The e-values over u = u_lo ... u_hi: inside T0 ... T0 + u - 1, outside
    // 0 ... s_out - u - 1, all under `map`.
    struct Span {
        EvalueMap map;
        std::int64_t u_lo;
        std::int64_t u_hi;
        std::int64_t s_out;
        std::int64_t s_err;     // rounded_terms of every size covered
        double outside_sum_hi;  // bound on every covered size's initial outside sum
    };
    struct Argmin {
        std::int64_t u;
        double eta;  // bound on the rounding of the probed increments
    };

    double evalue(std::int64_t i, const EvalueMap& map) const;
    double theta(std::int64_t u) const;
    Interval inside_sum(const EvalueMap& map, std::int64_t u, double k_exact, bool* loose) const;
    Interval outside_sum(const EvalueMap& map, std::int64_t count, double k_exact, bool* loose) const;
    Interval evalue_sum(std::int64_t a, std::int64_t b, const EvalueMap& map, double k_exact, bool* loose) const;
    Interval grouped_sum(std::int64_t a, std::int64_t b, const EvalueMap& map, double k_exact, bool* loose) const;
    Interval exact_terms(std::int64_t a, std::int64_t b, const EvalueMap& map) const;
    Interval reciprocal_bound(std::int64_t a, std::int64_t b, const EvalueMap& map) const;
    bool first_overlap_passes(const EvalueMap& map, std::int64_t u_terms, std::int64_t u_theta, std::int64_t s_err,
                              double k_exact, bool* loose, bool up_the_levels = false) const;
    Argmin argmin_h(const Span& span, std::int64_t start) const;
    bool span_never_fails(const Span& span, const Argmin& at, double k_exact, bool* loose,
                          bool up_the_levels = false) const;
    bool fails_at(const SizeSetup& z, const Span& span, const Argmin& at, double k_exact, bool* loose) const;
    ReciprocalSums& sums() const;

    // The last few range sums: a certificate asks for the same ranges, or
    // longer ones from the same start, several times. Only the first
    // `remembered_count_` entries are written: a CountSizes is built for
    // every size the level searches judge on their own (a million times at
    // 10^6), most of which never sum a range, so the entries are not
    // initialised up front.
    struct RangeSum {
        double F;
        double k_exact;
        std::int64_t a;
        std::int64_t b;
        Interval sum;
        bool loose;
    };
    static constexpr std::int64_t REMEMBERED_SUMS = 4;
    mutable RangeSum remembered_[REMEMBERED_SUMS];
    mutable std::int64_t remembered_count_ = 0;
    mutable std::int64_t next_remembered_ = 0;

    PFamily family_;
    const HarmonicTable& harmonic_;
    double invalpha_;
    double cutoff_;  // alpha + TOLERANCE
    std::int64_t r_;
    std::int64_t threshold_count_;  // the count whose thresholds u / (alpha r) the certificates use
    std::int64_t t0_;
    double beta_;  // invalpha / threshold_count_
    std::unique_ptr<ReciprocalSums>* sums_;
};

}  // namespace tarvimo::closed_by
