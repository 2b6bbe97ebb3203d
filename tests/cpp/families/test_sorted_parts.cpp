// Two sorted runs merged from a split point on two sides against std::merge,
// bit for bit (zeros of both signs, ties, infinities), and the running sums
// taken on the way against the profile's own.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "closed_ebh/closed_ebh.hpp"
#include "families/families.hpp"

using namespace tarvimo::families;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// A sorted run of n values drawn from few distinct ones, zeros of both signs among them.
std::vector<double> sorted_run(std::mt19937& rng, int n) {
    const double pool[] = {-0.0, 0.0, 0.0, -0.0, 1e-300, 0.5, 1.0, 1.0, 3.0, 1e300, inf};
    std::uniform_int_distribution<int> pick(0, 10);
    std::vector<double> run(static_cast<std::size_t>(n));
    for (double& v : run) v = pool[pick(rng)];
    std::stable_sort(run.begin(), run.end());
    return run;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

TEST(SortedParts, AMergeSplitAnywhereWritesStdMergesValuesBitForBit) {
    std::mt19937 rng(5);
    for (int round = 0; round < 300; ++round) {
        const std::vector<double> a = sorted_run(rng, round % 23);
        const std::vector<double> b = sorted_run(rng, (round * 7) % 19);
        std::vector<double> expected(a.size() + b.size());
        std::merge(a.begin(), a.end(), b.begin(), b.end(), expected.begin());
        for (std::size_t k = 0; k <= expected.size(); ++k) {
            const std::size_t i = merge_split(a.data(), a.size(), b.data(), b.size(), k);
            ASSERT_LE(i, std::min(k, a.size()));
            ASSERT_LE(k - i, b.size());
            std::vector<double> merged(expected.size());
            std::vector<double> seen(expected.size());
            const auto note = [&](std::size_t o, double v) { seen[o] = v; };
            merge_runs(a.data(), i, b.data(), k - i, merged.data(), note, nullptr);
            merge_runs(
                a.data() + i, a.size() - i, b.data() + (k - i), b.size() - (k - i), merged.data() + k,
                [&](std::size_t o, double v) { seen[k + o] = v; }, nullptr);
            ASSERT_TRUE(same_bits(merged, expected)) << "round " << round << " k " << k;
            ASSERT_TRUE(same_bits(seen, expected));
        }
    }
}

TEST(SortedParts, SegmentsMergedInPairsWriteStdMergesValuesBitForBit) {
    // Two neighbouring segments of the output merged at once, anywhere in
    // it; the first segment's values reach the callback in order.
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        const std::vector<double> a = sorted_run(rng, round % 31);
        const std::vector<double> b = sorted_run(rng, (round * 5) % 29);
        std::vector<double> expected(a.size() + b.size());
        std::merge(a.begin(), a.end(), b.begin(), b.end(), expected.begin());
        std::uniform_int_distribution<std::size_t> cut(0, expected.size());
        std::size_t k[3] = {cut(rng), cut(rng), cut(rng)};
        std::sort(k, k + 3);
        std::vector<double> merged = expected;
        std::fill(merged.begin() + static_cast<std::ptrdiff_t>(k[0]),
                  merged.begin() + static_cast<std::ptrdiff_t>(k[2]), std::numeric_limits<double>::quiet_NaN());
        MergeCursor first = merge_segment(a.data(), a.size(), b.data(), b.size(), merged.data(), k[0], k[1]);
        MergeCursor second = merge_segment(a.data(), a.size(), b.data(), b.size(), merged.data(), k[1], k[2]);
        std::vector<double> seen;
        merge_pair(
            first, second,
            [&](std::size_t o, double v) {
                EXPECT_EQ(o, seen.size());
                seen.push_back(v);
            },
            nullptr);
        ASSERT_TRUE(same_bits(merged, expected)) << "round " << round;
        ASSERT_TRUE(same_bits(seen, std::vector<double>(expected.begin() + static_cast<std::ptrdiff_t>(k[0]),
                                                        expected.begin() + static_cast<std::ptrdiff_t>(k[1]))));
    }
}

TEST(SortedParts, AStopRequestEndsAMerge) {
    const std::vector<double> a(10, 1.0);
    std::vector<double> out(20);
    tarvimo::common::CancelFlag stop{true};
    EXPECT_THROW(merge_runs(
                     a.data(), 10, a.data(), 10, out.data(), [](std::size_t, double) {}, &stop),
                 tarvimo::common::SearchCancelled);
}

TEST(SortedParts, RunningSumsGiveTheProfileItsOwnSumsAndOrderedPrefix) {
    // Sums split where a merge thread hands over, beyond SUM_LIMIT and
    // infinite, with omitted zeros before the values.
    using tarvimo::closed_ebh::EvalueProfile;
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 60; ++round) {
        const int n = round % 40;
        std::vector<double> e(static_cast<std::size_t>(n));
        for (double& v : e) v = round % 3 == 0 ? std::ldexp(unit(rng), 995) : (round % 3 == 1 ? unit(rng) : 1.0 / 3.0);
        if (round % 5 == 4 && n > 0) e.back() = inf;
        std::sort(e.begin(), e.end());
        const std::int64_t total = n + round % 4;
        const EvalueProfile own(e.data(), n, total);
        const std::int64_t handover = n / 2;
        tarvimo::common::DoubleArray sums = tarvimo::common::allocate_doubles(static_cast<std::size_t>(n) + 1);
        sums[0] = 0.0;
        tarvimo::closed_ebh::running_sums(e.data(), handover, sums.get());
        tarvimo::closed_ebh::running_sums(e.data() + handover, n - handover, sums.get() + handover);
        const EvalueProfile given(e.data(), n, total, std::move(sums));
        ASSERT_EQ(std::memcmp(own.sums(), given.sums(), (static_cast<std::size_t>(n) + 1) * sizeof(double)), 0);
        ASSERT_EQ(own.ordered_prefix(), given.ordered_prefix()) << "round " << round;
        ASSERT_EQ(own.zeros(), given.zeros());
    }
    EXPECT_THROW(EvalueProfile(nullptr, 2, 1, tarvimo::common::allocate_doubles(3)), std::invalid_argument);
}

}  // namespace
