// The _fast extension: the public API's route to the core. It reads float64
// numpy arrays in place through the buffer protocol, decides one family or
// many without the interpreter lock, and returns the rejection masks in the
// caller's order. Values arrive already checked (in the domain), or, for one
// family, are checked by the core's first pass; NaN marks a missing entry,
// which is never rejected and does not count toward m.
//
// Work that is not provably short runs on threads of its own while the
// calling thread waits and checks for signals, so that Ctrl-C stops it: the
// threads are told to stop, and the pending KeyboardInterrupt is raised once
// they have ended.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/common.hpp"
#include "families/families.hpp"

namespace py = pybind11;
namespace families = tarvimo::families;
namespace common = tarvimo::common;

namespace {

using Values = py::array_t<double, py::array::forcecast>;  // any strides
using Contiguous = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Totals = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Mask = py::array_t<bool>;
using Levels = py::array_t<double>;

void require_dimensions(const py::array& array, py::ssize_t ndim, const char* name) {
    if (array.ndim() != ndim) {
        throw py::value_error(std::string(name) + " must have " + std::to_string(ndim) + " dimension" +
                              (ndim == 1 ? "" : "s") + ", got " + std::to_string(array.ndim()));
    }
}

void require_workers(int workers) {
    if (workers < 1) {
        throw py::value_error("workers must be at least 1, got " + std::to_string(workers));
    }
}

// True when a signal handler raised (KeyboardInterrupt for Ctrl-C); the
// exception stays pending. Called without the interpreter lock.
bool signal_raised() {
    const py::gil_scoped_acquire acquire;
    return PyErr_CheckSignals() != 0;
}

// Decides `tasks` families through decide(task, scratch, cancel): on the
// calling thread when they are short, else on up to `workers` threads while
// this one checks for signals.
template <typename Decide>
void decide_families(bool short_work, std::int64_t tasks, int workers, const Decide& decide) {
    families::PoolOutcome outcome = families::PoolOutcome::finished;
    {
        const py::gil_scoped_release release;
        if (short_work) {
            families::run_inline(tasks, decide);
        } else {
            outcome = families::run_pool(tasks, workers, decide, signal_raised);
        }
    }
    if (outcome == families::PoolOutcome::interrupted) {
        throw py::error_already_set();
    }
}

template <typename Decide>
void decide_families(const families::Method& method, std::int64_t tasks, std::int64_t values, int workers,
                     const Decide& decide) {
    decide_families(families::runs_inline(method, values), tasks, workers, decide);
}

// Sorts [first, last) ascending with numpy's in-place sort, whose vectorised
// kernel beats std::sort, run on a view of the range. Takes the interpreter
// lock, which numpy lets go while it sorts.
void sort_with_numpy(double* first, double* last) {
    const py::gil_scoped_acquire acquire;
    const py::capsule borrowed(first, [](void*) {});  // the view does not own the values
    py::array_t<double>(static_cast<py::ssize_t>(last - first), first, borrowed).attr("sort")();
}

// From this many values on, a range is sorted by numpy, for which a thread
// takes the interpreter lock once a run: the sort saves far more than taking
// the lock costs. Smaller ranges are sorted by std::sort.
constexpr std::ptrdiff_t NUMPY_SORT_VALUES = 4096;

// Sorts a range of a family's values, in runs sorted by numpy and merged in
// steps that `cancel` can stop (SearchCancelled), so that Ctrl-C does not wait
// for the sort of a large family.
struct NumpySortInSteps {
    void operator()(double* first, double* last, bool descending, const common::CancelFlag* cancel) const {
        if (last - first < NUMPY_SORT_VALUES) {
            families::StdSortInSteps{}(first, last, descending, cancel);
            return;
        }
        const auto stop = [cancel] { return families::stop_requested(cancel); };
        if (descending) {
            const auto run = [](double* a, double* b) {
                sort_with_numpy(a, b);
                std::reverse(a, b);
            };
            families::sort_in_steps(first, last, run, std::greater<>(), stop);
        } else {
            families::sort_in_steps(first, last, sort_with_numpy, std::less<>(), stop);
        }
    }
};

// One family: the values given in `values` (NaN entries missing) of a family
// of `total` hypotheses, by default the present values alone. With a
// `missing` policy ("raise" or "omit") the values arrive unchecked and the
// core checks them in its first pass: None is returned, nothing decided,
// when one lies outside the method's domain or is NaN under "raise", and the
// caller names the entry.
py::object family_rejections(const Contiguous& values, const std::string& name, double alpha,
                             std::optional<std::int64_t> total, std::optional<std::string> missing, int workers) {
    const families::Method method = families::method_named(name);
    require_dimensions(values, 1, "values");
    require_workers(workers);
    families::DomainCheck domain;
    if (missing) {
        if (*missing != "raise" && *missing != "omit") {
            throw py::value_error("missing must be 'raise' or 'omit', got '" + *missing + "'");
        }
        domain = {true, *missing == "omit"};
    }
    const py::ssize_t n = values.shape(0);
    Mask mask(n);
    const double* in = values.data();
    bool* out = mask.mutable_data();

    // Every step, from the pass over the entries to the mask, runs on a
    // thread that Ctrl-C stops, unless the family is small: a pass over 10^8
    // values, or their copy into fresh memory, can take seconds.
    families::ContiguousScratch scratch;
    bool in_domain = true;
    const auto decide = [&](std::int64_t, families::FamilyScratch&, const common::CancelFlag* cancel) {
        in_domain =
            families::decide_contiguous_family(method, alpha, n, total, in, out, domain, scratch, cancel,
                                               NumpySortInSteps{}, nullptr, families::processor_has_avx2(), workers);
    };
    // A closed search may take far longer than the rest, at a cost that grows with the omitted hypotheses.
    const bool short_work = method.closed ? families::runs_inline(method, std::max<std::int64_t>(n, total.value_or(0)))
                                          : families::contiguous_step_up_runs_inline(n);
    decide_families(short_work, 1, 1, decide);
    if (!in_domain) {
        return py::none();
    }
    return std::move(mask);
}

// Each row of a 2-D array is a family.
Mask row_rejections(const Values& values, const std::string& name, double alpha, int workers) {
    const families::Method method = families::method_named(name);
    require_dimensions(values, 2, "values");
    require_workers(workers);
    const py::ssize_t rows = values.shape(0);
    const py::ssize_t n = values.shape(1);
    Mask mask({rows, n});
    const auto in = values.unchecked<2>();
    auto out = mask.mutable_unchecked<2>();
    decide_families(method, rows, static_cast<std::int64_t>(rows) * n, workers,
                    [&](std::int64_t row, families::FamilyScratch& scratch, const common::CancelFlag* cancel) {
                        families::decide_family(
                            method, alpha, n, std::nullopt, [&](std::int64_t j) { return in(row, j); },
                            [&](std::int64_t j, bool rejected) { out(row, j) = rejected; }, scratch.values, cancel,
                            NumpySortInSteps{});
                    });
    return mask;
}

// The omitted hypotheses of families with totals[f] hypotheses each, of
// which the layout holds the given entries; each total must lie in the
// family's entry count ... LARGEST_TOTAL. The sum saturates at LARGEST_TOTAL,
// far above what runs on the calling thread.
std::int64_t checked_omitted(const Totals& totals, const families::FamilyLayout& layout) {
    require_dimensions(totals, 1, "totals");
    const std::int64_t count = static_cast<std::int64_t>(layout.starts.size()) - 1;
    if (totals.shape(0) != count) {
        throw py::value_error("totals must hold one total per family (" + std::to_string(count) + "), got " +
                              std::to_string(totals.shape(0)));
    }
    constexpr std::int64_t largest = common::LARGEST_TOTAL;
    std::int64_t omitted = 0;
    for (std::int64_t f = 0; f < count; ++f) {
        const std::int64_t size = layout.starts[f + 1] - layout.starts[f];
        const std::int64_t total = totals.data()[f];
        if (total < size || total > largest) {
            throw py::value_error("totals[" + std::to_string(f) + "] = " + std::to_string(total) +
                                  " must lie in the family's " + std::to_string(size) + " entries ... " +
                                  std::to_string(largest));
        }
        omitted = std::min(largest, omitted + (total - size));
    }
    return omitted;
}

// The families of values given by codes[i] in 0 ... families - 1: their
// layout, the order in which to decide them (largest first) and the number of
// omitted hypotheses when totals are given.
struct GroupedFamilies {
    families::FamilyLayout layout;
    std::vector<std::int64_t> schedule;
    std::int64_t omitted = 0;
};

GroupedFamilies grouped_families(const Values& values, const Codes& codes, std::int64_t families, int workers,
                                 const std::optional<Totals>& totals) {
    require_dimensions(values, 1, "values");
    require_dimensions(codes, 1, "codes");
    require_workers(workers);
    const py::ssize_t n = values.shape(0);
    if (codes.shape(0) != n) {
        throw py::value_error("codes must hold one family number per value (" + std::to_string(n) + "), got " +
                              std::to_string(codes.shape(0)));
    }
    if (families < 0 || families > n) {
        throw py::value_error("families must lie in 0 ... " + std::to_string(n) + " (the number of values), got " +
                              std::to_string(families));
    }
    GroupedFamilies grouped;
    {
        const py::gil_scoped_release release;
        grouped.layout = families::layout_by_code(codes.data(), n, families, workers);
        grouped.schedule = families::largest_first(grouped.layout);
    }
    grouped.omitted = totals ? checked_omitted(*totals, grouped.layout) : 0;
    return grouped;
}

// Value i belongs to family codes[i], in 0 ... families - 1, of totals[f]
// hypotheses if given (the omitted ones as p = 1 or e = 0), else of its
// present values.
Mask grouped_rejections(const Values& values, const Codes& codes, std::int64_t families, const std::string& name,
                        double alpha, int workers, const std::optional<Totals>& totals) {
    const families::Method method = families::method_named(name);
    const GroupedFamilies grouped = grouped_families(values, codes, families, workers, totals);
    const families::FamilyLayout& layout = grouped.layout;
    const std::vector<std::int64_t>& schedule = grouped.schedule;
    const py::ssize_t n = values.shape(0);
    Mask mask(n);
    const auto in = values.unchecked<1>();
    auto out = mask.mutable_unchecked<1>();
    decide_families(method, families, n + grouped.omitted, workers,
                    [&](std::int64_t task, families::FamilyScratch& scratch, const common::CancelFlag* cancel) {
                        const std::int64_t family = schedule[static_cast<std::size_t>(task)];
                        const std::int64_t* positions = layout.order.get() + layout.starts[family];
                        const std::int64_t size = layout.starts[family + 1] - layout.starts[family];
                        // One pass of scattered reads; the decision then reads the copy twice.
                        std::vector<double>& inputs = scratch.inputs;
                        inputs.resize(static_cast<std::size_t>(size));
                        for (std::int64_t j = 0; j < size; ++j) {
                            inputs[j] = in(positions[j]);
                        }
                        const std::optional<std::int64_t> total =
                            totals ? std::optional<std::int64_t>(totals->data()[family]) : std::nullopt;
                        families::decide_family(
                            method, alpha, size, total, [&](std::int64_t j) { return inputs[j]; },
                            [&](std::int64_t j, bool rejected) { out(positions[j]) = rejected; }, scratch.values,
                            cancel, NumpySortInSteps{});
                    });
    return mask;
}

// Levels of one family: `values` in any order (NaN entries missing) of a
// family of `total` hypotheses, by default the present values alone.
Levels levels_of_family(const Contiguous& values, const std::string& name, std::optional<std::int64_t> total,
                        double max_level, int workers) {
    const families::Method method = families::level_method_named(name);
    families::require_max_level(max_level);
    require_dimensions(values, 1, "values");
    require_workers(workers);
    if (total && *total < 0) {
        throw py::value_error("total must be at least 0, got " + std::to_string(*total));
    }
    const py::ssize_t n = values.shape(0);
    Levels levels(n);
    const double* in = values.data();
    double* out = levels.mutable_data();
    const std::int64_t family_total = total.value_or(-1);
    const bool ebh_two_parts = families::closed_ebh_levels_in_two_parts(method, n, workers);
    const bool by_two_parts = families::closed_by_levels_in_two_parts(method, n, workers);
    const auto compute = [&](std::int64_t, families::FamilyScratch&, const common::CancelFlag* cancel) {
        if (ebh_two_parts) {
            families::closed_ebh_family_levels(in, n, family_total, max_level, out, cancel);
            return;
        }
        if (by_two_parts) {
            families::closed_by_family_levels(method, in, n, family_total, max_level, out, cancel);
            return;
        }
        families::LevelScratch scratch;
        families::family_levels(
            method, n, [in](std::int64_t j) { return in[j]; }, [out](std::int64_t j, double level) { out[j] = level; },
            family_total, max_level, scratch, cancel, workers);
    };
    // Step-up levels are one partition, sort and pass; only closed levels,
    // a scan of checks, run on a thread of their own.
    if (method.closed && !families::runs_inline(method, std::max<std::int64_t>(n, family_total))) {
        decide_families(method, 1, std::max<std::int64_t>(n, family_total), 1, compute);
    } else {
        const py::gil_scoped_release release;
        families::run_inline(1, compute);
    }
    return levels;
}

// Levels of the families in the rows of a 2-D array.
Levels row_levels(const Values& values, const std::string& name, double max_level, int workers) {
    const families::Method method = families::level_method_named(name);
    families::require_max_level(max_level);
    require_dimensions(values, 2, "values");
    require_workers(workers);
    const py::ssize_t rows = values.shape(0);
    const py::ssize_t n = values.shape(1);
    Levels levels({rows, n});
    const auto in = values.unchecked<2>();
    auto out = levels.mutable_unchecked<2>();
    decide_families(method, rows, static_cast<std::int64_t>(rows) * n, workers,
                    [&](std::int64_t row, families::FamilyScratch&, const common::CancelFlag* cancel) {
                        families::LevelScratch scratch;
                        families::family_levels(
                            method, n, [&](std::int64_t j) { return in(row, j); },
                            [&](std::int64_t j, double level) { out(row, j) = level; }, -1, max_level, scratch, cancel);
                    });
    return levels;
}

// Levels of the families given by codes[i] in 0 ... families - 1, of
// totals[f] hypotheses if given, else of their present values.
Levels grouped_levels(const Values& values, const Codes& codes, std::int64_t families, const std::string& name,
                      double max_level, int workers, const std::optional<Totals>& totals) {
    const families::Method method = families::level_method_named(name);
    families::require_max_level(max_level);
    const GroupedFamilies grouped = grouped_families(values, codes, families, workers, totals);
    const families::FamilyLayout& layout = grouped.layout;
    const std::vector<std::int64_t>& schedule = grouped.schedule;
    const py::ssize_t n = values.shape(0);
    Levels levels(n);
    const auto in = values.unchecked<1>();
    auto out = levels.mutable_unchecked<1>();
    decide_families(method, families, n + grouped.omitted, workers,
                    [&](std::int64_t task, families::FamilyScratch&, const common::CancelFlag* cancel) {
                        const std::int64_t family = schedule[static_cast<std::size_t>(task)];
                        const std::int64_t* positions = layout.order.get() + layout.starts[family];
                        const std::int64_t size = layout.starts[family + 1] - layout.starts[family];
                        families::LevelScratch scratch;
                        families::family_levels(
                            method, size, [&](std::int64_t j) { return in(positions[j]); },
                            [&](std::int64_t j, double level) { out(positions[j]) = level; },
                            totals ? totals->data()[family] : -1, max_level, scratch, cancel);
                    });
    return levels;
}

// The harmonic numbers H_m the procedures use, for each m of `totals` (0 ...
// LARGEST_TOTAL), and how many took the 113-bit evaluation; `extended`
// forces it above 2^31 - 1.
py::tuple harmonic_numbers(const Totals& totals, bool extended) {
    require_dimensions(totals, 1, "totals");
    const py::ssize_t n = totals.shape(0);
    Levels out(n);
    std::int64_t wide_evaluations = 0;
    for (py::ssize_t i = 0; i < n; ++i) {
        const std::int64_t m = totals.data()[i];
        common::require_family_size(0, m);
        if (m > tarvimo::closed_by::LAST_SUMMED_HARMONIC) {
            const tarvimo::closed_by::RoundedHarmonic h = tarvimo::closed_by::rounded_harmonic(m, extended);
            out.mutable_data()[i] = h.value;
            wide_evaluations += h.extended ? 1 : 0;
        } else {
            out.mutable_data()[i] = tarvimo::closed_by::harmonic_number(m);
        }
    }
    return py::make_tuple(out, wide_evaluations);
}

}  // namespace

