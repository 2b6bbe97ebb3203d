#pragma once

// Merging two sorted runs in segments of the output that can be merged at
// the same time: on two threads, and two segments at once on each.
//
// Why the merged values are those of one sort: the stable merge of two
// sorted runs is sorted, and a sorted sequence of doubles without NaN is the
// same sequence whatever sorts it, up to the order of equal values, which
// are the same double except 0.0 and -0.0. The segments write the stable
// merge's own output: merge_split finds the values the stable merge takes
// for its first k outputs (a[0, i) and b[0, k - i)), so outputs [k0, k1)
// are the merge of what it takes between those two points, each segment
// taking the left value among equal ones as the stable merge does.

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

// A stable merge of two sorted runs under way: the runs, how much of each
// it has taken, and where it writes (out[i + j] next).
struct MergeCursor {
    const double* a;
    std::size_t na;
    const double* b;
    std::size_t nb;
    double* out;
    std::size_t i = 0;
    std::size_t j = 0;

    // Outputs that can be written before either run can run out.
    std::size_t sure_steps() const { return std::min(na - i, nb - j); }
    // Writes the next output, the left value among equal ones, and returns it.
    double step() {
        const double x = a[i];
        const double y = b[j];
        const bool take_b = y < x;
        const double v = take_b ? y : x;
        out[i + j] = v;
        i += take_b ? 0 : 1;
        j += take_b ? 1 : 0;
        return v;
    }
};

// The cursor of outputs [k0, k1) of the stable merge of a (na values) and
// b (nb values), writing them to out[k0, k1): the stable merge takes
// exactly a[i0, i1) and b[k0 - i0, k1 - i1) for them (i = merge_split(k)),
// in the order in which a merge of those two ranges takes them.
inline MergeCursor merge_segment(const double* a, std::size_t na, const double* b, std::size_t nb, double* out,
                                 std::size_t k0, std::size_t k1) {
    const std::size_t i0 = merge_split(a, na, b, nb, k0);
    const std::size_t i1 = merge_split(a, na, b, nb, k1);
    return {a + i0, i1 - i0, b + (k0 - i0), (k1 - i1) - (k0 - i0), out + k0};
}

// Finishes a merge, passing each output value to each(position, value)
// (the position in the cursor's output) as it is written. `cancel` is
// checked every MERGE_PIECE outputs.
template <typename Each>
void finish_merge(MergeCursor& merge, const Each& each, const common::CancelFlag* cancel) {
    while (merge.sure_steps() > 0) {
        common::stop_if_cancelled(cancel);
        const std::size_t count = std::min(MERGE_PIECE, merge.sure_steps());
        for (std::size_t step = 0; step < count; ++step) {
            const std::size_t position = merge.i + merge.j;
            each(position, merge.step());
        }
    }
    // What is left of one run follows as it is.
    const bool a_left = merge.i < merge.na;
    const double* rest = a_left ? merge.a + merge.i : merge.b + merge.j;
    const std::size_t left = a_left ? merge.na - merge.i : merge.nb - merge.j;
    const std::size_t written = merge.i + merge.j;
    for (std::size_t done = 0; done < left; done += MERGE_PIECE) {
        common::stop_if_cancelled(cancel);
        const std::size_t end = std::min(left, done + MERGE_PIECE);
        for (std::size_t t = done; t < end; ++t) {
            merge.out[written + t] = rest[t];
            each(written + t, rest[t]);
        }
    }
    merge.i = merge.na;
    merge.j = merge.nb;
}

// Two merges advanced together, one output of each per step: each merge is
// a chain of dependent loads, and two chains overlap on one core. The
// first's outputs go to each_first(position, value); each merge is then
// finished alone.
template <typename Each>
void merge_pair(MergeCursor& first, MergeCursor& second, const Each& each_first, const common::CancelFlag* cancel) {
    for (;;) {
        common::stop_if_cancelled(cancel);
        const std::size_t count = std::min({MERGE_PIECE, first.sure_steps(), second.sure_steps()});
        if (count == 0) {
            break;
        }
        for (std::size_t step = 0; step < count; ++step) {
            const std::size_t position = first.i + first.j;
            each_first(position, first.step());
            second.step();
        }
    }
    finish_merge(first, each_first, cancel);
    finish_merge(second, [](std::size_t, double) {}, cancel);
}

// Merges the sorted runs a (na values) and b (nb values) into `out`,
// stably, passing each output to each(position, value).
template <typename Each>
void merge_runs(const double* a, std::size_t na, const double* b, std::size_t nb, double* out, const Each& each,
                const common::CancelFlag* cancel) {
    MergeCursor merge{a, na, b, nb, out};
    finish_merge(merge, each, cancel);
}

}  // namespace tarvimo::families
