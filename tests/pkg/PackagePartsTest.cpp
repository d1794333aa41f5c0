#include "pkg/read/PackageParts.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace vex::pkg;

TEST(PackagePartsTest, PartNames)
{
    EXPECT_EQ("/p/update.001", PackageParts::partName("/p/update.001", 1));
    EXPECT_EQ("/p/update.002", PackageParts::partName("/p/update.001", 2));
    EXPECT_EQ("pkg123", PackageParts::partName("pkg001", 123));
    EXPECT_EQ("", PackageParts::partName("pkg001", 1000));
    EXPECT_EQ("", PackageParts::partName("pkg001", 0));
    EXPECT_EQ("", PackageParts::partName("01", 2));
    EXPECT_EQ("/p/update.pkg.001", PackageParts::firstPartName("/p/update.pkg"));
    EXPECT_TRUE(PackageParts::isFirstPart("/p/update.pkg.001"));
    EXPECT_TRUE(PackageParts::isFirstPart("001"));
    EXPECT_FALSE(PackageParts::isFirstPart("/p/update.002"));
    EXPECT_FALSE(PackageParts::isFirstPart("01"));
}

// The parts a reader takes: a name not ending in "001" stands alone even when numbered followers exist, and
// a first part's followers stop at the first gap, so a stray ".004" after a missing ".003" is not read.
TEST(PackagePartsTest, PartPathsFollowTheSeriesUpToTheFirstGap)
{
    TempDir dir;
    for (const char* name : {"u.001", "u.002", "u.004", "single.pkg", "v.002"})
    {
        std::ofstream(dir / name) << "x";
    }
    EXPECT_EQ((std::vector<std::string>{dir / "u.001", dir / "u.002"}),
              PackageParts::partPaths(dir / "u.001"));
    EXPECT_EQ(std::vector<std::string>{dir / "single.pkg"}, PackageParts::partPaths(dir / "single.pkg"));
    EXPECT_EQ(std::vector<std::string>{dir / "v.002"}, PackageParts::partPaths(dir / "v.002"));
    // A first part that is missing is still named: the reader reports it as the file it cannot open.
    EXPECT_EQ(std::vector<std::string>{dir / "w.001"}, PackageParts::partPaths(dir / "w.001"));
}
