#include "closed_ebh/bounds.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "closed_ebh/mean_consistency.hpp"

namespace tarvimo::closed_ebh {

namespace {

// Widest block of rows that the bulk bound clears row by row, through the
// chord between the block's end bounds.
constexpr std::int64_t CHORD_ROWS = 64;
// Widest block of rows that, not cleared, gets each row's own bound; wider
// ones are halved. A row with no slack (at a level where a check just
// passes) then costs a few halvings instead of a bound for every row of its
// block.
constexpr std::int64_t OWN_BOUND_ROWS = 4;
// Half-width, relative to cum[s] + lambda, of the band of outside values
// around lambda within which rounding may hide the profile's convexity.
constexpr double BAND = 0x1p-49;
// Margin, relative to the magnitudes involved, that absorbs every rounding of
// a row's bound: 512 units of roundoff, where the analysis needs 9.
constexpr double PROOF_MARGIN = 0x1p-44;
// Smallest 1 / (alpha r) for which the bounds' products stay normal.
constexpr double MIN_DIV_RA = 0x1p-900;
// Blocks pending at once in the bulk bound: one per halving of at most 2^63 rows, and the next.
constexpr std::size_t BLOCK_STACK = 65;
// Values a band search reads one after the other before it bisects.
constexpr std::int64_t NEAR_PROBES = 64;
// Keys the samples' index may hold, at least: a short profile's index
// still resolves its values finely.
constexpr std::int64_t MIN_KEYS = 64;
// Rounds of tightening the start of the approximate search's eBH scan.
constexpr std::int64_t EBH_SKIP_ROUNDS = 8;

std::uint64_t bits_of(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// The first t in [lo, hi) with pred(t), or hi; pred is false, then true,
// over [lo, hi). An answer expected near lo is looked for first by a short
// scan, whose reads are sequential; the others are found by bisection.
template <typename Pred>
std::int64_t first_true_in(std::int64_t lo, std::int64_t hi, Pred pred, bool near_lo) {
    for (const std::int64_t near_end = near_lo ? std::min(hi, lo + NEAR_PROBES) : lo; lo < near_end; ++lo) {
        if (pred(lo)) {
            return lo;
        }
    }
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (pred(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

// Lower bound of H(lambda) = min over j in 0 ... s of cum[j] - lambda j, the
// part of a row's targets that depends on i_out, for lambda = i_in / (r alpha).
// Each entry cum[t + 1] lies within u cum[s] of cum[t] + e_t (u the unit
// roundoff), so cum[j] - lambda j falls over every value e_t <= lambda - u cum[s]
// and rises over every e_t >= lambda + u cum[s]. The outside values ascend:
// the minimum lies between j_low, the number below the band, and j_high, the
// first above it, and is at least cum[j_low] - lambda j_high.
struct OutsideMinimum {
    std::int64_t j_low;
    std::int64_t j_high;
    double bound;      // within 4 u `magnitude` of that real bound
    double magnitude;  // cum[s] + lambda s
};

// The band is widened to 16 u (cum[s] + lambda) to cover the rounding of
// lambda and of the thresholds. The bounds of a smaller and of a larger
// lambda, when given, narrow the searches; each narrowing is checked, so
// that the result does not depend on the hints. `near_below`: the answer is
// expected close to the smaller lambda's. Both searches are for the first
// value past a threshold on ascending values (the ordered prefix): one
// answer, found with or without `samples`.
OutsideMinimum outside_minimum(const EvalueProfile& profile, const ValueSamples* samples, std::int64_t set_offset,
                               double lambda, const OutsideMinimum* below, const OutsideMinimum* above,
                               bool near_below) {
    const double cum_s = profile[set_offset];
    const double band = (cum_s + lambda) * BAND;
    const double low = lambda - band;
    const double high = lambda + band;
    const auto above_low = [&](double value) { return !(value <= low); };
    const auto in_high = [&](double value) { return value >= high; };
    // [from, to] holds the first t where `pred` holds (to == s: maybe none).
    // With samples, only a search near `from` takes a hint, and only its
    // start (a value next to it): the key index narrows the others, with no
    // hint read at a far position.
    const auto search = [&](auto pred, double threshold, std::int64_t from, std::int64_t to, bool near) {
        if (samples != nullptr && !near) {
            return first_value_where(profile, *samples, 0, set_offset, threshold, pred);
        }
        from = std::clamp<std::int64_t>(from, 0, set_offset);
        if (from > 0 && pred(profile.value(from - 1))) {
            from = 0;
        }
        const auto at = [&](std::int64_t t) { return pred(profile.value(t)); };
        if (samples != nullptr) {
            const std::int64_t near_end = std::min(set_offset, from + NEAR_PROBES);
            from = first_true_in(from, near_end, at, true);
            return from < near_end ? from : first_value_where(profile, *samples, from, set_offset, threshold, pred);
        }
        to = std::clamp(to, from, set_offset);
        if (to < set_offset && !pred(profile.value(to))) {
            to = set_offset;
        }
        return first_true_in(from, to, at, near);
    };
    const std::int64_t j_low = search(above_low, low, below != nullptr ? below->j_low : 0,
                                      above != nullptr ? above->j_low : set_offset, near_below);
    // The band is a few units of roundoff wide: the first value above it is
    // nearly always at j_low or just after it.
    const double cum_low = profile[j_low];  // loaded while j_high is searched
    const std::int64_t j_high = search(in_high, high, std::max(j_low, below != nullptr ? below->j_high : 0),
                                       above != nullptr ? above->j_high : set_offset, true);
    return {j_low, j_high, cum_low - lambda * j_high, cum_s + lambda * set_offset};
}

// Whether every row i1 ... i2 satisfies value >= margin, where value is the
// row's bound through the chord (left at i1, slope per row) and margin is
// PROOF_MARGIN (|a| + k) with k covering the row's other magnitudes. Reads
// the sign bits of value - margin, which the compiler vectorises:
// fl(x - y) >= +0 exactly when x >= y; the only NaN comes from a = +inf or
// NaN, rows whose targets are all +inf or NaN, never a violation.
bool chord_clears(const double* sums, double cum_s, std::int64_t i1, std::int64_t i2, double div_ra, double left,
                  double slope, double k) {
    std::uint64_t signs = 0;
    // Row numbers as doubles counted up (exact below 2^53), which the
    // compiler can vectorise, unlike conversions from 64-bit integers.
    const double first = static_cast<double>(i1);
    const std::int64_t rows = i2 - i1;
    for (std::int64_t t = 0; t <= rows; ++t) {
        const double step = static_cast<double>(static_cast<std::int32_t>(t));
        const double i = first + step;
        const double a = sums[i1 + t] - cum_s;
        const double value = (a - i * i * div_ra) + (left + step * slope);
        const double slack = value - (std::fabs(a) + k) * PROOF_MARGIN;
        std::uint64_t bits;
        std::memcpy(&bits, &slack, sizeof bits);
        signs |= bits;
    }
    return (signs >> 63) == 0;
}

// Whether every row of the block i1 < i2 clears its margin, the inside
// values of the block ordered: its sums a rise by at least v1 = e[s + i1]
// and at most v2 = e[s + i2 - 1] per row (up to a rounding of cum per row,
// which the margin covers), so a is at least a1 + (i - i1) v1 and at least
// a2 - (i2 - i) v2. With the chord of H, either line gives a row bound
// concave in i (the penalty is -i^2 div_ra): taking the first line up to a
// split row p and the second after it, the bound's minimum over the block is
// at i1, p, p + 1 or i2, whatever p is. p is put where the lines cross.
bool block_clears(const double* sums, double cum_s, std::int64_t i1, std::int64_t i2, double v1, double v2,
                  double div_ra, double left, double right, double k) {
    const double a1 = sums[i1] - cum_s;
    const double a2 = sums[i2] - cum_s;
    const double rows = i2 - i1;
    const double slope = (right - left) / rows;
    const double crossing = (a1 + rows * v2 - a2) / (v2 - v1);  // rows past i1; NaN or inf when v1 = v2
    const std::int64_t p = i1 + static_cast<std::int64_t>(crossing >= 0.0 ? std::min(crossing, rows - 1.0) : 0.0);
    const auto bound = [&](std::int64_t i_in, double a) {
        const double i = i_in;
        return (a - i * i * div_ra) + (left + static_cast<double>(i_in - i1) * slope);
    };
    const double margin = (std::fabs(a1) + rows * (v2 + sums[i2]) + k) * PROOF_MARGIN;
    return bound(i1, a1) >= margin && bound(p, a1 + static_cast<double>(p - i1) * v1) >= margin &&
           bound(p + 1, a2 - static_cast<double>(i2 - p - 1) * v2) >= margin && bound(i2, a2) >= margin;
}

}  // namespace

bool rows_can_be_bounded(const EvalueProfile& profile, std::int64_t r, double div_ra) {
    const std::int64_t m = profile.total();
    return r <= profile.given() && m - r <= profile.ordered_prefix() && div_ra >= MIN_DIV_RA &&
           (static_cast<double>(r) * static_cast<double>(m)) * div_ra <= EvalueProfile::SUM_LIMIT;
}

ValueSamples::ValueSamples(const EvalueProfile& profile) {
    const std::int64_t count = (profile.ordered_prefix() + STRIDE - 1) / STRIDE;
    samples_.resize(static_cast<std::size_t>(count));
    for (std::int64_t k = 0; k < count; ++k) {
        samples_[static_cast<std::size_t>(k)] = profile.value(k * STRIDE);
    }
    const auto positive = std::upper_bound(samples_.begin(), samples_.end(), 0.0);
    if (positive == samples_.end()) {
        return;
    }
    const std::uint64_t low_bits = bits_of(*positive);
    const std::uint64_t high_bits = bits_of(samples_.back());
    const std::uint64_t most_keys = static_cast<std::uint64_t>(std::max<std::int64_t>(count, MIN_KEYS));
    while ((high_bits >> key_shift_) - (low_bits >> key_shift_) + 2 > most_keys) {
        ++key_shift_;
    }
    key_low_ = low_bits >> key_shift_;
    const std::uint64_t keys = (high_bits >> key_shift_) - key_low_ + 2;
    first_with_key_.resize(static_cast<std::size_t>(keys));
    std::int64_t k = 0;
    for (std::uint64_t j = 0; j < keys; ++j) {
        while (k < count && key(samples_[static_cast<std::size_t>(k)]) < key_low_ + j) {
            ++k;
        }
        first_with_key_[static_cast<std::size_t>(j)] = k;
    }
}

// -0.0, which the ordered prefix may hold, has the key of +0.0.
std::uint64_t ValueSamples::key(double x) const { return bits_of(std::fabs(x)) >> key_shift_; }

ValueSamples::Bracket ValueSamples::bracket(double y) const {
    if (!(y > 0.0) || first_with_key_.empty()) {
        return {0, size()};
    }
    const std::uint64_t k = key(y);
    if (k < key_low_) {
        return {0, first_with_key_.front()};
    }
    if (k - key_low_ + 1 >= first_with_key_.size()) {
        return {size(), size()};
    }
    return {first_with_key_[static_cast<std::size_t>(k - key_low_)],
            first_with_key_[static_cast<std::size_t>(k - key_low_ + 1)]};
}

std::vector<std::int64_t> rows_left_by_bounds(const EvalueProfile& profile, std::int64_t r, double div_ra,
                                              const ValueSamples* samples, std::int64_t tight_row) {
    return *rows_left_by_bounds_at_most(profile, r, div_ra, samples, tight_row,
                                        std::numeric_limits<std::int64_t>::max());
}

std::optional<std::vector<std::int64_t>> rows_left_by_bounds_at_most(const EvalueProfile& profile, std::int64_t r,
                                                                     double div_ra, const ValueSamples* samples,
                                                                     std::int64_t tight_row, std::int64_t most_left) {
    const std::int64_t set_offset = profile.total() - r;
    const double* sums = profile.sums() + (set_offset - profile.zeros());  // sums[i] = cum[s + i]
    const double cum_s = sums[0];
    const double offset = set_offset;
    const std::int64_t ordered_rows = profile.ordered_prefix() - set_offset;
    const auto penalty = [&](std::int64_t i_in) { return static_cast<double>(i_in) * (i_in + offset) * div_ra; };
    const auto bound_at = [&](std::int64_t i_in, const OutsideMinimum* below, const OutsideMinimum* above,
                              bool near_below) {
        return outside_minimum(profile, samples, set_offset, i_in * div_ra, below, above, near_below);
    };

    // The pending blocks are consecutive, taken from the left: their ends
    // form a stack, the leftmost end on top, each with its outside minimum,
    // and the block on top runs from the top end to the one below it. The
    // stack holds one end per halving pending and the first block's two.
    struct End {
        std::int64_t row;
        OutsideMinimum minimum;
    };
    std::vector<std::int64_t> left_rows;
    std::int64_t others_left = 0;  // rows left but tight_row
    const OutsideMinimum first = bound_at(1, nullptr, nullptr, false);
    std::array<End, BLOCK_STACK + 1> ends;
    std::size_t pending = 0;
    ends[pending++] = {r, r == 1 ? first : bound_at(r, &first, nullptr, false)};
    ends[pending++] = {1, first};
    std::int64_t next_row = 1;  // rows below it are decided; block ends are shared
    while (pending > 1) {
        const std::int64_t i1 = ends[pending - 1].row;
        const std::int64_t i2 = ends[pending - 2].row;
        const OutsideMinimum& left = ends[pending - 1].minimum;
        const OutsideMinimum& right = ends[pending - 2].minimum;
        const double magnitudes = std::fabs(left.bound) + std::fabs(right.bound) + left.magnitude + right.magnitude;
        const double k = penalty(i2) + cum_s + magnitudes;  // the block's magnitudes but a
        const double slope = (right.bound - left.bound) / static_cast<double>(std::max<std::int64_t>(i2 - i1, 1));
        const bool holds_tight = i1 <= tight_row && tight_row <= i2;
        if (!holds_tight &&
            ((i1 < i2 && i2 <= ordered_rows &&
              block_clears(sums, cum_s, i1, i2, profile.value(set_offset + i1), profile.value(set_offset + i2 - 1),
                           div_ra, left.bound, right.bound, k)) ||
             (i2 - i1 <= CHORD_ROWS && chord_clears(sums, cum_s, i1, i2, div_ra, left.bound, slope, k)))) {
            next_row = i2 + 1;
            --pending;
            continue;
        }
        if (i2 - i1 <= OWN_BOUND_ROWS) {
            // Each row's own bound, found near the previous row's.
            OutsideMinimum previous = left;
            for (std::int64_t i_in = std::max(i1, next_row); i_in <= i2; ++i_in) {
                if (i_in == tight_row) {
                    left_rows.push_back(i_in);
                    continue;
                }
                previous = bound_at(i_in, &previous, &right, true);
                const double i = i_in;
                const double a = sums[i_in] - cum_s;
                const double own_magnitudes = std::fabs(previous.bound) + previous.magnitude;
                if (!((a - i * i * div_ra) + previous.bound >=
                      (std::fabs(a) + penalty(i_in) + cum_s + own_magnitudes) * PROOF_MARGIN)) {
                    if (++others_left > most_left) {
                        return std::nullopt;
                    }
                    left_rows.push_back(i_in);
                }
            }
            next_row = i2 + 1;
            --pending;
            continue;
        }
        const std::int64_t mid = i1 + (i2 - i1) / 2;
        const End left_end = ends[pending - 1];
        ends[pending - 1] = {mid, bound_at(mid, &left_end.minimum, &right, false)};
        ends[pending++] = left_end;
    }
    return left_rows;
}

bool row_clears_near(const EvalueProfile& profile, std::int64_t r, double div_ra, std::int64_t i_in, std::int64_t from,
                     int most_targets) {
    const std::int64_t set_offset = profile.total() - r;
    const double cum_s = profile[set_offset];
    const double a = profile[set_offset + i_in] - cum_s;
    if (!(std::fabs(a) <= EvalueProfile::SUM_LIMIT)) {
        return false;
    }
    // fl(i_in d) is within u of i_in d, and shift = 2 u c[s] exactly.
    const double lambda = static_cast<double>(i_in) * div_ra;
    const double shift = cum_s * 0x1p-52;
    const double rising = (lambda + shift) * (1.0 + 0x1p-50);  // at least i_in d + u c[s]
    const double falling = lambda * (1.0 - 0x1p-50) - shift;   // at most i_in d - u c[s]
    const double margin = ((std::fabs(a) + cum_s) + pair_count(i_in, set_offset) * div_ra) * 0x1p-49;
    const auto clears_by_margin = [&](double target) { return target + TOLERANCE >= margin; };
    int targets = 0;
    const auto target_passes = [&](std::int64_t j, double& target) {
        ++targets;
        target = compute_target(profile, i_in, j, set_offset, div_ra);
        return !(target < -TOLERANCE);
    };
    const std::int64_t start = std::clamp<std::int64_t>(from, 0, set_offset);
    for (std::int64_t j = start;; ++j) {
        double target = 0.0;
        if (targets == most_targets || !target_passes(j, target)) {
            return false;
        }
        if (j == set_offset || (clears_by_margin(target) && profile.value(j) >= rising)) {
            break;
        }
    }
    for (std::int64_t j = start - 1; j >= 0; --j) {
        double target = 0.0;
        if (targets == most_targets || !target_passes(j, target)) {
            return false;
        }
        if (j == 0 || (clears_by_margin(target) && profile.value(j - 1) <= falling)) {
            break;
        }
    }
    return true;
}

FailingRun failing_run(const EvalueProfile& profile, double alpha, std::int64_t r, std::int64_t warm_i_in,
                       std::int64_t warm_i_out, std::int64_t length) {
    const std::int64_t m = profile.total();
    const std::int64_t bottom = m - r;
    const double div_ra = 1.0 / (alpha * r);
    std::int64_t r_lo;
    std::int64_t top;
    double i_in_counts;
    if (r > warm_i_in) {
        r_lo = std::max<std::int64_t>({r - length + 1, warm_i_in, 1});
        top = m - r_lo + warm_i_in;
        i_in_counts = pair_count(warm_i_in, warm_i_out);
    } else {
        r_lo = std::max<std::int64_t>(r - length + 1, 1);
        top = m;
        i_in_counts = pair_count(r_lo, warm_i_out);
    }
    if (top > profile.ordered_prefix()) {
        return {false, r_lo, 0.0};
    }
    const double sum_e = (profile[top] - profile[bottom]) + profile[warm_i_out];
    return {true, r_lo, sum_e - i_in_counts * div_ra};
}

std::int64_t below_ebh_threshold(const EvalueProfile& profile, double alpha) {
    const std::int64_t n = profile.given();
    const double apm = alpha / static_cast<double>(profile.total());
    if (!(apm >= 0.0)) {
        return 0;
    }
    const std::int64_t ordered = std::max<std::int64_t>(profile.ordered_prefix() - profile.zeros(), 0);
    std::int64_t start = 0;
    for (std::int64_t round = 0; round < EBH_SKIP_ROUNDS; ++round) {
        const double rank = n - start;
        const std::int64_t next = first_true_in(
            start, ordered,
            [&](std::int64_t t) { return (rank * profile.value(profile.zeros() + t)) * apm >= 1.0 + TOLERANCE; },
            false);
        if (next == start) {
            break;
        }
        start = next;
    }
    return start;
}

}  // namespace tarvimo::closed_ebh
