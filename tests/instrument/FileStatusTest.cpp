#include "instrument/FileStatus.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

using namespace vex::instrument;

namespace
{
// Links are judged both ways: through them for existence, as themselves for being a link. A path the file
// system refuses to walk (through a file) is an answer, never an exception.
TEST(FileStatus, ExistenceFollowsLinksAndErrorsMeanNo)
{
    TempDir dir;
    std::ofstream(dir / "file") << "x";
    ::mkdir((dir / "folder").c_str(), 0700);
    ASSERT_EQ(0, ::symlink((dir / "file").c_str(), (dir / "link").c_str()));
    ASSERT_EQ(0, ::symlink((dir / "absent").c_str(), (dir / "dangling").c_str()));
    struct Case
    {
        std::string path;
        bool exists;
        bool symlink;
    };
    for (const Case& c :
         {Case{dir / "file", true, false}, Case{dir / "folder", true, false}, Case{dir / "link", true, true},
          Case{dir / "dangling", false, true}, Case{dir / "absent", false, false},
          Case{dir / "file/below", false, false}, Case{"", false, false}})
    {
        EXPECT_EQ(PathExists(c.path), c.exists) << c.path;
        EXPECT_EQ(IsSymlink(c.path), c.symlink) << c.path;
    }
}
}  // namespace
