#include "ebh_profile.hpp"

#include <stdexcept>
#include <string>

void check_family_size(int n, int total) {
    if (n < 0 || total < n) {
        throw std::invalid_argument("the total number of hypotheses (" + std::to_string(total) +
                                    ") must be at least the number of values given (" + std::to_string(n) + ")");
    }
}

EvalueProfile::EvalueProfile(const double* e, int n, int total) : e_(e), total_(total), zeros_(0), ordered_prefix_(0) {
    check_family_size(n, total);
    zeros_ = total - n;
    sums_.reset(new double[static_cast<std::size_t>(n) + 1]);
    // The running sum in the order of the padded vector, and the first value
    // that is negative, NaN, below its predecessor (the omitted zeros
    // included) or takes the sum beyond SUM_LIMIT.
    double sum = 0.0;
    double previous = 0.0;
    int ordered = n;
    sums_[0] = sum;
    for (int t = 0; t < n; ++t) {
        const double value = e[t];
        sum = sum + value;
        sums_[t + 1] = sum;
        if (!(value >= previous && sum <= SUM_LIMIT) && ordered == n) {
            ordered = t;
        }
        previous = value;
    }
    ordered_prefix_ = zeros_ + ordered;
}
