// Programs run without a shell and waited for at most a given time: the exit status comes back; arguments
// stay data (shell syntax in one is not run); a program that outlives its time is killed; one that cannot
// be started or ends by a signal is no success. The parameter block's bytes and its write at the on-chip
// RAM's offset of the memory device.

#include "instrument/ParameterBlock.h"
#include "instrument/linux/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

using vex::instrument::ChildProcess;
using vex::instrument::ParameterBlock;

namespace
{
TEST(ChildProcess, ReturnsTheExitStatusAndKeepsArgumentsAsData)
{
    TempDir dir;
    ChildProcess::Result result = ChildProcess::run({"/bin/sh", "-c", "exit 7"}, 30);
    EXPECT_TRUE(result.ran);
    EXPECT_EQ(result.exitStatus, 7);

    const std::string marker = dir / "marker";
    result = ChildProcess::run({"/bin/echo", "x; touch " + marker, "$(touch " + marker + ")"}, 30);
    EXPECT_TRUE(result.ran);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_FALSE(boost::filesystem::exists(marker)) << "an argument was read as shell text";

    result = ChildProcess::run({"/bin/true"}, 30);
    EXPECT_TRUE(result.ran && result.exitStatus == 0 && result.why.empty());
}

TEST(ChildProcess, StopsAProgramThatRunsOutOfTimeAndRefusesWhatCannotRun)
{
    ChildProcess::Result result = ChildProcess::run({"/bin/sleep", "30"}, 1);
    EXPECT_FALSE(result.ran);
    EXPECT_NE(result.why.find("longer than 1 seconds"), std::string::npos) << result.why;

    result = ChildProcess::run({"/bin/sh", "-c", "kill -TERM $$"}, 30);
    EXPECT_FALSE(result.ran);
    EXPECT_EQ(result.signal, 15);

    result = ChildProcess::run({"/no/such/program"}, 30);
    EXPECT_EQ(result.exitStatus, 127);
    EXPECT_FALSE(result.why.empty());
    EXPECT_FALSE(ChildProcess::run({"relative"}, 30).why.empty());
    EXPECT_FALSE(ChildProcess::run({}, 30).why.empty());
}

TEST(ParameterBlock, EncodesTheLayoutAndWritesItAtTheRamOffset)
{
    std::string block, why;
    ASSERT_TRUE(
        ParameterBlock::encode(0x01020304, "/emmc/update/fetch/1.2.0.pkg", "007_error.log", block, why));
    EXPECT_EQ(block.substr(0, 16), std::string("vex-pkg-fetch\0\0\0", 16));
    EXPECT_EQ(block.substr(16, 4), std::string(4, '\0'));
    EXPECT_EQ(block.substr(20, 4), std::string("\x04\x03\x02\x01", 4)) << "little-endian flags";
    EXPECT_EQ(block.substr(24), std::string("/emmc/update/fetch/1.2.0.pkg") + '\0' + "007_error.log" + '\0');

    EXPECT_TRUE(
        ParameterBlock::encode(0, std::string(ParameterBlock::kMaxStringSize - 1, 'p'), "", block, why));
    EXPECT_FALSE(ParameterBlock::encode(0, std::string(ParameterBlock::kMaxStringSize, 'p'), "", block, why));
    EXPECT_FALSE(ParameterBlock::encode(0, std::string("a\0b", 3), "", block, why));

    TempDir dir;
    const std::string device = dir / "mem";
    {
        std::ofstream create(device);
    }
    ASSERT_EQ(::truncate(device.c_str(), ParameterBlock::kOcmRamAddress + off_t(ParameterBlock::kBlockSize)),
              0);
    ASSERT_TRUE(ParameterBlock::encode(0, "/p.pkg", "", block, why));
    ASSERT_TRUE(ParameterBlock::write(device, block, why)) << why;
    std::ifstream in(device, std::ios::binary);
    in.seekg(ParameterBlock::kOcmRamAddress);
    std::string back(block.size(), 'x');
    in.read(&back[0], std::streamsize(back.size()));
    EXPECT_EQ(back, block);
    EXPECT_FALSE(ParameterBlock::write(dir / "absent", block, why));
    EXPECT_FALSE(ParameterBlock::write(device, std::string(ParameterBlock::kBlockSize + 1, 'x'), why));
}

}  // namespace
