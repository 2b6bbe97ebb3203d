#include "closed_by/harmonic_table.hpp"

#include <algorithm>
#include <cstddef>

namespace tarvimo::closed_by {

namespace {

constexpr int CANCEL_POLL_TERMS = 1 << 20;  // a few milliseconds of summing

// Adds 1/(from + 1) ... 1/to to `sum` in this order, storing the running
// sums at out[i - from - 1] if out is given. The index is wider than int so
// that the loop also ends for to = INT_MAX.
double add_terms(double sum, int from, int to, double* out) {
    for (long long i = static_cast<long long>(from) + 1; i <= to; ++i) {
        sum += 1.0 / static_cast<double>(i);
        if (out != nullptr) {
            out[i - from - 1] = sum;
        }
    }
    return sum;
}

}  // namespace

HarmonicTable::HarmonicTable(const double* harmonic, int m) : m_(m), dense_from_(0), dense_(harmonic) {}

HarmonicTable::HarmonicTable(int m, int dense_from, const common::CancelFlag* cancel)
    : m_(m), dense_from_(dense_from), owned_(new double[static_cast<std::size_t>(m - dense_from) + 1]) {
    checkpoints_.reserve(static_cast<std::size_t>(dense_from / CHECKPOINT_STRIDE) + 1);
    checkpoints_.push_back(0.0);
    double sum = 0.0;
    int done = 0;
    // Below dense_from: one checkpoint per stride.
    while (done + CHECKPOINT_STRIDE <= dense_from) {
        if (done % CANCEL_POLL_TERMS == 0) {
            common::stop_if_cancelled(cancel);
        }
        sum = add_terms(sum, done, done + CHECKPOINT_STRIDE, nullptr);
        done += CHECKPOINT_STRIDE;
        checkpoints_.push_back(sum);
    }
    sum = add_terms(sum, done, dense_from, nullptr);
    owned_[0] = sum;
    for (done = dense_from; done < m;) {
        common::stop_if_cancelled(cancel);
        const int to = static_cast<int>(std::min<long long>(m, static_cast<long long>(done) + CANCEL_POLL_TERMS));
        sum = add_terms(sum, done, to, &owned_[done - dense_from + 1]);
        done = to;
    }
    dense_ = owned_.get();
}

double HarmonicTable::operator()(int s) const {
    if (s >= dense_from_) {
        return dense_[s - dense_from_];
    }
    if (s != cached_s_) {
        const int base = s / CHECKPOINT_STRIDE;
        cached_h_ = add_terms(checkpoints_[base], base * CHECKPOINT_STRIDE, s, nullptr);
        cached_s_ = s;
    }
    return cached_h_;
}

double harmonic_number(int m) {
    return add_terms(0.0, 0, m, nullptr);
}

}  // namespace tarvimo::closed_by
