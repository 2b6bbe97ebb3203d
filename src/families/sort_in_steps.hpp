#pragma once

// Sorting a long range of doubles in steps that a stop request can end: the
// range is split in halves down to runs of at most SortSteps::run values,
// each run sorted by the caller's sort_run, and the halves merged back in
// pieces of SortSteps::piece values. stop() is asked before every step; when it
// returns true the sort throws SearchCancelled, and the values are lost (a
// merge holds some of them in its spare buffer). So a stop ends a sort of 10^8
// values within one step, tens of milliseconds, where a single call of a
// library sort would take seconds.
//
// The values end sorted by `less`, as one sort would leave them: a sorted
// sequence of doubles without NaN is unique up to the order of equal values
// (0.0 and -0.0), and the merges keep equal values in their order.

#include <algorithm>
#include <cstddef>

#include "common/common.hpp"

namespace tarvimo::families {

// A run of this many doubles takes a library sort some tens of milliseconds,
// and so does a merge piece of this many. The tests take smaller steps.
struct SortSteps {
    std::size_t run = std::size_t{1} << 21;    // ranges up to this long are sorted in one step
    std::size_t piece = std::size_t{1} << 21;  // values merged or copied between two checks
};

template <typename Stop>
void stop_if_asked(const Stop &stop) {
    if (stop()) {
        throw common::SearchCancelled();
    }
}

// Copies n values in pieces, asking stop() before each.
template <typename Stop>
void copy_in_steps(const double *from, std::size_t n, double *to, std::size_t piece, const Stop &stop) {
    for (std::size_t done = 0; done < n; done += piece) {
        stop_if_asked(stop);
        const std::size_t size = std::min(piece, n - done);
        std::copy(from + done, from + done + size, to + done);
    }
}

// Merges the sorted adjacent ranges [first, middle) and [middle, last) in
// place, the left one moved to `spare` (room for middle - first values)
// first. The merge writes forward from `first`: after taking i values from
// the left and j from the right it writes position i + j of the range, short
// of the right range's next unread value at (middle - first) + j as long as
// the left is not used up. Among equal values the left one comes first.
template <typename Less, typename Stop>
void merge_halves(double *first, double *middle, double *last, double *spare, const SortSteps &steps, const Less &less,
                  const Stop &stop) {
    if (middle == first || middle == last || !less(*middle, *(middle - 1))) {
        return;  // already in order
    }
    const std::size_t left = static_cast<std::size_t>(middle - first);
    copy_in_steps(first, left, spare, steps.piece, stop);
    std::size_t i = 0;
    double *right = middle;
    double *out = first;
    while (i < left && right < last) {
        stop_if_asked(stop);
        // Each value written uses up one of either side, so neither runs out within
        // this many.
        const std::size_t count = std::min({steps.piece, left - i, static_cast<std::size_t>(last - right)});
        for (std::size_t k = 0; k < count; ++k) {
            const double a = spare[i];
            const double b = *right;
            const bool take_right = less(b, a);
            *out++ = take_right ? b : a;
            i += take_right ? 0 : 1;
            right += take_right ? 1 : 0;
        }
    }
    copy_in_steps(spare + i, left - i, out, steps.piece,
                  stop);  // the right range's rest is in place already
}

template <typename SortRun, typename Less, typename Stop>
void sort_halves(double *first, double *last, double *spare, const SortSteps &steps, const SortRun &sort_run,
                 const Less &less, const Stop &stop) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n <= steps.run) {
        stop_if_asked(stop);
        sort_run(first, last);
        return;
    }
    double *middle = first + n / 2;  // the left half is the shorter: `spare` holds n / 2 values
    sort_halves(first, middle, spare, steps, sort_run, less, stop);
    sort_halves(middle, last, spare, steps, sort_run, less, stop);
    merge_halves(first, middle, last, spare, steps, less, stop);
}

// Sorts [first, last) by `less`: sort_run(run_first, run_last) sorts a run by
// `less`, stop() says whether to give up (SearchCancelled). Beyond one run it
// takes a spare buffer of half the values.
template <typename SortRun, typename Less, typename Stop>
void sort_in_steps(double *first, double *last, const SortRun &sort_run, const Less &less, const Stop &stop,
                   const SortSteps &steps = {}) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    const common::DoubleArray spare(n > steps.run ? common::allocate_doubles(n / 2) : nullptr);
    sort_halves(first, last, spare.get(), steps, sort_run, less, stop);
}

}  // namespace tarvimo::families
