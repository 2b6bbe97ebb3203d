#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <set>
#include <vector>

#include "closed_ebh/vardo.hpp"

using namespace tarvimo::closed_ebh;

namespace {

struct CheckCase {
    int r;
    int warm_i_in;
    int warm_i_out;
    bool meanconsistent;
    int at_i_in;
    int at_i_out;
};

void expect_check(const std::vector<double>& cum_e, double alpha, const CheckCase& c) {
    const MeanConsistentResult result = meanconsistent_cpp(cum_e, c.r, alpha, c.warm_i_in, c.warm_i_out);
    EXPECT_EQ(result.meanconsistent, c.meanconsistent) << "r = " << c.r << ", warm i_in = " << c.warm_i_in;
    EXPECT_EQ(result.at_i_in, c.at_i_in) << "r = " << c.r << ", warm i_in = " << c.warm_i_in;
    EXPECT_EQ(result.at_i_out, c.at_i_out) << "r = " << c.r << ", warm i_in = " << c.warm_i_in;
}

// Profile of r candidates behind set_offset zero outside values, crafted so
// that only the i_in listed in `violating` fail, and only at i_out = set_offset.
// With r * alpha <= 1 every other (i_in, i_out) pair has a target of at least 0.
std::vector<double> profile_failing_at(int set_offset, int r, double alpha, const std::set<int>& violating) {
    const double div_ra = 1.0 / (alpha * r);
    std::vector<double> cum_e(static_cast<std::size_t>(set_offset + r) + 1, 0.0);
    for (int i_in = 1; i_in <= r; ++i_in) {
        const double weakest = i_in * (i_in + set_offset) * div_ra;
        cum_e[set_offset + i_in] = weakest + (violating.count(i_in) ? -1.0 : 1.0);
    }
    return cum_e;
}

// For every pair of failing i_in, the one probed first is the one reported.
void expect_probe_order(const std::vector<int>& order, int warm_i_in, int warm_i_out) {
    constexpr int r = 7;
    constexpr int set_offset = 2;
    constexpr double alpha = 0.1;
    ASSERT_EQ(order.size(), static_cast<std::size_t>(r));
    for (std::size_t first = 0; first < order.size(); ++first) {
        for (std::size_t later = first + 1; later < order.size(); ++later) {
            const auto cum_e = profile_failing_at(set_offset, r, alpha, {order[first], order[later]});
            const MeanConsistentResult result = meanconsistent_cpp(cum_e, r, alpha, warm_i_in, warm_i_out);
            EXPECT_FALSE(result.meanconsistent);
            EXPECT_EQ(result.at_i_in, order[first]) << "failing i_in " << order[first] << " and " << order[later];
            EXPECT_EQ(result.at_i_out, set_offset);
        }
    }
    EXPECT_TRUE(meanconsistent_cpp(profile_failing_at(set_offset, r, alpha, {}), r, alpha, warm_i_in, warm_i_out)
                    .meanconsistent);
}

const std::vector<double> WORKED_PROFILE{0.0, 0.2, 1.2, 9.2, 29.2};  // e-values 0.2, 1, 8, 20

TEST(MeanConsistent, ZeroSizePassesWithoutReadingTheProfile) {
    const MeanConsistentResult result = meanconsistent_cpp({}, 0, 0.05, -1, -1);
    EXPECT_TRUE(result.meanconsistent);
    EXPECT_EQ(result.at_i_in, -1);
    EXPECT_EQ(result.at_i_out, -1);
}

TEST(MeanConsistent, WorkedProfileColdAndWarm) {
    const std::vector<CheckCase> cases{
        {2, -1, -1, true, -1, -1},
        {3, -1, -1, false, 2, 1},
        {4, -1, -1, false, 2, 0},
        {3, 2, 0, false, 2, 1},
        {2, 2, 1, true, -1, -1},
        {5, -1, -1, true, -1, -1},
        {6, -1, -1, true, -1, -1},
        {5, 2, 0, true, -1, -1},
        // A warm start with r == m is used for the first interval only: the call ends.
        {4, 1, 0, false, 1, 0},
    };
    for (const CheckCase& c : cases) {
        expect_check(WORKED_PROFILE, 0.2, c);
    }
}

TEST(MeanConsistent, WarmStartWithoutOutsideValuesTerminatesWithTheColdVerdict) {
    const std::vector<double> cum_e{0.0, 100.0, 200.0, 300.0};
    for (int warm_i_in = 1; warm_i_in <= 3; ++warm_i_in) {
        expect_check(cum_e, 0.1, {3, warm_i_in, 0, true, -1, -1});
    }
}

TEST(MeanConsistent, NotMonotoneInSize) {
    // Running sums of the e-values 0.1, 2.1, 2.7, 18.8, 30.6.
    std::vector<double> cum_e{0.0};
    for (const double e : {0.1, 2.1, 2.7, 18.8, 30.6}) {
        cum_e.push_back(cum_e.back() + e);
    }
    const std::vector<CheckCase> cases{
        {1, -1, -1, false, 1, 3}, {2, -1, -1, true, -1, -1}, {3, -1, -1, false, 2, 2},
        {4, -1, -1, false, 2, 0}, {5, -1, -1, false, 3, 0},
    };
    for (const CheckCase& c : cases) {
        expect_check(cum_e, 0.1, c);
    }
}

TEST(MeanConsistent, TargetOfExactlyZeroPasses) { expect_check({0.0, 10.0}, 0.1, {1, -1, -1, true, -1, -1}); }

TEST(MeanConsistent, ColdProbeOrderIsBreadthFirstBisection) { expect_probe_order({4, 2, 6, 1, 3, 5, 7}, -1, -1); }

TEST(MeanConsistent, WarmProbeStartsAtTheWarmPairThenBisects) { expect_probe_order({6, 3, 7, 1, 4, 2, 5}, 6, 0); }

}  // namespace

// The public procedures' e-BH count ranks only the candidates (e alpha 2 >= 1):
// it is ebh_count's except where k e overflows, for an e-value near the
// largest double at an alpha below about 1e-300.
TEST(CandidateEbhCount, EqualsTheCountUnlessTheProductOverflows) {
    const std::vector<double> ascending = {0.5, 3.0, 40.0, 900.0};
    for (const double alpha : {1e-3, 0.01, 0.05, 0.5}) {
        EXPECT_EQ(candidate_ebh_count(ascending.data(), 4, 10, alpha), ebh_count(ascending.data(), 4, 10, alpha));
    }
    const std::vector<double> huge = {50.0, 1.7e308, std::numeric_limits<double>::infinity()};
    const double tiny = 1e-310;  // 1.7e308 tiny 2 < 1: no candidate, though 2 x 1.7e308 overflows
    EXPECT_EQ(ebh_count(huge.data(), 3, 3, tiny), 2);
    EXPECT_EQ(candidate_ebh_count(huge.data(), 3, 3, tiny), 1);
    EXPECT_EQ(candidate_ebh_count(huge.data(), 3, 3, 3e-309), 2);
}
