#include "log/LogFileKeeper.h"
#include "log/LogStream.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using namespace vex::log;

namespace fs = boost::filesystem;

namespace
{

std::string numbered(int number, const char* kind)
{
    char name[32];
    std::snprintf(name, sizeof name, "%03d_%s.log", number, kind);
    return name;
}

class LogFileKeeperTest : public testing::Test
{
protected:
    void touch(const std::string& name) { std::ofstream(dir_ / name) << name << '\n'; }
    bool present(const std::string& name) const { return fs::exists(dir_.path() / name); }
    std::vector<std::string> listing() const
    {
        std::vector<std::string> names;
        for (fs::directory_iterator it(dir_.path()), end; it != end; ++it)
        {
            names.push_back(it->path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir_;
    LogStream stream_;
    LogFileKeeper keeper_{dir_.str(), stream_};
};

struct Numbering
{
    const char* what;
    std::vector<std::string> existing;
    std::string expected;
};

class LogFileKeeperNumbering : public LogFileKeeperTest, public testing::WithParamInterface<Numbering>
{
};

TEST_P(LogFileKeeperNumbering, PicksTheNumberAfterTheNewestLog)
{
    for (const std::string& name : GetParam().existing)
    {
        touch(name);
    }
    ASSERT_TRUE(keeper_.Open(""));
    EXPECT_EQ(stream_.Path(), dir_ / GetParam().expected);
    keeper_.Close(LogFileKeeper::kFailed);
    EXPECT_EQ(listing().size(), GetParam().existing.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Directories, LogFileKeeperNumbering,
    testing::Values(
        Numbering{"Empty", {}, "001_error.log"},
        Numbering{"MixedKinds", {"005_success.log", "007_error.log", "041_other.log"}, "042_error.log"},
        Numbering{"LastNumberWrapsToFirst", {"998_success.log", "999_error.log"}, "001_error.log"},
        Numbering{"UnnumberedNamesIgnored", {"notes.log", "12_error.log", "100_error.txt"}, "001_error.log"},
        Numbering{"AfterTheWrapTheLowNumbersAreNewest",
                  {"996_success.log", "998_error.log", "999_success.log", "001_success.log", "002_error.log"},
                  "003_error.log"}),
    [](const testing::TestParamInfo<Numbering>& param) { return std::string(param.param.what); });

TEST_F(LogFileKeeperTest, ARunIsAnErrorLogUntilItSucceeds)
{
    ASSERT_TRUE(keeper_.Open(""));
    EXPECT_TRUE(stream_.WriteLine("Update completed sucessfully."));
    keeper_.Close(LogFileKeeper::kSucceeded);
    EXPECT_FALSE(stream_.IsOpen());
    EXPECT_EQ(listing(), std::vector<std::string>{"001_success.log"});

    ASSERT_TRUE(keeper_.Open(""));
    keeper_.Close(LogFileKeeper::kFailed);
    ASSERT_TRUE(keeper_.Open(""));
    EXPECT_EQ(keeper_.FileName(), "003_error.log");
    keeper_.Close(LogFileKeeper::kDiscard);
    EXPECT_EQ(listing(), (std::vector<std::string>{"001_success.log", "002_error.log"}));
}

// A success that cannot be filed as one stays an error log whose last line says why, and the caller learns
// it.
TEST_F(LogFileKeeperTest, ASuccessThatCannotBeRenamedStaysAnErrorLog)
{
    ASSERT_TRUE(keeper_.Open(""));
    stream_.WriteLine("Update completed sucessfully.");
    EXPECT_TRUE(keeper_.Close(LogFileKeeper::kSucceeded));
    // A folder in the way of the success name: the rename cannot replace it.
    boost::filesystem::create_directories(dir_ / "002_success.log/inside");
    ASSERT_TRUE(keeper_.Open(""));
    stream_.WriteLine("Update completed sucessfully.");
    EXPECT_FALSE(keeper_.Close(LogFileKeeper::kSucceeded));
    EXPECT_FALSE(stream_.IsOpen());
    std::ifstream in(dir_ / "002_error.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" - Update completed sucessfully."), std::string::npos);
    const std::string detail = " -     " + (dir_ / "002_success.log") + ": ";
    EXPECT_NE(lines[1].find(detail), std::string::npos) << lines[1];
    EXPECT_TRUE(keeper_.Close(LogFileKeeper::kFailed));  // no longer open: nothing to file
}

TEST_F(LogFileKeeperTest, AGivenNameIsAppendedToWithoutPruning)
{
    for (int n = 1; n <= 11; ++n)
    {
        touch(numbered(n, "error"));
    }
    ASSERT_TRUE(keeper_.Open("001_error.log"));
    stream_.WriteLine("second run");
    keeper_.Close(LogFileKeeper::kSucceeded);
    EXPECT_EQ(listing().size(), 11u);
    std::ifstream in(dir_ / "001_success.log");
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, "001_error.log");
    EXPECT_NE(second.find(" - second run"), std::string::npos);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(keeper_.Open("../escaped.log"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Open ../escaped.log failed !\n");
}

TEST_F(LogFileKeeperTest, CreatesAMissingDirectory)
{
    LogFileKeeper nested(dir_ / "update/LOG", stream_);
    ASSERT_TRUE(nested.Open(""));
    nested.Close(LogFileKeeper::kFailed);
    EXPECT_TRUE(present("update/LOG/001_error.log"));
}

struct Pruning
{
    const char* what;
    std::vector<int> before;  // success logs present before the run
    int run;                  // the number the run gets
    int gone;                 // the success log pruned after the run succeeds, 0 for none
};

class LogFileKeeperPruning : public LogFileKeeperTest, public testing::WithParamInterface<Pruning>
{
};

TEST_P(LogFileKeeperPruning, RemovesTheOldestSuccessLogBeyondTen)
{
    for (int n : GetParam().before)
    {
        touch(numbered(n, "success"));
    }
    ASSERT_TRUE(keeper_.Open(""));
    ASSERT_EQ(keeper_.FileName(), numbered(GetParam().run, "error"));
    keeper_.Close(LogFileKeeper::kSucceeded);
    EXPECT_TRUE(present(numbered(GetParam().run, "success")));
    const std::size_t total = GetParam().before.size() + 1;
    EXPECT_EQ(listing().size(), GetParam().gone != 0 ? total - 1 : total);
    if (GetParam().gone != 0)
    {
        EXPECT_FALSE(present(numbered(GetParam().gone, "success")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LogFileKeeperPruning,
    testing::Values(Pruning{"TenBefore", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 11, 1},
                    Pruning{"NineBefore", {1, 2, 3, 4, 5, 6, 7, 8, 9}, 10, 0},
                    Pruning{"ElevenBeforeOnlyOneGoes", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 12, 1},
                    Pruning{"AcrossTheWrap", {990, 991, 992, 993, 994, 995, 996, 997, 998, 999}, 1, 990},
                    Pruning{"AfterTheWrap", {993, 994, 995, 996, 997, 998, 999, 1, 2, 3}, 4, 993}),
    [](const testing::TestParamInfo<Pruning>& param) { return std::string(param.param.what); });

TEST_F(LogFileKeeperTest, ErrorLogsArePrunedWhenARunStartsAndWhenItFails)
{
    for (int n = 1; n <= 11; ++n)
    {
        touch(numbered(n, "error"));
    }
    ASSERT_TRUE(keeper_.Open(""));
    EXPECT_FALSE(present("001_error.log"));
    EXPECT_EQ(keeper_.FileName(), "012_error.log");
    keeper_.Close(LogFileKeeper::kFailed);
    EXPECT_FALSE(present("002_error.log"));
    EXPECT_EQ(listing().size(), 10u);
}

}  // namespace
