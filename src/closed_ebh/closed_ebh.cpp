#include "closed_ebh/closed_ebh.hpp"

#include "closed_ebh/fast_search.hpp"

namespace tarvimo::closed_ebh {

int closed_ebh_count(const double* e, int n, int total, double alpha, bool approximate,
                     const common::CancelFlag* cancel) {
    return closed_ebh_search(e, n, total, alpha, approximate, cancel);
}

}  // namespace tarvimo::closed_ebh
