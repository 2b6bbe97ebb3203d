#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "closed_by/rounded_harmonic.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

// H_s for s = 0 ... m, without holding all m + 1 of them when m is huge:
// up to LAST_SUMMED_HARMONIC bit for bit the running left-to-right sums of
// harmonic_numbers_cpp, above it the double nearest to H_s
// (rounded_harmonic). The values are held for every s >= dense_from; below
// that a sum is resumed from the shared checkpoint at or below s
// (harmonic_checkpoint) by adding the same terms 1.0 / i in the same order,
// so it is the same double. The held sums are filled a checkpoint stride at
// a time, resumed the same way, when one of the stride is first read, and a
// rounded value is computed when first read. Not for use by several threads
// at once.
class HarmonicTable {
public:
    static constexpr int CHECKPOINT_STRIDE = 4096;
    // Strides below dense_from held at once (32 KiB each).
    static constexpr std::size_t RESUMED_STRIDES = 64;

    // Reads H_0 ... H_m from `harmonic`, which must outlive the table.
    HarmonicTable(const double* harmonic, std::int64_t m);

    // Holds H_dense_from ... H_m as they are read, resumed from the shared
    // checkpoints, which are extended here as far as m (polling `cancel`).
    HarmonicTable(std::int64_t m, std::int64_t dense_from, const common::CancelFlag* cancel);

    std::int64_t size() const { return m_; }
    // Inline for the held sums already filled, which the checks read most.
    double operator()(std::int64_t s) const {
        if (s >= dense_from_ && s < rounded_from_ &&
            (filled_.empty() || filled_[static_cast<std::size_t>(s / CHECKPOINT_STRIDE - first_stride_)] != 0)) {
            return dense_[s - dense_from_];
        }
        return read(s);
    }
    // Whether reading H_s resumes a sum below the held part, which may first
    // extend the shared checkpoints as far as s.
    bool resumes(std::int64_t s) const { return s < dense_from_ && s <= LAST_SUMMED_HARMONIC; }

private:
    double read(std::int64_t s) const;
    void fill_stride(std::int64_t k) const;

    std::int64_t m_;
    std::int64_t dense_from_;
    const double* dense_;  // H_dense_from ... H_m
    // Sizes from here on are rounded when first read (NaN until then).
    std::int64_t rounded_from_ = LAST_SUMMED_HARMONIC + 1;
    std::int64_t summed_to_ = 0;  // the last size of the summed part
    // Whether the held sums of each checkpoint stride from dense_from's
    // (first_stride_) on are filled (a byte each: a bit costs the inline read
    // more than the memory saved); empty when every held value is given.
    std::int64_t first_stride_ = 0;
    mutable std::vector<unsigned char> filled_;
    common::DoubleArray owned_;
    // The last rounded value read below dense_from: searches ask for the
    // same size many times in a row.
    mutable std::int64_t cached_s_ = -1;
    mutable double cached_h_ = 0.0;
    // Strides below dense_from resumed whole, most recently filled last:
    // the level checks read a few dozen sizes there (ends of ranges of
    // sizes, the bound's search) over and over, a stride's worth of terms
    // each when resumed one at a time.
    struct ResumedStride {
        std::int64_t k;
        std::unique_ptr<double[]> sums;  // H_(k stride) ... H_(k stride + CHECKPOINT_STRIDE - 1)
    };
    mutable std::vector<ResumedStride> resumed_;
    mutable std::size_t next_replaced_ = 0;
    double resumed(std::int64_t s) const;
};

// H_(k * CHECKPOINT_STRIDE), the running left-to-right sum, for
// 0 <= k <= INT_MAX / CHECKPOINT_STRIDE. The checkpoints are summed once per
// process, as far as any call has asked, and shared by every caller and
// thread (at most 4 MiB); a first call that extends them polls `cancel`.
double harmonic_checkpoint(int k, const common::CancelFlag* cancel);

// Bounds on harmonic_number(s), the left-to-right sum, for s from
// BOUNDED_HARMONIC_FROM up to LAST_SUMMED_HARMONIC, without summing.
constexpr std::int64_t BOUNDED_HARMONIC_FROM = std::int64_t{1} << 20;
struct HarmonicBounds {
    double lo;
    double hi;
};
HarmonicBounds summed_harmonic_bounds(std::int64_t s);

// H_m alone: summed as harmonic_numbers_cpp sums it up to
// LAST_SUMMED_HARMONIC, the nearest double above.
double harmonic_number(std::int64_t m);

}  // namespace tarvimo::closed_by
