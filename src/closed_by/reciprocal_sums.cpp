#include "closed_by/reciprocal_sums.hpp"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <utility>

namespace tarvimo::closed_by {

namespace {

// a + b = s + e exactly (Knuth's TwoSum).
void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

int block_count(int n) { return (n + ReciprocalSums::BLOCK - 1) / ReciprocalSums::BLOCK; }

}  // namespace

ReciprocalSums::ReciprocalSums(const double* q, int n) : q_(q), n_(n), first_block_(block_count(n)) {
    for (Sums* sums : {&first_, &second_}) {
        sums->local = common::allocate_doubles(static_cast<std::size_t>(n));
        sums->earlier.reset(new DoubleDouble[static_cast<std::size_t>(block_count(n)) + 1]);
    }
}

void ReciprocalSums::sum_blocks_from(int a) {
    const int wanted = a / BLOCK;
    if (wanted >= first_block_) {
        return;
    }
    const int blocks = block_count(n_);
    const int from = std::max(0, std::min(wanted, first_block_ - (blocks - first_block_)));
    const int end = std::min(n_, first_block_ * BLOCK);
    for (int i = from * BLOCK; i < end; ++i) {
        const double w = 1.0 / q_[i];
        const double previous_first = i % BLOCK == 0 ? 0.0 : first_.local[i - 1];
        const double previous_second = i % BLOCK == 0 ? 0.0 : second_.local[i - 1];
        first_.local[i] = previous_first + w;
        second_.local[i] = previous_second + w * w;
    }
    first_block_ = from;
    for (Sums* sums : {&first_, &second_}) {
        DoubleDouble total{0.0, 0.0};
        for (int k = from; k <= blocks; ++k) {
            sums->earlier[k] = total;
            if (k < blocks) {
                double s = 0.0;
                double e = 0.0;
                two_sum(total.hi, sums->local[std::min(n_, (k + 1) * BLOCK) - 1], s, e);
                e += total.lo;
                total.hi = s + e;
                total.lo = e - (total.hi - s);
            }
        }
    }
}

double ReciprocalSums::reciprocals(int a, int b) {
    sum_blocks_from(a);
    return range(first_, a, b);
}

double ReciprocalSums::squared_reciprocals(int a, int b) {
    sum_blocks_from(a);
    return range(second_, a, b);
}

double ReciprocalSums::range(const Sums& sums, int a, int b) const {
    const double* local = sums.local.get();
    const int ka = a / BLOCK;
    const int kb = b / BLOCK;
    const double before = a % BLOCK != 0 ? local[a - 1] : 0.0;
    if (ka == kb) {
        return local[b] - before;
    }
    const double first_part = local[(ka + 1) * BLOCK - 1] - before;
    // Blocks ka + 1 ... kb - 1 whole.
    const DoubleDouble& upto = sums.earlier[kb];
    const DoubleDouble& below = sums.earlier[ka + 1];
    double s = 0.0;
    double e = 0.0;
    two_sum(upto.hi, -below.hi, s, e);
    const double middle = s + (e + (upto.lo - below.lo));
    return first_part + middle + local[b];
}

}  // namespace tarvimo::closed_by
