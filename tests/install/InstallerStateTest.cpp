#include "install/InstallerState.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace vex::install;

namespace
{
namespace fs = boost::filesystem;

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Flushes in order, as the test sees them.
std::vector<std::string> gFlushed;
bool RecordFlush(int, const std::string& path)
{
    gFlushed.push_back(path + (fs::exists(path) ? "" : " (gone)"));
    return true;
}
bool FailFlush(int, const std::string&)
{
    return false;
}

class InstallerStateTest : public ::testing::Test
{
protected:
    InstallerStateTest()
    {
        environment.emmcRoot = dir / "emmc";
        fs::create_directories(dir / "emmc/update");
        environment.sync = RecordFlush;
        gFlushed.clear();
    }
    std::string path() const { return InstallerState::PathIn(environment); }

    TempDir dir;
    InstallEnvironment environment;
};

TEST_F(InstallerStateTest, LivesOnTheUpdatePartition)
{
    EXPECT_EQ(dir / "emmc/update/vex-pkg-install.state", path());
    EXPECT_EQ("/emmc/update/vex-pkg-install.state", InstallerState::PathIn(InstallEnvironment()));
}

TEST_F(InstallerStateTest, ASavedStateReadsBack)
{
    std::string why;
    InstallerState absent;
    EXPECT_EQ(InstallerState::Load::kAbsent, absent.load(path(), why));

    InstallerState saved;
    saved.signedInstall = true;
    ASSERT_TRUE(vex::pkg::PackageVersion::parse("4.10.3", saved.version));
    ASSERT_TRUE(saved.save(path(), environment, why)) << why;
    EXPECT_EQ("vex-pkg-install state 1\nsigned 1\nversion 4.10.3\n", ReadAll(path()));

    InstallerState read;
    ASSERT_EQ(InstallerState::Load::kLoaded, read.load(path(), why)) << why;
    EXPECT_TRUE(read.signedInstall);
    EXPECT_EQ(saved.version, read.version);
}

// The new state is complete on the device before it replaces the old one, and the rename is flushed too:
// after a power cut either state is found whole.
TEST_F(InstallerStateTest, SavingFlushesTheFileThenRenamesThenFlushesTheFolder)
{
    std::ofstream(path(), std::ios::binary) << "old";
    // A link left where the temporary file goes is replaced, never followed.
    fs::create_symlink(dir / "elsewhere", path() + ".new");
    InstallerState state;
    state.signedInstall = true;
    std::string why;
    ASSERT_TRUE(state.save(path(), environment, why)) << why;
    EXPECT_EQ((std::vector<std::string>{path() + ".new", dir / "emmc/update"}), gFlushed);
    EXPECT_FALSE(fs::exists(path() + ".new"));
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
    EXPECT_EQ("vex-pkg-install state 1\nsigned 1\nversion 0.0.0\n", ReadAll(path()));

    // A flush that fails is a failed save, and the old state stays.
    std::ofstream(path(), std::ios::binary) << "old";
    environment.sync = FailFlush;
    EXPECT_FALSE(state.save(path(), environment, why));
    EXPECT_EQ("cannot flush " + path() + ".new", why);
    EXPECT_EQ("old", ReadAll(path()));
    EXPECT_FALSE(fs::exists(path() + ".new"));

    // A folder that is not there cannot take it.
    environment.sync = RecordFlush;
    EXPECT_FALSE(state.save(dir / "missing/state", environment, why));
    EXPECT_EQ(0u, why.find("cannot create " + dir / "missing/state.new")) << why;
}

// Anything but what save writes is damaged, and reading it fails closed; so does a state that cannot be read
// as a small regular file.
TEST_F(InstallerStateTest, ADamagedStateIsNeverTakenForNone)
{
    const std::vector<std::string> bad = {
        "",
        "vex-pkg-install state 1\nsigned 1\nversion 2.0.0",      // cut short
        "vex-pkg-install state 1\nsigned 1\n",                   // a line missing
        "vex-pkg-install state 2\nsigned 1\nversion 2.0.0\n",    // another format
        "vex-pkg-install state 1\nsigned yes\nversion 2.0.0\n",  // not 0 or 1
        "vex-pkg-install state 1\nsigned 1\nversion 2.0\n",      // not a version
        "vex-pkg-install state 1\nsigned 1\nversion 99999999999.0.0\n",
        "vex-pkg-install state 1\nversion 2.0.0\nsigned 1\n",  // out of order
        "vex-pkg-install state 1\nsigned 1\nversion 2.0.0\nextra\n",
        std::string("vex-pkg-install state 1\nsigned 1\0\nversion 2.0.0\n", 48),
    };
    for (const std::string& text : bad)
    {
        std::ofstream(path(), std::ios::binary | std::ios::trunc) << text;
        InstallerState state;
        std::string why;
        EXPECT_EQ(InstallerState::Load::kDamaged, state.load(path(), why)) << text;
        EXPECT_FALSE(why.empty());
        EXPECT_FALSE(state.signedInstall);
    }

    fs::remove(path());
    std::ofstream(path(), std::ios::binary) << std::string(InstallerState::kLargestFile + 1, '\n');
    std::string why;
    InstallerState state;
    EXPECT_EQ(InstallerState::Load::kDamaged, state.load(path(), why));
    fs::remove(path());
    fs::create_directories(path());
    EXPECT_EQ(InstallerState::Load::kDamaged, state.load(path(), why));
    fs::remove(path());
    fs::create_symlink(dir / "nowhere", path());
    EXPECT_EQ(InstallerState::Load::kDamaged, state.load(path(), why));
}
}  // namespace
