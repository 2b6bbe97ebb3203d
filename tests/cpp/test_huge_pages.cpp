// Buffers advised for huge pages: the aligned range the advice covers, the
// alignment and failure of allocate_doubles, and the running sums of a family
// large enough to take such a buffer, against a literal running sum.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "closed_ebh/profile.hpp"
#include "common/common.hpp"

namespace {

using tarvimo::common::allocate_doubles;
using tarvimo::common::HUGE_PAGE_ADVICE_BYTES;
using tarvimo::common::HUGE_PAGE_BYTES;
using tarvimo::common::reserve_advised;
using tarvimo::common::whole_huge_pages;

const void* at(std::uintptr_t address) { return reinterpret_cast<const void*>(address); }

// Reserving with advice keeps what a vector holds, small or large, fresh or
// with room already; the room is there for pushes without moving.
TEST(HugePages, ReservedVectorsKeepTheirValues) {
    const std::size_t large = HUGE_PAGE_ADVICE_BYTES / sizeof(double) + 3;
    for (const std::size_t n : {std::size_t{0}, std::size_t{5}, large}) {
        std::vector<double> values{1.5, -0.0, 3.0};
        reserve_advised(values, n);
        ASSERT_GE(values.capacity(), n);
        EXPECT_EQ(values, (std::vector<double>{1.5, -0.0, 3.0}));
        EXPECT_TRUE(std::signbit(values[1]));
        const double* first = values.data();
        while (values.size() < n) {
            values.push_back(static_cast<double>(values.size()));
        }
        EXPECT_EQ(values.data(), first);
        if (n > 3) {
            EXPECT_EQ(values.back(), static_cast<double>(n - 1));
        }
        reserve_advised(values, 1);  // room already there: nothing moves
        EXPECT_EQ(values.data(), first);
    }
}

TEST(HugePages, AdviceCoversOnlyWholeAlignedPages) {
    const std::uintptr_t page = HUGE_PAGE_BYTES;
    // exactly two pages from a boundary
    auto range = whole_huge_pages(at(8 * page), 2 * page);
    EXPECT_EQ(range.start, 8 * page);
    EXPECT_EQ(range.bytes, 2 * page);
    // one byte short at either end loses that page
    range = whole_huge_pages(at(8 * page + 1), 2 * page - 1);
    EXPECT_EQ(range.start, 9 * page);
    EXPECT_EQ(range.bytes, page);
    range = whole_huge_pages(at(8 * page), 2 * page - 1);
    EXPECT_EQ(range.start, 8 * page);
    EXPECT_EQ(range.bytes, page);
    // a range within one page, or straddling a boundary without a whole page
    EXPECT_EQ(whole_huge_pages(at(8 * page + 16), page - 32).bytes, 0u);
    EXPECT_EQ(whole_huge_pages(at(8 * page + page / 2), page).bytes, 0u);
    EXPECT_EQ(whole_huge_pages(at(8 * page), 0).bytes, 0u);
}

TEST(HugePages, LargeArraysStartOnAPageAndSmallOnesExist) {
    const std::size_t large = HUGE_PAGE_ADVICE_BYTES / sizeof(double) + 3;
    const auto values = allocate_doubles(large);
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(values.get()) % HUGE_PAGE_BYTES, 0u);
    // the whole array is usable memory
    std::memset(values.get(), 0xff, large * sizeof(double));
    values[large - 1] = 1.5;
    EXPECT_EQ(values[large - 1], 1.5);
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, HUGE_PAGE_ADVICE_BYTES / sizeof(double) - 1}) {
        const auto small = allocate_doubles(n);
        EXPECT_NE(small, nullptr) << n;
    }
}

TEST(HugePages, SizesBeyondMemoryAreRefused) {
    const std::size_t most = std::numeric_limits<std::size_t>::max();
    EXPECT_THROW(allocate_doubles(most / sizeof(double)), std::bad_alloc);
    EXPECT_THROW(allocate_doubles((most - HUGE_PAGE_BYTES) / sizeof(double) + 1), std::bad_alloc);
}

TEST(HugePages, LargeProfileSumsAsTheLiteralRunningSum) {
    // more than HUGE_PAGE_ADVICE_BYTES of sums, with ties, zeros of both signs
    // and values that round the sum
    const std::int64_t n = static_cast<std::int64_t>(HUGE_PAGE_ADVICE_BYTES / sizeof(double)) + 1001;
    std::mt19937_64 random(20261209);
    std::lognormal_distribution<double> evalue(-0.5, 1.0);
    std::vector<double> e(static_cast<std::size_t>(n));
    for (auto& v : e) {
        v = evalue(random);
    }
    e[0] = -0.0;
    e[1] = 0.0;
    std::sort(e.begin() + 2, e.end());
    e[100] = e[101];
    const std::int64_t total = n + 7;
    const tarvimo::closed_ebh::EvalueProfile profile(e.data(), n, total);
    double sum = 0.0;
    for (std::int64_t i = 0; i <= total; ++i) {
        if (i > 0) {
            sum = sum + profile.value(i - 1);
        }
        ASSERT_EQ(profile[i], sum) << i;
    }
    EXPECT_EQ(profile.ordered_prefix(), total);
}

}  // namespace
