#include "closed_ebh/vardo.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "closed_ebh/mean_consistency.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_ebh {

namespace {

constexpr int EBH_BLOCK = 64;

// Whether the products (rank - k) e[k] apm of the `count` values from e on
// are all below the threshold, read from the sign bits of product - threshold
// (fl(x - y) < 0 exactly when x < y), which the compiler vectorises. A NaN
// product may read either way; its block is then scanned one by one.
bool all_below(const double* e, int count, int rank, double apm, double threshold) {
    std::uint64_t signs = ~std::uint64_t{0};
    for (int k = 0; k < count; ++k) {
        const double difference = (static_cast<double>(rank - k) * e[k]) * apm - threshold;
        std::uint64_t bits;
        std::memcpy(&bits, &difference, sizeof bits);
        signs &= bits;
    }
    return (signs >> 63) != 0;
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
    const int m = common::checked_count(e.size(), "evalues");
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
    const int m = common::checked_count(e.size(), "evalues");
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
    const int m = common::checked_count(e.size(), "evalues");
    const int min_r = eBH_cpp(e, alpha);
    if (min_r == m) {
        return m;
    }
    const std::vector<double> cum_e = cumulative_profile(e);
    return largest_passing_by_bisection(min_r, m, [&](int r, int warm_i_in, int warm_i_out) {
        return meanconsistent_cpp(cum_e, r, alpha, warm_i_in, warm_i_out);
    });
}

std::int64_t ebh_count(const double* e, int n, std::int64_t total, double alpha) {
    common::require_family_size(n, total);
    // The omitted zeros come first in the scan and never qualify: their
    // products are 0 or NaN. Position t of the given values has rank n - t.
    // Blocks in which every product is below the threshold are passed over;
    // the others are scanned one by one.
    const double apm = alpha / static_cast<double>(total);
    const double threshold = 1.0 + TOLERANCE;
    for (int t = 0; t < n; t += EBH_BLOCK) {
        const int end = std::min(t + EBH_BLOCK, n);
        if (all_below(e + t, end - t, n - t, apm, threshold)) {
            continue;
        }
        for (int u = t; u < end; ++u) {
            const int rev_i = n - u;
            const double x = (static_cast<double>(rev_i) * e[u]) * apm;
            if (x >= threshold) {
                return rev_i;
            }
        }
    }
    return 0;
}

std::int64_t candidate_ebh_count(const double* ascending, int n, std::int64_t total, double alpha) {
    const double* first =
        std::partition_point(ascending, ascending + n, [alpha](double e) { return !is_evalue_candidate(e, alpha); });
    return ebh_count(first, static_cast<int>(ascending + n - first), total, alpha);
}

}  // namespace tarvimo::closed_ebh
