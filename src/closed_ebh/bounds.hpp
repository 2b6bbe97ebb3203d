#pragma once

// The bounds behind the fast closed e-BH searches (fast_search.hpp):
// each proves, for any rounding, what the literal targets it stands for
// would decide. u is the unit roundoff 2^-53; cum is the padded profile of
// m = total entries after its leading 0.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "closed_ebh/profile.hpp"

namespace tarvimo::closed_ebh {

// Every SAMPLE_STRIDE-th value of a profile's ordered prefix (positions 0,
// SAMPLE_STRIDE, ...): a copy short enough to stay in cache, which the
// bounds' searches for the first outside value past a threshold bisect
// before they read one stretch of the values themselves. The values ascend
// on the ordered prefix, so such a search has one answer, whichever values
// it reads on the way: with or without samples, the bounds are the same.
//
// A key index spares most of that bisection: the bits of a double x >= 0
// shifted right, key(x), never fall as x grows, so every sample whose key
// is below key(y) is below y and every sample whose key is above it is
// above y. For each key between those of the first positive sample and the
// last one the index holds the first sample with at least that key; the
// shift is the smallest that keeps the keys at most as many as the samples.
class ValueSamples {
public:
    static constexpr std::int64_t STRIDE = 32;

    explicit ValueSamples(const EvalueProfile& profile);

    // value(k STRIDE) for the k with k STRIDE < the ordered prefix's end.
    const double* values() const { return samples_.data(); }
    std::int64_t size() const { return static_cast<std::int64_t>(samples_.size()); }

    // Samples below and above y: every sample before `below_end` is below
    // y, every sample from `above_start` on above it ({0, size()} where the
    // index tells nothing: y not positive, or no positive sample).
    struct Bracket {
        std::int64_t below_end;
        std::int64_t above_start;
    };
    Bracket bracket(double y) const;

private:
    std::uint64_t key(double x) const;

