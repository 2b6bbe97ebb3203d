#pragma once

#include <memory>

#include "common/common.hpp"

namespace tarvimo::closed_by {

// Sums of 1/q and 1/q^2 over any range of a positive, non-increasing vector
// q, in O(1) each, with a rigorous bound on their error.
//
// Running sums restart every BLOCK values, and the block totals are summed
// in double-double. A running sum over at most BLOCK terms errs by at most
// gamma_BLOCK (about BLOCK * 2^-53) times its own value; because 1/q grows
// along the vector, the part of a block before a range start weighs at most
// BLOCK times the range's first term, so the error of any range sum is below
// 2 * BLOCK * gamma_BLOCK plus a few roundings, relative to the sum itself:
// RELATIVE_ERROR, whatever the length of q.
//
// Blocks are summed when a range first reaches them, from the end of q down
// (the certificates mostly ask about its tail, the small p-values), at least
// doubling the summed part each time; the block totals are then summed anew
// from the first summed block, so that a range sum involves no block after
// its own (whose 1/q may be huge or infinite).
class ReciprocalSums {
public:
    static constexpr int BLOCK = 256;
    static constexpr double RELATIVE_ERROR = 2e-11;

    ReciprocalSums(const double* q, int n);

    // sum_{i=a}^{b} 1/q_i and sum_{i=a}^{b} 1/q_i^2 as computed, for
    // 0 <= a <= b < n; the exact sums lie within RELATIVE_ERROR of them.
    double reciprocals(int a, int b);
    double squared_reciprocals(int a, int b);

private:
    struct DoubleDouble {
        double hi;
        double lo;
    };
    struct Sums {
        common::DoubleArray local;                // running sums within each block
        std::unique_ptr<DoubleDouble[]> earlier;  // totals of the summed blocks before block k
    };
    void sum_blocks_from(int a);
    double range(const Sums& sums, int a, int b) const;

    const double* q_;
    int n_;
    int first_block_;  // blocks first_block_ ... are summed
    Sums first_;       // of 1/q
    Sums second_;      // of 1/q^2
};

}  // namespace tarvimo::closed_by
