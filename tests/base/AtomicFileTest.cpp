// Small files written whole or not at all, and read bounded: a write replaces the file and leaves no
// temporary behind, removes a leftover temporary and never follows a link planted in its place, and says
// why when it cannot; a read takes only a regular file within its bound (no link, no folder, nothing
// longer), and tells a missing file from a bad one.

#include "base/AtomicFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using vex::base::AtomicFile;

namespace
{
TEST(AtomicFile, WritesWholeFilesAndNeverFollowsAPlantedLink)
{
    TempDir dir;
    const std::string path = dir / "state";
    std::string why, text;
    std::vector<std::string> flushed;
    const AtomicFile::Sync record = [&flushed](int, const std::string& name)
    {
        flushed.push_back(name);
        return true;
    };
    ASSERT_TRUE(AtomicFile::write(path, "one\n", why, record)) << why;
    EXPECT_EQ(flushed, (std::vector<std::string>{path + ".new", dir.str()})) << "the file, then its folder";
    ASSERT_TRUE(AtomicFile::write(path, "two\n", why)) << why;
    ASSERT_EQ(AtomicFile::read(path, 100, text, why), AtomicFile::Read::kRead) << why;
    EXPECT_EQ(text, "two\n");
    EXPECT_FALSE(boost::filesystem::exists(path + ".new"));

    // A link planted as the temporary is removed, not written through.
    std::ofstream(dir / "victim") << "keep";
    ASSERT_EQ(::symlink((dir / "victim").c_str(), (path + ".new").c_str()), 0);
    ASSERT_TRUE(AtomicFile::write(path, "three\n", why)) << why;
    ASSERT_EQ(AtomicFile::read(dir / "victim", 100, text, why), AtomicFile::Read::kRead);
    EXPECT_EQ(text, "keep");

    // A failed flush fails the write and leaves the old file.
    EXPECT_FALSE(AtomicFile::write(path, "four\n", why, [](int, const std::string&) { return false; }));
    EXPECT_NE(why.find("cannot flush"), std::string::npos) << why;
    ASSERT_EQ(AtomicFile::read(path, 100, text, why), AtomicFile::Read::kRead);
    EXPECT_EQ(text, "three\n");
    EXPECT_FALSE(AtomicFile::write(dir / "no/such/folder/x", "x", why));
    EXPECT_NE(why.find("cannot create"), std::string::npos) << why;
}

TEST(AtomicFile, ReadsOnlyBoundedRegularFiles)
{
    TempDir dir;
    std::string text = "untouched", why;
    EXPECT_EQ(AtomicFile::read(dir / "absent", 10, text, why), AtomicFile::Read::kAbsent);
    std::ofstream(dir / "ten") << "0123456789";
    EXPECT_EQ(AtomicFile::read(dir / "ten", 9, text, why), AtomicFile::Read::kFailed);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(AtomicFile::read(dir / "ten", 10, text, why), AtomicFile::Read::kRead);
    EXPECT_EQ(text, "0123456789");
    ASSERT_EQ(::symlink((dir / "ten").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(AtomicFile::read(dir / "link", 100, text, why), AtomicFile::Read::kFailed);
    boost::filesystem::create_directory(dir / "folder");
    EXPECT_EQ(AtomicFile::read(dir / "folder", 100, text, why), AtomicFile::Read::kFailed);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(AtomicFile::read(dir / "fifo", 100, text, why), AtomicFile::Read::kFailed)
        << "no wait on a FIFO";
}

}  // namespace
