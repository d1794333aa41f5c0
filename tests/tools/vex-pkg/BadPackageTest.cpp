// Damaged and hostile packages: every subcommand reports them with status 1, never crashes or hangs, and
// extract never writes outside its folder.

#include "pkg/read/PackageFormat.h"
#include "pkg/writer/PackageWriter.h"
#include "pkg/writer/TarItemBuilder.h"
#include "tests/tools/vex-pkg/VexPkgTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
namespace fs = boost::filesystem;
using Bytes = PackageWriter::Bytes;

Bytes B(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// A link of the package, at `linkPath` towards `target`.
void AddLink(PackageWriter& w, const std::string& linkPath, const std::string& target)
{
    PackageWriter::LinkInfo link;
    link.linkPath = linkPath;
    link.target = target;
    w.addLink(link);
}

PackageWriter::FileInfo File(const std::string& path)
{
    PackageWriter::FileInfo info;
    info.path = path;
    return info;
}

// A compliant USER package with what `build` adds after the mandatory scripts.
std::string WritePackage(const TempDir& dir, const std::function<void(PackageWriter&)>& build)
{
    const std::string path = dir / "bad.pkg";
    PackageWriter writer;
    EXPECT_TRUE(writer.open(path));
    PackageWriter::Header header;
    writer.addHeader(header);
    for (const char* script : {"pre.sh", "clean.sh", "post.sh"}) writer.addScript(script, B("exit 0\n"));
    build(writer);
    EXPECT_TRUE(writer.close());
    return path;
}

struct Damage
{
    const char* name;
    std::function<void(PackageWriter&)> build;
    std::string problem;  // the line verify prints for it
};

class VerifyReports : public testing::TestWithParam<Damage>
{
};

TEST_P(VerifyReports, TheDamageOnOneLineAndFails)
{
    TempDir dir;
    const std::string package = WritePackage(dir, GetParam().build);
    const ToolRun verify = RunTool({"verify", package});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.out.find(GetParam().problem + "\n"), std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find(" found\n"), std::string::npos);
    // The other subcommands live with it too.
    EXPECT_NE(RunTool({"list", package}).status, 2);
    EXPECT_NE(RunTool({"extract", package, dir / "x"}).status, 2);
}

