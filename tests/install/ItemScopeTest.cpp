#include "install/ItemScope.h"

#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vex::install::ItemScope;

namespace
{
using Lines = std::vector<std::string>;

enum class Code
{
    kNoError = 0,
    kFailed = 3,
};

class ItemScopeTest : public testing::Test
{
protected:
    TempDir dir;
    LogCapture log{dir / "run.log"};
    Code code = Code::kNoError;
};

TEST_F(ItemScopeTest, TheClosingLineFollowsTheCodeAsItStandsWhenTheItemEnds)
{
    {
        ItemScope scope(code);
    }
    {
        ItemScope scope(code);
        code = Code::kFailed;  // set after the scope began: the end, not the start, decides
    }
    EXPECT_EQ(log.Messages(), (Lines{"Done.", "Failed !"}));
}

TEST_F(ItemScopeTest, ClosingEarlyWritesTheLineOnceAndNothingAtTheEnd)
{
    {
        ItemScope scope(code);
        code = Code::kFailed;
        scope.Close();
        vex::log::Line("detail after the closing line");
        scope.Close();
        code = Code::kNoError;
    }
    EXPECT_EQ(log.Messages(), (Lines{"Failed !", "detail after the closing line"}));
}

TEST_F(ItemScopeTest, AStepMayCloseWithItsOwnWords)
{
    {
        ItemScope scope(code, "Done", "Failed.");
    }
    {
        ItemScope scope(code, "Done", "Failed.");
        code = Code::kFailed;
    }
    EXPECT_EQ(log.Messages(), (Lines{"Done", "Failed."}));
}

}  // namespace
