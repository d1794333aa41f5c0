#include "pkg/writer/TarItemBuilder.h"

#include "instrument/linux/LinuxDiskUtils.h"
#include "instrument/linux/SystemCommandRunner.h"
#include "log/LogStream.h"
#include "pkg/items/ItemFile.h"
#include "pkg/items/ItemTar.h"
#include "tar/LibArchiveExtractor.h"
#include "tar/TarLists.h"
#include "tests/support/TempDir.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace vex::instrument;
using namespace vex::log;
using namespace vex::pkg;
using namespace vex::pkg::writer;
using namespace vex::tar;

namespace fs = boost::filesystem;
using Bytes = std::vector<uint8_t>;

namespace
{
struct Seen
{
    char type;
    int64_t size;
    unsigned mode;
    std::string target;
    int64_t uid;
    std::string user;
};

// Reads an archive back with libarchive: what any tar reader would find in it.
std::map<std::string, Seen> ReadBack(const Bytes& archive)
{
    std::map<std::string, Seen> seen;
    std::unique_ptr<struct archive, int (*)(struct archive*)> a(archive_read_new(), archive_read_free);
    archive_read_support_filter_all(a.get());
    archive_read_support_format_all(a.get());
    if (archive_read_open_memory(a.get(), archive.data(), archive.size()) != ARCHIVE_OK)
        return seen;
    archive_entry* e = nullptr;
    while (archive_read_next_header(a.get(), &e) == ARCHIVE_OK)
    {
        const mode_t type = archive_entry_filetype(e);
        const char* target = archive_entry_symlink(e);
        const char* user = archive_entry_uname(e);
        seen[archive_entry_pathname(e)] = Seen{type == AE_IFDIR   ? 'd'
                                               : type == AE_IFLNK ? 'l'
                                                                  : '-',
                                               archive_entry_size(e),
                                               archive_entry_perm(e) & 07777u,
                                               target ? target : "",
                                               archive_entry_uid(e),
                                               user ? user : ""};
    }
    return seen;
}

TEST(TarItemBuilder, WritesMembersAnyReaderSeesAndListsThemAsAVerboseListing)
{
    TarItemBuilder b("data");
    b.SetModificationTime(1700000000);  // 2023-11-14 22:13:20 UTC
    b.SetOwner(1000, 100, "user", "users");
    const std::string deep =
        "./" + std::string(90, 'd') + "/" + std::string(60, 'f');  // needs the ustar prefix
    ASSERT_TRUE(b.AddDirectory("./"));
    ASSERT_TRUE(b.AddFile("./bin/tool", "#!/bin/sh\n", 04755));
    ASSERT_TRUE(b.AddSymlink("./bin/alias", "tool"));
    ASSERT_TRUE(b.AddFile(deep, "x"));
    EXPECT_FALSE(b.AddFile("./with space", "x")) << "the lists could not name it";
    EXPECT_FALSE(b.AddFile("./" + std::string(200, 'n'), "x")) << "no '/' to split a ustar name at";
    EXPECT_FALSE(b.AddFile("", "x"));

    Bytes tar;
    ASSERT_TRUE(b.Build(tar));
    EXPECT_EQ(tar.size() % 10240, 0u);
    const std::map<std::string, Seen> seen = ReadBack(tar);
    ASSERT_EQ(seen.size(), 6u);  // the two lists lead
    EXPECT_EQ(seen.at("./data_md5").size, static_cast<int64_t>(b.Md5List().size()));
    EXPECT_EQ(seen.at("./data_tart").size, static_cast<int64_t>(b.TarList().size()));
    EXPECT_EQ(seen.at("./bin/tool").mode, 04755u);
    EXPECT_EQ(seen.at("./bin/tool").uid, 1000);
    EXPECT_EQ(seen.at("./bin/tool").user, "user");
    EXPECT_EQ(seen.at("./bin/alias").type, 'l');
    EXPECT_EQ(seen.at("./bin/alias").target, "tool");
    EXPECT_EQ(seen.at(deep).size, 1);
    EXPECT_EQ(seen.at("./").type, 'd');

    EXPECT_EQ(b.TarList(),
              "drwxr-xr-x user/users         0 2023-11-14 22:13 ./\n"
              "-rwsr-xr-x user/users        10 2023-11-14 22:13 ./bin/tool\n"
              "lrwxrwxrwx user/users         0 2023-11-14 22:13 ./bin/alias -> tool\n"
              "-rw-r--r-- user/users         1 2023-11-14 22:13 " +
                  deep + "\n");
    // "#!/bin/sh\n" and "x", as an MD5 tool prints them.
    EXPECT_EQ(b.Md5List(),
              "3e2b31c72181b87149ff995e7202c0e3  ./bin/tool\n"
              "9dd4e461268c8034f5c8564e155c67a6  " +
                  deep + "\n");
    // The installer's own reading of the listing finds every member, the link with its target.
    TarLists::TarListLine line;
    ASSERT_TRUE(TarLists::ParseTarListLine(
        "lrwxrwxrwx user/users         0 2023-11-14 22:13 ./bin/alias -> tool", line));
    EXPECT_EQ(line.target, "tool");
    EXPECT_EQ(b.ExpandedSize(), 11u + b.Md5List().size() + b.TarList().size());
}

TEST(TarItemBuilder, GzipOutputHoldsTheSameArchive)
{
    TarItemBuilder b("data");
    b.AddFile("./a", std::string(100000, 'a'));
    Bytes plain, gz;
    ASSERT_TRUE(b.Build(plain));
    ASSERT_TRUE(b.Build(gz, TarItemBuilder::Compression::Gzip));
    EXPECT_LT(gz.size(), plain.size() / 10);
    const std::map<std::string, Seen> seen = ReadBack(gz);
    ASSERT_EQ(seen.count("./a"), 1u);
    EXPECT_EQ(seen.at("./a").size, 100000);
}

// A tar item written into a package between other items, loaded back by the installer's loader and
// extracted from the package's own stream.
TEST(TarItemBuilder, ItemsInAPackageExtractAndVerify)
{
    TempDir dir;
    LogStream::Instance().Open(dir / "install.log");
    TarItemBuilder b("data");
    b.AddDirectory("./");
    b.AddDirectory("./share/");
    b.AddFile("./share/big", std::string(3 << 20, 'B'));
    b.AddFile("./share/small", "small");
    PackageWriter::FileInfo before;
    before.path = "/kelda_usr/before";
    const std::string package = dir / "update.pkg";
    ASSERT_TRUE(test_support::writePackage(package,
                                           [&](PackageWriter& w)
                                           {
                                               w.addHeader({});
                                               w.addFile(before, test_support::bytesOf("first"));
                                               EXPECT_TRUE(b.AddTo(w, "/rootfs/opt/data.tar.gz",
                                                                   TarItemBuilder::Compression::Gzip, 4));
                                               w.addFile(before, test_support::bytesOf("last"));
                                           }));

    test_support::LoadedPackage loaded(package);
    ASSERT_TRUE(loaded.loaded());
    ItemTar* tar = nullptr;
    test_support::ItemList items = loaded.items();
    for (const auto& item : items)
        if (ItemTar* t = dynamic_cast<ItemTar*>(item.get()))
            tar = t;
    ASSERT_NE(tar, nullptr);
    EXPECT_EQ(tar->destination(), "/rootfs/opt/data.tar.gz");
    EXPECT_EQ(tar->installedSize(), b.ExpandedSize());
    EXPECT_EQ(tar->conditionId(), 4);

    const fs::path dest = dir.path() / "opt";
    fs::create_directories(dest);
    LinuxDiskUtils disk(dir.str());
    LibArchiveExtractor extractor(disk, SystemCommandRunner::Instance());
    extractor.SetDateTimeMode(TarExtractor::DateTimeMode::kAsExtracted);
    EXPECT_TRUE(extractor.ExtractAndVerify(tar, dest.string()));
    EXPECT_EQ(fs::file_size(dest / "share/big"), 3u << 20);
    // The next item's data is still there to be read.
    EXPECT_EQ(test_support::readAll(dynamic_cast<ItemFile*>(items.back().get())->dataInfo().reader()),
              test_support::bytesOf("last"));
    LogStream::Instance().Close();
}
}  // namespace
