#include "app/TimeLeftText.h"

#include <QStringList>

#include <gtest/gtest.h>

using vex::app::TimeLeftText;

namespace
{
std::string For(long long seconds)
{
    return TimeLeftText::For(seconds).toStdString();
}

TEST(TimeLeftTextTest, RoundsToTheNearestMinuteBetweenTheTwoEnds)
{
    EXPECT_EQ(For(-1), "");
    EXPECT_EQ(For(0), "Less than a minute left");
    EXPECT_EQ(For(59), "Less than a minute left");
    EXPECT_EQ(For(60), "About 1 min left");
    EXPECT_EQ(For(89), "About 1 min left");
    EXPECT_EQ(For(90), "About 2 min left");
    EXPECT_EQ(For(3570), "About 60 min left");
    EXPECT_EQ(For(3600), "About 60 min left");
    EXPECT_EQ(For(3601), "More than an hour left");
    EXPECT_EQ(For(360000), "More than an hour left");
}

TEST(TimeLeftTextTest, AllListsEveryTextForAndOutcomeGive)
{
    const QStringList all = TimeLeftText::All();
    for (long long seconds = 0; seconds <= 4000; ++seconds)
        EXPECT_TRUE(all.contains(TimeLeftText::For(seconds))) << seconds;
    EXPECT_TRUE(all.contains(TimeLeftText::Outcome(true)));
    EXPECT_TRUE(all.contains(TimeLeftText::Outcome(false)));
    EXPECT_NE(TimeLeftText::Outcome(true), TimeLeftText::Outcome(false));
}
}  // namespace
