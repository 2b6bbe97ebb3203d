#include "closed_by/fast_search.hpp"

#include <algorithm>
#include <vector>

#include "closed_by/galloping_search.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

namespace {

constexpr std::int64_t CANCEL_POLL_COUNTS = 1 << 16;

// Counts a lane tests at a time once it runs among the given values: a
// block computed past the first count that fails costs less than testing
// the counts one by one with a branch each.
constexpr int LANE_BLOCK = 64;

// The constants of a lane's test, as doubles.
struct LaneTerms {
    double s;
    double m;
    double factor;
    double alpha;
    double Hs;
    double F;
    double cutoff;
    double invalpha;
    double later_e;
};

// WarmSizeLane::settles for the counts top - i, i < k, whose first
// candidate p-values are p[i], in a loop without branches that the compiler
// vectorises (both arms of each selection computed, one kept, as
// common/vector_clones.hpp says; the helpers written out, since a
// function compiled with other options is not inlined here). The tests are settles' own
// double operations in the same order, stable_ceiling_cpp's included; only
// its integer steps are done in doubles: the counts, m, s, min(s, r) and
// max(1, s - (m - r)) are integers below 2^53 (m is at most 10^12), for
// which double subtraction, min and max are exact, so each operand equals
// the conversion of the integer settles computes. The terms are copied
// first: read through the reference, they would keep the loop scalar.
TARVIMO_SETTLE_CLONES void settle_counts(const LaneTerms& terms, const double* p, double top, int k, bool* settled) {
    const LaneTerms t = terms;
    for (int i = 0; i < k; ++i) {
        const double r = top - static_cast<double>(i);
        const double v = p[i];
        const double outside = t.s - (t.m - r);
        const double minu = outside > 1.0 ? outside : 1.0;
        const double ceiling = std::ceil(v * t.F - TOLERANCE);
        const double below_cutoff_e = t.invalpha / (ceiling > 1.0 ? ceiling : 1.0);
        const double own_e = t.Hs * v <= t.cutoff ? below_cutoff_e : 0.0;
        const double e = minu > 1.0 ? t.later_e : own_e;
        const double smaller = r < t.s ? r : t.s;
        const bool beyond = !(v * t.factor <= smaller * t.alpha);
        const bool short_of_critical = (e == 0.0) | !(e >= (minu * t.invalpha) / r - TOLERANCE);
        settled[i] = beyond & short_of_critical;
    }
}

// The largest count the searches consider in a family of more than
// LAST_SUMMED_HARMONIC hypotheses: its given values. The check's margin
// (1e-10, absolute) exceeds the requirement 1 / (alpha r) of a count r beyond
// 10^10 / alpha, where size 1 and every overlap would pass even with e-values
// of 0: a count holding omitted p-values of 1 would pass. Below 2^31 such a
// count provably fails (OmittedOutside, and the skip in exact_search); above
// it none is taken. Counts of given values stay below 2^31, where the margin
// is under a quarter of 1 / (alpha r) as for every smaller family.
std::int64_t largest_wide_count(const PFamily& family) { return family.n; }

}  // namespace

// A count r's check examines its warm size s first. When every p-value
// outside that size's candidate part is cut off (p_(s-2) is, and it is the
// smallest of them), the loop ends at its first overlap minu, whose sum is
// the e-value of one position: the largest in the set (minu = 1) or p_(s-1)
// (the prefix before it cut off). Where that sum falls short of the critical
// value the check certainly returns {false, s}.
WarmSizeLane::WarmSizeLane(const PFamily& family, const HarmonicTable& harmonic, double alpha, std::int64_t s)
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

bool WarmSizeLane::settles(std::int64_t r) const {
    if (!open_ || r < 1 || r > family_.m) {
        return false;
    }
    const std::int64_t t0 = family_.m - r;
    const double p = family_.at(t0);
    if (p * factor_ <= static_cast<double>(std::min(s_, r)) * alpha_) {
        return false;
    }
    const std::int64_t minu = std::max<std::int64_t>(1, s_ - t0);
    const double next_e_in = minu > 1 ? later_e_ : by_evalue(p, Hs_, F_, cutoff_, invalpha_);
    // critical >= invalpha / r > 1 / r > TOLERANCE, so a 0 always fails.
    return next_e_in == 0.0 ||
           !(next_e_in >= (static_cast<double>(minu) * invalpha_) / static_cast<double>(r) - TOLERANCE);
}

void WarmSizeLane::settles_block(std::int64_t r, int k, bool* settled) const {
    if (!open_) {
        std::fill(settled, settled + k, false);
        return;
    }
    const LaneTerms terms{static_cast<double>(s_),
                          static_cast<double>(family_.m),
                          factor_,
                          alpha_,
                          Hs_,
                          F_,
                          cutoff_,
                          invalpha_,
                          later_e_};
    settle_counts(terms, family_.given + (family_.n - r), static_cast<double>(r), k, settled);
}

