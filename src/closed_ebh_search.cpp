#include "closed_ebh_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ebh_profile.hpp"
#include "mean_consistency.hpp"
#include "vardo.hpp"

namespace {

// Probes a check searches one by one before it bounds its other rows at once:
// most failing checks end within a few probes, and the bulk bound costs about
// what a few hundred probes cost.
constexpr std::size_t BULK_AFTER_PROBES = 32;
// Rows between two bounds of the outside minimum in the bulk bound's first pass.
constexpr int CHORD_ROWS = 256;
// Half-width, relative to cum[s] + lambda, of the band of outside values
// around lambda within which rounding may hide the profile's convexity.
constexpr double BAND = 0x1p-49;
// Margin, relative to the magnitudes involved, that absorbs every rounding of
// a row's bound: 512 units of roundoff, where the analysis needs 9.
constexpr double PROOF_MARGIN = 0x1p-44;
// Smallest 1 / (alpha r) for which the bounds' products stay normal.
constexpr double MIN_DIV_RA = 0x1p-900;
constexpr int LONGEST_RUN = 1 << 30;
// Probes between two looks at the cancel flag within one check.
constexpr int PROBES_PER_POLL = 256;

// The first t in [lo, hi) with pred(t), or hi; pred is false, then true,
// over [lo, hi). Gallops from lo, so that a nearby answer takes few probes.
template <typename Pred>
int first_true_from(int lo, int hi, Pred pred) {
    int false_end = lo;  // pred is false on [lo, false_end)
    int true_at = hi;    // pred holds at true_at, or true_at == hi
    for (int step = 1; false_end < hi; step = std::min(2 * step, hi)) {
        const int probe = false_end + std::min(step, hi - false_end) - 1;
        if (pred(probe)) {
            true_at = probe;
            break;
        }
        false_end = probe + 1;
    }
    while (false_end < true_at) {
        const int mid = false_end + (true_at - false_end) / 2;
        if (pred(mid)) {
            true_at = mid;
        } else {
            false_end = mid + 1;
        }
    }
    return false_end;
}

// Lower bound of H(lambda) = min over j in 0 ... s of cum[j] - lambda j, the
// part of a row's targets that depends on i_out, for lambda = i_in / (r alpha).
// Each entry cum[t + 1] lies within u cum[s] of cum[t] + e_t (u the unit
// roundoff), so cum[j] - lambda j falls over every value e_t <= lambda - u cum[s]
// and rises over every e_t >= lambda + u cum[s]. The outside values ascend:
// the minimum lies between j_low, the number below the band, and j_high, the
// first above it, and is at least cum[j_low] - lambda j_high.
struct OutsideMinimum {
    int j_low;
    int j_high;
    double bound;      // within 4 u `magnitude` of that real bound
    double magnitude;  // cum[s] + lambda s
};

// The band is widened to 16 u (cum[s] + lambda) to cover the rounding of
// lambda and of the thresholds. The hints, from a smaller lambda, let the
// searches start nearby.
OutsideMinimum outside_minimum(const EvalueProfile& profile, int set_offset, double lambda, int hint_low,
                               int hint_high) {
    const double cum_s = profile[set_offset];
    const double band = (cum_s + lambda) * BAND;
    const double low = lambda - band;
    const double high = lambda + band;
    if (hint_low > set_offset || (hint_low > 0 && !(profile.value(hint_low - 1) <= low))) {
        hint_low = 0;
    }
    const int j_low = first_true_from(hint_low, set_offset, [&](int t) { return !(profile.value(t) <= low); });
    if (hint_high < j_low || hint_high > set_offset || (hint_high > j_low && !(profile.value(hint_high - 1) < high))) {
        hint_high = j_low;
    }
    const int j_high = first_true_from(hint_high, set_offset, [&](int t) { return profile.value(t) >= high; });
    return {j_low, j_high, profile[j_low] - lambda * j_high, cum_s + lambda * set_offset};
}

// Whether the rows of a check of size r can be bounded: the candidates are
// given values (no omitted zero inside), the outside block lies in the
// ordered prefix, and every penalty r (r + s) / (r alpha) is normal and finite.
bool rows_can_be_bounded(const EvalueProfile& profile, int r, double div_ra) {
    const int m = profile.total();
    return r <= profile.given() && m - r <= profile.ordered_prefix() && div_ra >= MIN_DIV_RA &&
           (static_cast<double>(r) * static_cast<double>(m)) * div_ra <= EvalueProfile::SUM_LIMIT;
}

// Sets clean[i_in] for the rows i_in = 1 ... r of the check (r, s = m - r,
// div_ra) whose targets are at least 0 for every i_out, rows_can_be_bounded
// holding. A row's targets are fl(fl(a + cum[j]) - fl(fl(i_in (i_in + j)) div_ra))
// with a = fl(cum[s + i_in] - cum[s]); they are all at least 0 when
//     a - i_in^2 div_ra + H(i_in div_ra) >= 3 u (|a| + cum[s] + i_in (i_in + s) div_ra),
// which also holds for a = +inf (every target +inf). H is concave (a minimum
// of lines), so between two rows its chord through their lower bounds bounds
// it below; rows the chord does not clear get a bound of their own.
void bound_rows(const EvalueProfile& profile, int r, double div_ra, std::vector<unsigned char>& clean) {
    const int set_offset = profile.total() - r;
    const double* sums = profile.sums() + (set_offset - profile.zeros());  // sums[i] = cum[s + i]
    const double cum_s = sums[0];
    const double offset = set_offset;
    const auto row_value = [&](int i_in, double outside) {
        const double i = i_in;
        return (sums[i_in] - cum_s - i * i * div_ra) + outside;
    };
    const auto row_margin = [&](int i_in, double magnitudes) {
        const double i = i_in;
        return (std::fabs(sums[i_in] - cum_s) + i * (i + offset) * div_ra + cum_s + magnitudes) * PROOF_MARGIN;
    };

    // Chords between the rows 1, 1 + CHORD_ROWS, 1 + 2 CHORD_ROWS, ..., r.
    OutsideMinimum left = outside_minimum(profile, set_offset, div_ra, 0, 0);
    for (int i1 = 1;;) {
        const int i2 = std::min(i1 + CHORD_ROWS, r);
        const OutsideMinimum right =
            i2 == i1 ? left : outside_minimum(profile, set_offset, i2 * div_ra, left.j_low, left.j_high);
        const double slope = (right.bound - left.bound) / static_cast<double>(std::max(i2 - i1, 1));
        const double magnitudes = std::fabs(left.bound) + std::fabs(right.bound) + left.magnitude + right.magnitude;
        for (int i_in = i1; i_in <= i2; ++i_in) {
            const double chord = left.bound + (static_cast<double>(i_in) - i1) * slope;
            clean[i_in] |= static_cast<unsigned char>(row_value(i_in, chord) >= row_margin(i_in, magnitudes));
        }
        for (int i_in = i1; i_in <= i2; ++i_in) {
            if (!clean[i_in]) {
                const OutsideMinimum own =
                    outside_minimum(profile, set_offset, i_in * div_ra, left.j_low, left.j_high);
                clean[i_in] = row_value(i_in, own.bound) >= row_margin(i_in, std::fabs(own.bound) + own.magnitude);
            }
        }
        if (i2 == r) {
            return;
        }
        left = right;
        i1 = i2;
    }
}

// The probes policy of the fast checks: after BULK_AFTER_PROBES probes
// without a violation, every row not yet probed is bounded, and the rows the
// bounds leave are searched (cold, as the check would search them later).
// When none of them fails, the check passes; otherwise the breadth-first
// order decides which violation is reported, and the check goes on, skipping
// the rows known to be clean.
class ProvenProbes {
public:
    ProvenProbes(const EvalueProfile& profile, int r, double alpha, const CancelFlag* cancel, SearchCounts& counts)
        : profile_(profile),
          r_(r),
          div_ra_(1.0 / (alpha * r)),
          all_clean_(!(div_ra_ > 0.0) && profile.ordered_prefix() == profile.total()),
          bounded_(rows_can_be_bounded(profile, r, div_ra_)),
          cancel_(cancel),
          counts_(counts) {}

