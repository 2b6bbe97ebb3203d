#include "vardo.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "checked_count.hpp"
#include "closed_ebh_search.hpp"
#include "ebh_profile.hpp"
#include "mean_consistency.hpp"

namespace {

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
    SearchEveryProbe every_probe;
    return check_mean_consistency(cum_e, r, alpha, warm_i_in, warm_i_out, every_probe);
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
    check_family_size(n, total);
    // The omitted zeros come first in the scan and never qualify: their
    // products are 0 or NaN. Position t of the given values has rank n - t.
    const double apm = alpha / static_cast<double>(total);
    for (int t = 0; t < n; ++t) {
        const int rev_i = n - t;
        const double x = (static_cast<double>(rev_i) * e[t]) * apm;
        if (x >= 1.0 + TOLERANCE) {
            return rev_i;
        }
    }
    return 0;
}

int closed_ebh_count(const double* e, int n, int total, double alpha, bool approximate, const CancelFlag* cancel) {
    return closed_ebh_search(e, n, total, alpha, approximate, cancel);
}
