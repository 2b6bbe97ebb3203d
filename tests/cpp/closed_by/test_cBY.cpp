#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "closed_by/cBY.hpp"
#include "common/checked_count.hpp"

using namespace tarvimo::closed_by;
using namespace tarvimo::common;

namespace {

TEST(HarmonicNumbers, ExactValuesOfTheLeftToRightSum) {
    EXPECT_EQ(harmonic_numbers_cpp(0), std::vector<double>{0.0});
    EXPECT_TRUE(harmonic_numbers_cpp(-1).empty());
    EXPECT_EQ(harmonic_numbers_cpp(4), (std::vector<double>{0.0, 1.0, 1.5, 1.8333333333333333, 2.083333333333333}));
}

TEST(HarmonicNumbers, NegativeCountIsALengthError) {
    try {
        harmonic_numbers_cpp(-2);
        FAIL() << "expected std::length_error";
    } catch (const std::length_error& error) {
        EXPECT_STREQ(error.what(), "cannot create std::vector larger than max_size()");
    }
}

TEST(SanitizePvalues, OnlyExactZerosAreReplaced) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> out = sanitize_pvalues_cpp({0.0, -0.0, -0.1, nan, 1.5, 1e-300});
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out[0], 1e-12);
    EXPECT_EQ(out[1], 1e-12);
    EXPECT_EQ(out[2], -0.1);
    EXPECT_TRUE(std::isnan(out[3]));
    EXPECT_EQ(out[4], 1.5);
    EXPECT_EQ(out[5], 1e-300);
}

TEST(StableCeiling, ToleranceAndFloorAtOne) {
    EXPECT_EQ(stable_ceiling_cpp(2.0), 2.0);
    EXPECT_EQ(stable_ceiling_cpp(2.00000000005), 2.0);
    EXPECT_EQ(stable_ceiling_cpp(2.0000001), 3.0);
    EXPECT_EQ(stable_ceiling_cpp(0.3), 1.0);
    EXPECT_EQ(stable_ceiling_cpp(-5.0), 1.0);
    EXPECT_EQ(stable_ceiling_cpp(std::numeric_limits<double>::quiet_NaN()), 1.0);
    EXPECT_EQ(stable_ceiling_cpp(std::numeric_limits<double>::infinity()), std::numeric_limits<double>::infinity());
    EXPECT_EQ(stable_ceiling_cpp(4503599627370497.0), 4503599627370497.0);  // 2^52 + 1 is already integral
}

TEST(CheckedCount, RefusesLengthsBeyondTheSigned32BitRange) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<int>::max());
    EXPECT_EQ(checked_count(limit, "pvalues"), std::numeric_limits<int>::max());
    EXPECT_THROW(checked_count(limit + 1, "pvalues"), std::length_error);
}

}  // namespace