    // Without a positive 1 / (alpha r) (alpha <= 0, +inf or NaN) no penalty
    // is positive, and on an ordered profile every group sum is at least 0:
    // no target is below 0.
    bool known_clean(int i_in) const { return all_clean_ || (!clean_.empty() && clean_[i_in]); }

    bool rest_clean(int i_in) {
        if (all_clean_) {
            return true;
        }
        if (++probes_ % PROBES_PER_POLL == 0) {
            stop_if_cancelled(cancel_);
        }
        if (!bounded_ || !clean_.empty()) {
            return false;
        }
        probed_.push_back(i_in);
        return probed_.size() >= BULK_AFTER_PROBES && bulk_rest_clean();
    }

private:
    // Bounds every row, then searches the rows the bounds leave; true when
    // none of them finds a violation.
    bool bulk_rest_clean() {
        ++counts_.bulk_proofs;
        clean_.assign(static_cast<std::size_t>(r_) + 1, 0);
        for (const int probed : probed_) {
            clean_[probed] = 1;
        }
        bound_rows(profile_, r_, div_ra_, clean_);
        counts_.rows_proven += std::count(clean_.begin(), clean_.end(), 1) - static_cast<std::int64_t>(probed_.size());
        const int set_offset = profile_.total() - r_;
        for (int row = 1; row <= r_; ++row) {
            if (!clean_[row]) {
                ++counts_.rows_searched;
                if (violating_i_out(profile_, row, set_offset, div_ra_, false, -1) >= 0) {
                    return false;
                }
                clean_[row] = 1;
            }
        }
        return true;
    }

