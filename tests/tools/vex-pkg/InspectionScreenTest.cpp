// What `vex-pkg extract` leaves for a person to look at: no device nodes, FIFOs or set-uid files, whoever
// runs it, and nothing written through an entry already in its folder.

#include "tools/vex-pkg/InspectionScreen.h"

#include "pkg/read/PackageFormat.h"
#include "pkg/writer/PackageWriter.h"
#include "pkg/writer/TarItemBuilder.h"
#include "tests/tools/vex-pkg/VexPkgTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <functional>

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

// Entries below `root` whose names start with `prefix`, at any depth.
int CountNamed(const std::string& root, const std::string& prefix)
{
    int count = 0;
    for (const auto& entry : TreeOf(root))
        if (fs::path(entry.first).filename().string().rfind(prefix, 0) == 0 ||
            entry.first.find("/" + prefix) != std::string::npos || entry.first.rfind(prefix, 0) == 0)
            ++count;
    return count;
}

TEST(InspectionScreen, DropsPrivilegeBitsAndSaysWhich)
{
    std::string dropped;
    EXPECT_EQ(InspectionScreen::WithoutPrivilegeBits(04755, dropped), 0755u);
    EXPECT_EQ(dropped, "set-uid dropped");
    EXPECT_EQ(InspectionScreen::WithoutPrivilegeBits(02775, dropped), 0775u);
    EXPECT_EQ(dropped, "set-gid dropped");
    EXPECT_EQ(InspectionScreen::WithoutPrivilegeBits(06711, dropped), 0711u);
    EXPECT_EQ(dropped, "set-uid and set-gid dropped");
    EXPECT_EQ(InspectionScreen::WithoutPrivilegeBits(01777, dropped), 01777u);
    EXPECT_EQ(dropped, "");
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
    EXPECT_EQ(CountNamed(root, ".vex-pkg-"), 0) << "a private folder was left behind";
}

// Entries planted in the output folder where items go: a FIFO (whose reading end the test holds) and a
// terminal's device node (whose other end the test holds). Each is replaced by the item's file; not a byte
// reaches either.
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
                         tar.AddTo(w, "/rootfs/opt/t.tar");
                     });
    const std::string opt = dir / "x/rootfs/opt";
    fs::create_directories(opt);
    ASSERT_EQ(::mkfifo((opt + "/pipe").c_str(), 0666), 0);
    ASSERT_EQ(::mkfifo((opt + "/member").c_str(), 0666), 0);
    const int pipeReader = ::open((opt + "/pipe").c_str(), O_RDONLY | O_NONBLOCK);
    const int memberReader = ::open((opt + "/member").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(pipeReader, 0);
    ASSERT_GE(memberReader, 0);
    int master = ::geteuid() == 0 ? ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
    struct stat slave;
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 && ::ptsname(master) != nullptr &&
        ::stat(::ptsname(master), &slave) == 0)
    {
        EXPECT_EQ(::mknod((opt + "/tty").c_str(), S_IFCHR | 0666, slave.st_rdev), 0);
    }
    const bool ttyPlanted = S_ISCHR(StatusOf(opt + "/tty").st_mode);

    const ToolRun run = RunTool({"extract", package, dir / "x"});
    EXPECT_EQ(run.status, 0) << run.out;

    for (const auto& file :
         {std::make_pair("pipe", "not for the pipe\n"), std::make_pair("tty", "not for the terminal\n"),
          std::make_pair("member", "member\n")})
    {
        EXPECT_TRUE(S_ISREG(StatusOf(opt + "/" + file.first).st_mode)) << file.first;
        EXPECT_EQ(ReadText(opt + "/" + file.first), file.second);
    }
    char byte;
    EXPECT_LE(::read(pipeReader, &byte, 1), 0);
    EXPECT_LE(::read(memberReader, &byte, 1), 0);
    if (ttyPlanted)
    {
        struct pollfd ready = {master, POLLIN, 0};
        EXPECT_EQ(::poll(&ready, 1, 0), 0) << "something was written to the terminal";
    }
    ::close(pipeReader);
    ::close(memberReader);
    if (master >= 0)
        ::close(master);
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
    ASSERT_EQ(::mkfifo((opt + "/pipe").c_str(), 0600), 0);
    const int pipeReader = ::open((opt + "/pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(pipeReader, 0);

    const ToolRun run = RunTool({"extract", package, dir / "x"});
    EXPECT_EQ(run.status, 1);
    for (const char* name : {"old", "pipe", "new"})
        EXPECT_NE(run.out.find(std::string("file /rootfs/opt/") + name + ": MD5 mismatch, not written\n"),
                  std::string::npos)
            << run.out;
    EXPECT_EQ(ReadText(opt + "/old"), "kept\n");
    EXPECT_TRUE(S_ISFIFO(StatusOf(opt + "/pipe").st_mode));
    char byte;
    EXPECT_LE(::read(pipeReader, &byte, 1), 0);
    ::close(pipeReader);
    EXPECT_EQ(StatusOf(opt + "/new").st_mode, 0u);
    EXPECT_EQ(CountNamed(dir / "x", ".vex-pkg-"), 0) << "a private folder was left behind";
}
}  // namespace
