// What `vex-pkg extract` leaves for a person to look at: no device nodes, FIFOs or set-uid files, whoever
// runs it, and nothing written through an entry already in its folder.

#include "tools/vex-pkg/InspectionScreen.h"

#include "pkg/read/PackageFormat.h"
#include "pkg/writer/PackageWriter.h"
#include "pkg/writer/TarItemBuilder.h"
#include "tests/support/PlantedNodes.h"
#include "tests/tools/vex-pkg/VexPkgTestSupport.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <functional>
#include <memory>

using namespace vex::pkg;
using namespace vex::pkg::writer;
using vex::tools::InspectionScreen;

namespace
{
namespace fs = boost::filesystem;
using Bytes = PackageWriter::Bytes;

Bytes B(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

PackageWriter::FileInfo File(const std::string& path, uint16_t mode = 0x01ED)
{
    PackageWriter::FileInfo info;
    info.path = path;
    info.attributes.mode = mode;
    return info;
}

std::string WritePackage(const TempDir& dir, const std::function<void(PackageWriter&)>& build)
{
    const std::string path = dir / "p.pkg";
    PackageWriter writer;
    EXPECT_TRUE(writer.open(path));
    writer.addHeader(PackageWriter::Header());
    for (const char* script : {"pre.sh", "clean.sh", "post.sh"}) writer.addScript(script, B("exit 0\n"));
    build(writer);
    EXPECT_TRUE(writer.close());
    return path;
}

struct stat StatusOf(const std::string& path)
{
    struct stat status = {};
    if (::lstat(path.c_str(), &status) != 0)
        status.st_mode = 0;
    return status;
}

// The private folders extract stages its files in, left anywhere below `root`.
int StagingLeft(const std::string& root)
{
    int count = 0;
    for (const auto& entry : TreeOf(root)) count += entry.first.find(".vex-pkg-") != std::string::npos;
    return count;
}

using Entry = std::unique_ptr<archive_entry, void (*)(archive_entry*)>;

Entry NewEntry(const char* name, mode_t type, unsigned perm)
{
    Entry e(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(e.get(), name);
    archive_entry_set_filetype(e.get(), type);
    archive_entry_set_perm(e.get(), perm);
    archive_entry_set_uid(e.get(), 0);
    archive_entry_set_gid(e.get(), 0);
    return e;
}

TEST(InspectionScreen, WritesAPrivilegedFileWithoutItsPrivilegesAndNotesIt)
{
    InspectionScreen screen("/rootfs/opt");
    Entry e = NewEntry("./bin/ping", AE_IFREG, 04755);
    archive_entry_xattr_add_entry(e.get(), "security.capability", "\x01\x00", 2);
    archive_entry_xattr_add_entry(e.get(), "user.origin", "build", 5);
    std::string why;
    EXPECT_EQ(screen.Screen(e.get(), why), InspectionScreen::Action::kWrite);
    EXPECT_EQ(archive_entry_perm(e.get()), 0755u);
    ASSERT_EQ(archive_entry_xattr_reset(e.get()), 1);
    const char* name = nullptr;
    const void* value = nullptr;
    size_t size = 0;
    ASSERT_EQ(archive_entry_xattr_next(e.get(), &name, &value, &size), ARCHIVE_OK);
    EXPECT_STREQ(name, "user.origin");
    ASSERT_EQ(screen.notes().size(), 1u);
    EXPECT_EQ(screen.notes()[0].path, "/rootfs/opt/bin/ping");
    EXPECT_EQ(screen.notes()[0].mode, 04755u);
    EXPECT_EQ(screen.notes()[0].text, "set-uid dropped, file capabilities dropped");
}

TEST(InspectionScreen, SkipsAHardLinkThatWouldWriteIntoAnotherFile)
{
    InspectionScreen screen("/rootfs");
    std::string why;
    Entry link = NewEntry("./b", AE_IFREG, 0644);
    archive_entry_set_hardlink(link.get(), "a");
    archive_entry_set_size(link.get(), 10);
    EXPECT_EQ(screen.Screen(link.get(), why), InspectionScreen::Action::kSkip);
    EXPECT_EQ(why, "not created: a hard link that carries data");
    Entry plain = NewEntry("./c", AE_IFREG, 0644);
    EXPECT_EQ(screen.Screen(plain.get(), why), InspectionScreen::Action::kWrite);
    ASSERT_EQ(screen.notes().size(), 1u);
    EXPECT_EQ(screen.notes()[0].path, "/rootfs/b");
}

// The reviewers' package: a tar with memory and disk devices, a FIFO and a set-uid shell, and a set-uid file
// item. Run as root, extract creates none of the nodes and no set-uid file, and lists each in attributes.tsv.
TEST(ExtractCommand, CreatesNoNodesAndNoSetUidFilesAndListsThem)
{
    TempDir dir;
    const std::string package =
        WritePackage(dir,
                     [](PackageWriter& w)
                     {
                         TarItemBuilder tar("t");
                         tar.AddDirectory("./dev");
                         tar.AddSpecial("./dev/mem", TarItemBuilder::Special::CharacterDevice, 1, 1);
                         tar.AddSpecial("./dev/sda", TarItemBuilder::Special::BlockDevice, 8, 0);
                         tar.AddSpecial("./pipe", TarItemBuilder::Special::Fifo);
                         tar.AddFile("./sh", "#!/bin/sh\n", 04755);
                         tar.AddDirectory("./shared", 02775);
                         tar.AddFile("./plain", "plain\n");
                         ASSERT_TRUE(tar.AddTo(w, "/rootfs/opt/t.tar"));
                         w.addFile(File("/rootfs/opt/su", 0x01ED | PackageFormat::kModeSetUid), B("su\n"));
                     });
    const std::string root = dir / "x";
    const ToolRun run = RunTool({"extract", package, root});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(
        run.out.find("tar /rootfs/opt/t.tar: 5 members not created or changed, listed in attributes.tsv"),
        std::string::npos)
        << run.out;

    for (const char* node : {"dev/mem", "dev/sda", "pipe"})
        EXPECT_EQ(StatusOf(root + "/rootfs/opt/" + node).st_mode, 0u) << node;
    EXPECT_TRUE(S_ISDIR(StatusOf(root + "/rootfs/opt/dev").st_mode));
    EXPECT_EQ(ReadText(root + "/rootfs/opt/plain"), "plain\n");
    EXPECT_EQ(StatusOf(root + "/rootfs/opt/sh").st_mode & 07777, 0755u);
    EXPECT_EQ(StatusOf(root + "/rootfs/opt/shared").st_mode & 07777, 0775u);
    EXPECT_EQ(StatusOf(root + "/rootfs/opt/su").st_mode & 07777, 0755u);
    EXPECT_EQ(ReadText(root + "/rootfs/opt/su"), "su\n");

    const std::string tsv = ReadText(root + "/attributes.tsv");
    EXPECT_EQ(tsv.rfind("path\towner\tgroup\tmode\tfat\tnote\n", 0), 0u) << tsv;
    for (const char* line : {"/rootfs/opt/dev/mem\t0\t0\t0644\t-\tnot created: a character device 1,1\n",
                             "/rootfs/opt/dev/sda\t0\t0\t0644\t-\tnot created: a block device 8,0\n",
                             "/rootfs/opt/pipe\t0\t0\t0644\t-\tnot created: a FIFO\n",
                             "/rootfs/opt/sh\t0\t0\t4755\t-\tset-uid dropped\n",
                             "/rootfs/opt/shared\t0\t0\t2775\t-\tset-gid dropped\n",
                             "/rootfs/opt/su\t0\t0\t4755\t-\tset-uid dropped\n"})
        EXPECT_NE(tsv.find(line), std::string::npos) << line << "in\n" << tsv;
    EXPECT_EQ(StagingLeft(root), 0) << "a private folder was left behind";
}

// Entries planted in the output folder where items and members go: FIFOs and a terminal's device node (whose
// other ends the test holds) and a link to a file outside. Each is replaced; not a byte goes through any.
TEST(ExtractCommand, ReplacesNodesInTheOutputFolderWithoutWritingThroughThem)
{
    TempDir dir;
    const std::string package =
        WritePackage(dir,
                     [](PackageWriter& w)
                     {
                         w.addFile(File("/rootfs/opt/pipe"), B("not for the pipe\n"));
                         w.addFile(File("/rootfs/opt/tty"), B("not for the terminal\n"));
                         TarItemBuilder tar("t");
                         tar.AddFile("./member", "member\n");
                         tar.AddFile("./link", "not for the link\n");
                         tar.AddTo(w, "/rootfs/opt/t.tar");
                     });
    const std::string opt = dir / "x/rootfs/opt";
    fs::create_directories(opt);
    PlantedNodes planted;
    ASSERT_TRUE(planted.PlantFifo(opt + "/pipe"));
    ASSERT_TRUE(planted.PlantFifo(opt + "/member"));
    EXPECT_EQ(planted.PlantTerminal(opt + "/tty"), ::geteuid() == 0);
    WriteText(dir / "outside", "outside\n");
    fs::create_symlink(dir / "outside", opt + "/link");

    const ToolRun run = RunTool({"extract", package, dir / "x"});
    EXPECT_EQ(run.status, 0) << run.out;

    EXPECT_FALSE(planted.Received());
    for (const auto& file :
         {std::make_pair("pipe", "not for the pipe\n"), std::make_pair("tty", "not for the terminal\n"),
          std::make_pair("member", "member\n"), std::make_pair("link", "not for the link\n")})
    {
        EXPECT_TRUE(S_ISREG(StatusOf(opt + "/" + file.first).st_mode)) << file.first;
        EXPECT_EQ(ReadText(opt + "/" + file.first), file.second);
    }
    EXPECT_EQ(ReadText(dir / "outside"), "outside\n");
}

// "MD5 mismatch, not written" is true: what was at the path stays as it was, and no decoded byte is left.
TEST(ExtractCommand, AnMd5MismatchLeavesNothingWrittenAnywhere)
{
    TempDir dir;
    const std::string package = WritePackage(dir,
                                             [](PackageWriter& w)
                                             {
                                                 PackageWriter::EncodedData data;
                                                 data.data = B("forged\n");
                                                 data.installedSize = 7;
                                                 data.installedDigest = PackageWriter::digestOf(B("other\n"));
                                                 w.addEncodedFile(File("/rootfs/opt/old"), data);
                                                 w.addEncodedFile(File("/rootfs/opt/pipe"), data);
                                                 w.addEncodedFile(File("/rootfs/opt/new"), data);
                                             });
    const std::string opt = dir / "x/rootfs/opt";
    fs::create_directories(opt);
    WriteText(opt + "/old", "kept\n");
    PlantedNodes planted;
    ASSERT_TRUE(planted.PlantFifo(opt + "/pipe"));

    const ToolRun run = RunTool({"extract", package, dir / "x"});
    EXPECT_EQ(run.status, 1);
    for (const char* name : {"old", "pipe", "new"})
        EXPECT_NE(run.out.find(std::string("file /rootfs/opt/") + name + ": MD5 mismatch, not written\n"),
                  std::string::npos)
            << run.out;
    EXPECT_EQ(ReadText(opt + "/old"), "kept\n");
    EXPECT_TRUE(S_ISFIFO(StatusOf(opt + "/pipe").st_mode));
    EXPECT_FALSE(planted.Received());
    EXPECT_EQ(StatusOf(opt + "/new").st_mode, 0u);
    EXPECT_EQ(StagingLeft(dir / "x"), 0) << "a private folder was left behind";
}
}  // namespace