    const EvalueProfile& profile_;
    const int r_;
    const double div_ra_;
    const bool all_clean_;
    const bool bounded_;
    const CancelFlag* cancel_;
    SearchCounts& counts_;
    int probes_ = 0;
    std::vector<int> probed_;           // probes before the bulk bound, all clean
    std::vector<unsigned char> clean_;  // after it: rows whose search finds no violation
};

MeanConsistentResult fast_check(const EvalueProfile& profile, int r, double alpha, int warm_i_in, int warm_i_out,
                                const CancelFlag* cancel, SearchCounts& counts) {
    stop_if_cancelled(cancel);
    ++counts.checks;
    ProvenProbes probes(profile, r, alpha, cancel, counts);
    return check_mean_consistency(profile, r, alpha, warm_i_in, warm_i_out, probes);
}

// A run of counts r_lo ... r of the exact scan, warm with the violation
// (warm_i_in, warm_i_out) found at r + 1. Each count's first probe is
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
    int r_lo;
    double bound;
};

FailingRun failing_run(const EvalueProfile& profile, double alpha, int r, int warm_i_in, int warm_i_out, int length) {
    const int m = profile.total();
    const int bottom = m - r;
    const double div_ra = 1.0 / (alpha * r);
    int r_lo;
    int top;
    std::int64_t i_in_counts;
    if (r > warm_i_in) {
        r_lo = std::max({r - length + 1, warm_i_in, 1});
        top = m - r_lo + warm_i_in;
        i_in_counts = static_cast<std::int64_t>(warm_i_in) * (static_cast<std::int64_t>(warm_i_in) + warm_i_out);
    } else {
        r_lo = std::max(r - length + 1, 1);
        top = m;
        i_in_counts = static_cast<std::int64_t>(r_lo) * (static_cast<std::int64_t>(r_lo) + warm_i_out);
    }
    if (top > profile.ordered_prefix()) {
        return {false, r_lo, 0.0};
    }
    const double sum_e = (profile[top] - profile[bottom]) + profile[warm_i_out];
    return {true, r_lo, sum_e - static_cast<double>(i_in_counts) * div_ra};
}

