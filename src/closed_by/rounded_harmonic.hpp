#pragma once

#include <cstdint>

namespace tarvimo::closed_by {

// Above this, H_m is not the left-to-right sum of 1/i (which would take
// billions of additions) but the double nearest to the true harmonic number.
constexpr std::int64_t LAST_SUMMED_HARMONIC = 2147483647;
// The largest m whose rounded harmonic number the proof below covers.
constexpr std::int64_t LARGEST_ROUNDED_HARMONIC = std::int64_t{1} << 45;

// The double nearest to the true H_m, for LAST_SUMMED_HARMONIC < m <=
// LARGEST_ROUNDED_HARMONIC, and whether the 113-bit evaluation was needed
// (the 64-bit one could not tell which double is nearest).
struct RoundedHarmonic {
    double value;
    bool extended;
};

// `extended` forces the 113-bit evaluation, for the tests that compare both.
// Throws std::domain_error outside the covered range, and in the case the
// proof leaves open: H_m within 2^-105 of the midpoint of two doubles.
RoundedHarmonic rounded_harmonic(std::int64_t m, bool extended = false);

}  // namespace tarvimo::closed_by
