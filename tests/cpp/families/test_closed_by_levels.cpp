// The closed BY levels of one family sorted in two halves and ranked only
// below max_level, against family_levels ranking every candidate on one
// thread: bit for bit, on families small enough to force the route (ties
// across halves and across the last rank below max_level, signed zeros,
// missing entries, a total above the given entries, no candidate at all),
// at max_level 1, 0.1 and 1e-3 and at levels found; the
// route's threshold, its refusal of a total below the entries, and a stop
// request.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "common/common.hpp"
#include "families/families.hpp"

namespace {

using tarvimo::families::closed_by_family_levels;
using tarvimo::families::closed_by_levels_in_two_parts;
using tarvimo::families::family_levels;
using tarvimo::families::LevelScratch;
using tarvimo::families::Method;
using tarvimo::families::method_named;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double MAX_LEVELS[] = {1.0, 0.1, 1e-3};

std::vector<double> one_thread_levels(const Method& method, const std::vector<double>& p, std::int64_t total,
                                      double max_level) {
    std::vector<double> out(p.size());
    LevelScratch scratch;
    family_levels(
        method, static_cast<std::int64_t>(p.size()), [&p](std::int64_t j) { return p[j]; },
        [&out](std::int64_t j, double level) { out[j] = level; }, total, max_level, scratch, nullptr, 1);
    return out;
}

void expect_levels_of_one_thread(const std::vector<double>& p, std::int64_t total,
                                 const std::vector<double>& max_levels = {std::begin(MAX_LEVELS),
                                                                          std::end(MAX_LEVELS)}) {
    const Method method = method_named("closed_by");
    for (const double max_level : max_levels) {
        const std::vector<double> expected = one_thread_levels(method, p, total, max_level);
        std::vector<double> got(p.size(), -5.0);
        closed_by_family_levels(method, p.data(), static_cast<std::int64_t>(p.size()), total, max_level, got.data(),
                                nullptr);
        for (std::size_t j = 0; j < p.size(); ++j) {
            if (std::isnan(expected[j])) {
                ASSERT_TRUE(std::isnan(got[j])) << j;
            } else {
                ASSERT_EQ(got[j], expected[j])
                    << "entry " << j << " of " << p.size() << ", max_level " << max_level << ", total " << total;
            }
        }
    }
}

// p-values as a study gives them (10% signals), with ties drawn from a few
// values, zeros of both signs and missing entries mixed in.
std::vector<double> study_pvalues(std::size_t n, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform;
    const std::vector<double> tied{0.0, -0.0, 1e-5, 1e-4, 0.001, 0.01, 0.05, 1.0};
    std::vector<double> p(n);
    for (double& v : p) {
        const double u = uniform(rng);
        const double z = normal(rng) + (u < 0.1 ? 3.5 : 0.0);
        v = 0.5 * std::erfc(z / std::sqrt(2.0));
        if (u > 0.8) {
            v = tied[static_cast<std::size_t>(uniform(rng) * static_cast<double>(tied.size()))];
        } else if (u > 0.75) {
            v = NaN;
        }
    }
    return p;
}

TEST(ClosedByTwoPartLevels, EqualTheOneThreadLevelsOnStudies) {
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{57}, std::size_t{400},
                                std::size_t{3001}, std::size_t{12000}, std::size_t{25000}}) {
        const std::vector<double> p = study_pvalues(n, static_cast<std::uint32_t>(n));
        std::int64_t present = 0;
        for (const double v : p) {
            present += std::isnan(v) ? 0 : 1;
        }
        expect_levels_of_one_thread(p, -1);
        expect_levels_of_one_thread(p, present + 700);
    }
}

