#include "closed_by/fast_search.hpp"

#include <algorithm>
#include <vector>

#include "closed_by/galloping_search.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

namespace {

constexpr long long CANCEL_POLL_COUNTS = 1 << 16;

}  // namespace

// A count r's check examines its warm size s first. When every p-value
// outside that size's candidate part is cut off (p_(s-2) is, and it is the
// smallest of them), the loop ends at its first overlap minu, whose sum is
// the e-value of one position: the largest in the set (minu = 1) or p_(s-1)
// (the prefix before it cut off). Where that sum falls short of the critical
// value the check certainly returns {false, s}.
WarmSizeLane::WarmSizeLane(const PFamily& family, const HarmonicTable& harmonic, double alpha, int s)
    : family_(family),
      s_(s),
      Hs_(harmonic(s)),
      factor_(static_cast<double>(s) * Hs_),
      alpha_(alpha),
      invalpha_(1.0 / alpha),
      cutoff_(alpha + TOLERANCE),
      F_(factor_ * invalpha_),
      open_(s >= 2 && family.at(s - 2) * Hs_ > cutoff_),
      later_e_(open_ ? by_evalue(family.at(s - 1), Hs_, F_, cutoff_, invalpha_) : 0.0) {}

bool WarmSizeLane::settles(int r) const {
    if (!open_ || r < 1 || r > family_.m) {
        return false;
    }
    const int t0 = family_.m - r;
    const double p = family_.at(t0);
    if (p * factor_ <= static_cast<double>(std::min(s_, r)) * alpha_) {
        return false;
    }
    const int minu = std::max(1, s_ - t0);
    const double next_e_in = minu > 1 ? later_e_ : by_evalue(p, Hs_, F_, cutoff_, invalpha_);
    // critical >= invalpha / r > 1 / r > TOLERANCE, so a 0 always fails.
    return next_e_in == 0.0 ||
           !(next_e_in >= (static_cast<double>(minu) * invalpha_) / static_cast<double>(r) - TOLERANCE);
}

// Counts r, r - 1, ... that the lane of their warm size s settles; returns
// the first count it does not.
int CountSearch::lane(int r, int s) {
    const WarmSizeLane lane(family_, harmonic_, alpha_, s);
    long long settled = 0;
    for (; r >= 1 && lane.settles(r); --r, ++settled) {
        if ((settled + 1) % CANCEL_POLL_COUNTS == 0) {
            common::stop_if_cancelled(cancel_);
        }
    }
    stats_.lane_counts += settled;
    return r;
}

int CountSearch::exact_search() {
    const int m = family_.m;
    int r = m;
    int warm_s = 0;
    // Every count with an omitted value inside fails at the first size it
    // examines if that is one of 2 ... pad; the root midpoint is the first.
    const int root = 1 + (m - 1) / 2;
    if (family_.pad >= 2 && root >= 2 && root <= family_.pad) {
        stats_.skipped_counts += m - family_.n;
        r = family_.n;
        warm_s = root;
    }
    while (r >= 1) {
        if (tuning_.lane && warm_s >= 2) {
            r = lane(r, warm_s);
            if (r < 1) {
                break;
            }
        }
        const cBYCheckResult result = walk_.check(r, warm_s);
        if (result.res) {
            return r;
        }
        warm_s = result.at_s;
        --r;
    }
    return 0;
}

int CountSearch::approximate_search() {
    const int r_BY = by_scan(family_, harmonic_(family_.m), alpha_, true);
    int best_r = r_BY;
    int warm_s = 0;
    int lo = r_BY + 1;
    int hi = family_.m;
    while (lo <= hi) {
        const int r = lo + (hi - lo) / 2;
        const cBYCheckResult result = walk_.check(r, warm_s);
        if (result.res) {
            best_r = r;
            lo = r + 1;
        } else {
            hi = r - 1;
            warm_s = result.at_s;
        }
    }
    return best_r;
}

// Scans a family for the BY step-up count as BY_cpp does on its full vector;
// Hm = 1 (every harmonic number 1) gives the BH count.
// An omitted value (p = 1) meets the condition at some rank only if it does
// at rank m, the first one tested: (factor / k) - alpha only grows as k
// falls. In a sorted family and for alpha > 0, the scan also starts past the
// p-values with p * H_m > (alpha + TOLERANCE)(1 + 1e-9): at any rank k <= m their
// ((p * factor) / k) - alpha is at least p H_m (1 - 3u) - alpha, above the
// tolerance by far more than the rounding of that subtraction.
int by_scan(const PFamily& family, double Hm, double alpha, bool sorted) {
    const int m = family.m;
    if (m == 0) {
        return 0;
    }
    const double factor = static_cast<double>(m) * Hm;
    const double beyond = (alpha + TOLERANCE) * (1.0 + 1e-9);
    int i = sorted && alpha > 0.0
                ? static_cast<int>(first_true(0, m, [&](int j) { return !(family.at(j) * Hm > beyond); }))
                : 0;
    if (i > 0 && i < family.pad) {
        i = family.pad;  // the first omitted value fails, so all do
    }
    for (; i < m; ++i) {
        const int k = m - i;
        if (((family.at(i) * factor) / static_cast<double>(k)) - alpha <= TOLERANCE) {
            return k;
        }
        if (i == 0 && family.pad > 0) {
            i = family.pad - 1;
        }
    }
    return 0;
}

int certified_closed_by_count(const double* p, int n, int total, double alpha, bool approximate,
                              const common::CancelFlag* cancel, CertifiedCbyStats* stats,
                              const CertifiedCbyTuning& tuning) {
    common::require_family_size(n, total);
    if (alpha <= 0.0 || total == 0) {
        return 0;
    }
    common::stop_if_cancelled(cancel);
    CertifiedCbyStats local;
    CertifiedCbyStats& counts = stats != nullptr ? *stats : local;
    const auto literal = [&] {
        ++counts.literal_runs;
        const std::vector<double> padded = common::padded_values(p, n, total, 1.0);
        return approximate ? largestcBYsignificant_approximate_cpp(padded, alpha)
                           : largestcBYsignificant_cpp(padded, alpha);
    };
    // The sanitised values: the caller's, unless they hold a zero.
    std::vector<double> copy;
    const double* given = p;
    if (std::find(p, p + n, 0.0) != p + n) {
        copy = sanitize_pvalues_cpp(std::vector<double>(p, p + n));
        given = copy.data();
    }
    if (!alpha_in_domain(alpha) || !values_in_domain(given, n)) {
        return literal();
    }
    const int pad = total - n;
    const int dense_from = pad <= std::max(n, tuning.dense_padding) ? 0 : std::min(pad + 1, total);
    const HarmonicTable harmonic(total, dense_from, cancel);
    if (!factor_in_domain(harmonic, alpha)) {
        return literal();
    }
    CountSearch search(PFamily{given, n, pad, total}, harmonic, alpha, counts, tuning, cancel);
    return approximate ? search.approximate_search() : search.exact_search();
}

}  // namespace tarvimo::closed_by
