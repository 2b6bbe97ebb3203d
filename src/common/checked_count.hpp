#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

namespace tarvimo::common {

// The routines index their vectors with signed 32-bit counts; a longer vector
// is refused instead of letting its length wrap.
inline int checked_count(std::size_t n, const char* name) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (n > limit) {
        throw std::length_error(std::string(name) + " holds " + std::to_string(n) +
                                " values, more than the supported " + std::to_string(limit));
    }
    return static_cast<int>(n);
}

}  // namespace tarvimo::common
