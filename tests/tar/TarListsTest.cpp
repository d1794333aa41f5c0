#include "tar/TarLists.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace vex::tar;

using namespace TarLists;

namespace
{
class ListBaseNameTest : public testing::TestWithParam<std::pair<std::string, std::string>>
{
};

TEST_P(ListBaseNameTest, DropsTheFirstMatchingTarEnding)
{
    EXPECT_EQ(ListBaseName(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ListBaseNameTest,
    testing::Values(std::make_pair("/rootfs/opt/data.tar.gz", "data"),
                    std::make_pair("/rootfs/bundle.tar.bz2", "bundle"),
                    std::make_pair("/rootfs/bundle.tar", "bundle"),
                    std::make_pair("/rootfs/data.tgz", "data.tgz"),
                    std::make_pair("/rootfs/bundle.bin", "bundle.bin"),
                    // ".tar" is only an ending: a name that holds it elsewhere stays whole
                    std::make_pair("/rootfs/a.tar.xz", "a.tar.xz"), std::make_pair("plain.tar", "plain")));

TEST(TarLists, Md5LinesNeedDigestAndPath)
{
    Md5Line line;
    ASSERT_TRUE(ParseMd5Line("d41d8cd98f00b204e9800998ecf8427e  ./etc/x trailing", line));
    EXPECT_EQ(line.digest, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(line.path, "./etc/x");
    EXPECT_FALSE(ParseMd5Line("d41d8cd98f00b204e9800998ecf8427e", line));
    EXPECT_FALSE(ParseMd5Line("   ", line));
}

TEST(TarLists, ListingLinesNeedSixTokensAndTakeTargetsOnlyFromEight)
{
    TarListLine line;
    ASSERT_TRUE(ParseTarListLine("lrwxrwxrwx root/root         0 2026-12-08 03:44 ./lib/a.so -> b.so", line));
    EXPECT_EQ(line.type, 'l');
    EXPECT_EQ(line.name, "./lib/a.so");
    EXPECT_EQ(line.target, "b.so");

    ASSERT_TRUE(ParseTarListLine("-rw-r--r-- root/root 1234 2026-12-08 03:44 ./etc/x", line));
    EXPECT_EQ(line.type, '-');
    EXPECT_EQ(line.size, "1234");
    EXPECT_EQ(line.name, "./etc/x");
    EXPECT_EQ(line.target, "");

    // Seven or nine tokens: a name with a space, or a target with one; no target is taken.
    ASSERT_TRUE(ParseTarListLine("lrwxrwxrwx root/root 0 2026-12-08 03:44 ./a -> b c", line));
    EXPECT_EQ(line.target, "");
    EXPECT_FALSE(ParseTarListLine("-rw-r--r-- root/root 1234 2026-12-08 ./etc/x", line));
}

TEST(TarLists, WalksHandOverParsedLinesUntilABadLineOrAStop)
{
    std::istringstream list(
        "-rw-r--r-- root/root 1 2026-12-08 03:44 ./a\n\n"
        "drwxr-xr-x root/root 0 2026-12-08 03:44 ./d/\n"
        "-rw-r--r-- root/root 1 2026-12-08 ./short\n"
        "-rw-r--r-- root/root 1 2026-12-08 03:44 ./never\n");
    std::vector<std::string> names;
    std::string bad;
    const auto collect = [&names](const TarListLine& line)
    {
        names.push_back(line.name);
        return true;
    };
    EXPECT_EQ(WalkTarList(list, collect, bad), WalkEnd::kBadLine);
    EXPECT_EQ(names, (std::vector<std::string>{"./a", "./d/"}));
    EXPECT_EQ(bad, "-rw-r--r-- root/root 1 2026-12-08 ./short");

    std::istringstream two(
        "-rw-r--r-- root/root 1 2026-12-08 03:44 ./a\n"
        "-rw-r--r-- root/root 1 2026-12-08 03:44 ./b\n");
    names.clear();
    const auto first = [&names](const TarListLine& line)
    {
        names.push_back(line.name);
        return false;
    };
    EXPECT_EQ(WalkTarList(two, first, bad), WalkEnd::kStopped);
    EXPECT_EQ(names, std::vector<std::string>{"./a"});
    std::istringstream empty("\n");
    EXPECT_EQ(WalkTarList(empty, first, bad), WalkEnd::kEndOfList);
}

// The installer ends an "_md5" walk at its first bad line, the package tool reports each and reads on: the
// same walk must serve both, and hand over every good line either side of a bad one.
TEST(TarLists, Md5WalkEndsAtABadLineOrGoesOnWhenToldTo)
{
    const std::string text =
        "d41d8cd98f00b204e9800998ecf8427e  ./a\n"
        "\n"
        "lonely\n"
        "0123456789abcdef0123456789abcdef  ./b\n";
    std::vector<std::string> paths;
    std::vector<std::string> bad;
    const auto collect = [&paths](const Md5Line& line)
    {
        paths.push_back(line.digest.substr(0, 4) + " " + line.path);
        return true;
    };
    const auto note = [&bad](bool goOn)
    {
        return [&bad, goOn](const std::string& line)
        {
            bad.push_back(line);
            return goOn;
        };
    };

    std::istringstream ending(text);
    EXPECT_EQ(WalkMd5List(ending, collect, note(false)), WalkEnd::kBadLine);
    EXPECT_EQ(paths, std::vector<std::string>{"d41d ./a"});
    EXPECT_EQ(bad, std::vector<std::string>{"lonely"});

    paths.clear();
    bad.clear();
    std::istringstream goingOn(text);
    EXPECT_EQ(WalkMd5List(goingOn, collect, note(true)), WalkEnd::kEndOfList);
    EXPECT_EQ(paths, (std::vector<std::string>{"d41d ./a", "0123 ./b"}));
    EXPECT_EQ(bad, std::vector<std::string>{"lonely"});

    std::istringstream stopping(text);
    EXPECT_EQ(WalkMd5List(
                  stopping, [](const Md5Line&) { return false; }, note(true)),
              WalkEnd::kStopped);
}

TEST(TarLists, MemberPathsKeepDottedNamesAndDropTheFirstCharacterOfOthers)
{
    EXPECT_EQ(MemberPath("/d", "./lib/a.so"), "/d/./lib/a.so");
    EXPECT_EQ(MemberPath("/d", "/etc/x"), "/d/etc/x");
    // Not a typo: an undotted relative name loses its first character, as the lists have always been read.
    EXPECT_EQ(MemberPath("/d", "etc/x"), "/d/tc/x");
    EXPECT_EQ(MemberPath("/d", ".hidden"), "/d/.hidden");
    // The ".." rule judges the path the member lands on, not the name as listed.
    EXPECT_TRUE(MemberClimbsOut("./../x"));
    EXPECT_TRUE(MemberClimbsOut("x../up"));
    EXPECT_TRUE(MemberClimbsOut("/../up"));
    EXPECT_FALSE(MemberClimbsOut("./..a/b../..."));
    EXPECT_FALSE(MemberClimbsOut("..x/b"));
    EXPECT_TRUE(IsTopDirectory("./"));
    EXPECT_FALSE(IsTopDirectory("./a/"));
}
}  // namespace