TEST(ClosedByTwoPartLevels, EqualTheOneThreadLevelsOnTiesAndZeros) {
    // Ties that straddle the halves and the last rank below max_level, zeros
    // of both signs in either half, and a family without candidates.
    std::vector<double> tied;
    for (int j = 0; j < 3000; ++j) {
        tied.push_back(j % 7 == 0 ? -0.0 : j % 5 == 0 ? 0.0 : 1e-4 * static_cast<double>(1 + j % 40));
    }
    expect_levels_of_one_thread(tied, -1);
    expect_levels_of_one_thread(tied, 5000);
    expect_levels_of_one_thread(std::vector<double>(6000, 0.002), -1);
    expect_levels_of_one_thread(std::vector<double>(6000, -0.0), 9000);
    expect_levels_of_one_thread(std::vector<double>(500, 0.9), -1);
    expect_levels_of_one_thread(std::vector<double>(500, NaN), 20);
    expect_levels_of_one_thread({}, -1);
    expect_levels_of_one_thread({}, 10);
}

TEST(ClosedByTwoPartLevels, EqualTheOneThreadLevelsWithTiesAcrossMaxLevel) {
    // Small families drawing from a pool of a few values, so that equal
    // values may get different levels; max_level is each level found, so
    // that ties straddle the last rank below it.
    const Method method = method_named("closed_by");
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> uniform;
    int straddled = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const auto n = static_cast<std::size_t>(5 + trial % 55);
        std::vector<double> pool;
        for (int k = 0; k < 4; ++k) {
            pool.push_back(std::pow(0.05 * uniform(rng), 1.0 + 2.0 * uniform(rng)));
        }
        std::vector<double> p(n);
        for (double& v : p) {
            const double u = uniform(rng);
            v = u < 0.5 ? pool[static_cast<std::size_t>(u * 8.0)] : uniform(rng);
        }
        const std::vector<double> levels = one_thread_levels(method, p, -1, 1.0);
        std::vector<double> max_levels;
        for (std::size_t i = 0; i < n; ++i) {
            if (levels[i] < 1.0) {
                max_levels.push_back(levels[i]);
            }
            for (std::size_t j = 0; j < i; ++j) {
                straddled += p[i] == p[j] && levels[i] != levels[j] ? 1 : 0;
            }
        }
        expect_levels_of_one_thread(p, -1, max_levels);
    }
    EXPECT_GT(straddled, 0);
}

TEST(ClosedByTwoPartLevels, TakenByLargeClosedByFamiliesOnTwoThreads) {
    const Method closed_by = method_named("closed_by");
    EXPECT_TRUE(closed_by_levels_in_two_parts(closed_by, 100, 2, 100));
    EXPECT_FALSE(closed_by_levels_in_two_parts(closed_by, 99, 2, 100));
    EXPECT_FALSE(closed_by_levels_in_two_parts(closed_by, 100, 1, 100));
    EXPECT_TRUE(closed_by_levels_in_two_parts(closed_by, std::int64_t{1} << 16, 2));
    EXPECT_FALSE(closed_by_levels_in_two_parts(closed_by, (std::int64_t{1} << 16) - 1, 2));
    EXPECT_FALSE(closed_by_levels_in_two_parts(closed_by, std::int64_t{1} << 31, 2));
    for (const char* other : {"by", "bh", "closed_ebh", "ebh"}) {
        EXPECT_FALSE(closed_by_levels_in_two_parts(method_named(other), 100, 2, 100)) << other;
    }
}

TEST(ClosedByTwoPartLevels, RefusesATotalBelowTheEntriesAndStopsWhenCancelled) {
    const Method method = method_named("closed_by");
    const std::vector<double> p{0.01, NaN, 0.2, 0.03};
    std::vector<double> out(p.size());
    EXPECT_THROW(closed_by_family_levels(method, p.data(), 4, 2, 1.0, out.data(), nullptr), std::invalid_argument);
    const std::vector<double> large = study_pvalues(20000, 3);
    out.resize(large.size());
    tarvimo::common::CancelFlag cancel{true};
    EXPECT_THROW(closed_by_family_levels(method, large.data(), 20000, -1, 1.0, out.data(), &cancel),
                 tarvimo::common::SearchCancelled);
}

}  // namespace
