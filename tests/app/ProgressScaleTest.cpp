#include "app/ProgressScale.h"

#include <gtest/gtest.h>

#include <climits>

using namespace vex::app;

namespace
{
TEST(ProgressScaleTest, MapsTotalsAndSumsOntoTheBar)
{
    struct Case
    {
        long long total, sum;
        double divisor;
        int maximum, value;
    } const cases[] = {
        {1500000, 1499999, 1.0, 1500000, 1499999},  // one step per byte
        {10000000, 7, 5.0, 2000000, 1},             // scaled down, truncated
        {2000001, 2000001, 1.0000005, 2000000,
         1999999},  // the last step is lost; the window fills it at the end
        {8LL << 32, 4LL << 32, 17179.869184, 2000000, 1000000},  // beyond 32 bits
        {-5, 0, 1.0, 0, 0},  // a broken count gives an empty bar, not an inverted one
    };
    for (const Case& c : cases)
    {
        const ProgressScale scale = ProgressScale::ForTotal(c.total);
        EXPECT_DOUBLE_EQ(scale.divisor, c.divisor) << c.total;
        EXPECT_EQ(scale.maximum, c.maximum) << c.total;
        EXPECT_EQ(scale.ValueFor(c.sum), c.value) << c.total;
    }
    // Before any total the divisor is 1, and a long run's sum passes what an int holds.
    EXPECT_EQ(ProgressScale().ValueFor(1LL << 40), INT_MAX);
}
}  // namespace
