#pragma once

namespace tarvimo::closed_by {

// sum over i < n of invalpha / stable_ceiling_cpp(q[i] * F): each term the
// double the literal check computes for a p-value that is not cut off, the
// terms added in an order of the implementation's choosing (in eight or
// sixteen running sums where the processor has AVX2 or AVX-512). For n
// positive terms in any order the result lies within (n - 1) 2^-53 / (1 -
// (n - 1) 2^-53) of their exact sum, relative to it.
double sum_of_evalues(const double* q, int n, double F, double invalpha);

}  // namespace tarvimo::closed_by
