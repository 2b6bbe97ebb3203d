#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvimo::common {

// Refuses a family of `total` hypotheses of which n values are given unless
// 0 <= n <= total.
inline void require_family_size(int n, int total) {
    if (n < 0 || total < n) {
        throw std::invalid_argument("the total number of hypotheses (" + std::to_string(total) +
                                    ") must be at least the number of values given (" + std::to_string(n) + ")");
    }
}

// The n given values after total - n copies of `pad`: a family in which only
// some values were kept, the omitted ones standing in as `pad`.
inline std::vector<double> padded_values(const double* values, int n, int total, double pad) {
    require_family_size(n, total);
    std::vector<double> padded(static_cast<std::size_t>(total), pad);
    std::copy(values, values + n, padded.begin() + (total - n));
    return padded;
}

}  // namespace tarvimo::common
