#pragma once

// The rejection mask of one family from its values in input order: the
// present values gathered, counted (methods.hpp), and the strongest marked,
// ties in input order. The loops over contiguous values compare four doubles
// at a time where the processor has AVX2.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/common.hpp"
#include "families/methods.hpp"
#include "families/needed.hpp"

namespace tarvimo::families {

// out[j] = whether in[j] is stronger than the threshold, for j < n; returns
// whether some in[j] equals it. NaN compares false: never marked.
TARVIMO_AVX2_CLONE inline bool mark_stronger(const double* in, bool* out, std::int64_t n, double threshold,
                                             bool larger_is_stronger) {
    int tied = 0;
    if (larger_is_stronger) {
        for (std::int64_t j = 0; j < n; ++j) {
            out[j] = in[j] > threshold;
            tied |= in[j] == threshold;
        }
    } else {
        for (std::int64_t j = 0; j < n; ++j) {
            out[j] = in[j] < threshold;
            tied |= in[j] == threshold;
        }
    }
    return tied != 0;
}

// Entries the mask is written for at a time, in mark_strongest.
constexpr std::int64_t MARK_BLOCK = 256;

// The mask of the `count` strongest present values: every value stronger
// than the count-th strongest, then values equal to it from the start of the
// family until the count is reached. `arranged` holds the present values with
// the `count` strongest last, those equal to the count-th strongest first
// among them (sorted, or as the ranked step-up count leaves them). Block by block,
// mark_block(start, end) marks the stronger values and tells whether the
// block holds a value equal to the threshold; only such a block is read
// again, through value(j), to reject its ties in order. `cancel` is checked
// every STOP_CHECK_VALUES entries.
template <typename Value, typename Reject, typename MarkBlock>
void mark_strongest_by_blocks(std::int64_t n, const Value& value, const Reject& reject, const MarkBlock& mark_block,
                              const double* arranged, std::size_t size, int count, const common::CancelFlag* cancel) {
    if (count == 0) {
        for (std::int64_t j = 0; j < n; ++j) {
            if (j % STOP_CHECK_VALUES == 0) {
                common::stop_if_cancelled(cancel);
            }
            reject(j, false);
        }
        return;
    }
    const std::size_t first = size - static_cast<std::size_t>(count);
    const double threshold = arranged[first];
    // The rejected tail holds the values equal to the threshold first.
    int ties_left = 0;
    for (std::size_t j = first; j < size && arranged[j] == threshold; ++j) {
        ++ties_left;
    }
    for (std::int64_t start = 0; start < n; start += MARK_BLOCK) {
        if (start % STOP_CHECK_VALUES == 0) {
            common::stop_if_cancelled(cancel);
        }
        const std::int64_t end = std::min(n, start + MARK_BLOCK);
        const bool tied = mark_block(start, end, threshold);
        for (std::int64_t j = start; tied && ties_left > 0 && j < end; ++j) {
            if (value(j) == threshold) {
                reject(j, true);
                --ties_left;
            }
        }
    }
}

// mark_strongest_by_blocks for n entries read through value(j), the mask
// written through reject(j, bool).
template <typename Value, typename Reject>
void mark_strongest(std::int64_t n, const Value& value, const Reject& reject, const std::vector<double>& arranged,
                    int count, bool larger_is_stronger, const common::CancelFlag* cancel = nullptr) {
    const auto mark_block = [&](std::int64_t start, std::int64_t end, double threshold) {
        bool tied = false;
        for (std::int64_t j = start; j < end; ++j) {
            const double v = value(j);
            reject(j, larger_is_stronger ? v > threshold : v < threshold);
            tied |= v == threshold;
        }
        return tied;
    };
    mark_strongest_by_blocks(n, value, reject, mark_block, arranged.data(), arranged.size(), count, cancel);
}

// The same for n contiguous values and mask entries, with vector
// comparisons; the arranged values are the `size` at `arranged`.
inline void mark_strongest(const double* in, bool* out, std::int64_t n, const double* arranged, std::size_t size,
                           int count, bool larger_is_stronger, const common::CancelFlag* cancel = nullptr) {
    const auto mark_block = [&](std::int64_t start, std::int64_t end, double threshold) {
        return mark_stronger(in + start, out + start, end - start, threshold, larger_is_stronger);
    };
    mark_strongest_by_blocks(
        n, [in](std::int64_t j) { return in[j]; }, [out](std::int64_t j, bool rejected) { out[j] = rejected; },
        mark_block, arranged, size, count, cancel);
}

inline void mark_strongest(const double* in, bool* out, std::int64_t n, const std::vector<double>& arranged, int count,
                           bool larger_is_stronger, const common::CancelFlag* cancel = nullptr) {
    mark_strongest(in, out, n, arranged.data(), arranged.size(), count, larger_is_stronger, cancel);
}

// Decides one family of n entries read through value(j), writing its mask
// through reject(j, bool); the family has `total` hypotheses (the omitted
// ones as p = 1 or e = 0), by default its present values. `scratch` is
// working storage kept between families, which holds only the values the
// count reads (gather_needed); sort(first, last, descending, cancel) sorts
// a range.
template <typename Value, typename Reject, typename Sort>
void decide_family(const Method& method, double alpha, std::int64_t n, std::optional<std::int64_t> total,
                   const Value& value, const Reject& reject, std::vector<double>& scratch,
                   const common::CancelFlag* cancel, const Sort& sort) {
    const std::int64_t family_total = gather_needed(method, alpha, n, total, value, scratch, cancel, "a family");
    const int count = rejection_count(method, alpha, family_total, scratch, false, cancel, sort);
    mark_strongest(n, value, reject, scratch, count, method.evidence == Evidence::evalues, cancel);
}

}  // namespace tarvimo::families
