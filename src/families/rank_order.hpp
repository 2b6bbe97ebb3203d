#pragma once

// The ranking of a family's values, strongest first and the earlier entry
// first among equal values, by a least-significant-digit radix sort on
// order-preserving 64-bit keys. It yields the order of std::sort with the
// comparison
//     a.value != b.value ? (stronger value first) : a.position < b.position
// on values without NaN, which orders every pair of entries (positions are
// distinct), so that order is the only one either sort can produce:
// - the key of a double orders as the double does: a non-negative double's
//   bits grow with it, and flipping them turns the order of the negatives'
//   bits (which grow as the value falls) around below the positives; -0.0
//   takes +0.0's key, the two comparing equal; +-inf order as any double;
// - for "larger is stronger" every key is complemented, which reverses the
//   order and keeps equal keys equal;
// - the radix sort is stable, so entries with equal keys (equal values) keep
//   the order they were given in: by position, which the caller provides
//   ascending.
// The same sort on plain doubles (RadixSort) sorts the halves of a large
// closed e-BH or closed BY family for its levels.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "common/common.hpp"

namespace tarvimo::families {

struct RankedValue {
    double value;
    std::int64_t position;
};

// Bits per radix digit: eight passes over 256 buckets each were faster at
// 10^6 values than six over 2,048 or four over 65,536 (26 against 31 and
// 32 ms), the scattered writes going to fewer places at once.
constexpr int RADIX_BITS = 8;
constexpr int RADIX_DIGITS = (64 + RADIX_BITS - 1) / RADIX_BITS;
constexpr std::size_t RADIX_BUCKETS = std::size_t{1} << RADIX_BITS;
// Below this many values std::sort with the comparison is faster (63
// against 77 us at 4,096 values; 241 against 114 us at 6,000).
constexpr std::size_t RADIX_FROM = 5000;

// A key whose unsigned order is the order of the doubles (no NaN), with
// -0.0 and +0.0 equal.
inline std::uint64_t ascending_key(double value) {
    const double canonical = value == 0.0 ? 0.0 : value;
    std::uint64_t bits;
    std::memcpy(&bits, &canonical, sizeof bits);
    const std::uint64_t sign = std::uint64_t{1} << 63;
    return (bits & sign) != 0 ? ~bits : bits | sign;
}

// The key under which the strongest value comes first.
inline std::uint64_t strength_key(double value, bool larger_is_stronger) {
    const std::uint64_t key = ascending_key(value);
    return larger_is_stronger ? ~key : key;
}

// Whether a ranks before b: the comparison the radix sort reproduces.
inline bool ranks_before(const RankedValue& a, const RankedValue& b, bool larger_is_stronger) {
    if (a.value != b.value) {
        return larger_is_stronger ? a.value > b.value : a.value < b.value;
    }
    return a.position < b.position;
}

// Sorts the n entries at `data` stably by key(entry) ascending, as unsigned
// 64-bit keys, one digit at a time from the least significant; `spare`
// holds n entries. Returns where the sorted entries lie: `data` or `spare`.
// `stop` is called before every pass that moves entries.
template <typename T, typename Key, typename Stop>
T* radix_sort(T* data, T* spare, std::size_t n, const Key& key, const Stop& stop) {
    if (n == 0) {
        return data;
    }
    const auto digit = [&key](const T& entry, int d) {
        return static_cast<std::size_t>((key(entry) >> (d * RADIX_BITS)) & (RADIX_BUCKETS - 1));
    };
    // Every digit's counts in one pass.
    std::vector<std::array<std::size_t, RADIX_BUCKETS>> counts(RADIX_DIGITS);
    for (auto& count : counts) {
        count.fill(0);
    }
    for (std::size_t t = 0; t < n; ++t) {
        const std::uint64_t k = key(data[t]);
        for (int d = 0; d < RADIX_DIGITS; ++d) {
            ++counts[static_cast<std::size_t>(d)][(k >> (d * RADIX_BITS)) & (RADIX_BUCKETS - 1)];
        }
    }
    T* from = data;
    T* to = spare;
    for (int d = 0; d < RADIX_DIGITS; ++d) {
        std::array<std::size_t, RADIX_BUCKETS>& count = counts[static_cast<std::size_t>(d)];
        // A digit shared by every value moves nothing.
        if (count[digit(from[0], d)] == n) {
            continue;
        }
        stop();
        std::size_t start = 0;
        for (std::size_t& c : count) {
            const std::size_t here = c;
            c = start;
            start += here;
        }
        for (std::size_t t = 0; t < n; ++t) {
            to[count[digit(from[t], d)]++] = from[t];
        }
        std::swap(from, to);
    }
    return from;
}

// Sorts `ranked` (no NaN values, positions ascending) strongest first, the
// earlier position first among equal values; `spare` is working storage.
inline void rank_values(std::vector<RankedValue>& ranked, std::vector<RankedValue>& spare, bool larger_is_stronger) {
    const std::size_t n = ranked.size();
    if (n < RADIX_FROM) {
        std::sort(ranked.begin(), ranked.end(), [larger_is_stronger](const RankedValue& a, const RankedValue& b) {
            return ranks_before(a, b, larger_is_stronger);
        });
        return;
    }
    common::reserve_advised(spare, n);
    spare.resize(n);
    const auto key = [larger_is_stronger](const RankedValue& entry) {
        return strength_key(entry.value, larger_is_stronger);
    };
    if (radix_sort(ranked.data(), spare.data(), n, key, [] {}) != ranked.data()) {
        ranked.swap(spare);
    }
}

// Sorts doubles (no NaN) ascending or descending by the same radix sort,
// stably: -0.0 and 0.0 (equal keys) keep the order they were given in, so
// the sorted sequence is fully determined, zeros' signs included. Below
// RADIX_FROM values std::stable_sort, which orders them the same way.
// The sort interface of sort_in_steps.hpp; `cancel` is checked before
// every pass.
struct RadixSort {
    void operator()(double* first, double* last, bool descending, const common::CancelFlag* cancel) const {
        const auto n = static_cast<std::size_t>(last - first);
        common::stop_if_cancelled(cancel);
        if (n < RADIX_FROM) {
            if (descending) {
                std::stable_sort(first, last, std::greater<>());
            } else {
                std::stable_sort(first, last);
            }
            return;
        }
        common::DoubleArray spare = common::allocate_doubles(n);
        const auto key = [descending](double v) {
            const std::uint64_t k = ascending_key(v);
            return descending ? ~k : k;
        };
        const double* sorted = radix_sort(first, spare.get(), n, key, [cancel] { common::stop_if_cancelled(cancel); });
        if (sorted != first) {
            std::copy(sorted, sorted + n, first);
        }
    }
};

}  // namespace tarvimo::families
