#include "tar/LafeMatching.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vex::tar;

namespace
{
struct MatchCase
{
    std::vector<std::string> patterns;
    std::string name;
    bool excluded;
};

class LafeMatchingTest : public testing::TestWithParam<MatchCase>
{
};

TEST_P(LafeMatchingTest, SelectsMembersByPattern)
{
    const MatchCase& c = GetParam();
    lafe_matching* set = nullptr;
    for (const std::string& p : c.patterns) EXPECT_EQ(lafe_include(&set, p.c_str()), p.empty() ? -1 : 0) << p;
    EXPECT_EQ(lafe_excluded(set, c.name.c_str()), c.excluded ? 1 : 0) << c.name;
    lafe_cleanup_exclusions(&set);
    EXPECT_EQ(set, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, LafeMatchingTest,
    testing::Values(
        // The lists are asked for by their "./" names, as the size check and the byte count do.
        MatchCase{{"./data_tart"}, "./data_tart", false}, MatchCase{{"./data_tart"}, "./data_md5", true},
        MatchCase{{"./data_tart", "./data_md5"}, "./data_md5", false},
        MatchCase{{"./data_tart"}, "./data_tart2", true}, MatchCase{{"./data_tart"}, "./sub/data_tart", true},
        // A directory pattern selects what lies below it, and wildcards work as in tar tools.
        MatchCase{{"./etc"}, "./etc/passwd", false}, MatchCase{{"./etc"}, "./etcetera", true},
        MatchCase{{"./lib/*.so"}, "./lib/a.so", false}, MatchCase{{"./lib/*.so"}, "./lib/a.txt", true},
        // An empty set extracts everything; a set whose only pattern was refused extracts nothing.
        MatchCase{{}, "./anything", false}, MatchCase{{""}, "./anything", true},
        MatchCase{{"", "./a"}, "./a", false}));
}  // namespace
