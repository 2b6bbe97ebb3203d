#include "closed_ebh/closed_ebh.hpp"

#include "closed_ebh/fast_search.hpp"

namespace tarvimo::closed_ebh {

std::int64_t closed_ebh_count(const double* e, std::int64_t n, std::int64_t total, double alpha, bool approximate,
                              const common::CancelFlag* cancel) {
    return closed_ebh_search(e, n, total, alpha, approximate, cancel);
}

std::int64_t closed_ebh_count(const EvalueProfile& profile, double alpha, bool approximate,
                              const common::CancelFlag* cancel) {
    return closed_ebh_search(profile, alpha, approximate, cancel);
}

}  // namespace tarvimo::closed_ebh
