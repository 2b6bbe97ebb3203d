#pragma once

// The cumulative e-value profile of a family of `total` hypotheses of which
// n e-values are given, ascending; the total - n omitted hypotheses count as
// e-values of 0 placed before them. Entry i of the padded vector's running
// sum is 0.0 up to the last omitted zero and the running sum of the given
// values after it, bit for bit (0.0 + 0.0 is 0.0), so only the n + 1 sums of
// the given values are stored.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/common.hpp"

namespace tarvimo::closed_ebh {

// sums[t] = sums[t - 1] + e[t - 1] for t = 1 ... count: the running sum
// continued from sums[0], one rounding per value from left to right, the
// additions of EvalueProfile's own loop in its order. Returns the last sum.
inline double running_sums(const double* e, std::int64_t count, double* sums) {
    double sum = sums[0];
    for (std::int64_t t = 0; t < count; ++t) {
        sum = sum + e[t];
        sums[t + 1] = sum;
    }
    return sum;
}

class EvalueProfile {
public:
    // Throws std::invalid_argument unless 0 <= n <= total.
    EvalueProfile(const double* e, std::int64_t n, std::int64_t total);
    // The same profile from n + 1 running sums computed already, as
    // running_sums computes them, of n values known to be non-negative and
    // ascending: only the sums beyond SUM_LIMIT can end the ordered prefix.
    EvalueProfile(const double* e, std::int64_t n, std::int64_t total, common::DoubleArray sums);

    // The running sum of the padded vector: total + 1 entries, read like a
    // vector of running sums.
    std::size_t size() const { return static_cast<std::size_t>(total_) + 1; }
    double operator[](std::int64_t i) const { return sums_[std::max<std::int64_t>(i - zeros_, 0)]; }

    // The t-th e-value of the padded vector, 0 <= t < total.
    double value(std::int64_t t) const { return t < zeros_ ? 0.0 : e_[t - zeros_]; }

    std::int64_t total() const { return total_; }
    // The given values, ascending when ordered_prefix() covers them.
    const double* values() const { return e_; }
    std::int64_t given() const { return total_ - zeros_; }
    std::int64_t zeros() const { return zeros_; }
    // The running sums of the given values, sums()[t] = (*this)[zeros() + t].
    const double* sums() const { return sums_.get(); }

    // The values before this position are non-negative and ascending, and
    // the entries up to it are finite and at most SUM_LIMIT: the part of the
    // profile on which the searches' bounds hold.
    std::int64_t ordered_prefix() const { return ordered_prefix_; }

    // Sums of two entries below this limit cannot overflow.
    static constexpr double SUM_LIMIT = 0x1p1000;

private:
    void end_ordered_prefix_at_sum_limit(std::int64_t ordered);

    const double* e_;
    std::int64_t total_;
    std::int64_t zeros_;
    common::DoubleArray sums_;  // n + 1 running sums, left uninitialised until built
    std::int64_t ordered_prefix_;
};

}  // namespace tarvimo::closed_ebh
