// create -> verify -> extract gives back the inputs byte for byte, one file or split; list shows them.

#include "tests/tools/vex-pkg/VexPkgTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace
{
namespace fs = boost::filesystem;

class RoundTrip : public testing::TestWithParam<const char*>
{
};

TEST_P(RoundTrip, GivesBackEveryInputByteForByte)
{
    TempDir dir;
    const std::string manifest = WriteSampleInputs(dir);
    const std::string split = GetParam();
    std::vector<std::string> create{"create", manifest, "-o", dir / "out.pkg"};
    if (!split.empty())
    {
        create.push_back("--split");
        create.push_back(split);
    }
    const ToolRun created = RunTool(create);
    ASSERT_EQ(created.status, 0) << created.err;
    const std::string package = split.empty() ? dir / "out.pkg" : dir / "out.pkg.001";
    if (!split.empty())
    {
        EXPECT_TRUE(fs::exists(dir / "out.pkg.005"));
        EXPECT_EQ(fs::file_size(dir / "out.pkg.001"), 4096u);
    }

    const ToolRun verified = RunTool({"verify", package});
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_EQ(verified.out, "signature: unsigned\npackage OK\n");

    const ToolRun extracted = RunTool({"extract", package, dir / "x"});
    ASSERT_EQ(extracted.status, 0) << extracted.out;
    const std::string root = dir / "x";
    for (const auto& file :
         std::vector<std::pair<std::string, std::string>>{{"kelda_usr/t/plain.txt", "plain.txt"},
                                                          {"kelda_usr/t/blowfish.bin", "blowfish.bin"},
                                                          {"kelda_usr/t/des.bin", "des.bin"},
                                                          {"rootfs/opt/t/zlib.txt", "zlib.txt"},
                                                          {"rootfs/opt/t/empty.txt", "empty.txt"},
                                                          {"kernel/uImage", "kernel.img"},
                                                          {"scripts/pre.sh", "pre.sh"},
                                                          {"scripts/cond.sh", "cond.sh"}})
    {
        ASSERT_TRUE(fs::exists(root + "/" + file.first)) << file.first;
        EXPECT_EQ(ReadText(root + "/" + file.first), ReadText(dir / ("in/" + file.second))) << file.first;
    }
    EXPECT_EQ(fs::read_symlink(root + "/rootfs/opt/t/current").string(), "zlib.txt");
    // The tar's members, as the tree they came from; the lists are checked and gone, as on the instrument.
    auto extractedTree = TreeOf(root + "/rootfs/opt/t");
    for (const char* own : {"zlib.txt", "empty.txt", "current"}) extractedTree.erase(own);
    EXPECT_EQ(extractedTree, TreeOf(dir / "in/tree"));
    struct stat status;
    ASSERT_EQ(::stat((root + "/rootfs/opt/t").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0750u);
    // FAT attributes cannot be set on the test's file system, whoever runs it: they are listed instead.
    EXPECT_NE(ReadText(root + "/attributes.tsv").find("/kelda_usr/t/des.bin\t0\t0\t-\treadonly,hidden\n"),
              std::string::npos)
        << ReadText(root + "/attributes.tsv");
}

INSTANTIATE_TEST_SUITE_P(OneFileOrParts, RoundTrip, testing::Values("", "4K"),
                         [](const testing::TestParamInfo<const char*>& param)
                         { return std::string(*param.param ? "Split" : "OneFile"); });

TEST(ListCommand, ShowsEveryItemInFileOrderThenTheHeader)
{
    TempDir dir;
    ASSERT_EQ(RunTool({"create", WriteSampleInputs(dir), "-o", dir / "out.pkg"}).status, 0);
    const ToolRun list = RunTool({"list", dir / "out.pkg"});
    ASSERT_EQ(list.status, 0) << list.err;
    std::vector<std::string> lines;
    std::istringstream in(list.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 19u) << list.out;
    EXPECT_EQ(lines[0],
              "user-kernel /kernel/uImage  stored 6  installed 6  encoding -  condition -1  owner -  fat -");
    EXPECT_EQ(lines[4], "script cond.sh  stored 17  installed 17  encoding -  condition 4  owner -  fat -");
    EXPECT_EQ(
        lines[5],
        "directory /rootfs/opt/t  stored -  installed -  encoding -  condition -1  owner 0/0/0750  fat -");
    EXPECT_EQ(lines[8],
              "file /kelda_usr/t/des.bin  stored 65552  installed 65536  encoding des  condition -1  owner "
              "0/0/0644  fat readonly,hidden");
    EXPECT_NE(lines[9].find("encoding zlib  condition 4  owner 0/0/0644"), std::string::npos);
    EXPECT_EQ(lines[11].substr(0, 36), "link /rootfs/opt/t/current -> zlib.t");
    EXPECT_EQ(lines[12].substr(0, 31), "tar /rootfs/opt/t/data.tar.gz  ");
    EXPECT_EQ(lines[13], "header: type user, library 4.2, installer 7.30, flag 0, value 0");
    EXPECT_EQ(lines[14], "compatibility: VX20A01");
    EXPECT_EQ(lines[15], "texts: \"test\" \"\" \"\" \"\"");
    EXPECT_EQ(lines[16], "date: 06/15/2024 12.30");
    // An unsigned package has no index, so no release version either.
    EXPECT_EQ(lines[17], "index: none");
    EXPECT_EQ(lines[18], "signature: unsigned");

    const ToolRun json = RunTool({"list", "--json", dir / "out.pkg"});
    ASSERT_EQ(json.status, 0);
    EXPECT_NE(
        json.out.find("{\"kind\": \"file\", \"path\": \"/kelda_usr/t/des.bin\", \"stored_size\": 65552, "
                      "\"installed_size\": 65536, \"encoding\": \"des\", \"condition\": -1, \"owner\": 0, "
                      "\"group\": 0, \"mode\": \"0644\", \"fat\": [\"readonly\", \"hidden\"]}"),
        std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"header\": {\"type\": \"user\", \"library_version\": [4, 2]"),
              std::string::npos);
    EXPECT_NE(json.out.find("\"version\": null, \"min_installer\": null, \"index\": null"), std::string::npos)
        << json.out;
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '{'),
              std::count(json.out.begin(), json.out.end(), '}'));
}
}  // namespace