PYBIND11_MODULE(_fast, m) {
    m.doc() = "Rejection masks from float64 arrays, computed without the interpreter lock";

    m.def("rejections", &family_rejections, py::arg("values"), py::arg("method"), py::arg("alpha"),
          py::arg("total") = py::none(), py::arg("missing") = py::none(), py::arg("workers") = 1,
          "Mask of one family: `values` in any order, NaN entries missing; `total` counts the hypotheses, "
          "the omitted ones as p = 1 or e = 0 (default: the values that are not NaN). With `missing` ('raise' "
          "or 'omit' NaN entries) the values are checked in the same pass: None when one lies outside the "
          "method's domain (p-values in [0, 1], non-negative e-values) or is NaN under 'raise'. Closed e-BH sorts a "
          "large family on up to `workers` threads (two at most).");
    m.def("row_rejections", &row_rejections, py::arg("values"), py::arg("method"), py::arg("alpha"), py::arg("workers"),
          "Masks of the families in the rows of a 2-D array, decided on up to `workers` threads.");
    m.def("grouped_rejections", &grouped_rejections, py::arg("values"), py::arg("codes"), py::arg("families"),
          py::arg("method"), py::arg("alpha"), py::arg("workers"), py::arg("totals") = py::none(),
          "Mask of the families given by codes[i] in 0 ... families - 1, in the order of `values`, decided on up "
          "to `workers` threads; family f counts totals[f] hypotheses if given, the omitted ones as p = 1 or "
          "e = 0.");
    m.def("levels", &levels_of_family, py::arg("values"), py::arg("method"), py::arg("total") = py::none(),
          py::arg("max_level") = 1.0, py::arg("workers") = 1,
          "Levels of one family (the smallest alpha at which the method rejects each entry, 1.0 where none "
          "below max_level does, NaN for a missing entry); `values` and `total` as for rejections; a large "
          "closed e-BH family sorts on up to `workers` threads (two at most).");
    m.def("row_levels", &row_levels, py::arg("values"), py::arg("method"), py::arg("max_level"), py::arg("workers"),
          "Levels of the families in the rows of a 2-D array, on up to `workers` threads.");
    m.def("grouped_levels", &grouped_levels, py::arg("values"), py::arg("codes"), py::arg("families"),
          py::arg("method"), py::arg("max_level"), py::arg("workers"), py::arg("totals") = py::none(),
          "Levels of the families given by codes[i] in 0 ... families - 1, in the order of `values`, on up to "
          "`workers` threads; family f counts totals[f] hypotheses if given, as for grouped_rejections.");
    m.def("harmonic_numbers", &harmonic_numbers, py::arg("totals"), py::arg("extended") = false,
          "H_m for each m of `totals`: the left-to-right sum up to 2^31 - 1, the nearest double above; and how "
          "many took the 113-bit evaluation (`extended` forces it above 2^31 - 1).");
}
