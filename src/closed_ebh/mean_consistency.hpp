#pragma once

// The mean-consistency check of one candidate size on a cumulative e-value
// profile, written once for every kind of profile: a vector of running sums,
// or a profile that is computed on access (see profile.hpp). Results on
// the tolerance margins depend on the exact targets evaluated and their order,
// so every caller, fast or literal, goes through this one definition.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "common/common.hpp"

namespace tarvimo::closed_ebh {

// The verdict of the check of one candidate size, with the violating pair found.
struct MeanConsistentResult {
    bool meanconsistent;    // true when no violating pair was found
    std::int64_t at_i_in;   // i_in of the violation found; -1 when consistent
    std::int64_t at_i_out;  // i_out of the violation found; -1 when consistent
};

// The one tolerance of the closed e-BH routines: a target below -TOLERANCE
// is a violation; eBH_cpp demands 1 + TOLERANCE.
constexpr double TOLERANCE = 1e-12;

// Factors up to this multiply exactly in 64 bits.
constexpr std::int64_t PAIR_COUNT_NARROW = std::int64_t{1} << 31;

// Sum of the weakest group with i_in members inside and i_out outside the
// candidate set, minus i_in * (group size) / (r * alpha). Negative means the
// group's mean e-value falls short.
// i_in (i_in + i_out) as a double, rounded once. Beyond 2^31 the exact
// product needs more than 64 bits; below it the 64-bit product is exact and
// rounds to the same double.
inline double pair_count(std::int64_t i_in, std::int64_t i_out) {
    const std::int64_t group = i_in + i_out;
    if (i_in <= PAIR_COUNT_NARROW && group <= PAIR_COUNT_NARROW) {
        return static_cast<double>(i_in * group);
    }
    __extension__ using Wide = __int128;
    return static_cast<double>(static_cast<Wide>(i_in) * group);
}

// Sum of the weakest group with i_in members inside and i_out outside the
// candidate set, minus i_in * (group size) / (r * alpha). Negative means the
// group's mean e-value falls short.
template <typename Profile>
double compute_target(const Profile& cum_e, std::int64_t i_in, std::int64_t i_out, std::int64_t set_offset,
                      double div_ra) {
    const double sum_e = (cum_e[set_offset + i_in] - cum_e[set_offset]) + cum_e[i_out];
    const double penalty = pair_count(i_in, i_out) * div_ra;
    return sum_e - penalty;
}

// Searches i_out in 0 ... set_offset for a violation with i_in members
// inside; returns the i_out at which one was found, or -1. The target is
// convex in i_out: two neighbours tell on which side the minimum lies, and
// both are tested. A warm search takes its first pair at warm_i_out.
template <typename Profile>
std::int64_t violating_i_out(const Profile& cum_e, std::int64_t i_in, std::int64_t set_offset, double div_ra, bool warm,
                             std::int64_t warm_i_out) {
    std::int64_t lo = 0;
    std::int64_t hi = set_offset;
    while (lo <= hi) {
        if (lo == hi) {
            return compute_target(cum_e, i_in, lo, set_offset, div_ra) < -TOLERANCE ? lo : -1;
        }
        const std::int64_t mid1_i_out = warm ? std::min(warm_i_out, set_offset - 1) : lo + (hi - lo) / 2;
        const double target1 = compute_target(cum_e, i_in, mid1_i_out, set_offset, div_ra);
        if (target1 < -TOLERANCE) {
            return mid1_i_out;
        }
        const std::int64_t mid2_i_out = mid1_i_out + 1;
        const double target2 = compute_target(cum_e, i_in, mid2_i_out, set_offset, div_ra);
        if (target2 < -TOLERANCE) {
            return mid2_i_out;
        }
        if (target1 > target2) {
            lo = mid2_i_out + 1;
        } else {
            hi = mid1_i_out - 1;
        }
        warm = false;
    }
    return -1;
}

// What a check may know about its probes. This policy knows nothing: the
// check probes every i_in and searches every probe.
struct SearchEveryProbe {
    // The search of probe i_in is known to find no violation.
    bool known_clean(std::int64_t /*i_in*/) const { return false; }
    // Some probe in lo ... hi may find a violation.
    bool may_violate(std::int64_t /*lo*/, std::int64_t /*hi*/) const { return true; }
};

// The check of size r: every i_in from 1 to r, probed breadth first over the
// bisection tree of 1 ... r (the first probe at the warm i_in when given),
// each searched over i_out; the first violation found is reported. `probes`
// may skip a search, or an interval, only where it knows that no violation
// would be found: the result is unchanged.
template <typename Profile, typename Probes>
MeanConsistentResult check_mean_consistency(const Profile& cum_e, std::int64_t r, double alpha, std::int64_t warm_i_in,
                                            std::int64_t warm_i_out, Probes& probes) {
    if (r == 0) {
        return {true, -1, -1};
    }
    if (r < 0) {
        throw std::invalid_argument("r must be non-negative, got " + std::to_string(r));
    }
    // m + 1 entries; m must fit an int for a vector (the literal routines),
    // the number of entries need not.
    std::int64_t m = -1;
    if constexpr (std::is_same_v<Profile, std::vector<double>>) {
        m = cum_e.empty() ? -1 : common::checked_count(cum_e.size() - 1, "cum_e after its leading 0.0");
    } else {
        m = static_cast<std::int64_t>(cum_e.size()) - 1;
    }
    const std::int64_t set_offset = m - r;
    if (set_offset < 0) {
        // More candidates than hypotheses: there is no pair to test.
        return {true, -1, -1};
    }
    const double div_ra = 1.0 / (alpha * r);
    bool warm = warm_i_in >= 0;

    common::IntervalQueue<std::int64_t> queue_i_in(1, r);
    while (!queue_i_in.empty()) {
        const auto [lo_in, hi_in] = queue_i_in.pop();
        const std::int64_t mid_i_in = warm ? std::min(warm_i_in, r) : lo_in + (hi_in - lo_in) / 2;
        if (!probes.known_clean(mid_i_in)) {
            const std::int64_t at_i_out = violating_i_out(cum_e, mid_i_in, set_offset, div_ra, warm, warm_i_out);
            if (at_i_out >= 0) {
                return {false, mid_i_in, at_i_out};
            }
        }
        // The warm start serves the first interval only, even when its
        // i_out range was a single point.
        warm = false;
        if (lo_in < mid_i_in && probes.may_violate(lo_in, mid_i_in - 1)) {
            queue_i_in.push(lo_in, mid_i_in - 1);
        }
        if (mid_i_in < hi_in && probes.may_violate(mid_i_in + 1, hi_in)) {
            queue_i_in.push(mid_i_in + 1, hi_in);
        }
    }
    return {true, -1, -1};
}

// The approximate search's bisection of the sizes min_r + 1 ... m (min_r < m):
// each probed size is checked by check(r, warm_i_in, warm_i_out), warm with
// the violation of the last check that failed; returns the largest size
// found to pass, or min_r.
template <typename Check>
std::int64_t largest_passing_by_bisection(std::int64_t min_r, std::int64_t m, Check check) {
    std::int64_t lo = min_r + 1;
    std::int64_t hi = m;
    std::int64_t best_r = min_r;
    std::int64_t warm_i_in = -1;
    std::int64_t warm_i_out = -1;
    while (lo <= hi) {
        const std::int64_t mid_r = lo + (hi - lo) / 2;
        const MeanConsistentResult mc = check(mid_r, warm_i_in, warm_i_out);
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

}  // namespace tarvimo::closed_ebh
