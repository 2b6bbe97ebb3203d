// The radix ranking of a family's values against std::sort with the
// comparison the levels used before it: random values of both kinds, ties,
// signed zeros, infinities, subnormals, negative values, values apart in
// their lowest bit only, and lengths around the switch to the radix sort.
// The radix sort of plain doubles (RadixSort) against std::stable_sort on
// the same values, bit for bit: -0.0 and 0.0 keep the order they had.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "families/families.hpp"

namespace {

using tarvimo::families::ascending_key;
using tarvimo::families::RADIX_FROM;
using tarvimo::families::RadixSort;
using tarvimo::families::rank_values;
using tarvimo::families::RankedValue;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double TINY = std::numeric_limits<double>::denorm_min();

void expect_ranked_like_std_sort(const std::vector<double>& values, bool larger_is_stronger) {
    std::vector<RankedValue> ranked;
    for (std::size_t j = 0; j < values.size(); ++j) {
        ranked.push_back({values[j], static_cast<std::int64_t>(j)});
    }
    std::vector<RankedValue> expected = ranked;
    std::sort(expected.begin(), expected.end(), [larger_is_stronger](const RankedValue& a, const RankedValue& b) {
        if (a.value != b.value) {
            return larger_is_stronger ? a.value > b.value : a.value < b.value;
        }
        return a.position < b.position;
    });
    std::vector<RankedValue> spare(3);  // stale contents must not matter
    rank_values(ranked, spare, larger_is_stronger);
    ASSERT_EQ(ranked.size(), expected.size());
    for (std::size_t t = 0; t < ranked.size(); ++t) {
        ASSERT_EQ(ranked[t].position, expected[t].position) << "rank " << t << " of " << ranked.size();
        ASSERT_EQ(std::signbit(ranked[t].value), std::signbit(expected[t].value)) << t;
        ASSERT_EQ(ranked[t].value, expected[t].value) << t;
    }
}

void expect_sorted_like_std_sort(const std::vector<double>& values, bool descending) {
    std::vector<double> expected = values;
    if (descending) {
        std::stable_sort(expected.begin(), expected.end(), std::greater<>());
    } else {
        std::stable_sort(expected.begin(), expected.end());
    }
    std::vector<double> sorted = values;
    RadixSort{}(sorted.data(), sorted.data() + sorted.size(), descending, nullptr);
    for (std::size_t t = 0; t < sorted.size(); ++t) {
        ASSERT_EQ(sorted[t], expected[t]) << t << " of " << sorted.size();
        ASSERT_EQ(std::signbit(sorted[t]), std::signbit(expected[t])) << t << " of " << sorted.size();
    }
}

void expect_both_directions(const std::vector<double>& values) {
    expect_ranked_like_std_sort(values, true);
    expect_ranked_like_std_sort(values, false);
    expect_sorted_like_std_sort(values, true);
    expect_sorted_like_std_sort(values, false);
}

TEST(RankOrder, KeysOrderAsTheDoublesWithSignedZerosEqual) {
    const double max = std::numeric_limits<double>::max();
    const double least = std::numeric_limits<double>::min();
    const std::vector<double> ascending{-INF, -max, -1.0,  -least, -TINY, -0.0,
                                        0.0,  TINY, least, 1e-300, 0.05,  std::nextafter(1.0, 0.0),
                                        1.0,  20.0, max,   INF};
    for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
        if (ascending[i] == ascending[i + 1]) {
            EXPECT_EQ(ascending_key(ascending[i]), ascending_key(ascending[i + 1])) << i;
        } else {
            EXPECT_LT(ascending_key(ascending[i]), ascending_key(ascending[i + 1])) << i;
        }
    }
    // neighbouring doubles keep neighbouring keys on each side of zero
    EXPECT_EQ(ascending_key(std::nextafter(1.0, 2.0)), ascending_key(1.0) + 1);
    EXPECT_EQ(ascending_key(-1.0), ascending_key(std::nextafter(-1.0, 0.0)) - 1);
}

TEST(RankOrder, RandomValuesOfBothKindsRankAsStdSort) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, RADIX_FROM - 1, RADIX_FROM, RADIX_FROM + 1,
                                std::size_t{20000}, std::size_t{100000}}) {
        std::vector<double> evalues(n);
        std::vector<double> pvalues(n);
        for (std::size_t j = 0; j < n; ++j) {
            const double z = normal(rng) + (j % 10 == 0 ? 3.0 : 0.0);
            evalues[j] = std::exp(z - 0.5);
            pvalues[j] = 0.5 * std::erfc(z / std::sqrt(2.0));
        }
        expect_both_directions(evalues);
        expect_both_directions(pvalues);
    }
}

TEST(RankOrder, TiesZerosInfinitiesAndSubnormalsRankAsStdSort) {
    std::mt19937_64 rng(12);
    const std::vector<double> pool{0.0,  -0.0,       TINY,   2 * TINY, -TINY, INF,  -INF, 1.0,
                                   0.05, 1.0 / 0.05, 1e-310, 1e308,    -2.5,  0.25, 0.5,  std::nextafter(0.5, 1.0)};
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    for (const std::size_t n : {RADIX_FROM / 2, RADIX_FROM + 3, std::size_t{4096}, std::size_t{50000}}) {
        std::vector<double> values(n);
        for (double& v : values) {
            v = pool[pick(rng)];
        }
        expect_both_directions(values);
    }
}

TEST(RankOrder, DigitsSharedByEveryValueAndValuesApartInTheirLastBits) {
    std::mt19937_64 rng(13);
    for (const std::size_t n : {RADIX_FROM, 3 * RADIX_FROM}) {
        // all equal: every digit is skipped, the positions stay in order
        expect_both_directions(std::vector<double>(n, 1.01 / 0.05));
        expect_both_directions(std::vector<double>(n, -0.0));
        // apart in the lowest bits only: only the lowest digit moves
        std::vector<double> last_bits(n);
        std::uniform_int_distribution<int> steps(0, 7);
        for (double& v : last_bits) {
            v = 3.0;
            for (int s = steps(rng); s > 0; --s) {
                v = std::nextafter(v, INF);
            }
        }
        expect_both_directions(last_bits);
        // already ranked and ranked backwards
        std::vector<double> ascending(n);
        for (std::size_t j = 0; j < n; ++j) {
            ascending[j] = static_cast<double>(j / 3) * 0.001;
        }
        expect_both_directions(ascending);
    }
}

TEST(RankOrder, RadixSortStopsWhenCancelled) {
    std::vector<double> values(RADIX_FROM * 2);
    for (std::size_t j = 0; j < values.size(); ++j) {
        values[j] = static_cast<double>((j * 7919) % values.size());
    }
    tarvimo::common::CancelFlag cancel{true};
    EXPECT_THROW(RadixSort{}(values.data(), values.data() + values.size(), false, &cancel),
                 tarvimo::common::SearchCancelled);
    cancel = false;
    RadixSort{}(values.data(), values.data() + values.size(), false, &cancel);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
}

}  // namespace
