// The _fast extension: the public API's route to the core. It reads float64
// numpy arrays in place through the buffer protocol, runs the core routines
// with the interpreter lock released, and returns the rejection mask in the
// caller's order. Values arrive already checked (no NaN, in the domain).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "cBY.hpp"
#include "checked_count.hpp"
#include "vardo.hpp"

namespace py = pybind11;

namespace {

using Values = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Mask = py::array_t<bool>;

// An e-value can reach the e-BH threshold only if e * alpha is close to 1 or
// more, and a p-value can reach the BY threshold only if p * H_m is close to
// alpha or less. Values beyond these bounds (with a factor-2 margin that
// absorbs every rounding) never meet their step-up condition at any rank.
constexpr double CANDIDATE_MARGIN = 2.0;
constexpr double BY_TOLERANCE_BOUND = 1e-9;  // above the BY step-up tolerance

// The values in the order the core reads and the number of rejections the
// core found on them. The last `count` values are the rejected ones, sorted
// with the strongest last.
struct RejectionCountResult {
    std::vector<double> arranged;
    int count;
};

// True for the `count` strongest values: every value stronger than the
// count-th strongest, then values equal to it from the start of the input
// until the count is reached.
void fill_strongest(const double* values, int m, const RejectionCountResult& result, bool larger_is_stronger,
                    bool* mask) {
    const std::vector<double>& arranged = result.arranged;
    const double threshold = arranged[m - result.count];
    // The rejected tail holds the values equal to the threshold first, then
    // those stronger than it.
    int ties_left = 0;
    for (int j = m - result.count; j < m && arranged[j] == threshold; ++j) {
        ++ties_left;
    }
    for (int i = 0; i < m; ++i) {
        const double v = values[i];
        const bool stronger = larger_is_stronger ? v > threshold : v < threshold;
        mask[i] = stronger || (v == threshold && ties_left-- > 0);
    }
}

// The values in the core's order for a step-up count: the values that cannot
// be rejected first, in any order, then the candidates sorted. The count
// equals the one on a fully sorted vector, since the step-up scan returns at
// the first rank that meets its condition and no value of the first block
// meets it at any rank.
template <typename IsCandidate, typename Order>
std::vector<double> candidates_last(const double* values, int m, IsCandidate is_candidate, Order order) {
    std::vector<double> arranged(values, values + m);
    const auto first_candidate =
        std::partition(arranged.begin(), arranged.end(), [&](double v) { return !is_candidate(v); });
    std::sort(first_candidate, arranged.end(), order);
    return arranged;
}

// Runs `count_rejections` (values, m -> RejectionCountResult) without the
// interpreter lock and returns the mask of that many strongest values.
template <typename CountRejections>
Mask rejection_mask(const Values& values, bool larger_is_stronger, CountRejections count_rejections) {
    const int m = checked_count(static_cast<std::size_t>(values.size()), "values");
    Mask mask(values.size());
    const double* data = values.data();
    bool* out = mask.mutable_data();
    {
        py::gil_scoped_release release;
        const RejectionCountResult result = count_rejections(data, m);
        if (result.count > 0) {
            fill_strongest(data, m, result, larger_is_stronger, out);
        } else {
            std::fill(out, out + m, false);
        }
    }
    return mask;
}

// A copy of the values sorted ascending by numpy's in-place sort, whose
// vectorised kernel beats std::sort, run on a view of the copy. Neither the
// copy nor the sort itself holds the interpreter lock.
std::vector<double> ascending_copy(const Values& values) {
    const double* data = values.data();
    std::vector<double> sorted;
    {
        py::gil_scoped_release release;
        sorted.assign(data, data + values.size());
    }
    if (sorted.size() > 1) {
        const py::capsule borrowed(sorted.data(), [](void*) {});  // the view does not own the copy
        py::array_t<double>(static_cast<py::ssize_t>(sorted.size()), sorted.data(), borrowed).attr("sort")();
    }
    return sorted;
}

}  // namespace

PYBIND11_MODULE(_fast, m) {
    m.doc() = "Rejection masks from float64 arrays, computed without the interpreter lock";

    m.def(
        "ebh_rejections",
        [](const Values& evalues, double alpha) {
            return rejection_mask(evalues, true, [alpha](const double* data, int n) -> RejectionCountResult {
                std::vector<double> ascending = candidates_last(
                    data, n, [alpha](double e) { return e * alpha * CANDIDATE_MARGIN >= 1.0; }, std::less<>());
                const int count = eBH_cpp(ascending, alpha);
                return {std::move(ascending), count};
            });
        },
        py::arg("evalues"), py::arg("alpha"), "Mask of the e-BH rejections; `evalues` in any order.");

    m.def(
        "by_rejections",
        [](const Values& pvalues, double alpha) {
            return rejection_mask(pvalues, false, [alpha](const double* data, int n) -> RejectionCountResult {
                const std::vector<double> harmonic = harmonic_numbers_cpp(n);
                const double bound = CANDIDATE_MARGIN * (alpha + BY_TOLERANCE_BOUND);
                std::vector<double> descending = candidates_last(
                    data, n, [&](double p) { return p * harmonic[n] <= bound; }, std::greater<>());
                const int count = BY_cpp(descending, harmonic, alpha);
                return {std::move(descending), count};
            });
        },
        py::arg("pvalues"), py::arg("alpha"), "Mask of the BY rejections; `pvalues` in any order.");

    m.def(
        "closed_ebh_rejections",
        [](const Values& evalues, double alpha, bool approximate) {
            std::vector<double> ascending = ascending_copy(evalues);
            return rejection_mask(evalues, true, [&](const double*, int) -> RejectionCountResult {
                const int count = approximate ? largestmeanconsistent_approximate_cpp(ascending, alpha)
                                              : largestmeanconsistent_cpp(ascending, alpha);
                return {std::move(ascending), count};
            });
        },
        py::arg("evalues"), py::arg("alpha"), py::arg("approximate"),
        "Mask of the closed e-BH rejections; `evalues` in any order.");

    m.def(
        "closed_by_rejections",
        [](const Values& pvalues, double alpha, bool approximate) {
            std::vector<double> descending = ascending_copy(pvalues);
            return rejection_mask(pvalues, false, [&](const double*, int) -> RejectionCountResult {
                std::reverse(descending.begin(), descending.end());
                const int count = approximate ? largestcBYsignificant_approximate_cpp(descending, alpha)
                                              : largestcBYsignificant_cpp(descending, alpha);
                return {std::move(descending), count};
            });
        },
        py::arg("pvalues"), py::arg("alpha"), py::arg("approximate"),
        "Mask of the closed BY rejections; `pvalues` in any order.");
}
