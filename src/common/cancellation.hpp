#pragma once

#include <atomic>
#include <stdexcept>

namespace tarvimo::common {

// Another thread sets the flag to stop a long search; the searches poll it
// and stop by throwing SearchCancelled. A null flag means "never cancelled".
using CancelFlag = std::atomic<bool>;

struct SearchCancelled : std::runtime_error {
    SearchCancelled() : std::runtime_error("search cancelled") {}
};

inline void stop_if_cancelled(const CancelFlag* cancel) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
        throw SearchCancelled();
    }
}

}  // namespace tarvimo::common
