#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvimo::common {

// The largest number of hypotheses a family may have, the given values and
// the omitted ones together. The harmonic numbers above 2^31 - 1 are defined
// up to 2^45; positions, sizes and their products stay far from overflow.
constexpr std::int64_t LARGEST_TOTAL = 1000000000000;

// Refuses a family of `total` hypotheses of which n values are given unless
// 0 <= n <= total <= LARGEST_TOTAL.
inline void require_family_size(std::int64_t n, std::int64_t total) {
    if (n < 0 || total < n) {
        throw std::invalid_argument("the total number of hypotheses (" + std::to_string(total) +
                                    ") must be at least the number of values given (" + std::to_string(n) + ")");
    }
    if (total > LARGEST_TOTAL) {
        throw std::invalid_argument("the total number of hypotheses (" + std::to_string(total) +
                                    ") must be at most 10^12");
    }
}

// The n given values after total - n copies of `pad`: a family in which only
// some values were kept, the omitted ones standing in as `pad`. The literal
// routines that take it hold at most 2^31 - 1 values.
inline std::vector<double> padded_values(const double* values, int n, std::int64_t total, double pad) {
    require_family_size(n, total);
    if (total > std::numeric_limits<int>::max()) {
        throw std::length_error("the literal routines take at most 2147483647 values; a family of " +
                                std::to_string(total) + " hypotheses cannot be padded");
    }
    std::vector<double> padded(static_cast<std::size_t>(total), pad);
    std::copy(values, values + n, padded.begin() + (total - n));
    return padded;
}

}  // namespace tarvimo::common
