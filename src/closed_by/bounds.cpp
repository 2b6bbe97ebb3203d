#include "closed_by/bounds.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "closed_by/evalue_sums.hpp"
#include "closed_by/galloping_search.hpp"

namespace tarvimo::closed_by {

namespace {

// A bound on the unit roundoff 2^-53, with room for the (1 + n u) factors of
// the error bounds below, which stay under 1.001 for every n <= 10^12.
constexpr double ROUND = 1.2e-16;

// Ranges this short are summed term by term.
constexpr std::int64_t DIRECT_TERMS = 16;

// Ceilings up to this many are grouped exactly before the rest of a range is
// bounded through sums of 1/p; the certificate tries each in turn while its
// cost stays below a literal run's. The last sums every term exactly.
constexpr double ALL_EXACT = std::numeric_limits<double>::infinity();
constexpr double EXACT_CEILINGS[] = {4.0, 64.0, 1024.0, ALL_EXACT};
constexpr long COST_PER_CEILING = 8;

constexpr long CANCEL_POLL_TERMS = 1 << 16;  // about a millisecond of literal steps

// Bounds on a term t = invalpha / k, k = stable_ceiling(p * F) > K >= 2
// (u = 2^-53): with x = p * F exact, the rounded product and subtraction
// put k in [(x (1 - u) - TOLERANCE)(1 - u), x (1 + u) + 1), and k > K means
// x > K, so
//   (invalpha / F) (1/p) (1 - 2.01 u) - (invalpha / F^2) (1/p^2)
//     <= t <= (invalpha / F) (1/p) (1 + 3.01 u + 1.01 TOLERANCE / K),
// using 1/(y + 1) >= 1/y - 1/y^2. With the ReciprocalSums error and the
// roundings of evaluating these products, the factors below hold for K >= 2.
constexpr double RECIPROCAL_UP = 1.0 + 1e-10;
constexpr double RECIPROCAL_DOWN = 1.0 - 1e-10;

}  // namespace

void EoutHistory::apply(std::int64_t maxv, std::int64_t cut, double F) {
    if (cut >= 0) {
        clear_down(cut + 1);
    }
    if (maxv >= cut + 2) {
        write(cut + 2, maxv, F);
    }
}

void EoutHistory::write(std::int64_t lo, std::int64_t hi, double F) {
    auto it = runs_.lower_bound(lo);
    if (it != runs_.begin()) {
        auto before = std::prev(it);
        if (before->second.hi >= lo) {
            const Run tail = before->second;
            before->second.hi = lo - 1;
            if (tail.hi > hi) {
                runs_[hi + 1] = tail;
            }
        }
    }
    it = runs_.lower_bound(lo);
    while (it != runs_.end() && it->first <= hi) {
        if (it->second.hi > hi) {
            const Run tail = it->second;
            runs_.erase(it);
            runs_[hi + 1] = tail;
            break;
        }
        it = runs_.erase(it);
    }
    runs_[lo] = {hi, F};
}

void EoutHistory::clear_down(std::int64_t slot) {
    while (slot >= 1) {
        auto it = runs_.upper_bound(slot);
        if (it == runs_.begin()) {
            return;
        }
        --it;
        if (it->second.hi < slot) {
            return;  // slot holds 0: the clearing stops here
        }
        const std::int64_t lo = it->first;
        const Run run = it->second;
        runs_.erase(it);
        if (run.hi > slot) {
            runs_[slot + 1] = run;
        }
        slot = lo - 1;
    }
}

double EoutHistory::read(std::int64_t slot, const PFamily& family, double invalpha) const {
    auto it = runs_.upper_bound(slot);
    if (it == runs_.begin()) {
        return 0.0;
    }
    --it;
    if (it->second.hi < slot) {
        return 0.0;
    }
    return invalpha / stable_ceiling_cpp(family.at(slot - 1) * it->second.F);
}

CountSizes::CountSizes(const PFamily& family, const HarmonicTable& harmonic, double alpha, std::int64_t r,
                       std::unique_ptr<ReciprocalSums>* sums, std::int64_t least_count)
    : family_(family),
      harmonic_(harmonic),
      invalpha_(1.0 / alpha),
      cutoff_(alpha + TOLERANCE),
      r_(r),
      threshold_count_(least_count >= 1 && least_count < r ? least_count : r),
      t0_(family.m - r),
      beta_(invalpha_ / static_cast<double>(threshold_count_)),
      sums_(sums) {}

SizeSetup CountSizes::setup(std::int64_t s) const {
    SizeSetup z;
    z.s = s;
    z.Hs = harmonic_(s);
    z.factor = static_cast<double>(s) * z.Hs;
    z.F = z.factor * invalpha_;
    z.maxu = std::min(s, r_);
    z.minu = std::max<std::int64_t>(1, s - (family_.m - r_));
    z.maxv = s - z.minu;
    return z;
}

std::int64_t CountSizes::cut_index(double Hs, std::int64_t known) const {
    return (first_true(known + 1, family_.m, [&](std::int64_t i) { return !(family_.at(i) * Hs > cutoff_); })) - 1;
}

// The positions cut off form a prefix (the values are sorted, largest first;
// the omitted ones, 1.0, are cut off at every size >= 2), so the search may
// start anywhere: from `near` it gallops either way to the same end.
std::int64_t CountSizes::cut_index_near(double Hs, std::int64_t near) const {
    const auto kept = [&](std::int64_t i) { return !(family_.at(i) * Hs > cutoff_); };
    const std::int64_t end = family_.m;
    const std::int64_t start = std::clamp(near + 1, family_.pad, end);
    if (start == end || kept(start)) {
        return first_true_from_top(family_.pad, start, kept) - 1;
    }
    return first_true(start + 1, end, kept) - 1;
}

double CountSizes::evalue(std::int64_t i, const EvalueMap& map) const {
    return i <= map.cut ? 0.0 : invalpha_ / stable_ceiling_cpp(family_.at(i) * map.F);
}

double CountSizes::theta(std::int64_t u) const {
    return (static_cast<double>(u) * invalpha_) / static_cast<double>(threshold_count_) - TOLERANCE;
}

ReciprocalSums& CountSizes::sums() const {
    if (!*sums_) {
        *sums_ = std::make_unique<ReciprocalSums>(family_.given, family_.n);
    }
    return **sums_;
}

SizeVerdict CountSizes::literal(const SizeSetup& z, long budget, const EoutHistory* history,
                                const common::CancelFlag* cancel) const {
    long work = 0;
    // Counts one e-value; false once the budget is spent.
    const auto within_budget = [&] {
        if (++work % CANCEL_POLL_TERMS == 0) {
            common::stop_if_cancelled(cancel);
        }
        return work <= budget;
    };
    std::int64_t walk_cut = -1;
    double sum_e_out = 0.0;
    for (std::int64_t i = z.maxv - 1; i >= 0; --i) {
        const double p = family_.at(i);
        if (p * z.Hs > cutoff_) {
            walk_cut = i;
            break;
        }
        if (!within_budget()) {
            return SizeVerdict::unknown;
        }
        sum_e_out += invalpha_ / stable_ceiling_cpp(p * z.F);
    }

    double sum_e_in = 0.0;
    for (std::int64_t i = z.minu - 2; i >= 0; --i) {
        const double pi = family_.at(t0_ + i);
        if (z.Hs * pi > cutoff_) {
            break;
        }
        if (!within_budget()) {
            return SizeVerdict::unknown;
        }
        sum_e_in += invalpha_ / stable_ceiling_cpp(pi * z.F);
    }

    for (std::int64_t u = z.minu; u <= z.maxu; ++u) {
        if (!within_budget()) {
            return SizeVerdict::unknown;
        }
        const double pu_in = family_.at(t0_ + u - 1);
        const double next_e_in = by_evalue(pu_in, z.Hs, z.F, cutoff_, invalpha_);
        sum_e_in += next_e_in;
        const double critical = (static_cast<double>(u) * invalpha_) / static_cast<double>(r_);
        if (sum_e_in >= critical - TOLERANCE) {
            return SizeVerdict::pass;
        }
        if (sum_e_in + sum_e_out < critical - TOLERANCE) {
            return SizeVerdict::fail;
        }
        if (u == z.maxu) {
            break;  // the entry the literal loop subtracts last is never used
        }
        // Slot v of e_out: this size's e-value above the cut-off, the cleared
        // 0 at cut + 1 (and at slot 0), whatever earlier sizes left below.
        const std::int64_t v = z.s - u;
        if (v >= walk_cut + 2) {
            sum_e_out -= invalpha_ / stable_ceiling_cpp(family_.at(v - 1) * z.F);
        } else if (v >= 1 && v <= walk_cut) {
            if (history == nullptr) {
                return SizeVerdict::stale;
            }
            sum_e_out -= history->read(v, family_, invalpha_);
        }
    }
    return SizeVerdict::pass;
}

Interval CountSizes::exact_terms(std::int64_t a, std::int64_t b, const EvalueMap& map) const {
    double sum = 0.0;
    std::int64_t i = a;
    for (; i <= b && i < family_.pad; ++i) {
        sum += evalue(i, map);
    }
    if (i <= b) {
        // Not cut off (a > map.cut): the terms are e-values throughout.
        sum += sum_of_evalues(family_.given + (i - family_.pad), b - i + 1, map.F, invalpha_);
    }
    const double slack = static_cast<double>(b - a + 3) * ROUND * sum;
    return {sum - slack, sum + slack};
}

Interval CountSizes::reciprocal_bound(std::int64_t a, std::int64_t b, const EvalueMap& map) const {
    const double count = static_cast<double>(b - a + 1);
    // The terms never decrease along the range.
    double lo = count * evalue(a, map) * (1.0 - 4.0 * ROUND);
    double hi = count * evalue(b, map) * (1.0 + 4.0 * ROUND);
    const double r1 = sums().reciprocals(a - family_.pad, b - family_.pad);
    const double r2 = sums().squared_reciprocals(a - family_.pad, b - family_.pad);
    const double ratio = invalpha_ / map.F;
    const double up = ratio * r1 * RECIPROCAL_UP;
    const double down = ratio * r1 * RECIPROCAL_DOWN - ratio / map.F * r2 * RECIPROCAL_UP;
    if (std::isfinite(up) && up < hi) {
        hi = up;
    }
    if (std::isfinite(down) && down > lo) {
        lo = down;
    }
    return {lo, hi};
}

Interval CountSizes::evalue_sum(std::int64_t a, std::int64_t b, const EvalueMap& map, double k_exact,
                                bool* loose) const {
    a = std::max(a, map.cut + 1);
    if (a > b) {
        return {0.0, 0.0};
    }
    if (b - a + 1 <= DIRECT_TERMS) {
        return exact_terms(a, b, map);
    }
    std::int64_t known_to = a - 1;
    Interval known{0.0, 0.0};
    for (std::int64_t i = 0; i < remembered_count_; ++i) {
        const RangeSum& range = remembered_[i];
        if (range.F == map.F && range.k_exact == k_exact && range.a == a && range.b <= b) {
            if (range.b == b) {
                *loose = *loose || range.loose;
                return range.sum;
            }
            if (k_exact == ALL_EXACT && range.b > known_to) {
                known_to = range.b;
                known = range.sum;
            }
        }
    }
    bool range_loose = false;
    Interval sum{};
    if (k_exact == ALL_EXACT || a < family_.pad) {
        const Interval rest = exact_terms(known_to + 1, b, map);
        sum = {known.lo + rest.lo, known.hi + rest.hi};
    } else {
        sum = grouped_sum(a, b, map, k_exact, &range_loose);
    }
    remembered_[next_remembered_] = {map.F, k_exact, a, b, sum, range_loose};
    next_remembered_ = (next_remembered_ + 1) % REMEMBERED_SUMS;
    remembered_count_ = std::min(remembered_count_ + 1, REMEMBERED_SUMS);
    *loose = *loose || range_loose;
    return sum;
}

// Ceilings up to k_exact in groups of equal terms, from the small end, the
// rest through sums of 1/p.
Interval CountSizes::grouped_sum(std::int64_t a, std::int64_t b, const EvalueMap& map, double k_exact,
                                 bool* loose) const {
    double grouped = 0.0;
    std::int64_t groups = 0;
    std::int64_t j = b;
    while (j >= a) {
        const double k = stable_ceiling_cpp(family_.at(j) * map.F);
        if (k > k_exact) {
            break;
        }
        const std::int64_t first =
            first_true_from_top(a, j, [&](std::int64_t i) { return stable_ceiling_cpp(family_.at(i) * map.F) <= k; });
        grouped += static_cast<double>(j - first + 1) * (invalpha_ / k);
        ++groups;
        j = first - 1;
    }
    const double slack = static_cast<double>(2 * groups + 1) * ROUND * grouped;
    Interval sum{grouped - slack, grouped + slack};
    if (j >= a) {
        Interval rest{};
        if (j - a + 1 <= DIRECT_TERMS) {
            rest = exact_terms(a, j, map);
        } else {
            rest = reciprocal_bound(a, j, map);
            *loose = true;
        }
        sum.lo += rest.lo;
        sum.hi += rest.hi;
        sum.lo *= 1.0 - 4.0 * ROUND;
        sum.hi *= 1.0 + 4.0 * ROUND;
    }
    return sum;
}

Interval CountSizes::inside_sum(const EvalueMap& map, std::int64_t u, double k_exact, bool* loose) const {
    return evalue_sum(t0_, t0_ + u - 1, map, k_exact, loose);
}

Interval CountSizes::outside_sum(const EvalueMap& map, std::int64_t count, double k_exact, bool* loose) const {
    return evalue_sum(0, count - 1, map, k_exact, loose);
}

// The loop passes at its first overlap for every covered size if in(u_terms),
// a lower bound on each size's in(minu), less the rounding of a sum of up to
// s_err terms, reaches theta(u_theta), which bounds each size's threshold.
// `up_the_levels` adds the margin that certify_block_up_to needs.
bool CountSizes::first_overlap_passes(const EvalueMap& map, std::int64_t u_terms, std::int64_t u_theta,
                                      std::int64_t s_err, double k_exact, bool* loose, bool up_the_levels) const {
    const Interval in = inside_sum(map, u_terms, k_exact, loose);
    const double rounding = (1.01 * static_cast<double>(s_err) + 4.0) * ROUND;
    const double threshold = theta(u_theta);
    const double margin = up_the_levels ? 32.0 * ROUND * (std::abs(threshold) + TOLERANCE) : 0.0;
    return in.lo * (1.0 - rounding) >= threshold + margin;
}

// The overlap u0 where h is smallest, found from the sign of its increments
// e_in(u) - e_out(s_out - u - 1) - beta. Rounding can misjudge an increment
// smaller than eta in size; then h(u0) exceeds the minimum by at most
// (u_hi - u_lo) * eta, since the increments never decrease.
CountSizes::Argmin CountSizes::argmin_h(const Span& span, std::int64_t start) const {
    const auto terms = [&](std::int64_t u, double& in, double& out) {
        in = evalue(t0_ + u, span.map);
        const std::int64_t i = span.s_out - u - 1;
        out = i >= 0 ? evalue(i, span.map) : 0.0;
    };
    const auto increment_grows = [&](std::int64_t u) {
        double in = 0.0;
        double out = 0.0;
        terms(u, in, out);
        return (in - out) - beta_ >= 0.0;
    };
    std::int64_t u0 = span.u_hi;
    if (start <= span.u_lo || start >= span.u_hi) {
        u0 = (first_true(span.u_lo, span.u_hi, increment_grows));
    } else if (increment_grows(start)) {
        u0 = first_true_from_top(span.u_lo, start, increment_grows);
    } else {
        u0 = (first_true(start + 1, span.u_hi, increment_grows));
    }
    double eta = 0.0;
    for (const std::int64_t u : {u0 - 1, u0}) {
        if (u >= span.u_lo && u < span.u_hi) {
            double in = 0.0;
            double out = 0.0;
            terms(u, in, out);
            eta = std::max(eta, 4.0 * ROUND * (in + out + beta_));
        }
    }
    return {u0, eta};
}

// No size covered by the span fails at any overlap u_lo ... u_hi, and each
// passes by the time its fresh outside entries run out, so none reads a
// stale entry. With n = span.s_err, which bounds the nonzero terms each
// sum adds or removes (rounded_terms), for an overlap u with
// in(u) >= u beta (1 + 2.1 u (n + 2)) the pass test fires. Otherwise in(u)
// and out(u) stray from E_in, E_out by at most 2.03 u (n + 1) (E_in + S), S
// the initial outside sum, and theta(u)
// from u beta - TOLERANCE by 3.01 u (u beta + TOLERANCE); so the fail test
// cannot fire if h(u0) - corr exceeds -TOLERANCE by these errors at u_hi. At
// the overlap where the outside entries are used up, h = g, and the same
// bound makes the pass test fire there. `up_the_levels` adds the margin that
// certify_block_up_to needs.
bool CountSizes::span_never_fails(const Span& span, const Argmin& at, double k_exact, bool* loose,
                                  bool up_the_levels) const {
    const Interval in = inside_sum(span.map, at.u, k_exact, loose);
    const Interval out = outside_sum(span.map, span.s_out - at.u, k_exact, loose);
    const double top_beta = static_cast<double>(span.u_hi) * beta_;
    const double errors = 4.0 * ROUND * static_cast<double>(span.s_err + 2) * (2.0 * top_beta + span.outside_sum_hi) +
                          4.0 * ROUND * (top_beta + TOLERANCE) + static_cast<double>(span.u_hi - span.u_lo) * at.eta;
    const double at_beta = static_cast<double>(at.u) * beta_;
    const double lhs = in.lo + out.lo;
    const double margin = up_the_levels ? 8.0 * ROUND * (top_beta + lhs + TOLERANCE) : 0.0;
    const double rhs = at_beta - TOLERANCE + errors + margin;
    return lhs >= rhs + 8.0 * ROUND * (lhs + at_beta + TOLERANCE + errors);
}

// Size z fails: the fail test fires at u0 at the latest (in(u0) + out(u0)
// certainly below theta(u0)), and the pass test fires nowhere before, since
// g, convex, stays below -TOLERANCE with its rounding on minu ... u0 when it
// does so at both ends. u0 <= U, so no stale entry is read.
bool CountSizes::fails_at(const SizeSetup& z, const Span& span, const Argmin& at, double k_exact, bool* loose) const {
    const Interval in = inside_sum(span.map, at.u, k_exact, loose);
    const Interval out = outside_sum(span.map, z.s - at.u, k_exact, loose);
    const double sum_errors = 4.0 * ROUND * static_cast<double>(span.s_err + 2) * (in.hi + span.outside_sum_hi);
    const double total = in.hi + out.hi + sum_errors;
    if (!(total + 8.0 * ROUND * total < theta(at.u))) {
        return false;
    }
    const Interval in_first = at.u == z.minu ? in : inside_sum(span.map, z.minu, k_exact, loose);
    const double at_beta = static_cast<double>(at.u) * beta_;
    const double g_max = std::max(in_first.hi - static_cast<double>(z.minu) * beta_, in.hi - at_beta);
    const double errors =
        2.0 * ROUND * static_cast<double>(span.s_err + 2) * in.hi + 4.0 * ROUND * (at_beta + TOLERANCE);
    return g_max + TOLERANCE + errors + 8.0 * ROUND * (in.hi + at_beta + TOLERANCE) < 0.0;
}

SizeVerdict CountSizes::certify(const SizeSetup& z, std::int64_t cut, long literal_cost, std::int64_t* argmin,
                                bool expect_fail, bool with_exact_sums, bool* used_exact_sums) const {
    const EvalueMap map{z.F, cut};
    Span span{map, z.minu, last_overlap(z, walk_cut(z, cut)), z.s, rounded_terms(z, cut), 0.0};
    const Argmin at = argmin_h(span, *argmin);
    *argmin = at.u;
    for (const double k_exact : EXACT_CEILINGS) {
        // Grouping costs about COST_PER_CEILING per ceiling, exact sums about
        // the literal work (at a fraction of its time per term).
        if (k_exact == ALL_EXACT
                ? !with_exact_sums
                : k_exact > EXACT_CEILINGS[0] && static_cast<long>(k_exact) * COST_PER_CEILING > literal_cost) {
            continue;
        }
        *used_exact_sums = k_exact == ALL_EXACT;
        bool loose = false;
        span.outside_sum_hi = outside_sum(map, z.maxv, k_exact, &loose).hi;
        if (expect_fail && fails_at(z, span, at, k_exact, &loose)) {
            return SizeVerdict::fail;
        }
        if (first_overlap_passes(map, z.minu, z.minu, span.s_err, k_exact, &loose) ||
            span_never_fails(span, at, k_exact, &loose)) {
            return SizeVerdict::pass;
        }
        if (!expect_fail && fails_at(z, span, at, k_exact, &loose)) {
            return SizeVerdict::fail;
        }
        if (!loose) {
            break;  // the bounds were exact but for rounding: more groups cannot help
        }
    }
    return SizeVerdict::unknown;
}

// Sizes s1 <= s <= s2 against the e-values of s2 (no larger at any position,
// cut off at least as far) and the outside part of s1 (a subset of each
// size's): every size's in(u) + out(u) is at least that span's, at every
// overlap it has. Its first-overlap sum is at least the span's in(minu(s1)),
// its threshold at most theta(minu(s2)); its outside sum at most the e-values
// of s1 over s2's outside positions.
bool CountSizes::certify_block(const SizeSetup& z1, std::int64_t cut1, const SizeSetup& z2, std::int64_t cut2,
                               std::int64_t* argmin) const {
    const double k_exact = EXACT_CEILINGS[0];
    const EvalueMap map{z2.F, cut2};
    bool loose = false;
    const std::int64_t terms = rounded_terms(z2, cut1);
    if (first_overlap_passes(map, z1.minu, z2.minu, terms, k_exact, &loose)) {
        return true;
    }
    const EvalueMap smallest{z1.F, cut1};
    const Span span{map, z1.minu, z2.maxu, z1.s, terms, outside_sum(smallest, z2.maxv, k_exact, &loose).hi};
    const Argmin at = argmin_h(span, *argmin);
    *argmin = at.u;
    return span_never_fails(span, at, k_exact, &loose);
}

// The same certificate for every alpha' from this count's alpha (the low
// end, I = fl(1 / alpha)) up to high's (I_high), evaluated once at the low
// end. Let k = I' / I in [I_high / I, 1], at least 2/3 (checked below).
// - Terms. Every quantity of the check moves one way in alpha: at alpha' a
//   size s <= s2 has F' = fl(fl(s H_s) I') <= z2.F, so every ceiling is at
//   most the span's, and every position the span does not cut off is not cut
//   off at (s, alpha') either. So each term fl(I' / c') >= (I' / c)(1 - u)
//   >= k (1 - 2u) fl(I / c), u = 2^-53: every exact sum a size of the range
//   holds at alpha' is at least k (1 - 2u) times the span's at the low end.
// - The first overlap. in.lo (1 - rounding) bounds the span's in(minu) at the
//   low end from below, and each size's computed first sum at alpha' lies
//   above k (1 - 2u) times that, less the same rounding. The threshold is
//   fl(fl(u I') / r) - TOLERANCE <= k A (1 + 3.01u) - TOLERANCE, A = u I / r,
//   while the low end's is >= A (1 - 3.01u) - TOLERANCE (1 + u). With k <= 1
//   the TOLERANCE terms only help, and a margin of 32u (|theta| + TOLERANCE)
//   on the low end's comparison covers the rest (about 10u A; a threshold at
//   or below 0 is met by every sum).
// - The span. With beta' = fl(I' / r) <= k beta (1 + 2.01u), each size's
//   exact h'(u) >= k ((1 - 2u) E_span(u) - u beta (1 + 2.01u))
//   >= k (H - 2u max(H, 0) - 4.02u top_beta), H the span's least h at the low
//   end (h(u0) - corr). The errors at alpha' are the same expressions in
//   top_beta' <= k top_beta (1 + 2.01u) and S', the initial outside sum; their
//   4u TOLERANCE is not scaled by k, but k >= 2/3 bounds it by k 8u TOLERANCE.
//   S' <= k S with S = (I / I_high)(1 + 2.01u) times the outside sum of s1 at
//   high's alpha over s2's outside positions (its ceilings and cut-offs are
//   the smallest of every size and alpha of the range), which the span uses
//   as its outside bound. So the span's test at the low end with S and an
//   added margin of 8u (top_beta + lhs + TOLERANCE), lhs >= max(H, 0), gives
//   the test at every alpha', divided by k; a size that passes by the time
//   its fresh outside entries run out at alpha' reads no stale entry, as at
//   one alpha.
// - Counts. Built for the counts q ... r (q = threshold_count_), the
//   certificate holds for each count r' of them at sizes s <= m - r. There
//   minu = 1 and maxv = s - 1 for every such count, and the outside
//   positions 0 ... s - u - 1, their cut-offs and the fresh entries do not
//   depend on the count. Count r' reads its inside terms at positions
//   m - r' + i >= m - r + i, and the terms never decrease along the
//   positions (smaller p, smaller ceiling, cut off less), so every inside
//   sum, computed or exact, is at least count r's at the same overlap. Its
//   overlaps 1 ... min(s, r') lie within the span's 1 ... min(s2, r) (a loop
//   that ends at min(s, r') without a verdict passes, having read only
//   fresh entries before). Its thresholds fl(fl(u I') / r') and
//   beta' = fl(I' / r') are at most those with q for r' (rounding is
//   monotone), which is what theta and beta_ use. So every inequality above
//   holds for count r' with the same margins.
bool CountSizes::certify_block_up_to(const CountSizes& high, const SizeSetup& z1, const SizeSetup& z2,
                                     std::int64_t cut2, const SizeSetup& z1_high, std::int64_t cut1_high,
                                     std::int64_t* argmin) const {
    if (!(invalpha_ <= 1.5 * high.invalpha_) || (threshold_count_ < r_ && z2.s > family_.m - r_)) {
        return false;
    }
    const double k_exact = EXACT_CEILINGS[0];
    const EvalueMap map{z2.F, cut2};
    bool loose = false;
    const std::int64_t terms = rounded_terms(z2, cut1_high);
    if (first_overlap_passes(map, z1.minu, z2.minu, terms, k_exact, &loose, true)) {
        return true;
    }
    const double outside_high = high.outside_sum({z1_high.F, cut1_high}, z2.maxv, k_exact, &loose).hi;
    const double outside = (invalpha_ / high.invalpha_) * outside_high * (1.0 + 8.0 * ROUND);
    const Span span{map, z1.minu, z2.maxu, z1.s, terms, outside};
    const Argmin at = argmin_h(span, *argmin);
    *argmin = at.u;
    return span_never_fails(span, at, k_exact, &loose, true);
}

}  // namespace tarvimo::closed_by
