// The _vardo extension: Python entry points to the closed BY and closed e-BH
// routines. Arguments arrive as fresh vectors and scalars converted by
// pybind11; standard exceptions thrown by the routines become Python
// exceptions through pybind11's own translation.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "closed_ebh/closed_ebh.hpp"
#include "common/common.hpp"

namespace py = pybind11;
namespace closed_by = tarvimo::closed_by;
namespace closed_ebh = tarvimo::closed_ebh;
namespace common = tarvimo::common;

namespace {

struct SubsetProfileResult {
    std::vector<double> cum_e;  // profile with the subset as the candidate set
    int r;                      // number of distinct positions in the subset
};

// Cumulative e-value profile with an arbitrary subset as the candidate set:
// the complement ascending, then the subset ascending, in one running sum.
// A repeated index names the same hypothesis and counts once.
SubsetProfileResult build_cum_e_for_subset(const std::vector<double>& evalues, const std::vector<int>& subset) {
    const int m = common::checked_count(evalues.size(), "evalues");
    std::vector<bool> in_subset(static_cast<std::size_t>(m), false);
    int r = 0;
    for (const int idx : subset) {
        if (idx < 0 || idx >= m) {
            throw std::out_of_range("subset index out of range");
        }
        if (!in_subset[idx]) {
            in_subset[idx] = true;
            ++r;
        }
    }
    // NaN has no place in the ascending order that the profile needs.
    const auto nan = std::find_if(evalues.begin(), evalues.end(), [](double e) { return std::isnan(e); });
    if (nan != evalues.end()) {
        throw std::invalid_argument("evalues must not contain NaN (found at position " +
                                    std::to_string(nan - evalues.begin()) + ")");
    }

    std::vector<double> e_in;
    std::vector<double> e_out;
    e_in.reserve(static_cast<std::size_t>(r));
    e_out.reserve(static_cast<std::size_t>(m - r));
    for (int i = 0; i < m; ++i) {
        if (in_subset[i]) {
            e_in.push_back(evalues[i]);
        } else if (evalues[i] != std::numeric_limits<double>::infinity()) {
            // Every group holding an infinite e-value passes. Keeping one
            // outside the subset would turn the profile's differences into
            // inf - inf = NaN, which no target test could ever flag.
            e_out.push_back(evalues[i]);
        }
    }
    std::sort(e_in.begin(), e_in.end());
    std::sort(e_out.begin(), e_out.end());

    std::vector<double> cum_e(e_out.size() + e_in.size() + 1, 0.0);
    std::size_t pos = 0;
    for (const double value : e_out) {
        cum_e[pos + 1] = cum_e[pos] + value;
        ++pos;
    }
    for (const double value : e_in) {
        cum_e[pos + 1] = cum_e[pos] + value;
        ++pos;
    }
    return {std::move(cum_e), r};
}

}  // namespace

PYBIND11_MODULE(_vardo, m) {
    m.doc() = "Pybind11 bindings for the Tarvimo C++ routines";

    // The fast searches, whose counts equal those of largestmeanconsistent_cpp
    // and largestmeanconsistent_approximate_cpp for every input.
    const auto largest_consistent = [](const std::vector<double>& evalues, double alpha, bool approximate) {
        const int m = common::checked_count(evalues.size(), "evalues");
        return closed_ebh::closed_ebh_count(evalues.data(), m, m, alpha, approximate, nullptr);
    };
    m.def("closede_bh_cpp", largest_consistent, py::arg("evalues"), py::arg("alpha") = 0.05,
          py::arg("approximate") = false);
    m.def("largest_mean_consistent_k", largest_consistent, py::arg("evalues"), py::arg("alpha") = 0.05,
          py::arg("approximate") = false);
    m.def(
        "is_subset_mean_consistent",
        [](const std::vector<double>& evalues, const std::vector<int>& subset, double alpha) {
            if (subset.empty()) {
                return true;
            }
            const SubsetProfileResult profile = build_cum_e_for_subset(evalues, subset);
            return closed_ebh::meanconsistent_wrapper_cpp(profile.cum_e, profile.r, alpha);
        },
        py::arg("evalues"), py::arg("subset"), py::arg("alpha") = 0.05);
    m.def(
        "largestmeanconsistent_cpp",
        [=](const std::vector<double>& evalues, double alpha) { return largest_consistent(evalues, alpha, false); },
        py::arg("evalues"), py::arg("alpha"));
    m.def(
        "largestmeanconsistent_approximate_cpp",
        [=](const std::vector<double>& evalues, double alpha) { return largest_consistent(evalues, alpha, true); },
        py::arg("evalues"), py::arg("alpha"));
    m.def("eBH_cpp", &closed_ebh::eBH_cpp, py::arg("evalues"), py::arg("alpha"));
    m.def("meanconsistent_wrapper_cpp", &closed_ebh::meanconsistent_wrapper_cpp, py::arg("cum_e"), py::arg("r"),
          py::arg("alpha"));
    m.def("BY_cpp", &closed_by::BY_cpp, py::arg("pvalues"), py::arg("harmonic"), py::arg("alpha"));
    // The closed BY searches and check of closed_by/cBY.cpp, computed by the certified
    // routines, which give the same results for every input.
    const auto closed_by_search = [](bool approximate) {
        return [approximate](const std::vector<double>& pvalues, double alpha) {
            if (alpha <= 0.0) {
                return 0;
            }
            const int n = common::checked_count(pvalues.size(), "pvalues");
            return static_cast<int>(closed_by::closed_by_count(pvalues.data(), n, n, alpha, approximate, nullptr));
        };
    };
    m.def("largestcBYsignificant_cpp", closed_by_search(false), py::arg("pvalues"), py::arg("alpha"));
    m.def("largestcBYsignificant_approximate_cpp", closed_by_search(true), py::arg("pvalues"), py::arg("alpha"));
    m.def(
        "cBY_check_cpp",
        [](const std::vector<double>& pvalues, int r, const std::vector<double>& harmonic, int warm_s, double alpha) {
            const closed_by::cBYCheckResult result = closed_by::closed_by_check(pvalues, r, harmonic, warm_s, alpha);
            py::dict out;
            out["res"] = py::bool_(result.res);
            out["at_s"] = py::int_(result.at_s);
            return out;
        },
        py::arg("pvalues"), py::arg("r"), py::arg("harmonic"), py::arg("warm_s"), py::arg("alpha"));
}
