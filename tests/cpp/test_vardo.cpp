#include <gtest/gtest.h>

#include <vector>

#include "vardo.hpp"

namespace {

TEST(MeanConsistent, ZeroSizePassesWithoutReadingTheProfile) {
    const MeanConsistentResult result = meanconsistent_cpp({}, 0, 0.05, -1, -1);
    EXPECT_TRUE(result.meanconsistent);
    EXPECT_EQ(result.at_i_in, -1);
    EXPECT_EQ(result.at_i_out, -1);
}

}  // namespace
