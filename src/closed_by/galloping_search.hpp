#pragma once

#include <cstdint>

namespace tarvimo::closed_by {

// Searches for the point where a predicate that is false on a prefix of a
// range and true on the rest turns true, by galloping from one end (cheap
// when the point is near it) and then bisecting.
//
// Both work on observed values and so tolerate a predicate that rounding
// makes non-monotone: the result r always has pred(r) observed true (or r is
// the end of the range) and pred(r - 1) observed false (or r is its start).

// The first i in [lo, hi) with pred(i), or hi if none; gallops up from lo.
template <typename Pred>
std::int64_t first_true(std::int64_t lo, std::int64_t hi, Pred pred) {
    std::int64_t known_false = lo - 1;
    std::int64_t known_true = hi;
    for (std::int64_t step = 1;; step *= 2) {
        const std::int64_t probe = known_false + step;
        if (probe >= known_true) {
            break;
        }
        if (pred(probe)) {
            known_true = probe;
            break;
        }
        known_false = probe;
    }
    while (known_true - known_false > 1) {
        const std::int64_t mid = known_false + (known_true - known_false) / 2;
        (pred(mid) ? known_true : known_false) = mid;
    }
    return known_true;
}

// The first i in [lo, hi] with pred(i), given pred(hi); gallops down from hi.
template <typename Pred>
std::int64_t first_true_from_top(std::int64_t lo, std::int64_t hi, Pred pred) {
    std::int64_t known_false = lo - 1;
    std::int64_t known_true = hi;
    for (std::int64_t step = 1;; step *= 2) {
        const std::int64_t probe = known_true - step;
        if (probe <= known_false) {
            break;
        }
        if (!pred(probe)) {
            known_false = probe;
            break;
        }
        known_true = probe;
    }
    while (known_true - known_false > 1) {
        const std::int64_t mid = known_false + (known_true - known_false) / 2;
        (pred(mid) ? known_true : known_false) = mid;
    }
    return known_true;
}

}  // namespace tarvimo::closed_by
