#pragma once

namespace tarvimo::closed_by {

// Searches for the point where a predicate that is false on a prefix of a
// range and true on the rest turns true, by galloping from one end (cheap
// when the point is near it) and then bisecting.
//
// Both work on observed values and so tolerate a predicate that rounding
// makes non-monotone: the result r always has pred(r) observed true (or r is
// the end of the range) and pred(r - 1) observed false (or r is its start).

// The first i in [lo, hi) with pred(i), or hi if none; gallops up from lo.
// The bounds are wide so that hi may be one past the largest int.
template <typename Pred>
long long first_true(long long lo, long long hi, Pred pred) {
    long long known_false = lo - 1;
    long long known_true = hi;
    for (long long step = 1;; step *= 2) {
        const long long probe = known_false + step;
        if (probe >= known_true) {
            break;
        }
        if (pred(static_cast<int>(probe))) {
            known_true = probe;
            break;
        }
        known_false = probe;
    }
    while (known_true - known_false > 1) {
        const long long mid = known_false + (known_true - known_false) / 2;
        (pred(static_cast<int>(mid)) ? known_true : known_false) = mid;
    }
    return known_true;
}

// The first i in [lo, hi] with pred(i), given pred(hi); gallops down from hi.
template <typename Pred>
int first_true_from_top(int lo, int hi, Pred pred) {
    long long known_false = static_cast<long long>(lo) - 1;
    long long known_true = hi;
    for (long long step = 1;; step *= 2) {
        const long long probe = known_true - step;
        if (probe <= known_false) {
            break;
        }
        if (!pred(static_cast<int>(probe))) {
            known_false = probe;
            break;
        }
        known_true = probe;
    }
    while (known_true - known_false > 1) {
        const long long mid = known_false + (known_true - known_false) / 2;
        (pred(static_cast<int>(mid)) ? known_true : known_false) = mid;
    }
    return static_cast<int>(known_true);
}

}  // namespace tarvimo::closed_by
