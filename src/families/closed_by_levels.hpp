#pragma once

// Closed BY levels of one large family of contiguous p-values, without
// ranking every entry. The levels by rank need only the candidates' values
// in rank order: each half of the entries copies its candidates and sorts
// them on a thread of its own, and the two runs are merged on two threads
// (ascending_in_parts). Only the ranks whose level lies below max_level need
// positions, and those are the strongest T ranks, so only those entries are
// ranked. The levels are those of family_levels bit for bit:
// - the candidates are family_levels' own: the present p-values that
//   StepUpCandidates(method, 1.0, max_level) accepts (every present value at
//   max_level = 1), the others counted as omitted. The given entries (the
//   default total) are counted in the same copy.
// - the merged values are the ranking's values in its order, bit for bit,
//   zeros' signs included. RadixSort is stable under a key on which -0.0 and
//   0.0 are equal (std::stable_sort with < below RADIX_FROM, the same), and
//   each half copies its candidates by ascending position, so each run
//   orders its values by value, then position. The stable merge takes the
//   first run's value among equal ones, and every position of the first
//   half precedes the second's: the merge orders all of them by value, then
//   position, which is rank_values' order (ranks_before). closed_by_levels
//   thus reads the same array with the same count, total and max_level; its
//   levels do not depend on its threads.
// - ranks from the last one with a level below max_level on have a level
//   at or above max_level (a later rank with one below would be the last),
//   reported as 1.0 as family_levels reports it; so are the values that are
//   not candidates, and a missing entry is NaN.
// - the ranking's first T entries are every entry with a value below the
//   T-th value w plus the earliest entries equal to w, as many as the
//   sorted values put at ranks up to T. Every present value below w is a
//   candidate, as w is: the test compares min(p 2^j, 1), which does not
//   fall as p grows, with a fixed bound. NaN compares neither below nor
//   equal. strongest_entries gathers exactly those entries and ranks them as
//   rank_values does.
// Ctrl-C is honoured in every long loop: the copies check every
// STOP_CHECK_VALUES entries, the radix sort before every pass, the merge
// every MERGE_PIECE outputs, the level scan, and the gathering of the
// strongest entries.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "common/common.hpp"
#include "families/closed_ebh_family.hpp"
#include "families/levels.hpp"
#include "families/methods.hpp"
#include "families/needed.hpp"
#include "families/rank_order.hpp"

namespace tarvimo::families {

// Whether the levels of a family of n contiguous p-values take this route:
// closed BY with two threads from `two_part_from` entries on, and a count
// of the entries that fits an int.
inline bool closed_by_levels_in_two_parts(const Method& method, std::int64_t n, int threads,
                                          std::int64_t two_part_from = TWO_PART_VALUES) {
    return method.closed && method.evidence == Evidence::pvalues && n <= std::numeric_limits<int>::max() &&
           sorts_in_two_parts(n, threads, two_part_from);
}

// What a copy of candidates saw: the present entries, and the candidates
// among them that it wrote.
struct CandidateScan {
    std::int64_t present = 0;
    std::int64_t kept = 0;
};

// Copies the entries of [start, end) that is_candidate accepts to `to`, in
// order (a missing entry is never one), counting the present ones; checks
// `cancel` every STOP_CHECK_VALUES entries.
inline CandidateScan copy_candidates(const double* in, std::int64_t start, std::int64_t end,
                                     const StepUpCandidates& is_candidate, double* to,
                                     const common::CancelFlag* cancel) {
    CandidateScan scan;
    for (std::int64_t block = start; block < end; block += STOP_CHECK_VALUES) {
        common::stop_if_cancelled(cancel);
        const std::int64_t block_end = std::min(end, block + STOP_CHECK_VALUES);
        for (std::int64_t j = block; j < block_end; ++j) {
            const double v = in[j];
            to[scan.kept] = v;
            scan.kept += is_candidate(v) ? 1 : 0;
            scan.present += std::isnan(v) ? 0 : 1;
        }
    }
    return scan;
}

// The closed BY levels of n contiguous p-values at `in` (NaN missing) of a
// family of `total` hypotheses (-1: the present entries), into `out`; for
// families where closed_by_levels_in_two_parts holds.
inline void closed_by_family_levels(const Method& method, const double* in, std::int64_t n, std::int64_t total,
                                    double max_level, double* out, const common::CancelFlag* cancel) {
    const StepUpCandidates is_candidate(method, 1.0, max_level);
    CandidateScan scans[2];
    const auto copy = [&](int part, std::int64_t start, std::int64_t end, double* to) {
        scans[part] = copy_candidates(in, start, end, is_candidate, to, cancel);
        return scans[part].kept;
    };
    const AscendingValues sorted = ascending_in_parts(n, 2, false, copy, RadixSort{}, cancel);
    const int given = common::checked_count(static_cast<std::size_t>(scans[0].present + scans[1].present), "a family");
    const std::int64_t family_total = total < 0 ? given : total;
    common::require_family_size(given, family_total);
    const double* ascending = sorted.values.get();
    const std::vector<double> levels = closed_by::closed_by_levels(ascending, static_cast<int>(sorted.size),
                                                                   family_total, max_level, cancel, nullptr, 2);
    const std::size_t below = ranks_below(levels, max_level);
    const std::vector<RankedValue> strongest = strongest_entries(in, n, ascending, below, false, cancel);
    for (std::int64_t j = 0; j < n; ++j) {
        out[j] = std::isnan(in[j]) ? std::numeric_limits<double>::quiet_NaN() : 1.0;
    }
    for (std::size_t t = 0; t < below; ++t) {
        out[strongest[t].position] = common::reported_level(levels[t], max_level);
    }
}

}  // namespace tarvimo::families
