#include "log/Log.h"

#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace vex;

namespace
{
using Lines = std::vector<std::string>;

TEST(Log, LinesAndDetailsGoToTheProcessLog)
{
    TempDir dir;
    LogCapture capture(dir / "run.log");
    log::Line("Mounting partition /emmc/rootfs ...");
    log::Detail("Error: link is not correct !");
    EXPECT_EQ(capture.Messages(),
              (Lines{"Mounting partition /emmc/rootfs ...", "    Error: link is not correct !"}));
}

TEST(Log, ASystemErrorNamesThePathAndTheSystemTextButOnlyForARealError)
{
    TempDir dir;
    LogCapture capture(dir / "run.log");
    log::SystemError("/emmc/rootfs/a", 0);
    log::SystemError("/emmc/rootfs/b", ENOSPC);
    EXPECT_EQ(capture.Messages(), (Lines{std::string("    /emmc/rootfs/b: ") + std::strerror(ENOSPC)}));
}

TEST(Log, AScriptsOutputIsCopiedIndentedAndRemovedAndAMissingOneCopiesNothing)
{
    TempDir dir;
    LogCapture capture(dir / "run.log");
    const std::string output = dir / "pre.log";
    std::ofstream(output) << "checking\n\tdone\n";
    log::CopyFileAndRemove(output);
    log::CopyFileAndRemove(dir / "missing.log");
    EXPECT_EQ(capture.Messages(), (Lines{"    checking", "    \\tdone"}));
    EXPECT_FALSE(boost::filesystem::exists(output));
}

}  // namespace
