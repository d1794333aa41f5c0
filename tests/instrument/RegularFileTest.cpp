#include "instrument/RegularFile.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

using namespace vex::instrument;

namespace
{
// Only a regular file is opened; nothing here may block, whatever sits at the path.
TEST(RegularFile, OpensOnlyRegularFilesAndNeverBlocks)
{
    TempDir dir;
    std::ofstream(dir / "list") << "a\n";
    ASSERT_EQ(0, ::mkfifo((dir / "fifo").c_str(), 0600));
    ASSERT_EQ(0, ::symlink((dir / "list").c_str(), (dir / "link").c_str()));
    ::mkdir((dir / "folder").c_str(), 0700);
    struct Case
    {
        std::string path;
        bool opens;
    };
    for (const Case& c : {Case{dir / "list", true}, Case{dir / "fifo", false}, Case{dir / "link", false},
                          Case{dir / "folder", false}, Case{"/dev/zero", false}, Case{dir / "absent", false}})
    {
        SCOPED_TRACE(c.path);
        RegularFile file;
        EXPECT_EQ(c.opens, file.Open(c.path));
        EXPECT_EQ(c.opens, file.IsOpen());
    }
}

// A file to be written anew is created or emptied only once it is known to be a regular file: whatever else
// is there (a FIFO with a reader waiting, a device, a link, a folder) is left exactly as it was.
TEST(RegularFile, OpensForWritingOnlyARegularFileAndEmptiesItThen)
{
    TempDir dir;
    std::ofstream(dir / "old") << "old contents";
    std::ofstream(dir / "target") << "kept";
    ASSERT_EQ(0, ::mkfifo((dir / "fifo").c_str(), 0600));
    ASSERT_EQ(0, ::symlink((dir / "target").c_str(), (dir / "link").c_str()));
    ::mkdir((dir / "folder").c_str(), 0700);
    struct Case
    {
        std::string path;
        bool opens;
        bool notRegular;
        int error;
    };
    for (const Case& c : {Case{dir / "old", true, false, 0}, Case{dir / "new", true, false, 0},
                          Case{dir / "fifo", false, true, 0}, Case{"/dev/null", false, true, 0},
                          Case{dir / "link", false, false, ELOOP}, Case{dir / "folder", false, false, EISDIR},
                          Case{dir / "no/such", false, false, ENOENT}})
    {
        SCOPED_TRACE(c.path);
        bool notRegular = !c.notRegular;
        errno = 0;
        const vex::base::UniqueFd fd = RegularFile::OpenForWriting(AT_FDCWD, c.path, notRegular);
        EXPECT_EQ(c.opens, fd.valid());
        EXPECT_EQ(c.notRegular, notRegular);
        if (c.error != 0)
        {
            EXPECT_EQ(c.error, errno);
        }
        struct stat status;
        if (c.opens)
        {
            ASSERT_EQ(0, ::fstat(fd.get(), &status));
            EXPECT_EQ(0, status.st_size);
            EXPECT_EQ(0, ::fcntl(fd.get(), F_GETFL) & O_NONBLOCK);
        }
    }
    struct stat status;
    ASSERT_EQ(0, ::lstat((dir / "fifo").c_str(), &status));
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    std::string kept;
    std::ifstream(dir / "target") >> kept;
    EXPECT_EQ("kept", kept);
    // Relative to a folder's descriptor, as the installer opens them.
    const vex::base::UniqueFd folder(::open(dir.str().c_str(), O_RDONLY | O_DIRECTORY));
    bool notRegular = true;
    EXPECT_TRUE(RegularFile::OpenForWriting(folder.get(), "beside", notRegular).valid());
    EXPECT_FALSE(notRegular);
    EXPECT_TRUE(boost::filesystem::is_regular_file(dir / "beside"));
}

// The stream takes the opened descriptor over: it reads the file from its start, and what Open refuses gives
// no stream at all.
TEST(RegularFile, OpenStreamReadsWhatOpenAccepts)
{
    TempDir dir;
    std::ofstream(dir / "list") << "abc\n";
    ASSERT_EQ(0, ::mkfifo((dir / "fifo").c_str(), 0600));
    ASSERT_EQ(0, ::symlink((dir / "list").c_str(), (dir / "link").c_str()));

    std::FILE* stream = RegularFile::OpenStream(dir / "list");
    ASSERT_NE(stream, nullptr);
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, stream), 4u);
    EXPECT_STREQ(text, "abc\n");
    EXPECT_EQ(std::fclose(stream), 0);

    EXPECT_EQ(RegularFile::OpenStream(dir / "fifo"), nullptr);
    EXPECT_EQ(RegularFile::OpenStream(dir / "link"), nullptr);
    EXPECT_EQ(RegularFile::OpenStream(dir / "absent"), nullptr);
}

TEST(RegularFile, ReadsBoundedLines)
{
    TempDir dir;
    const std::string longLine(70000, 'x');
    std::ofstream(dir / "list", std::ios::binary) << "first\n\nthird\n" << longLine << "\nlast";
    RegularFile file;
    ASSERT_TRUE(file.Open(dir / "list"));
    EXPECT_EQ(static_cast<int64_t>(13 + longLine.size() + 5), file.Size());
    std::string line;
    std::vector<std::string> lines;
    ASSERT_EQ(RegularFile::Line::kRead, file.ReadLine(line, 100));
    EXPECT_EQ("first", line);
    ASSERT_EQ(RegularFile::Line::kRead, file.ReadLine(line, 100));
    EXPECT_EQ("", line);
    ASSERT_EQ(RegularFile::Line::kRead, file.ReadLine(line, 100));
    EXPECT_EQ("third", line);
    // A line past the bound is refused, however it continues.
    EXPECT_EQ(RegularFile::Line::kTooLong, file.ReadLine(line, 4096));

    RegularFile again;
    ASSERT_TRUE(again.Open(dir / "list"));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(RegularFile::Line::kRead, again.ReadLine(line, 100));
    ASSERT_EQ(RegularFile::Line::kRead, again.ReadLine(line, longLine.size()));
    EXPECT_EQ(longLine, line);
    ASSERT_EQ(RegularFile::Line::kRead, again.ReadLine(line, 100));
    EXPECT_EQ("last", line);
    EXPECT_EQ(RegularFile::Line::kEnd, again.ReadLine(line, 100));

    RegularFile closed;
    EXPECT_EQ(RegularFile::Line::kError, closed.ReadLine(line, 100));
}
}  // namespace
