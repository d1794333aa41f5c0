#include "pkg/decode/ReadingStrategy.h"
#include "tests/support/StrategyTestReader.h"

#include <gtest/gtest.h>

using namespace vex::pkg;

namespace
{
TEST(ReadingStrategy, DeliversFullBlocksThenTheRest)
{
    const auto stored = PatternBytes(2500000);
    ReadingStrategy strategy(1048576);
    std::vector<unsigned char> produced;
    std::vector<int64_t> blocks;
    ASSERT_TRUE(DriveStrategy(strategy, stored, produced, &blocks));
    EXPECT_EQ((std::vector<int64_t>{1048576, 1048576, 402848}), blocks);
    EXPECT_TRUE(produced == stored);
}

TEST(ReadingStrategy, ASourceThatRunsDryIsAnError)
{
    ReadingStrategy strategy(16);
    MemoryStreamReader reader(PatternBytes(20));
    std::vector<char> buffer(16);
    int64_t remaining = 40;  // more than the source holds
    EXPECT_EQ(16, strategy.process(&reader, remaining, buffer.data()));
    EXPECT_EQ(4, strategy.process(&reader, remaining, buffer.data()));
    EXPECT_EQ(-1, strategy.process(&reader, remaining, buffer.data()));
    EXPECT_EQ(20, remaining);
}
}  // namespace
