#include "harmonic_table.hpp"

#include <cstddef>

namespace {

constexpr int CANCEL_POLL_TERMS = 1 << 20;  // a few milliseconds of summing

double term(int i) { return 1.0 / static_cast<double>(i); }

// Adds the terms 1/(from + 1) ... 1/to to `sum`, in that order, and calls
// visit(i, running sum) after each; polls `cancel` now and then.
template <typename Visit>
double sum_terms(double sum, int from, int to, const CancelFlag* cancel, Visit visit) {
    for (int i = from + 1; i <= to; ++i) {
        if (i % CANCEL_POLL_TERMS == 0) {
            stop_if_cancelled(cancel);
        }
        sum += term(i);
        visit(i, sum);
    }
    return sum;
}

}  // namespace

HarmonicTable::HarmonicTable(const double* harmonic, int m) : m_(m), dense_from_(0), dense_(harmonic) {}

HarmonicTable::HarmonicTable(int m, int dense_from, const CancelFlag* cancel) : m_(m), dense_from_(dense_from) {
    owned_.assign(static_cast<std::size_t>(m - dense_from + 1), 0.0);
    checkpoints_.assign(static_cast<std::size_t>(dense_from / CHECKPOINT_STRIDE + 1), 0.0);
    sum_terms(0.0, 0, m, cancel, [&](int i, double sum) {
        if (i % CHECKPOINT_STRIDE == 0 && i <= dense_from) {
            checkpoints_[i / CHECKPOINT_STRIDE] = sum;
        }
        if (i >= dense_from) {
            owned_[i - dense_from] = sum;
        }
    });
    dense_ = owned_.data();
}

double HarmonicTable::operator()(int s) const {
    if (s >= dense_from_) {
        return dense_[s - dense_from_];
    }
    if (s != cached_s_) {
        const int base = s / CHECKPOINT_STRIDE * CHECKPOINT_STRIDE;
        cached_h_ = sum_terms(checkpoints_[base / CHECKPOINT_STRIDE], base, s, nullptr, [](int, double) {});
        cached_s_ = s;
    }
    return cached_h_;
}

double harmonic_number(int m, const CancelFlag* cancel) {
    return sum_terms(0.0, 0, m, cancel, [](int, double) {});
}
