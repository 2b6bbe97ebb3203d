#include "vardo.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "checked_count.hpp"
#include "interval_queue.hpp"
#include "padded_values.hpp"

namespace {

constexpr double TOLERANCE = 1e-12;

// Sum of the weakest group with i_in members inside and i_out outside the
// candidate set, minus i_in * (group size) / (r * alpha). Negative means the
// group's mean e-value falls short.
double compute_target(const std::vector<double>& cum_e, int i_in, int i_out, int set_offset, double div_ra) {
    const double sum_e = (cum_e[set_offset + i_in] - cum_e[set_offset]) + cum_e[i_out];
    const std::int64_t counts = static_cast<std::int64_t>(i_in) * (static_cast<std::int64_t>(i_in) + i_out);
    const double penalty = static_cast<double>(counts) * div_ra;
    return sum_e - penalty;
}

// Running sums of ascending e-values: the profile of every candidate size.
std::vector<double> cumulative_profile(const std::vector<double>& e) {
    std::vector<double> cum_e;
    cum_e.reserve(e.size() + 1);
    cum_e.push_back(0.0);
    for (const double value : e) {
        cum_e.push_back(cum_e.back() + value);
    }
    return cum_e;
}

}  // namespace

int eBH_cpp(const std::vector<double>& e, double alpha) {
    const int m = checked_count(e.size(), "evalues");
    const double apm = alpha / static_cast<double>(m);
    for (int i = 0; i < m; ++i) {
        const int rev_i = m - i;
        const double x = (static_cast<double>(rev_i) * e[i]) * apm;
        if (x >= 1.0 + TOLERANCE) {
            return rev_i;
        }
    }
    return 0;
}

MeanConsistentResult meanconsistent_cpp(const std::vector<double>& cum_e, int r, double alpha, int warm_i_in,
                                        int warm_i_out) {
    if (r == 0) {
        return {true, -1, -1};
    }
    if (r < 0) {
        throw std::invalid_argument("r must be non-negative, got " + std::to_string(r));
    }
    const int m = checked_count(cum_e.size(), "cum_e") - 1;
    const int set_offset = m - r;
    if (set_offset < 0) {
        // More candidates than hypotheses: there is no pair to test.
        return {true, -1, -1};
    }
    const double div_ra = 1.0 / (alpha * r);
    bool warm = warm_i_in >= 0;

    IntervalQueue queue_i_in(1, r);
    while (!queue_i_in.empty()) {
        const auto [lo_in, hi_in] = queue_i_in.pop();
        const int mid_i_in = warm ? std::min(warm_i_in, r) : lo_in + (hi_in - lo_in) / 2;

        // The target is convex in i_out: compare two neighbours to learn on
        // which side the minimum lies, testing both.
        int lo = 0;
        int hi = set_offset;
        while (lo <= hi) {
            if (lo == hi) {
                const double val = compute_target(cum_e, mid_i_in, lo, set_offset, div_ra);
                if (val < -TOLERANCE) {
                    return {false, mid_i_in, lo};
                }
                break;
            }
            const int mid1_i_out = warm ? std::min(warm_i_out, set_offset - 1) : lo + (hi - lo) / 2;
            const double target1 = compute_target(cum_e, mid_i_in, mid1_i_out, set_offset, div_ra);
            if (target1 < -TOLERANCE) {
                return {false, mid_i_in, mid1_i_out};
            }
            const int mid2_i_out = mid1_i_out + 1;
            const double target2 = compute_target(cum_e, mid_i_in, mid2_i_out, set_offset, div_ra);
            if (target2 < -TOLERANCE) {
                return {false, mid_i_in, mid2_i_out};
            }
            if (target1 > target2) {
                lo = mid2_i_out + 1;
            } else {
                hi = mid1_i_out - 1;
            }
            warm = false;
        }
        // The warm start serves the first interval only, even when its
        // i_out range was a single point.
        warm = false;

        if (lo_in < mid_i_in) {
            queue_i_in.push(lo_in, mid_i_in - 1);
        }
        if (mid_i_in < hi_in) {
            queue_i_in.push(mid_i_in + 1, hi_in);
        }
    }
    return {true, -1, -1};
}

bool meanconsistent_wrapper_cpp(const std::vector<double>& cum_e, int r, double alpha) {
    return meanconsistent_cpp(cum_e, r, alpha, -1, -1).meanconsistent;
}

int largestmeanconsistent_cpp(const std::vector<double>& e, double alpha) {
    const int m = checked_count(e.size(), "evalues");
    const std::vector<double> cum_e = cumulative_profile(e);
    int i_in = -1;
    int i_out = -1;
    for (int r = m; r >= 1; --r) {
        const MeanConsistentResult mc = meanconsistent_cpp(cum_e, r, alpha, i_in, i_out);
        if (mc.meanconsistent) {
            return r;
        }
        i_in = mc.at_i_in;
        i_out = mc.at_i_out;
    }
    return 0;
}

int largestmeanconsistent_approximate_cpp(const std::vector<double>& e, double alpha) {
    const int m = checked_count(e.size(), "evalues");
    const int min_r = eBH_cpp(e, alpha);
    if (min_r == m) {
        return m;
    }
    int lo = min_r + 1;
    int hi = m;
    const std::vector<double> cum_e = cumulative_profile(e);
    int best_r = min_r;
    int i_in = -1;
    int i_out = -1;
    while (lo <= hi) {
        const int mid_r = lo + (hi - lo) / 2;
        const MeanConsistentResult mc = meanconsistent_cpp(cum_e, mid_r, alpha, i_in, i_out);
        if (mc.meanconsistent) {
            best_r = mid_r;
            lo = mid_r + 1;
        } else {
            hi = mid_r - 1;
            i_in = mc.at_i_in;
            i_out = mc.at_i_out;
        }
    }
    return best_r;
}

int ebh_count(const double* e, int n, int total, double alpha) {
    return eBH_cpp(padded_values(e, n, total, 0.0), alpha);
}

int closed_ebh_count(const double* e, int n, int total, double alpha, bool approximate, const CancelFlag* cancel) {
    const std::vector<double> padded = padded_values(e, n, total, 0.0);
    stop_if_cancelled(cancel);
    return approximate ? largestmeanconsistent_approximate_cpp(padded, alpha) : largestmeanconsistent_cpp(padded, alpha);
}