TarItemBuilder SmallTar()
{
    TarItemBuilder tar("data");
    tar.AddDirectory("./d");
    tar.AddFile("./d/a.txt", "alpha\n");
    tar.AddSymlink("./d/b", "a.txt");
    return tar;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifyReports,
    testing::Values(
        Damage{"DeviceMemberOfAUserPackage",
               [](PackageWriter& w)
               {
                   TarItemBuilder tar = SmallTar();
                   tar.AddSpecial("./d/mem", TarItemBuilder::Special::CharacterDevice, 1, 1);
                   tar.AddTo(w, "/rootfs/data.tar");
               },
               "tar /rootfs/data.tar: member 'd/mem' is a character device, which the installer does not "
               "create from this package"},
        Damage{"WrongDigest",
               [](PackageWriter& w)
               {
                   PackageWriter::EncodedData encoded;
                   encoded.data = B("what was packed\n");
                   encoded.installedSize = static_cast<uint32_t>(encoded.data.size());
                   encoded.installedDigest = PackageWriter::digestOf(B("what was meant\n"));
                   w.addEncodedFile(File("/kelda_usr/x.txt"), encoded);
               },
               "file /kelda_usr/x.txt: MD5 mismatch (recorded cf73605846a0fb0d1113b3b188ba0358, data "
               "d4ed678300fe1b129c1f61f060b409f3)"},
        Damage{"WrongSize",
               [](PackageWriter& w)
               {
                   PackageWriter::EncodedData encoded;
                   encoded.data = B("abc");
                   encoded.installedSize = 4;
                   encoded.installedDigest = PackageWriter::digestOf(encoded.data);
                   w.addEncodedFile(File("/kelda_usr/x.txt"), encoded);
               },
               "file /kelda_usr/x.txt: decodes to 3 bytes, the package records 4"},
        Damage{"UndecodableCipher",
               [](PackageWriter& w)
               {
                   PackageWriter::EncodedData encoded;
                   encoded.encoding = PackageFormat::encodingByte(0, PackageFormat::kCipherDes);
                   encoded.data = B("not a cipher segment");
                   w.addEncodedFile(File("/kelda_usr/x.txt"), encoded);
               },
               "file /kelda_usr/x.txt: its data cannot be decoded"},
        Damage{"UnknownEncoding",
               [](PackageWriter& w)
               {
                   PackageWriter::EncodedData encoded;
                   encoded.encoding = PackageFormat::encodingByte(0, 7);
                   w.addEncodedFile(File("/kelda_usr/x.txt"), encoded);
               },
               "file /kelda_usr/x.txt: encoding 0/7 is not one the installer can decode"},
        Damage{"UnknownChunk", [](PackageWriter& w) { w.addRawChunk(42, B("junk")); },
               "unknown: a chunk of unknown type, or one whose fields could not be read (4 bytes)"},
        Damage{"EmptyChunkEndsTheWalk",
               [](PackageWriter& w)
               {
                   w.addRawChunk(42, Bytes());
                   w.addFile(File("/kelda_usr/x.txt"), B("x"));
               },
               "package: the installer's walk stops after 4 of 6 chunks (an empty chunk of unknown type)"},
        Damage{"TruncatedChunk",
               [](PackageWriter& w) {
                   w.addRawBytes(Bytes{17, 0, 0, 0, 100, 0, 0, 0, 1, 2});
               },
               "bad.pkg !"},
        Damage{"StrayBytes", [](PackageWriter& w) { w.addRawBytes(B("abc")); },
               "package: 3 stray bytes at offset 172, too few for a chunk"},
        Damage{"TarWithWrongList",
               [](PackageWriter& w)
               {
                   TarItemBuilder tar = SmallTar();
                   tar.SetMd5List("0123456789abcdef0123456789abcdef  ./d/a.txt\n");
                   tar.AddTo(w, "/rootfs/data.tar");
               },
               "tar /rootfs/data.tar: member 'd/a.txt' does not have the MD5 ./data_md5 records"},
        Damage{"TarWithoutLists",
               [](PackageWriter& w)
               {
                   TarItemBuilder tar = SmallTar();
                   tar.SetIncludeLists(false);
                   tar.AddTo(w, "/rootfs/data.tar");
               },
               "tar /rootfs/data.tar: the archive lacks its list ./data_md5"},
        Damage{"TarListingAnotherLink",
               [](PackageWriter& w)
               {
                   TarItemBuilder tar = SmallTar();
                   std::string listing = tar.TarList();
                   listing.replace(listing.find("-> a.txt"), 8, "-> /etc/x");
                   tar.SetTarList(listing);
                   tar.AddTo(w, "/rootfs/data.tar");
               },
               "tar /rootfs/data.tar: ./data_tart lists link 'd/b' with another target"},
        Damage{"BrokenTar", [](PackageWriter& w) { w.addTar("/rootfs/data.tar", B(std::string(1024, 'x'))); },
               "tar /rootfs/data.tar: broken archive: Unrecognized archive format"},
        Damage{"NotCompliant", [](PackageWriter& w) { w.addFile(File("/update/x.txt"), B("x")); },
               "file /update/x.txt: Invalid destination directory path '/emmc/update/x.txt' for USER package "
               "type."}),
    [](const testing::TestParamInfo<Damage>& param) { return std::string(param.param.name); });

// A malformed list line is one problem, not the end of the check: what the lines after it say is still
// compared with the archive, and members no line lists are still found.
TEST(VerifyCommand, AMalformedListLineIsReportedAndTheListReadOn)
{
    TempDir dir;
    const std::string package =
        WritePackage(dir,
                     [](PackageWriter& w)
                     {
                         TarItemBuilder tar = SmallTar();
                         tar.SetMd5List("lonely\n0123456789abcdef0123456789abcdef  ./d/a.txt\n");
                         std::string listing = tar.TarList();
                         const size_t link = listing.find("-> a.txt");
                         const size_t start = listing.rfind('\n', link) + 1;
                         listing.erase(start, listing.find('\n', link) + 1 - start);
                         tar.SetTarList("two tokens\n" + listing);
                         tar.AddTo(w, "/rootfs/data.tar");
                     });
    const ToolRun verify = RunTool({"verify", package});
    EXPECT_EQ(verify.status, 1);
    for (const char* problem :
         {"./data_md5 has a malformed line 'lonely'",
          "member 'd/a.txt' does not have the MD5 ./data_md5 records",
          "./data_tart has a malformed line 'two tokens'", "member 'd/b' is missing from ./data_tart"})
    {
        EXPECT_NE(verify.out.find(std::string("tar /rootfs/data.tar: ") + problem + "\n"), std::string::npos)
            << problem << "\n"
            << verify.out;
    }
}