// Counts r, r - 1, ... that the lane of their warm size s settles; returns
// the first count it does not. Counts whose candidate set holds omitted
// values (r > n) are tested one at a time, the others a block at a time.
std::int64_t CountSearch::lane(std::int64_t r, std::int64_t s) {
    const WarmSizeLane lane(family_, harmonic_, alpha_, s);
    if (!lane.open()) {
        return r;  // settles nothing
    }
    std::int64_t settled = 0;
    std::int64_t next_poll = CANCEL_POLL_COUNTS;
    bool block[LANE_BLOCK];
    while (r >= 1) {
        if (settled >= next_poll) {
            common::stop_if_cancelled(cancel_);
            next_poll += CANCEL_POLL_COUNTS;
        }
        if (r > family_.n) {
            ++stats_.lane_single;
            if (!lane.settles(r)) {
                break;
            }
            --r;
            ++settled;
            continue;
        }
        const int k = static_cast<int>(std::min<std::int64_t>(r, LANE_BLOCK));
        lane.settles_block(r, k, block);
        const int run = static_cast<int>(std::find(block, block + k, false) - block);
        r -= run;
        settled += run;
        if (run < k) {
            break;
        }
    }
    stats_.lane_counts += settled;
    return r;
}

std::int64_t CountSearch::exact_search() {
    const std::int64_t m = family_.m;
    std::int64_t r = m;
    std::int64_t warm_s = 0;
    // Every count with an omitted value inside fails at the first size it
    // examines if that is one of 2 ... pad; the root midpoint is the first.
    const std::int64_t root = 1 + (m - 1) / 2;
    if (family_.pad >= 2 && root >= 2 && root <= family_.pad) {
        stats_.skipped_counts += m - family_.n;
        r = family_.n;
        warm_s = root;
    } else if (m > LAST_SUMMED_HARMONIC) {
        stats_.skipped_counts += m - family_.n;
        r = largest_wide_count(family_);
    }
    while (r >= 1) {
        if (tuning_.lane && warm_s >= 2) {
            r = lane(r, warm_s);
            if (r < 1) {
                break;
            }
        }
        const SizeCheck result = walk_.check(r, warm_s);
        if (result.res) {
            return r;
        }
        warm_s = result.at_s;
        --r;
    }
    return 0;
}

std::int64_t CountSearch::approximate_search() {
    const std::int64_t r_BY = by_scan(family_, harmonic_(family_.m), alpha_, true);
    std::int64_t best_r = r_BY;
    std::int64_t warm_s = 0;
    std::int64_t lo = r_BY + 1;
    std::int64_t hi = family_.m > LAST_SUMMED_HARMONIC ? largest_wide_count(family_) : family_.m;
    while (lo <= hi) {
        const std::int64_t r = lo + (hi - lo) / 2;
        const SizeCheck result = walk_.check(r, warm_s);
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
std::int64_t by_scan(const PFamily& family, double Hm, double alpha, bool sorted) {
    const std::int64_t m = family.m;
    if (m == 0) {
        return 0;
    }
    const double factor = static_cast<double>(m) * Hm;
    const double beyond = (alpha + TOLERANCE) * (1.0 + 1e-9);
    std::int64_t i =
        sorted && alpha > 0.0 ? (first_true(0, m, [&](std::int64_t j) { return !(family.at(j) * Hm > beyond); })) : 0;
    if (i > 0 && i < family.pad) {
        i = family.pad;  // the first omitted value fails, so all do
    }
    for (; i < m; ++i) {
        const std::int64_t k = m - i;
        if (((family.at(i) * factor) / static_cast<double>(k)) - alpha <= TOLERANCE) {
            return k;
        }
        if (i == 0 && family.pad > 0) {
            i = family.pad - 1;
        }
    }
    return 0;
}

std::int64_t certified_closed_by_count(const double* p, int n, std::int64_t total, double alpha, bool approximate,
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
    if (!alpha_in_domain(alpha)) {
        return literal();
    }
    const std::int64_t pad = total - n;
    const std::int64_t dense_from = dense_harmonic_from(n, total, tuning);
    const HarmonicTable harmonic(total, dense_from, cancel);
    // The sanitised values: the caller's, unless they hold a zero, which a
    // stand-in replaces (zero_stand_in: 1e-12 where the smallest nonzero
    // value may not stand in; decisions are those with 1e-12 either way).
    std::vector<double> copy;
    const double* given = p;
    const double* first_zero = std::find(p, p + n, 0.0);
    if (first_zero != p + n) {
        const double smallest = first_zero == p ? 0.0 : *(first_zero - 1);
        const double stand_in = zero_stand_in(smallest, static_cast<double>(total) * harmonic(total), alpha);
        copy.assign(p, p + n);
        std::replace(copy.begin(), copy.end(), 0.0, stand_in);
        given = copy.data();
    }
    if (!values_in_domain(given, n) || !factor_in_domain(harmonic, alpha)) {
        return literal();
    }
    CountSearch search(PFamily{given, n, pad, total}, harmonic, alpha, counts, tuning, cancel);
    return approximate ? search.approximate_search() : search.exact_search();
}

}  // namespace tarvimo::closed_by
