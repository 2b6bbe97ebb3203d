#include "closed_by/closed_by.hpp"

#include <limits>

#include "closed_by/fast_check.hpp"
#include "closed_by/fast_search.hpp"
#include "closed_by/harmonic_table.hpp"

namespace tarvimo::closed_by {

namespace {

// Whether the family's values never increase (NaN breaks it), the omitted
// ones included.
bool family_is_sorted(const double* given, int n, std::int64_t pad) {
    double previous = pad > 0 ? 1.0 : std::numeric_limits<double>::infinity();
    for (int i = 0; i < n; ++i) {
        if (!(given[i] <= previous)) {
            return false;
        }
        previous = given[i];
    }
    return true;
}

}  // namespace

cBYCheckResult closed_by_check(const std::vector<double>& p, int r, const std::vector<double>& harmonic, int warm_s,
                               double alpha) {
    return certified_cby_check(p, r, harmonic, warm_s, alpha);
}

std::int64_t closed_by_count(const double* p, int n, std::int64_t total, double alpha, bool approximate,
                             const common::CancelFlag* cancel) {
    return certified_closed_by_count(p, n, total, alpha, approximate, cancel);
}

std::int64_t by_count(const double* p, int n, std::int64_t total, double alpha) {
    common::require_family_size(n, total);
    return by_scan(PFamily{p, n, total - n, total}, harmonic_number(total), alpha, family_is_sorted(p, n, total - n));
}

std::int64_t bh_count(const double* p, int n, std::int64_t total, double alpha) {
    common::require_family_size(n, total);
    return by_scan(PFamily{p, n, total - n, total}, 1.0, alpha, family_is_sorted(p, n, total - n));
}

}  // namespace tarvimo::closed_by
