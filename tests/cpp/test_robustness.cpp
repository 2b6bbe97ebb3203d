// Seeded random inputs for every routine: special values, sorted or not,
// counts in and out of range. Each call returns a value in range or throws
// std::invalid_argument; run under the sanitizers or valgrind, any read
// outside a vector is reported as well.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "closed_by/cBY.hpp"
#include "closed_ebh/vardo.hpp"

using namespace tarvimo::closed_by;
using namespace tarvimo::closed_ebh;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
const std::vector<double> SPECIAL{0.0, -0.0, -1.0, NaN, INF, -INF, 1e308, 5e-324, 1e-12, 0.05, 1.0, 20.0};
const std::vector<double> ALPHAS{0.05, 0.5, 0.0, -0.05, NaN, INF, -INF, 1.0, 5e-324, 1e308};
constexpr int ROUNDS = 300;

std::vector<double> random_values(std::mt19937& rng, int m) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::uniform_int_distribution<std::size_t> pick(0, SPECIAL.size() - 1);
    std::vector<double> values(static_cast<std::size_t>(m));
    for (double& value : values) {
        value = uniform(rng) < 0.3 ? SPECIAL[pick(rng)] : std::pow(uniform(rng), 3.0) * 50.0;
    }
    // NaN after every number: plain < is no strict weak order once NaN is in.
    const auto before = [](double a, double b) { return std::isnan(b) ? !std::isnan(a) : a < b; };
    switch (rng() % 3) {
        case 0:
            std::sort(values.begin(), values.end(), before);
            break;
        case 1:
            std::sort(values.rbegin(), values.rend(), before);
            break;
        default:
            break;
    }
    return values;
}

// The call's result, or -1 when it threw std::invalid_argument.
int count_or_refusal(const std::function<int()>& call) {
    try {
        return call();
    } catch (const std::invalid_argument&) {
        return -1;
    }
}

TEST(RandomInputs, EveryRoutineReturnsAValueInRangeOrRefuses) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < ROUNDS; ++round) {
        const int m = static_cast<int>(rng() % 40);
        const std::vector<double> values = random_values(rng, m);
        const std::vector<double> harmonic = harmonic_numbers_cpp(m);
        std::vector<double> cum_e{0.0};
        for (const double e : values) {
            cum_e.push_back(cum_e.back() + e);
        }
        for (const double alpha : ALPHAS) {
            for (const int count :
                 {eBH_cpp(values, alpha), largestmeanconsistent_cpp(values, alpha),
                  largestmeanconsistent_approximate_cpp(values, alpha), BY_cpp(values, harmonic, alpha),
                  largestcBYsignificant_cpp(values, alpha), largestcBYsignificant_approximate_cpp(values, alpha)}) {
                EXPECT_TRUE(0 <= count && count <= m) << count << " of " << m;
            }
            for (int r = -1; r <= m + 1; ++r) {
                const int passes = count_or_refusal([&] { return meanconsistent_wrapper_cpp(cum_e, r, alpha); });
                EXPECT_EQ(passes == -1, r < 0) << "r = " << r;
                for (const int warm_s : {-1, 0, 1, m / 2, m, m + 1}) {
                    const int at_s = count_or_refusal([&] {
                        const cBYCheckResult check = cBY_check_cpp(values, r, harmonic, warm_s, alpha);
                        EXPECT_EQ(check.res, check.at_s == 0);
                        return check.at_s;
                    });
                    const bool in_range = r == 0 || (1 <= r && r <= m && 0 <= warm_s && warm_s <= m);
                    EXPECT_EQ(at_s != -1, in_range) << "r = " << r << ", warm_s = " << warm_s;
                    EXPECT_LE(at_s, m);
                }
            }
        }
    }
}

}  // namespace