int exact_search(const EvalueProfile& profile, double alpha, const CancelFlag* cancel, SearchCounts& counts) {
    const int m = profile.total();
    if (m == 0) {
        return 0;
    }
    MeanConsistentResult mc = fast_check(profile, m, alpha, -1, -1, cancel, counts);
    if (mc.meanconsistent) {
        return m;
    }
    int warm_i_in = mc.at_i_in;
    int warm_i_out = mc.at_i_out;
    const bool monotone_level = alpha > 0.0;
    int length = 1;
    for (int r = m - 1; r >= 1;) {
        stop_if_cancelled(cancel);
        bool probe_known_clean = false;
        if (monotone_level) {
            const FailingRun run = failing_run(profile, alpha, r, warm_i_in, warm_i_out, length);
            if (run.bounded && run.bound < -TOLERANCE) {
                counts.counts_in_runs += r - run.r_lo + 1;
                warm_i_in = std::min(warm_i_in, run.r_lo);
                r = run.r_lo - 1;
                length = std::min(2 * length, LONGEST_RUN);
                continue;
            }
            if (length > 1) {
                length /= 2;
                continue;
            }
            probe_known_clean = run.bounded;  // the bound of a one-count run is its first target
        }
        if (!probe_known_clean) {
            const int set_offset = m - r;
            const int i_in = std::min(warm_i_in, r);
            const int i_out = std::min(warm_i_out, set_offset - 1);
            ++counts.first_probes;
            if (compute_target(profile, i_in, i_out, set_offset, 1.0 / (alpha * r)) < -TOLERANCE) {
                warm_i_in = i_in;
                warm_i_out = i_out;
                --r;
                continue;
            }
        }
        mc = fast_check(profile, r, alpha, warm_i_in, warm_i_out, cancel, counts);
        if (mc.meanconsistent) {
            return r;
        }
        warm_i_in = mc.at_i_in;
        warm_i_out = mc.at_i_out;
        --r;
    }
    return 0;
}

// Bisection above the eBH count min_r < m, as largestmeanconsistent_approximate_cpp.
int approximate_search(const EvalueProfile& profile, int min_r, double alpha, const CancelFlag* cancel,
                       SearchCounts& counts) {
    int lo = min_r + 1;
    int hi = profile.total();
    int best_r = min_r;
    int warm_i_in = -1;
    int warm_i_out = -1;
    while (lo <= hi) {
        const int mid_r = lo + (hi - lo) / 2;
        const MeanConsistentResult mc = fast_check(profile, mid_r, alpha, warm_i_in, warm_i_out, cancel, counts);
        if (mc.meanconsistent) {
            best_r = mid_r;
            lo = mid_r + 1;
        } else {
            hi = mid_r - 1;
            warm_i_in = mc.at_i_in;
            warm_i_out = mc.at_i_out;
        }
    }
    return best_r;
}

}  // namespace

int closed_ebh_search(const double* e, int n, int total, double alpha, bool approximate, const CancelFlag* cancel,
                      SearchCounts* counts) {
    SearchCounts ignored;
    SearchCounts& tally = counts != nullptr ? *counts : ignored;
    if (approximate) {
        const int min_r = ebh_count(e, n, total, alpha);
        if (min_r == total) {
            return total;
        }
        stop_if_cancelled(cancel);
        const EvalueProfile profile(e, n, total);
        return approximate_search(profile, min_r, alpha, cancel, tally);
    }
    const EvalueProfile profile(e, n, total);
    stop_if_cancelled(cancel);
    return exact_search(profile, alpha, cancel, tally);
}
