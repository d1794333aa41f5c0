#include "LogFileKeeper.h"
#include "LogStream.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace fs = boost::filesystem;

namespace
{

void touch(const TempDir& dir, const std::string& name)
{
    std::ofstream(dir / name) << name << '\n';
}

std::string numbered(int number, const char* kind)
{
    char name[32];
    std::snprintf(name, sizeof name, "%03d_%s.log", number, kind);
    return name;
}

std::vector<std::string> listing(const TempDir& dir)
{
    std::vector<std::string> names;
    for (fs::directory_iterator it(dir.path()), end; it != end; ++it)
    {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool present(const TempDir& dir, const std::string& name)
{
    return fs::exists(dir.path() / name);
}

class LogFileKeeperTest : public testing::Test
{
protected:
    LogStream stream_;
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
    TempDir dir;
    for (const std::string& name : GetParam().existing)
    {
        touch(dir, name);
    }
    LogFileKeeper keeper(dir.str(), stream_);
    ASSERT_TRUE(keeper.Open(""));
    EXPECT_EQ(keeper.FileName(), GetParam().expected);
    EXPECT_EQ(stream_.Path(), dir / GetParam().expected);
    keeper.Close(LogFileKeeper::kFailed);
    for (const std::string& name : GetParam().existing)
    {
        EXPECT_TRUE(present(dir, name)) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Directories, LogFileKeeperNumbering,
    testing::Values(
        Numbering{"Empty", {}, "001_error.log"},
        Numbering{"MixedKinds", {"005_success.log", "007_error.log"}, "008_error.log"},
        Numbering{"AnyNumberedLogCounts", {"041_install.log", "007_error.log"}, "042_error.log"},
        Numbering{"LastNumberWrapsToFirst", {"999_error.log"}, "001_error.log"},
        Numbering{"UnnumberedNamesIgnored", {"notes.log", "12_error.log", "100_error.txt", "x001_error.log"},
                  "001_error.log"},
        Numbering{"AfterTheWrapTheLowNumbersAreNewest",
                  {"996_success.log", "997_success.log", "998_error.log", "999_success.log", "001_success.log",
                   "002_error.log"},
                  "003_error.log"}),
    [](const testing::TestParamInfo<Numbering>& param) { return std::string(param.param.what); });

TEST_F(LogFileKeeperTest, AFolderNamedLikeALogIsIgnored)
{
    TempDir dir;
    fs::create_directory(dir.path() / "050_error.log");
    LogFileKeeper keeper(dir.str(), stream_);
    ASSERT_TRUE(keeper.Open(""));
    EXPECT_EQ(keeper.FileName(), "001_error.log");
    keeper.Close(LogFileKeeper::kFailed);
}

TEST_F(LogFileKeeperTest, ARunIsAnErrorLogUntilItSucceeds)
{
    TempDir dir;
    LogFileKeeper keeper(dir.str(), stream_);
    ASSERT_TRUE(keeper.Open(""));
    EXPECT_TRUE(keeper.IsOpen());
    EXPECT_TRUE(stream_.WriteLine("Update completed sucessfully."));
    EXPECT_TRUE(present(dir, "001_error.log"));
    keeper.Close(LogFileKeeper::kSucceeded);
    EXPECT_FALSE(keeper.IsOpen());
    EXPECT_FALSE(stream_.IsOpen());
    EXPECT_EQ(listing(dir), std::vector<std::string>{"001_success.log"});

    ASSERT_TRUE(keeper.Open(""));
    EXPECT_EQ(keeper.FileName(), "002_error.log");
    keeper.Close(LogFileKeeper::kFailed);
    EXPECT_EQ(listing(dir), (std::vector<std::string>{"001_success.log", "002_error.log"}));

    ASSERT_TRUE(keeper.Open(""));
    keeper.Close(LogFileKeeper::kDiscard);
    EXPECT_EQ(listing(dir), (std::vector<std::string>{"001_success.log", "002_error.log"}));
}

TEST_F(LogFileKeeperTest, AGivenNameIsAppendedToAndNothingIsPruned)
{
    TempDir dir;
    for (int n = 1; n <= 11; ++n)
    {
        touch(dir, numbered(n, "error"));
    }
    LogFileKeeper keeper(dir.str(), stream_);
    ASSERT_TRUE(keeper.Open("001_error.log"));
    ASSERT_TRUE(keeper.Open("ignored while open"));
    EXPECT_EQ(keeper.FileName(), "001_error.log");
    stream_.WriteLine("second run");
    keeper.Close(LogFileKeeper::kSucceeded);

    EXPECT_EQ(listing(dir).size(), 11u);
    std::ifstream in(dir / "001_success.log");
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, "001_error.log");
    EXPECT_NE(second.find(" - second run"), std::string::npos);
}

TEST_F(LogFileKeeperTest, AGivenNameCannotLeaveTheLogDirectory)
{
    TempDir dir;
    fs::create_directory(dir.path() / "LOG");
    LogFileKeeper keeper(dir / "LOG", stream_);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(keeper.Open("../escaped.log"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Open ../escaped.log failed !\n");
    EXPECT_FALSE(keeper.IsOpen());
    EXPECT_FALSE(present(dir, "escaped.log"));
}

TEST_F(LogFileKeeperTest, CreatesAMissingDirectoryOrReportsWhyItCannot)
{
    TempDir dir;
    LogFileKeeper keeper(dir / "update/LOG", stream_);
    ASSERT_TRUE(keeper.Open(""));
    keeper.Close(LogFileKeeper::kFailed);
    EXPECT_TRUE(fs::exists(dir.path() / "update/LOG/001_error.log"));

    touch(dir, "blocker");
    LogFileKeeper blocked(dir / "blocker/LOG", stream_);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(blocked.Open(""));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Creating directory " + (dir / "blocker/LOG") + " failed !\n");
}

struct Pruning
{
    const char* what;
    std::vector<int> successBefore;  // success logs present before the run
    int run;                         // the number the run writes (its error log is made by Open)
    std::vector<int> gone;           // success logs expected to be removed
    std::size_t successAfter;
};

class LogFileKeeperPruning : public LogFileKeeperTest, public testing::WithParamInterface<Pruning>
{
};

TEST_P(LogFileKeeperPruning, KeepsTenSuccessLogsRemovingTheOldestOne)
{
    TempDir dir;
    for (int n : GetParam().successBefore)
    {
        touch(dir, numbered(n, "success"));
    }
    LogFileKeeper keeper(dir.str(), stream_);
    ASSERT_TRUE(keeper.Open(""));
    ASSERT_EQ(keeper.FileName(), numbered(GetParam().run, "error"));
    keeper.Close(LogFileKeeper::kSucceeded);

    EXPECT_TRUE(present(dir, numbered(GetParam().run, "success")));
    for (int n : GetParam().gone)
    {
        EXPECT_FALSE(present(dir, numbered(n, "success"))) << n;
    }
    EXPECT_EQ(listing(dir).size(), GetParam().successAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LogFileKeeperPruning,
    testing::Values(Pruning{"TenBefore", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 11, {1}, 10},
                    Pruning{"NineBefore", {1, 2, 3, 4, 5, 6, 7, 8, 9}, 10, {}, 10},
                    Pruning{"ElevenBeforeOnlyOneGoes", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 12, {1}, 11},
                    Pruning{"AcrossTheWrap", {990, 991, 992, 993, 994, 995, 996, 997, 998, 999}, 1, {990}, 10},
                    Pruning{"AfterTheWrap", {993, 994, 995, 996, 997, 998, 999, 1, 2, 3}, 4, {993}, 10}),
    [](const testing::TestParamInfo<Pruning>& param) { return std::string(param.param.what); });

TEST_F(LogFileKeeperTest, ErrorLogsArePrunedWhenARunStartsAndWhenItFails)
{
    TempDir dir;
    for (int n = 1; n <= 11; ++n)
    {
        touch(dir, numbered(n, "error"));
    }
    LogFileKeeper keeper(dir.str(), stream_);
    ASSERT_TRUE(keeper.Open(""));
    EXPECT_FALSE(present(dir, "001_error.log"));
    EXPECT_EQ(keeper.FileName(), "012_error.log");
    keeper.Close(LogFileKeeper::kFailed);
    EXPECT_FALSE(present(dir, "002_error.log"));
    EXPECT_TRUE(present(dir, "012_error.log"));
    EXPECT_EQ(listing(dir).size(), 10u);
}

TEST_F(LogFileKeeperTest, CloseWithoutOpenTouchesNothing)
{
    TempDir dir;
    touch(dir, "001_error.log");
    LogFileKeeper keeper(dir.str(), stream_);
    keeper.Close(LogFileKeeper::kDiscard);
    EXPECT_TRUE(present(dir, "001_error.log"));
}

}  // namespace
