#pragma once

// A large family's values sorted in two parts at once and merged on two
// threads, each merging half of the output.
//
// Why the merged values are those of one sort: the stable merge of two
// sorted runs is sorted, and a sorted sequence of doubles without NaN is the
// same sequence whatever sorts it, up to the order of equal values, which
// are the same double except 0.0 and -0.0. The two threads write the stable
// merge's own output: merge_split finds the values the stable merge takes
// for its first k outputs (a[0, i) and b[0, k - i)), so the first thread
// merges those and the second the rest, each taking the left value among
// equal ones as the stable merge does.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/common.hpp"

namespace tarvimo::families {

// Outputs a merge writes between two checks of its stop request.
constexpr std::size_t MERGE_PIECE = std::size_t{1} << 18;

// The number i of values the stable merge of the sorted runs a (na values)
// and b (nb values) takes from a for its first k outputs, k <= na + nb: the
// smallest i in range whose a[i] is not taken before b[k - i - 1], i.e. not
// a[i] <= b[k - i - 1].
inline std::size_t merge_split(const double* a, std::size_t na, const double* b, std::size_t nb, std::size_t k) {
    std::size_t low = k > nb ? k - nb : 0;
    std::size_t high = std::min(k, na);
    while (low < high) {
        const std::size_t i = low + (high - low) / 2;
        if (a[i] <= b[k - i - 1]) {
            low = i + 1;
        } else {
            high = i;
        }
    }
    return low;
}

// Merges the sorted runs a (na values) and b (nb values) into `out`,
// stably: among equal values a's come first. Each output value is also
// passed to each(position, value) as it is written. `cancel` is checked
// every MERGE_PIECE outputs.
template <typename Each>
void merge_runs(const double* a, std::size_t na, const double* b, std::size_t nb, double* out, const Each& each,
                const common::CancelFlag* cancel) {
    std::size_t i = 0;
    std::size_t j = 0;
    std::size_t o = 0;
    while (i < na && j < nb) {
        common::stop_if_cancelled(cancel);
        // Each output uses up a value of one side, so neither runs out within this many.
        const std::size_t count = std::min({MERGE_PIECE, na - i, nb - j});
        for (std::size_t step = 0; step < count; ++step, ++o) {
            const double x = a[i];
            const double y = b[j];
            const bool take_b = y < x;
            const double v = take_b ? y : x;
            out[o] = v;
            each(o, v);
            i += take_b ? 0 : 1;
            j += take_b ? 1 : 0;
        }
    }
    // What is left of one run follows as it is.
    const double* rest = i < na ? a + i : b + j;
    const std::size_t left = na + nb - o;
    for (std::size_t done = 0; done < left; done += MERGE_PIECE) {
        common::stop_if_cancelled(cancel);
        const std::size_t end = std::min(left, done + MERGE_PIECE);
        for (std::size_t t = done; t < end; ++t, ++o) {
            out[o] = rest[t];
            each(o, rest[t]);
        }
    }
}

}  // namespace tarvimo::families
