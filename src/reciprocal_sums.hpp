#pragma once

#include <vector>

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
class ReciprocalSums {
public:
    static constexpr int BLOCK = 256;
    static constexpr double RELATIVE_ERROR = 2e-11;

    ReciprocalSums(const double* q, int n);

    // sum_{i=a}^{b} 1/q_i and sum_{i=a}^{b} 1/q_i^2 as computed, for
    // 0 <= a <= b < n; the exact sums lie within RELATIVE_ERROR of them.
    double reciprocals(int a, int b) const { return range(local_first_, blocks_first_, a, b); }
    double squared_reciprocals(int a, int b) const { return range(local_second_, blocks_second_, a, b); }

private:
    struct DoubleDouble {
        double hi;
        double lo;
    };
    static double range(const std::vector<double>& local, const std::vector<DoubleDouble>& blocks, int a, int b);

    std::vector<double> local_first_;   // running sums of 1/q within each block
    std::vector<double> local_second_;  // the same for 1/q^2
    std::vector<DoubleDouble> blocks_first_;   // sums of all earlier block totals
    std::vector<DoubleDouble> blocks_second_;
};
