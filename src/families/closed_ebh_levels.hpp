#pragma once

// Closed e-BH levels of one large family of contiguous entries, without
// ranking every entry. The levels by rank need only the ascending values:
// they are sorted in two halves at once and merged on two threads with their
// running sums (ascending_evalues, as the mask does). Only the ranks whose
// level lies below max_level need positions, and those are the strongest T
// ranks (levels are nondecreasing in rank), so only those entries are ranked.
// The levels are those of family_levels bit for bit:
// - the values sorted here equal the ranking's values in order up to the sign
//   of zeros among equal zeros (the only doubles that compare equal with
//   different bits; NaN is dropped by both). The running sums are the
//   profile's own additions in its order (closed_ebh_family.hpp) and start at
//   0.0, where 0.0 + -0.0 is 0.0, so the profile is the same. The scan reads
//   the descending values alone in step_up_evalue_levels and failing_level:
//   for e = +-0.0 the e-BH test k e (alpha / m) >= 1 + 1e-12 fails whatever
//   the sign, a zero's threshold search then returning max_level (which
//   leaves the running minimum, at most max_level, as it is), and
//   failing_level's quotient is an infinity of either sign, both mapped to
//   SMALLEST_LEVEL. The settling's family certificate reads the profile.
// - the ranking orders entries by value, the earlier position first among
//   equal values, a total order; its first T entries are every entry
//   stronger than the T-th value v plus the earliest entries equal to v, as
//   many as the sorted values put at ranks up to T. The pass below gathers
//   exactly those, in ascending position, and ranks them the same way.
// The other present entries have levels at or above max_level, reported as
// 1.0, and a missing entry is NaN, as family_levels writes them.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "closed_ebh/closed_ebh.hpp"
#include "common/common.hpp"
#include "families/closed_ebh_family.hpp"
#include "families/levels.hpp"
#include "families/rank_order.hpp"

namespace tarvimo::families {

// Whether the levels of a family of n contiguous e-values take this route:
// the two-part sort needs two threads and a large family, and a count of
// the entries must fit an int.
inline bool closed_ebh_levels_in_two_parts(const Method& method, std::int64_t n, int threads) {
    return method.closed && method.evidence == Evidence::evalues && n <= std::numeric_limits<int>::max() &&
           sorts_in_two_parts(n, threads);
}

// The closed e-BH levels of n contiguous entries at `in` (NaN missing) of a
// family of `total` hypotheses (-1: the present entries), into `out`; for
// families where closed_ebh_levels_in_two_parts holds. Each half is sorted
// by the radix sort (RadixSort), which takes a third of numpy's time on
// doubles without a vectorised sort, and the level scan's two parts run on
// the two threads too.
inline void closed_ebh_family_levels(const double* in, std::int64_t n, std::int64_t total, double max_level,
                                     double* out, const common::CancelFlag* cancel) {
    AscendingValues sorted = ascending_evalues(in, n, 2, cancel, RadixSort{});
    const int given = common::checked_count(static_cast<std::size_t>(sorted.present), "a family");
    const std::int64_t family_total = total < 0 ? given : total;
    common::require_family_size(given, family_total);
    const double* ascending = sorted.values.get();
    std::vector<double> descending;
    common::reserve_advised(descending, static_cast<std::size_t>(given));
    descending.assign(std::make_reverse_iterator(ascending + given), std::make_reverse_iterator(ascending));
    const closed_ebh::EvalueProfile profile(ascending, given, family_total, std::move(sorted.sums));
    const std::vector<double> levels =
        closed_ebh::stays_rejected_levels(descending.data(), profile, max_level, cancel, nullptr, 2);
    const std::size_t below = ranks_below(levels, max_level);
    const std::vector<RankedValue> strongest = strongest_entries(in, n, descending.data(), below, true, cancel);
    for (std::int64_t j = 0; j < n; ++j) {
        out[j] = std::isnan(in[j]) ? std::numeric_limits<double>::quiet_NaN() : 1.0;
    }
    for (std::size_t t = 0; t < below; ++t) {
        out[strongest[t].position] = common::reported_level(levels[t], max_level);
    }
}

}  // namespace tarvimo::families
