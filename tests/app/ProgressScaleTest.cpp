#include "ProgressScale.h"

#include <gtest/gtest.h>

#include <climits>

namespace
{
struct ScaleCase
{
    long long total;
    double divisor;
    int maximum;
    long long sum;
    int value;
};

class ProgressScaleTest : public ::testing::TestWithParam<ScaleCase>
{
};

TEST_P(ProgressScaleTest, MapsTotalAndSumOntoTheBar)
{
    const ScaleCase& c = GetParam();
    const ProgressScale scale = ProgressScale::ForTotal(c.total);
    EXPECT_DOUBLE_EQ(scale.divisor, c.divisor);
    EXPECT_EQ(scale.maximum, c.maximum);
    EXPECT_EQ(scale.ValueFor(c.sum), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Figures, ProgressScaleTest,
    ::testing::Values(
        // Small totals get one step per byte.
        ScaleCase{1500000, 1.0, 1500000, 1499999, 1499999},
        ScaleCase{2000000, 1.0, 2000000, 2000000, 2000000},
        // Larger ones are scaled down by a fractional divisor and the value truncated.
        ScaleCase{10000000, 5.0, 2000000, 7, 1},
        ScaleCase{10000000, 5.0, 2000000, 10000000, 2000000},
        // The last step can be lost to truncation; the window fills the bar when the run ends.
        ScaleCase{2000001, 1.0000005, 2000000, 2000001, 1999999},
        // Totals beyond 32 bits must not wrap.
        ScaleCase{8LL << 32, 17179.869184, 2000000, 4LL << 32, 1000000},
        // Nothing to do, and a count that cannot be right.
        ScaleCase{0, 1.0, 0, 0, 0}, ScaleCase{-5, 1.0, 0, 0, 0}));

TEST(ProgressScaleLimits, SumsOutsideTheIntRangeAreHeldToIt)
{
    // Before the total arrives the divisor is 1, and the sum of a long run passes what an int holds.
    const ProgressScale beforeTotal;
    EXPECT_EQ(beforeTotal.maximum, 0);
    EXPECT_EQ(beforeTotal.ValueFor(1LL << 40), INT_MAX);
    EXPECT_EQ(beforeTotal.ValueFor(-1), 0);
}
}  // namespace
