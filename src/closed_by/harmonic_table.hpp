#pragma once

#include <memory>
#include <vector>

#include "common/common.hpp"

namespace tarvimo::closed_by {

// H_s for s = 0 ... m, bit for bit the running left-to-right sums of
// harmonic_numbers_cpp, without holding all m + 1 of them when m is huge.
// The sums are held for every s >= dense_from; below that only every
// CHECKPOINT_STRIDE-th running sum is kept, and H_s is resumed from the
// checkpoint at or below s by adding the same terms 1.0 / i in the same
// order, so it is the same double.
class HarmonicTable {
public:
    static constexpr int CHECKPOINT_STRIDE = 4096;

    // Reads H_0 ... H_m from `harmonic`, which must outlive the table.
    HarmonicTable(const double* harmonic, int m);

    // Sums H_1 ... H_m once, polling `cancel` along the way.
    HarmonicTable(int m, int dense_from, const common::CancelFlag* cancel);

    int size() const { return m_; }
    double operator()(int s) const;

private:
    int m_;
    int dense_from_;
    const double* dense_;  // H_dense_from ... H_m
    std::unique_ptr<double[]> owned_;
    std::vector<double> checkpoints_;  // H_(k * CHECKPOINT_STRIDE)
    // The last sum resumed below dense_from: searches ask for the same size
    // many times in a row.
    mutable int cached_s_ = -1;
    mutable double cached_h_ = 0.0;
};

// H_m alone, summed as harmonic_numbers_cpp sums it.
double harmonic_number(int m);

}  // namespace tarvimo::closed_by
