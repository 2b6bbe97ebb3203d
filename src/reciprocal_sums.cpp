#include "reciprocal_sums.hpp"

#include <cstddef>

namespace {

// a + b = s + e exactly (Knuth's TwoSum).
void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

}  // namespace

ReciprocalSums::ReciprocalSums(const double* q, int n)
    : local_first_(static_cast<std::size_t>(n)),
      local_second_(static_cast<std::size_t>(n)),
      blocks_first_(static_cast<std::size_t>(n / BLOCK + 2), DoubleDouble{0.0, 0.0}),
      blocks_second_(static_cast<std::size_t>(n / BLOCK + 2), DoubleDouble{0.0, 0.0}) {
    double first = 0.0;
    double second = 0.0;
    for (int i = 0; i < n; ++i) {
        if (i % BLOCK == 0) {
            first = 0.0;
            second = 0.0;
        }
        const double w = 1.0 / q[i];
        first += w;
        second += w * w;
        local_first_[i] = first;
        local_second_[i] = second;
        if (i % BLOCK == BLOCK - 1 || i == n - 1) {
            // blocks[k + 1] = blocks[k] + total of block k, in double-double.
            const int k = i / BLOCK;
            for (auto [blocks, total] : {std::pair{&blocks_first_, first}, std::pair{&blocks_second_, second}}) {
                const DoubleDouble before = (*blocks)[k];
                double s = 0.0;
                double e = 0.0;
                two_sum(before.hi, total, s, e);
                e += before.lo;
                const double hi = s + e;
                (*blocks)[k + 1] = {hi, e - (hi - s)};
            }
        }
    }
}

double ReciprocalSums::range(const std::vector<double>& local, const std::vector<DoubleDouble>& blocks, int a,
                             int b) {
    const int ka = a / BLOCK;
    const int kb = b / BLOCK;
    const double before = a % BLOCK != 0 ? local[a - 1] : 0.0;
    if (ka == kb) {
        return local[b] - before;
    }
    const double first_part = local[(ka + 1) * BLOCK - 1] - before;
    double s = 0.0;
    double e = 0.0;
    two_sum(blocks[kb].hi, -blocks[ka + 1].hi, s, e);
    const double middle = s + (e + (blocks[kb].lo - blocks[ka + 1].lo));
    return first_part + middle + local[b];
}
