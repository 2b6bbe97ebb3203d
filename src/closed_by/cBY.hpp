#pragma once

// Closed Benjamini-Yekutieli (cBY) procedure: harmonic numbers, the BY step-up
// count, the cBY check of one candidate count, and the searches for the
// largest cBY-significant count. P-values are sorted largest first by the
// caller, so the candidate set of size r is the last r positions.

#include <cmath>
#include <vector>

namespace tarvimo::closed_by {

// The additive margin of every comparison of the closed BY routines, and the
// stand-in for a p-value of exactly 0.
constexpr double TOLERANCE = 1e-10;
constexpr double ZERO_REPLACEMENT = 1e-12;

struct cBYCheckResult {
    bool res;  // true if the candidate set passes at every size
    int at_s;  // the size at which it failed; 0 when res is true
};

// H_0 ... H_m, with H_0 = 0, summed left to right.
std::vector<double> harmonic_numbers_cpp(int m);

// Copy of p with exact zeros replaced by a tiny positive value.
std::vector<double> sanitize_pvalues_cpp(const std::vector<double>& p);

// Smallest integer not below x - 1e-10, and at least 1. Inline: it is the
// rounding step of every BY e-value, in the innermost loops.
inline double stable_ceiling_cpp(double x) {
    const double c = std::ceil(x - TOLERANCE);
    return c > 1.0 ? c : 1.0;  // a NaN yields 1.0
}

// Number of rejections of the BY step-up procedure; harmonic holds H_0 ... H_m.
int BY_cpp(const std::vector<double>& p, const std::vector<double>& harmonic, double alpha);

// Whether the r smallest p-values pass the cBY check; warm_s (0 for none) is
// the size examined first.
cBYCheckResult cBY_check_cpp(const std::vector<double>& p, int r, const std::vector<double>& harmonic, int warm_s,
                             double alpha);

// Largest r whose r smallest p-values pass the cBY check (exact scan).
int largestcBYsignificant_cpp(const std::vector<double>& p, double alpha);

// Bisection above the BY count; assumes passing is monotone in r.
int largestcBYsignificant_approximate_cpp(const std::vector<double>& p, double alpha);

}  // namespace tarvimo::closed_by
