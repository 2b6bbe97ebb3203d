#include "closed_ebh/profile.hpp"

#include <algorithm>
#include <utility>

#include "common/common.hpp"

namespace tarvimo::closed_ebh {

EvalueProfile::EvalueProfile(const double* e, std::int64_t n, std::int64_t total)
    : e_(e), total_(total), zeros_(0), ordered_prefix_(0) {
    common::require_family_size(n, total);
    zeros_ = total - n;
    sums_ = common::allocate_doubles(static_cast<std::size_t>(n) + 1);
    // The running sum in the order of the padded vector. A value that is
    // negative, NaN or below its predecessor (the omitted zeros included)
    // only raises a flag here, which costs nothing beside the sum's own
    // latency; its position is looked up afterwards.
    double sum = 0.0;
    double previous = 0.0;
    bool unordered = false;
    sums_[0] = sum;
    for (std::int64_t t = 0; t < n; ++t) {
        const double value = e[t];
        sum = sum + value;
        sums_[t + 1] = sum;
        unordered |= !(value >= previous);
        previous = value;
    }
    std::int64_t ordered = n;
    if (unordered) {
        ordered = 0;
        while (e[ordered] >= (ordered == 0 ? 0.0 : e[ordered - 1])) {
            ++ordered;
        }
    }
    end_ordered_prefix_at_sum_limit(ordered);
}

EvalueProfile::EvalueProfile(const double* e, std::int64_t n, std::int64_t total, common::DoubleArray sums)
    : e_(e), total_(total), zeros_(0), sums_(std::move(sums)), ordered_prefix_(0) {
    common::require_family_size(n, total);
    zeros_ = total - n;
    end_ordered_prefix_at_sum_limit(n);
}

// The sums of the ordered values never decrease: the first beyond
// SUM_LIMIT, if any, ends the prefix of the `ordered` values.
void EvalueProfile::end_ordered_prefix_at_sum_limit(std::int64_t ordered) {
    ordered =
        static_cast<std::int64_t>(std::upper_bound(sums_.get(), sums_.get() + ordered + 1, SUM_LIMIT) - sums_.get()) -
        1;
    ordered_prefix_ = zeros_ + ordered;
}

}  // namespace tarvimo::closed_ebh
