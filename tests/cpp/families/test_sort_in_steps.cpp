// Sorting in steps: the result of one std::sort for every length around the
// run and piece sizes, both orders, ties and signed zeros, sorted and reversed
// input; a stop request ends the sort between steps.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "families/families.hpp"

namespace {

using tarvimo::common::SearchCancelled;
using tarvimo::families::sort_in_steps;
using tarvimo::families::SortSteps;

const auto never = [] { return false; };

template <typename Less>
void expect_sorted_like_std_sort(std::vector<double> values, const Less &less, const SortSteps &steps) {
    std::vector<double> expected = values;
    std::stable_sort(expected.begin(), expected.end(), less);
    int runs = 0;
    // stable runs: then the whole sort is stable if the merges are, which the
    // signed zeros show
    const auto sort_run = [&](double *first, double *last) {
        ++runs;
        std::stable_sort(first, last, less);
    };
    sort_in_steps(values.data(), values.data() + values.size(), sort_run, less, never, steps);
    ASSERT_EQ(values.size(), expected.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(std::signbit(values[i]), std::signbit(expected[i])) << i;  // -0.0 and 0.0 in input order
        ASSERT_EQ(values[i], expected[i]) << i;
    }
    EXPECT_GE(runs, values.empty() ? 1 : static_cast<int>((values.size() + steps.run - 1) / steps.run));
}

TEST(SortInSteps, EveryLengthAroundTheStepsSortsAsOneSort) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (const SortSteps steps : {SortSteps{1, 1}, SortSteps{3, 2}, SortSteps{4, 7}, SortSteps{16, 5}}) {
        for (std::size_t n = 0; n <= 70; ++n) {
            std::vector<double> values(n);
            for (double &v : values) {
                const double u = uniform(rng);
                // ties, signed zeros and a few distinct values
                v = u < 0.2 ? 0.0 : u < 0.3 ? -0.0 : u < 0.5 ? 0.25 : uniform(rng);
            }
            std::vector<double> ascending = values;
            expect_sorted_like_std_sort(values, std::less<>(), steps);
            expect_sorted_like_std_sort(values, std::greater<>(), steps);
            std::sort(ascending.begin(), ascending.end());
            expect_sorted_like_std_sort(ascending, std::less<>(),
                                        steps);  // in order: merges skipped
            expect_sorted_like_std_sort(ascending, std::greater<>(),
                                        steps);  // reversed
        }
    }
}

TEST(SortInSteps, LargeInputWithTheDefaultSteps) {
    std::mt19937_64 rng(6);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> values((std::size_t{1} << 22) + 12345);
    for (double &v : values) {
        v = uniform(rng);
    }
    expect_sorted_like_std_sort(values, std::less<>(), SortSteps{});
}

TEST(SortInSteps, AStopRequestEndsTheSortAtTheNextStep) {
    std::vector<double> given(1000);
    for (std::size_t i = 0; i < given.size(); ++i) {
        given[i] = static_cast<double>((i * 7919) % 1000);
    }
    const auto sort_run = [](double *first, double *last) { std::sort(first, last); };
    const SortSteps steps{16, 16};
    std::vector<double> values = given;
    int checks = 0;
    sort_in_steps(
        values.data(), values.data() + values.size(), sort_run, std::less<>(), [&] { return ++checks < 0; }, steps);
    // at least one check a run (64 runs of at most 16) and a merge piece of 16 (6
    // levels of 1000 values)
    EXPECT_GE(checks, 64 + 6 * 1000 / 16);
    std::vector<double> expected = given;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(values, expected);
    for (const int allowed : {0, 1, 2, 63, 64, 65, 200, checks - 2, checks - 1, checks}) {
        int asked = 0;
        values = given;
        bool cancelled = false;
        try {
            sort_in_steps(
                values.data(), values.data() + values.size(), sort_run, std::less<>(),
                [&] { return ++asked > allowed; }, steps);
        } catch (const SearchCancelled &) {
            cancelled = true;
        }
        EXPECT_EQ(cancelled, allowed < checks);
        EXPECT_EQ(asked, cancelled ? allowed + 1 : checks);  // it stops at the first request
    }
    EXPECT_EQ(values, expected);  // the last one finished
}

}  // namespace
