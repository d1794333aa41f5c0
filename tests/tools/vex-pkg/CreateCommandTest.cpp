// vex-pkg create: manifests in, packages out; every bad manifest gives one located line and no package.

#include "pkg/writer/TarItemBuilder.h"
#include "tests/tools/vex-pkg/VexPkgTestSupport.h"

#include <gtest/gtest.h>

using namespace vex::pkg::writer;

namespace
{
namespace fs = boost::filesystem;

bool NoPackageLeft(const TempDir& dir)
{
    boost::system::error_code ec;
    return !fs::exists(dir / "out.pkg", ec) && !fs::exists(dir / "out.pkg.001", ec);
}

// The sample inputs, with the first `from` in their manifest replaced by `to`.
void WriteSampleWithManifestEdit(const TempDir& dir, const std::string& from, const std::string& to)
{
    WriteSampleInputs(dir);
    std::string text = ReadText(dir / "in/manifest.toml");
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    WriteText(dir / "in/manifest.toml", text);
}

TEST(CreateCommand, SameInputsGiveTheSameBytes)
{
    TempDir dir;
    const std::string manifest = WriteSampleInputs(dir);
    ASSERT_EQ(RunTool({"create", manifest, "-o", dir / "a.pkg"}, "1").status, 0);
    ASSERT_EQ(RunTool({"create", manifest, "-o", dir / "b.pkg"}, "999999").status, 0);
    EXPECT_TRUE(ReadText(dir / "a.pkg") == ReadText(dir / "b.pkg"));
}

TEST(CreateCommand, WithoutADateTheEpochFromTheEnvironmentDatesThePackage)
{
    TempDir dir;
    WriteSampleWithManifestEdit(dir, "date = \"06/15/2024\"\ntime = \"12.30\"\n", "");

    const ToolRun undated = RunTool({"create", dir / "in/manifest.toml", "-o", dir / "out.pkg"});
    EXPECT_EQ(undated.status, 1);
    EXPECT_NE(undated.err.find("SOURCE_DATE_EPOCH is not set"), std::string::npos) << undated.err;
    EXPECT_TRUE(NoPackageLeft(dir));

    ASSERT_EQ(RunTool({"create", dir / "in/manifest.toml", "-o", dir / "a.pkg"}, "1718454600").status, 0);
    ASSERT_EQ(RunTool({"create", dir / "in/manifest.toml", "-o", dir / "b.pkg"}, "1718454600").status, 0);
    ASSERT_EQ(RunTool({"create", dir / "in/manifest.toml", "-o", dir / "c.pkg"}, "1718541000").status, 0);
    EXPECT_TRUE(ReadText(dir / "a.pkg") == ReadText(dir / "b.pkg"));
    EXPECT_TRUE(ReadText(dir / "a.pkg") != ReadText(dir / "c.pkg"));
    const ToolRun list = RunTool({"list", dir / "a.pkg"});
    EXPECT_NE(list.out.find("date: 06/15/2024 12.30"), std::string::npos) << list.out;
}

struct BadManifest
{
    const char* name;
    std::string extra;      // appended to the sample manifest
    std::string location;   // ":LINE:COLUMN:" expected in the message
    std::string complaint;  // part of the message
};

class CreateRefusesBadManifest : public testing::TestWithParam<BadManifest>
{
};

// The sample manifest has 64 lines; the additions start on line 65.
TEST_P(CreateRefusesBadManifest, WithOneLocatedLineAndNoPackage)
{
    TempDir dir;
    const std::string manifest = WriteSampleInputs(dir, GetParam().extra);
    // A package left by an earlier run must not survive a failed one either.
    const ToolRun run = RunTool({"create", manifest, "-o", dir / "out.pkg"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.find(manifest + GetParam().location), 0u) << run.err;
    EXPECT_NE(run.err.find(GetParam().complaint), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(NoPackageLeft(dir));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CreateRefusesBadManifest,
    testing::Values(
        BadManifest{"Syntax", "\n[[file]\nsource = 1\n", ":66:", "not valid TOML"},
        BadManifest{"UnknownKey", "\n[[file]]\nsource = \"plain.txt\"\npath = \"/kelda_usr/x\"\ncolour = 3\n",
                    ":69:10:", "unknown key 'colour' in file"},
        BadManifest{"MissingFile", "\n[[file]]\nsource = \"nowhere.txt\"\npath = \"/kelda_usr/x\"\n",
                    ":67:10:", "does not exist"},
        BadManifest{"OutsideThePartitions", "\n[[file]]\nsource = \"plain.txt\"\npath = \"/etc/passwd\"\n",
                    ":68:8:", "is outside the partitions"},
        BadManifest{"ClimbsOut", "\n[[directory]]\npath = \"/rootfs/../update/x\"\n",
                    ":67:8:", "climbs out with '..'"},
        BadManifest{"RelativePath", "\n[[link]]\npath = \"rootfs/x\"\ntarget = \"y\"\n",
                    ":67:8:", "must be an absolute path"},
        BadManifest{"UnknownEncoding",
                    "\n[[file]]\nsource = \"plain.txt\"\npath = \"/kelda_usr/x\"\nencoding = \"aes\"\n",
                    ":69:12:", "not one the format has"},
        BadManifest{"OwnerOutOfRange",
                    "\n[[file]]\nsource = \"plain.txt\"\npath = \"/kelda_usr/x\"\nowner = 70000\n",
                    ":69:9:", "out of range"},
        BadManifest{"ConditionOutOfRange",
                    "\n[[file]]\nsource = \"plain.txt\"\npath = \"/kelda_usr/x\"\ncondition = 40000\n",
                    ":69:13:", "out of range"},
        BadManifest{"ModeNotOctal", "\n[[directory]]\npath = \"/rootfs/y\"\nmode = \"0899\"\n",
                    ":68:8:", "not an octal mode"},
        BadManifest{"ConditionWithoutScript",
                    "\n[[file]]\nsource = \"plain.txt\"\npath = \"/kelda_usr/x\"\ncondition = 9\n",
                    ":66:1:", "no conditional script carries"},
        BadManifest{"UnknownSystemKind", "\n[[system]]\nkind = \"bios\"\nsource = \"kernel.img\"\n",
                    ":67:8:", "is none of installer-kernel"},
        BadManifest{
            "TarWithTwoSources",
            "\n[[tar]]\npath = \"/rootfs/z.tar\"\nfrom_dir = \"tree\"\nfrom_archive = \"plain.txt\"\n",
            ":66:1:", "exactly one of from_dir and from_archive"},
        BadManifest{"UnknownTarCompression",
                    "\n[[tar]]\npath = \"/rootfs/z.tar\"\nfrom_dir = \"tree\"\ncompression = \"zip\"\n",
                    ":69:15:", "none of none, gzip, bzip2, xz"},
        BadManifest{"UnknownTable", "\n[extras]\nx = 1\n", ":66:1:", "unknown key 'extras' in the manifest"},
        // Quoted text with control characters stays on the one line.
        BadManifest{"NewlineInAQuotedPath", "\n[[file]]\nsource = \"plain.txt\"\npath = \"rel\\nX\"\n",
                    ":68:8:", "'rel\\x0aX' must be an absolute path"},
        BadManifest{"NewlineInAQuotedKey", "\n\"a\\nb\" = 1\n", ":66:", "unknown key 'a\\x0ab'"},
        // A byte that is not UTF-8 inside a literal string once made the TOML reader read past its buffer.
        BadManifest{"InvalidUtf8InALiteralString", "\nx = 'a\xff b'\n", ":66:7:", "not UTF-8 text"},
        BadManifest{"OverlongUtf8", "\nx = \"\xc0\xaf\"\n", ":66:6:", "not UTF-8 text"},
        // 40 KB of nested arrays once overflowed the stack of the recursive TOML reader; a long dotted key
        // kept it busy for minutes. Both are refused before it sees them.
        BadManifest{"DeepArrays", "\nx = " + std::string(20000, '[') + std::string(20000, ']') + "\n",
                    ":66:34:", "nested more than 32 levels deep"},
        BadManifest{"DeepInlineTables",
                    []
                    {
                        std::string text = "\nx = ";
                        for (int i = 0; i < 20000; ++i) text += "{a=";
                        return text + "1" + std::string(20000, '}') + "\n";
                    }(),
                    ":66:49:", "nested more than 32 levels deep"},
        BadManifest{"LongDottedKey",
                    []
                    {
                        std::string text = "\nk";
                        for (int i = 0; i < 100000; ++i) text += ".k";
                        return text + " = 1\n";
                    }(),
                    ":66:62:", "nested more than 32 levels deep"}),
    [](const testing::TestParamInfo<BadManifest>& param) { return std::string(param.param.name); });

TEST(CreateCommand, ACompatibilityEntryOfAnotherLengthIsRefused)
{
    TempDir dir;
    WriteSampleWithManifestEdit(dir, "VX20A01", "VX20");
    const ToolRun run = RunTool({"create", dir / "in/manifest.toml", "-o", dir / "out.pkg"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(":5:18: package.compatibility entries must be texts of exactly 7 characters"),
              std::string::npos)
        << run.err;
}

// The release fields sit in [package]; `text1 = "test"` is its line 6, so an added key is on line 7.
struct BadRelease
{
    const char* name;
    const char* line;
    const char* location;
    const char* complaint;
};

class CreateRefusesBadRelease : public testing::TestWithParam<BadRelease>
{
};

TEST_P(CreateRefusesBadRelease, WithOneLocatedLineAndNoPackage)
{
    TempDir dir;
    WriteSampleWithManifestEdit(dir, "text1 = \"test\"\n",
                                std::string("text1 = \"test\"\n") + GetParam().line);
    const std::string manifest = dir / "in/manifest.toml";
    const ToolRun run = RunTool({"create", manifest, "-o", dir / "out.pkg"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.find(manifest + GetParam().location + " " + GetParam().complaint), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(NoPackageLeft(dir));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CreateRefusesBadRelease,
    testing::Values(BadRelease{"VersionOfTwoParts", "version = \"2.0\"\n",
                               ":7:11:", "package.version '2.0' is not a version MAJOR.MINOR.PATCH"},
                    BadRelease{"VersionAsANumber", "version = 2\n",
                               ":7:11:", "package.version is not a version"},
                    BadRelease{"MinInstallerOfFiveParts", "min_installer = \"4.2.7.30.1\"\n",
                               ":7:17:", "package.min_installer '4.2.7.30.1' is not an installer version"},
                    BadRelease{"MinInstallerAsAList", "min_installer = [4, 2]\n",
                               ":7:17:", "package.min_installer is not"}),
    [](const testing::TestParamInfo<BadRelease>& param) { return std::string(param.param.name); });

TEST(CreateCommand, ATreeThatCannotBeStoredRemovesTheHalfWrittenPackage)
{
    TempDir dir;
    const std::string manifest = WriteSampleInputs(dir);
    // A name with a space cannot be listed in the tar's lists; the tar comes last, after the files.
    WriteText(dir / "in/tree/bad name.txt", "x");
    const ToolRun run = RunTool({"create", manifest, "-o", dir / "out.pkg", "--split", "1K"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(
        run.err.find(manifest + ":62:1: tar /rootfs/opt/t/data.tar.gz: './bad name.txt' cannot be stored"),
        std::string::npos)
        << run.err;
    EXPECT_TRUE(NoPackageLeft(dir));
    EXPECT_FALSE(fs::exists(dir / "out.pkg.002"));
}

TEST(CreateCommand, TarsComeFromArchivesAndAreCompressedAsAsked)
{
    TempDir dir;
    TarItemBuilder old("old");
    old.SetIncludeLists(false);
    ASSERT_TRUE(old.AddDirectory("./data"));
    ASSERT_TRUE(old.AddFile("/data/table.csv", "a,b\n1,2\n"));  // absolute names are taken below the folder
    ASSERT_TRUE(old.AddSymlink("data/latest.csv", "table.csv"));
    std::vector<uint8_t> archive;
    ASSERT_TRUE(old.Build(archive, TarItemBuilder::Compression::Gzip));
    WriteText(dir / "in/old.tar.gz", std::string(archive.begin(), archive.end()));
    const std::string extra = R"(
[[tar]]
path = "/rootfs/opt/t/b.tar.bz2"
from_dir = "tree"
compression = "bzip2"

[[tar]]
path = "/rootfs/opt/u/x.tar.xz"
from_dir = "tree"
compression = "xz"

[[tar]]
path = "/rootfs/opt/v/plain.tar"
from_dir = "tree"
compression = "none"

[[tar]]
path = "/rootfs/opt/w/again.tar"
from_archive = "old.tar.gz"
)";
    const std::string manifest = WriteSampleInputs(dir, extra);
    const ToolRun create = RunTool({"create", manifest, "-o", dir / "out.pkg"});
    ASSERT_EQ(create.status, 0) << create.err;
    const ToolRun verify = RunTool({"verify", dir / "out.pkg"});
    EXPECT_EQ(verify.status, 0) << verify.out;
    ASSERT_EQ(RunTool({"extract", dir / "out.pkg", dir / "x"}).status, 0);
    auto tree = TreeOf(dir / "in/tree");
    for (const char* folder : {"x/rootfs/opt/u", "x/rootfs/opt/v"})
        EXPECT_EQ(TreeOf(dir / folder), tree) << folder;
    tree.erase("data/deep/");
    tree.erase("data/deep/more.txt");
    EXPECT_EQ(TreeOf(dir / "x/rootfs/opt/w"), tree);
    const std::string bzip = ReadText(dir / "out.pkg");
    EXPECT_NE(bzip.find("BZh"), std::string::npos);
    EXPECT_NE(bzip.find("\xFD"
                        "7zXZ"),
              std::string::npos);
}
}  // namespace