    std::vector<double> samples_;
    int key_shift_ = 0;
    std::uint64_t key_low_ = 0;  // the first positive sample's key
    // first_with_key_[j]: the first sample whose key is at least key_low_ + j,
    // j = 0 ... (the last sample's key - key_low_) + 1.
    std::vector<std::int64_t> first_with_key_;
};

// The first t in [lo, hi) with pred(profile.value(t)), or hi, where pred is
// false, then true, over [lo, hi), false for every value below y and true
// for every value above it, and hi is at most the ordered prefix's end: the
// samples in the range that the key index leaves are bisected, which leaves
// fewer than STRIDE values, read at once.
template <typename Pred>
std::int64_t first_value_where(const EvalueProfile& profile, const ValueSamples& samples, std::int64_t lo,
                               std::int64_t hi, double y, Pred pred) {
    constexpr std::int64_t stride = ValueSamples::STRIDE;
    std::int64_t k_lo = (lo + stride - 1) / stride;
    std::int64_t k_hi = std::min((hi + stride - 1) / stride, samples.size());
    // The bisection's own steps at the last sample known below y and at the
    // first known above it, where they lie in its range: pred is false at
    // the one and true at the other.
    const ValueSamples::Bracket known = samples.bracket(y);
    if (known.below_end - 1 >= k_lo && known.below_end - 1 < k_hi) {
        k_lo = known.below_end;
        lo = (known.below_end - 1) * stride + 1;
    }
    if (known.above_start >= k_lo && known.above_start < k_hi) {
        k_hi = known.above_start;
        hi = known.above_start * stride;
    }
    const double* sample = samples.values();
    while (k_lo < k_hi) {
        const std::int64_t mid = k_lo + (k_hi - k_lo) / 2;
        if (pred(sample[mid])) {
            k_hi = mid;
            hi = mid * stride;
        } else {
            k_lo = mid + 1;
            lo = mid * stride + 1;
        }
    }
    // pred fails on a prefix of the values left.
    std::int64_t failing = 0;
    if (lo >= profile.zeros()) {
        const double* value = profile.values() + (lo - profile.zeros());
        for (std::int64_t t = 0; t < hi - lo; ++t) {
            failing += pred(value[t]) ? 0 : 1;
        }
    } else {
        for (std::int64_t t = lo; t < hi; ++t) {
            failing += pred(profile.value(t)) ? 0 : 1;
        }
    }
    return lo + failing;
}

// Whether the rows of a check of size r can be bounded: the candidates are
// given values (no omitted zero inside), the outside block lies in the
// ordered prefix, and every penalty r (r + s) / (r alpha) is normal and finite.
bool rows_can_be_bounded(const EvalueProfile& profile, std::int64_t r, double div_ra);

// The rows i_in of the check (r, s = m - r, div_ra), rows_can_be_bounded
// holding, that the bounds cannot clear, in ascending order; the targets of
// every other row are at least 0 for every i_out. A row's targets are fl(fl(a + cum[j]) - fl(fl(i_in (i_in + j))
// div_ra)) with a = fl(cum[s + i_in] - cum[s]); they are all at least 0 when
//     a - i_in^2 div_ra + H(i_in div_ra) >= 3 u (|a| + cum[s] + i_in (i_in + s) div_ra),
// which also holds for a = +inf (every target +inf). H is concave (a minimum
// of lines), so between two rows it is at least the chord through their
// lower bounds.
//
// Blocks of rows are bisected until they are cleared, each carrying the
// bounds of H at its ends. A block whose inside values are ordered is
// cleared at once when a bound quadratic in i_in clears the margin at both
// ends, or, when it has at most CHORD_ROWS rows, through the chord; a block
// of at most OWN_BOUND_ROWS rows that is not cleared gets each row's own
// bound.
//
// `samples`, when given, are the profile's (ValueSamples): they only speed
// up the searches. `tight_row`, when in 1 ... r, is a row expected to have no
// slack (the row a check at its own level binds at): it is left without a
// bound, and no block holding it is tried, since none would clear.
std::vector<std::int64_t> rows_left_by_bounds(const EvalueProfile& profile, std::int64_t r, double div_ra,
                                              const ValueSamples* samples = nullptr, std::int64_t tight_row = 0);
// The same, or nothing once more than `most_left` rows other than tight_row
// are left: the bound then stops where it is.
std::optional<std::vector<std::int64_t>> rows_left_by_bounds_at_most(const EvalueProfile& profile, std::int64_t r,
                                                                     double div_ra, const ValueSamples* samples,
                                                                     std::int64_t tight_row, std::int64_t most_left);

// Whether every target of row i_in of the check (r, s = m - r, div_ra),
// rows_can_be_bounded holding, is at least -TOLERANCE, shown from at most
// `most_targets` targets next to i_out = `from` (the row's minimum, where a
// check at its own level binds). No bound clears such a row: its smallest
// target lies within rounding of -TOLERANCE.
//
// Why. Let c be the running sums, d = div_ra, A = fl(c[s + i_in] - c[s]),
// and V(j) = A + c[j] - i_in (i_in + j) d in real arithmetic: the target
// t(j) differs from V(j) by at most E <= 4.01 u M with M = |A| + c[s] +
// i_in (i_in + s) d (u = 2^-53; one rounding of A + c[j], two of the
// penalty, one of the difference; c[j] <= c[s]). V(j + 1) - V(j) = e_j +
// delta_j - i_in d with |delta_j| <= u c[s], the rounding of c[j + 1]. So V
// never falls from j_b on when e_{j_b} >= i_in d + u c[s] (the values
// ascend), and never rises up to j_a when e_{j_a - 1} <= i_in d - u c[s];
// there every target is at least V(j_b) - E >= t(j_b) - 2E (or t(j_a) -
// 2E). The targets from j_a to j_b are evaluated, and the ends must clear
// -TOLERANCE by 16 u M, rounding of M and of the thresholds included.
bool row_clears_near(const EvalueProfile& profile, std::int64_t r, double div_ra, std::int64_t i_in, std::int64_t from,
                     int most_targets);

// The run of the at most `length` counts r_lo ... r of the exact scan that
// follow a violation (warm_i_in, warm_i_out) found at r + 1: a `bound`
// below -TOLERANCE proves that every count of the run fails at its first
// probe, the pair the check probes first. Each count's first probe is
// (min(warm_i_in, r'), warm_i_out); while it fails, that is also the next
// count's warm start. So for r' >= warm_i_in the probe stays at warm_i_in, its
// inside block cum[m - r' + warm_i_in] - cum[m - r'] at most
// cum[m - r_lo + warm_i_in] - cum[m - r]; below warm_i_in it is r' itself,
// the block cum[m] - cum[m - r'] at most cum[m] - cum[m - r], and the count
// product at least r_lo (r_lo + warm_i_out). Each profile entry involved is
// monotone in r' on the ordered prefix, 1 / (alpha r') is at least its value
// at r for alpha > 0, and every rounded operation of the target is monotone
// in its operands: the target of r' is at most `bound`, the target evaluated
// with those extremes. For r_lo = r it is the first probe's target itself.
struct FailingRun {
    bool bounded;  // the run's entries lie in the ordered prefix
    std::int64_t r_lo;
    double bound;
};

FailingRun failing_run(const EvalueProfile& profile, double alpha, std::int64_t r, std::int64_t warm_i_in,
                       std::int64_t warm_i_out, std::int64_t length);

// The number of leading given values that cannot meet the eBH condition, so
// that the eBH scan (from the smallest value up, rank n - t at position t) may
// start after them. On the ordered prefix, past a position `start` the
// product fl(fl(rank e_t) alpha / total) is at most
// fl(fl((n - start) e_t) alpha / total), which is monotone in t for
// alpha >= 0: the values before the first one whose bound reaches
// 1 + TOLERANCE never qualify. Each such skip tightens the rank bound for
// the next.
std::int64_t below_ebh_threshold(const EvalueProfile& profile, double alpha);

}  // namespace tarvimo::closed_ebh
