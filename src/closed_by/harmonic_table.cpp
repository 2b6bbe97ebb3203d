#include "closed_by/harmonic_table.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>

namespace tarvimo::closed_by {

namespace {

constexpr int CANCEL_POLL_TERMS = 1 << 20;  // a few milliseconds of summing
constexpr int CANCEL_POLL_CHECKPOINTS = CANCEL_POLL_TERMS / HarmonicTable::CHECKPOINT_STRIDE;
constexpr int CHECKPOINTS = INT_MAX / HarmonicTable::CHECKPOINT_STRIDE + 1;
constexpr double NOT_YET_ROUNDED = std::numeric_limits<double>::quiet_NaN();

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

// The checkpoints every caller shares. Entries below `filled` are final and
// are read without the lock (the release store of `filled` publishes them);
// only extending takes the lock. The storage is reserved whole, so that
// entries never move, and its pages are touched only as they are filled.
struct SharedCheckpoints {
    std::unique_ptr<double[]> sums{new double[CHECKPOINTS]};
    std::atomic<int> filled{0};
    std::mutex extending;
};

SharedCheckpoints& shared_checkpoints() {
    static SharedCheckpoints checkpoints;
    return checkpoints;
}

}  // namespace

double harmonic_checkpoint(int k, const common::CancelFlag* cancel) {
    SharedCheckpoints& shared = shared_checkpoints();
    if (k < shared.filled.load(std::memory_order_acquire)) {
        return shared.sums[k];
    }
    const std::lock_guard<std::mutex> lock(shared.extending);
    int next = shared.filled.load(std::memory_order_relaxed);
    if (next == 0) {
        shared.sums[0] = 0.0;
        shared.filled.store(next = 1, std::memory_order_release);
    }
    constexpr int stride = HarmonicTable::CHECKPOINT_STRIDE;
    for (; next <= k; ++next) {
        if (next % CANCEL_POLL_CHECKPOINTS == 0) {
            common::stop_if_cancelled(cancel);  // what is filled so far stays
        }
        shared.sums[next] = add_terms(shared.sums[next - 1], (next - 1) * stride, next * stride, nullptr);
        shared.filled.store(next + 1, std::memory_order_release);
    }
    return shared.sums[k];
}

HarmonicTable::HarmonicTable(const double* harmonic, std::int64_t m) : m_(m), dense_from_(0), dense_(harmonic) {}

HarmonicTable::HarmonicTable(std::int64_t m, std::int64_t dense_from, const common::CancelFlag* cancel)
    : m_(m), dense_from_(dense_from), owned_(common::allocate_doubles(static_cast<std::size_t>(m - dense_from) + 1)) {
    // The summed part, dense_from ... min(m, LAST_SUMMED_HARMONIC), is filled
    // a checkpoint stride at a time as it is read (a search reads about half
    // of it), from the shared checkpoints, extended here as far as it reaches.
    const std::int64_t summed_to = std::min(m, LAST_SUMMED_HARMONIC);
    if (dense_from <= summed_to) {
        harmonic_checkpoint(static_cast<int>(summed_to / CHECKPOINT_STRIDE), cancel);
        summed_to_ = summed_to;
        first_stride_ = dense_from / CHECKPOINT_STRIDE;
        filled_.assign(static_cast<std::size_t>(summed_to / CHECKPOINT_STRIDE - first_stride_) + 1, 0);
    }
    // The rounded part is filled as it is read: a search reads few of its sizes.
    rounded_from_ = std::max(dense_from, summed_to + 1);
    std::fill(&owned_[rounded_from_ - dense_from], &owned_[m - dense_from] + 1, NOT_YET_ROUNDED);
    dense_ = owned_.get();
}

// H_s for the sizes of the summed part in the stride of checkpoint k: the
// checkpoint H_(k stride) is the running left-to-right sum at k stride, and
// the terms that follow it are added in the same order, so every value is
// the running sum the whole table would hold.
void HarmonicTable::fill_stride(std::int64_t k) const {
    const int first = static_cast<int>(k * CHECKPOINT_STRIDE);
    const int from = static_cast<int>(std::max<std::int64_t>(dense_from_, first));
    const int to = static_cast<int>(std::min<std::int64_t>(summed_to_, first + (CHECKPOINT_STRIDE - 1)));
    double* out = &owned_[from - dense_from_];
    out[0] = add_terms(harmonic_checkpoint(static_cast<int>(k), nullptr), first, from, nullptr);
    add_terms(out[0], from, to, out + 1);
}

double HarmonicTable::read(std::int64_t s) const {
    if (s >= rounded_from_) {
        double& held = owned_[s - dense_from_];
        if (std::isnan(held)) {
            held = rounded_harmonic(s).value;
        }
        return held;
    }
    if (s >= dense_from_) {
        if (!filled_.empty()) {
            const std::int64_t k = s / CHECKPOINT_STRIDE;
            const auto stride = static_cast<std::size_t>(k - first_stride_);
            if (filled_[stride] == 0) {
                fill_stride(k);
                filled_[stride] = 1;
            }
        }
        return dense_[s - dense_from_];
    }
    if (s <= LAST_SUMMED_HARMONIC) {
        return resumed(s);
    }
    if (s != cached_s_) {
        cached_h_ = harmonic_number(s);
        cached_s_ = s;
    }
    return cached_h_;
}

// H_s below dense_from from its stride, resumed whole from the shared
// checkpoint at its start by adding the same terms in the same order as
// harmonic_number, so each value is the double harmonic_number gives.
double HarmonicTable::resumed(std::int64_t s) const {
    const std::int64_t k = s / CHECKPOINT_STRIDE;
    const std::int64_t first = k * CHECKPOINT_STRIDE;
    for (const ResumedStride& stride : resumed_) {
        if (stride.k == k) {
            return stride.sums[s - first];
        }
    }
    ResumedStride stride{k, std::unique_ptr<double[]>(new double[CHECKPOINT_STRIDE])};
    const auto from = static_cast<int>(first);
    const auto to = static_cast<int>(std::min<std::int64_t>(first + (CHECKPOINT_STRIDE - 1), LAST_SUMMED_HARMONIC));
    stride.sums[0] = harmonic_checkpoint(static_cast<int>(k), nullptr);
    add_terms(stride.sums[0], from, to, &stride.sums[1]);
    std::size_t slot = resumed_.size();
    if (slot < RESUMED_STRIDES) {
        resumed_.push_back(std::move(stride));
    } else {
        slot = next_replaced_;
        next_replaced_ = (next_replaced_ + 1) % RESUMED_STRIDES;
        resumed_[slot] = std::move(stride);
    }
    return resumed_[slot].sums[s - first];
}

// H_s = ln s + gamma + 1/(2s) - 1/(12 s^2) + e, 0 < e < 1/(120 s^4), and
// s >= 2^20 puts the last two terms below 1e-13. The left-to-right sum
// rounds each of its s terms 1.0 / i and each of its s additions by at most
// u = 2^-53 relative, every partial sum lying below H_s <= ln s + 1, so it
// strays from H_s by at most u (2s) (ln s + 1); twice that is allowed, and
// 1e-12 covers the expansion and the rounding of these few operations.
HarmonicBounds summed_harmonic_bounds(std::int64_t s) {
    constexpr double EULER_GAMMA = 0.57721566490153286;
    const double n = static_cast<double>(s);
    const double log_n = std::log(n);
    const double expansion = (log_n + EULER_GAMMA) + 0.5 / n;
    const double stray = 0x1p-51 * (n + 2.0) * (log_n + 1.0) + 1e-12;
    return {expansion - stray, expansion + stray};
}

double harmonic_number(std::int64_t m) {
    if (m > LAST_SUMMED_HARMONIC) {
        return rounded_harmonic(m).value;
    }
    const int summed = static_cast<int>(m);
    const int base = summed / HarmonicTable::CHECKPOINT_STRIDE;
    return add_terms(harmonic_checkpoint(base, nullptr), base * HarmonicTable::CHECKPOINT_STRIDE, summed, nullptr);
}

}  // namespace tarvimo::closed_by
