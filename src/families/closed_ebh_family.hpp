#pragma once

// Closed e-BH on one family of contiguous entries, its sort shared by two
// threads. The search reads running sums of the ascending e-values across
// the whole family, so every value is sorted; a large family's values are
// copied (domain checked, NaN dropped) and sorted in two halves at once,
// then merged on two threads into the ascending values, the first thread
// also summing its half of them (sorted_parts.hpp). The count and the mask
// are then those of the literal route: the sorted values are the same up to
// the order of 0.0 and -0.0, which any sort leaves as it happens to and which
// changes nothing (every running sum starts at 0.0, and 0.0 + -0.0 is 0.0;
// the tests compare them as equal; the searches give the literal count on
// any ascending input); the sums are the profile's own additions in its
// order; and the count takes rejection_count's steps (the e-BH count, then
// the closed search when e-BH leaves some out).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "closed_ebh/closed_ebh.hpp"
#include "common/common.hpp"
#include "families/masks.hpp"
#include "families/methods.hpp"
#include "families/needed.hpp"
#include "families/sorted_parts.hpp"
#include "families/thread_pool.hpp"

namespace tarvimo::families {

// From this many entries on, a family given two threads sorts in two parts:
// below it the sort takes less than a millisecond, hardly more than starting
// the threads.
constexpr std::int64_t TWO_PART_VALUES = std::int64_t{1} << 16;

inline bool sorts_in_two_parts(std::int64_t n, int threads, std::int64_t two_part_from = TWO_PART_VALUES) {
    return threads >= 2 && n >= two_part_from;
}

// Copies the present entries of [start, end) to `to`, in order, and tells
// whether one is a negative e-value: one loop without branches, which the
// compiler vectorises. Returns them with the present count.
TARVIMO_AVX2_CLONE inline EntryScan copy_block(const double* in, std::int64_t start, std::int64_t end, double* to) {
    int outside = 0;
    std::int64_t kept = 0;
    for (std::int64_t j = start; j < end; ++j) {
        const double v = in[j];
        to[kept] = v;
        kept += v == v ? 1 : 0;
        outside |= outside_domain(v, false);
    }
    return {outside != 0, kept};
}

// copy_block over [start, end), checking `cancel` every STOP_CHECK_VALUES
// entries (outside the vector clones, which do not pass exceptions on).
inline EntryScan copy_present_evalues(const double* in, std::int64_t start, std::int64_t end, double* to,
                                      const common::CancelFlag* cancel) {
    EntryScan scan;
    for (std::int64_t block = start; block < end; block += STOP_CHECK_VALUES) {
        common::stop_if_cancelled(cancel);
        const EntryScan part = copy_block(in, block, std::min(end, block + STOP_CHECK_VALUES), to + scan.present);
        scan.out_of_domain = scan.out_of_domain || part.out_of_domain;
        scan.present += part.present;
    }
    return scan;
}

// The values of a family, ascending, with their running sums when the
// merge computed them (else the profile computes them), and how many of its
// entries are present (the values may hold fewer: those the copy kept).
struct AscendingValues {
    common::DoubleArray values;
    common::DoubleArray sums;
    std::int64_t present = 0;
    std::int64_t size = 0;
    bool out_of_domain = false;
};

// The values that copy(part, start, end, to) keeps of the entries [start,
// end) of n, sorted ascending in `parts` (1 or 2) parts: each part copied
// (copy returns how many values it wrote to `to`, in order) and sorted on a
// thread of its own; with two, merged on two threads, the first summing the
// lower half of the running sums and this thread the upper half after when
// `with_sums`. `present` and `out_of_domain` are left to the caller.
template <typename Copy, typename Sort>
AscendingValues ascending_in_parts(std::int64_t n, int parts, bool with_sums, const Copy& copy, const Sort& sort,
                                   const common::CancelFlag* cancel) {
    AscendingValues sorted;
    common::DoubleArray copied = common::allocate_doubles(static_cast<std::size_t>(n));
    const std::int64_t starts[3] = {0, parts == 2 ? n / 2 : n, n};
    std::int64_t kept[2] = {0, 0};
    run_on_threads(parts, [&](int part) {
        double* first = copied.get() + starts[part];
        kept[part] = copy(part, starts[part], starts[part + 1], first);
        sort(first, first + kept[part], false, cancel);
    });
    if (parts == 1) {
        sorted.values = std::move(copied);
        sorted.size = kept[0];
        return sorted;
    }
    const double* a = copied.get();
    const double* b = copied.get() + starts[1];
    const auto na = static_cast<std::size_t>(kept[0]);
    const auto nb = static_cast<std::size_t>(kept[1]);
    const std::size_t size = na + nb;
    sorted.values = common::allocate_doubles(size);
    if (with_sums) {
        sorted.sums = common::allocate_doubles(size + 1);
    }
    double* out = sorted.values.get();
    double* sums = sorted.sums.get();
    // Each thread merges a half of the output as two quarters at once; the
    // first sums its first quarter on the way and its second after it.
    const std::size_t quarters[5] = {0, size / 4, size / 2, size / 2 + (size - size / 2) / 2, size};
    run_on_threads(2, [&](int part) {
        const std::size_t* bounds = quarters + 2 * part;
        MergeCursor first = merge_segment(a, na, b, nb, out, bounds[0], bounds[1]);
        MergeCursor second = merge_segment(a, na, b, nb, out, bounds[1], bounds[2]);
        if (part == 0 && with_sums) {
            double sum = 0.0;
            sums[0] = sum;
            merge_pair(
                first, second,
                [&sum, sums](std::size_t o, double v) {
                    sum = sum + v;
                    sums[o + 1] = sum;
                },
                cancel);
            closed_ebh::running_sums(out + bounds[1], static_cast<std::int64_t>(bounds[2] - bounds[1]),
                                     sums + bounds[1]);
        } else {
            merge_pair(first, second, [](std::size_t, double) {}, cancel);
        }
    });
    if (with_sums) {
        closed_ebh::running_sums(out + quarters[2], static_cast<std::int64_t>(size - quarters[2]), sums + quarters[2]);
    }
    sorted.size = static_cast<std::int64_t>(size);
    return sorted;
}

// The present entries of n at `in`, copied, checked and sorted ascending in
// `parts` (1 or 2) parts, with the running sums where two parts merge.
template <typename Sort>
AscendingValues ascending_evalues(const double* in, std::int64_t n, int parts, const common::CancelFlag* cancel,
                                  const Sort& sort) {
    EntryScan scans[2];
    const auto copy = [&](int part, std::int64_t start, std::int64_t end, double* to) {
        scans[part] = copy_present_evalues(in, start, end, to, cancel);
        return scans[part].present;
    };
    AscendingValues sorted = ascending_in_parts(n, parts, true, copy, sort, cancel);
    sorted.out_of_domain = scans[0].out_of_domain || (parts == 2 && scans[1].out_of_domain);
    sorted.present = sorted.size;
    return sorted;
}

// The closed e-BH count of the family whose present e-values `sorted`
// holds ascending, of `total` hypotheses: rejection_count's steps.
inline int closed_ebh_family_count(const Method& method, double alpha, std::int64_t total, AscendingValues& sorted,
                                   const common::CancelFlag* cancel) {
    const int n = common::checked_count(static_cast<std::size_t>(sorted.present), "a family");
    if (n == 0) {
        return 0;
    }
    const double* values = sorted.values.get();
    const int step_up =
        static_cast<int>(std::min<std::int64_t>(n, sorted_step_up_count(method, alpha, total, values, n)));
    if (step_up == n) {
        return n;
    }
    const closed_ebh::EvalueProfile profile = sorted.sums
                                                  ? closed_ebh::EvalueProfile(values, n, total, std::move(sorted.sums))
                                                  : closed_ebh::EvalueProfile(values, n, total);
    const std::int64_t closed = closed_ebh::closed_ebh_count(profile, alpha, method.approximate, cancel);
    return std::max(step_up, static_cast<int>(std::min<std::int64_t>(closed, n)));
}

// Closed e-BH (exact or approximate) on n contiguous entries at `in` of
// `total` hypotheses (default: the present entries), at least n, with at
// most 2^31 - 1 entries; its mask into `out`. With `domain.check` the
// entries are checked in the copy: false, nothing decided, when one lies
// outside the domain. `threads` (1 or more) bounds the threads used; the
// family sorts in two parts from `two_part_from` entries on.
template <typename Sort>
bool decide_closed_ebh_family(const Method& method, double alpha, std::int64_t n, std::optional<std::int64_t> total,
                              const double* in, bool* out, const DomainCheck& domain, int threads,
                              const common::CancelFlag* cancel, const Sort& sort,
                              std::int64_t two_part_from = TWO_PART_VALUES) {
    const int parts = sorts_in_two_parts(n, threads, two_part_from) ? 2 : 1;
    AscendingValues sorted = ascending_evalues(in, n, parts, cancel, sort);
    if (!in_domain({sorted.out_of_domain, sorted.present}, n, domain)) {
        return false;
    }
    const std::int64_t family_total = total.value_or(sorted.present);
    common::require_family_size(sorted.present, family_total);
    const int count = closed_ebh_family_count(method, alpha, family_total, sorted, cancel);
    mark_strongest(in, out, n, sorted.values.get(), static_cast<std::size_t>(sorted.present), count, true, cancel);
    return true;
}

}  // namespace tarvimo::families
