#pragma once

// The layout of families given by a code per value: a counting sort of the
// positions by code, shared out over threads, and the order in which the
// families are handed to the pool.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "families/thread_pool.hpp"

namespace tarvimo::families {

// Families given by a code per value: the positions of family f are
// order[starts[f]] ... order[starts[f + 1] - 1], ascending.
struct FamilyLayout {
    std::vector<std::int64_t> starts;
    std::unique_ptr<std::int64_t[]> order;  // every entry written by the layout, so left uninitialised before
};

// Codes counted or placed by one thread at least, when the layout is
// shared out: below this, starting threads costs more than it saves.
constexpr std::int64_t LAYOUT_CHUNK = std::int64_t{1} << 20;
constexpr std::int64_t LAYOUT_CODES_PER_FAMILY = 16;

// A counting sort of the positions by their codes, each in 0 ... families - 1,
// on up to `threads` threads: each counts, then places, the codes of its own
// contiguous part, so the positions of a family stay ascending.
inline FamilyLayout layout_by_code(const std::int64_t* codes, std::int64_t n, std::int64_t families, int threads = 1) {
    // Each part keeps a count per family: share out only where families are few beside the codes.
    const int parts = families * LAYOUT_CODES_PER_FAMILY > n
                          ? 1
                          : static_cast<int>(std::clamp<std::int64_t>(n / LAYOUT_CHUNK, 1, std::max(threads, 1)));
    const auto part_start = [&](int t) { return n / parts * t + std::min<std::int64_t>(t, n % parts); };
    const auto families_size = static_cast<std::size_t>(families);
    // counts[t * families + f]: the codes f in part t, then where part t places its first f
    std::vector<std::int64_t> counts(static_cast<std::size_t>(parts) * families_size, 0);
    std::vector<std::int64_t> bad(static_cast<std::size_t>(parts), -1);  // a part's first code out of range
    run_on_threads(parts, [&](int t) {
        std::int64_t* count = counts.data() + static_cast<std::size_t>(t) * families_size;
        for (std::int64_t i = part_start(t), end = part_start(t + 1); i < end; ++i) {
            const std::int64_t code = codes[i];
            if (code < 0 || code >= families) {
                bad[static_cast<std::size_t>(t)] = i;
                return;
            }
            ++count[code];
        }
    });
    for (const std::int64_t i : bad) {
        if (i >= 0) {
            throw std::invalid_argument("codes[" + std::to_string(i) + "] = " + std::to_string(codes[i]) +
                                        " is not a family number in 0 ... " + std::to_string(families - 1));
        }
    }
    FamilyLayout layout{std::vector<std::int64_t>(families_size + 1, 0),
                        std::unique_ptr<std::int64_t[]>(new std::int64_t[static_cast<std::size_t>(n)])};
    std::int64_t next = 0;
    for (std::size_t f = 0; f < families_size; ++f) {
        layout.starts[f] = next;
        for (int t = 0; t < parts; ++t) {
            std::int64_t& count = counts[static_cast<std::size_t>(t) * families_size + f];
            const std::int64_t placed = count;
            count = next;
            next += placed;
        }
    }
    layout.starts[families_size] = next;
    run_on_threads(parts, [&](int t) {
        std::int64_t* place = counts.data() + static_cast<std::size_t>(t) * families_size;
        for (std::int64_t i = part_start(t), end = part_start(t + 1); i < end; ++i) {
            layout.order[place[codes[i]]++] = i;
        }
    });
    return layout;
}

// The families, largest first, so that a large family does not start last
// and leave the other threads idle.
inline std::vector<std::int64_t> largest_first(const FamilyLayout& layout) {
    std::vector<std::int64_t> schedule(layout.starts.size() - 1);
    for (std::size_t f = 0; f < schedule.size(); ++f) {
        schedule[f] = static_cast<std::int64_t>(f);
    }
    const auto size = [&](std::int64_t f) { return layout.starts[f + 1] - layout.starts[f]; };
    std::stable_sort(schedule.begin(), schedule.end(),
                     [&](std::int64_t a, std::int64_t b) { return size(a) > size(b); });
    return schedule;
}

}  // namespace tarvimo::families