TEST(VerifyCommand, AUserPackageWithoutItsScriptsIsNotCompliant)
{
    TempDir dir;
    PackageWriter writer;
    ASSERT_TRUE(writer.open(dir / "p.pkg"));
    writer.addHeader(PackageWriter::Header());
    writer.addFile(File("/kelda_usr/x.txt"), B("x"));
    ASSERT_TRUE(writer.close());
    const ToolRun verify = RunTool({"verify", dir / "p.pkg"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.out.find("package: Checking package compliance failed !"), 0u) << verify.out;
}

TEST(VerifyCommand, AMissingPackageIsReported)
{
    TempDir dir;
    const ToolRun verify = RunTool({"verify", dir / "none.pkg"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.out.find("doesn't exist"), std::string::npos) << verify.out;
}

// Every cut of a valid package is survived by every subcommand; a cut inside a chunk fails verify.
TEST(VerifyCommand, EveryTruncationIsSurvived)
{
    TempDir dir;
    ASSERT_EQ(RunTool({"create", WriteSampleInputs(dir), "-o", dir / "full.pkg"}).status, 0);
    const std::string full = ReadText(dir / "full.pkg");
    size_t failures = 0, runs = 0;
    for (size_t length = 0; length < full.size(); length += 1 + length / 6)
    {
        WriteText(dir / "cut.pkg", full.substr(0, length));
        const ToolRun verify = RunTool({"verify", dir / "cut.pkg"});
        ASSERT_TRUE(verify.status == 0 || verify.status == 1) << length;
        failures += verify.status == 1;
        ++runs;
        ASSERT_NE(RunTool({"list", "--json", dir / "cut.pkg"}).status, 2);
        ASSERT_NE(RunTool({"extract", dir / "cut.pkg", dir / ("x" + std::to_string(length % 3))}).status, 2);
    }
    EXPECT_GT(failures, runs / 2);
}

// Hostile destinations: whatever the package says, nothing lands outside the folder.
struct Escape
{
    const char* name;
    std::function<void(PackageWriter&)> build;
    std::string problem;
};

class ExtractStaysInside : public testing::TestWithParam<Escape>
{
};

TEST_P(ExtractStaysInside, AndReportsTheRefusal)
{
    TempDir dir;
    const std::string package = WritePackage(dir, GetParam().build);
    fs::create_directories(dir / "box/x");
    fs::create_directories(dir / "outside");
    const ToolRun run = RunTool({"extract", package, dir / "box/x"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(GetParam().problem), std::string::npos) << run.out;
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
    EXPECT_EQ(TreeOf(dir / "box").count("escaped"), 0u);
    EXPECT_FALSE(fs::exists(dir / "box/escaped"));
    EXPECT_FALSE(fs::exists(dir / "escaped"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractStaysInside,
    testing::Values(
        Escape{"DotDot", [](PackageWriter& w) { w.addFile(File("/rootfs/../../escaped"), B("x")); },
               "file /rootfs/../../escaped: the destination climbs out with '..'"},
        Escape{"RelativeName", [](PackageWriter& w) { w.addFile(File("../escaped"), B("x")); },
               "file ../escaped: the destination is not an absolute path"},
        Escape{"ThroughALinkOfThePackage",
               [](PackageWriter& w)
               {
                   AddLink(w, "/rootfs/out", "../../../outside");
                   w.addFile(File("/rootfs/out/escaped"), B("x"));
               },
               "file /rootfs/out/escaped: the destination passes through the link "},
        Escape{"OntoALinkOfThePackage",
               [](PackageWriter& w)
               {
                   AddLink(w, "/rootfs/escaped", "../../../outside/escaped");
                   w.addFile(File("/rootfs/escaped"), B("x"));
               },
               "file /rootfs/escaped: not written: a link is in its place, and writing would follow it"},
        Escape{"TarThroughALink",
               [](PackageWriter& w)
               {
                   AddLink(w, "/rootfs/out", "../../../outside");
                   SmallTar().AddTo(w, "/rootfs/out/data.tar");
               },
               "tar /rootfs/out/data.tar: the destination passes through the link "},
        Escape{"TarMemberClimbingOut",
               [](PackageWriter& w)
               {
                   TarItemBuilder tar("data");
                   tar.AddFile("../../../outside/escaped", "x");
                   tar.AddTo(w, "/rootfs/data.tar");
               },
               "tar /rootfs/data.tar: extraction failed: "},
        Escape{"TarMemberThroughItsOwnLink",
               [](PackageWriter& w)
               {
                   TarItemBuilder tar("data");
                   tar.AddSymlink("./out", "../../../outside");
                   tar.AddFile("./out/escaped", "x");
                   tar.AddTo(w, "/rootfs/data.tar");
               },
               "tar /rootfs/data.tar: extraction failed: "},
        Escape{"ScriptName", [](PackageWriter& w) { w.addScript("../escaped", B("x")); },
               "script ../escaped: not written: the name is not a plain file name"}),
    [](const testing::TestParamInfo<Escape>& param) { return std::string(param.param.name); });
}  // namespace

namespace
{
// The bytes of a chunk frame: type and size.
Bytes Frame(uint32_t type, uint32_t size)
{
    Bytes frame(8, 0);
    for (int i = 0; i < 4; ++i)
    {
        frame[i] = static_cast<uint8_t>(type >> (8 * i));
        frame[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
    return frame;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
}  // namespace

// A package whose chunk walk would stop before the end of the stream, leaving items after it: every
// subcommand refuses it with status 1, list and verify saying where.
TEST(WalkThatStopsShort, EverySubcommandRefusesIt)
{
    TempDir dir;
    // An unknown chunk with a negative size, a file after it.
    const std::string negative = WritePackage(dir,
                                              [](PackageWriter& w)
                                              {
                                                  w.addRawBytes(Frame(200, 0xFFFFFFF8u));
                                                  w.addFile(File("/kelda_usr/after.txt"), B("after\n"));
                                              });
    const std::string at =
        std::to_string(ReadAll(negative).find(std::string("\xC8\0\0\0\xF8\xFF\xFF\xFF", 8)));
    // A split package whose first part ends 3 bytes into the last chunk's frame, its second part empty.
    TempDir parts;
    const std::string whole =
        ReadAll(WritePackage(parts, [](PackageWriter& w) { w.addDirectory("/kelda_usr/d", {}); }));
    const std::string split = parts / "split.001";
    const size_t last =
        whole.size() - PackageWriter::chunk(16, PackageWriter::directoryPayload("/kelda_usr/d", {})).size();
    std::ofstream(split, std::ios::binary) << whole.substr(0, last + 3);
    std::ofstream(parts / "split.002", std::ios::binary);

    const ToolRun list = RunTool({"list", negative});
    EXPECT_EQ(list.status, 1);
    EXPECT_NE(list.err.find("vex-pkg list: Failed to load " + negative + " !\n"), std::string::npos)
        << list.err;
    EXPECT_NE(list.err.find("vex-pkg list: Package walk ended at offset " + at +
                            ": the chunk of type 200 declares a negative size (-8).\n"),
              std::string::npos)
        << list.err;
    const ToolRun verify = RunTool({"verify", negative});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.out.find("package: chunk of type 200 at offset " + at + " has a negative size\n"),
              std::string::npos)
        << verify.out;
    EXPECT_EQ(RunTool({"extract", negative, dir / "x"}).status, 1);
    EXPECT_FALSE(fs::exists(dir / "x/kelda_usr/after.txt"));

    const ToolRun listSplit = RunTool({"list", split});
    EXPECT_EQ(listSplit.status, 1);
    EXPECT_NE(listSplit.err.find("vex-pkg list: The part " + (parts / "split.002") + " is empty.\n"),
              std::string::npos)
        << listSplit.err;
    const ToolRun verifySplit = RunTool({"verify", split});
    EXPECT_EQ(verifySplit.status, 1);
    EXPECT_NE(verifySplit.out.find("package: 3 stray bytes at offset " + std::to_string(last) +
                                   ", too few for a chunk\n"),
              std::string::npos)
        << verifySplit.out;
    EXPECT_EQ(RunTool({"extract", split, dir / "y"}).status, 1);
}
