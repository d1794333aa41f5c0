#include "app/parameters/ParametersDeserializer.h"

#include "tests/support/ParameterValues.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace vex::app;

namespace
{
using test_support::ParameterValues;

// The parameter block in ordinary memory, counting how it is opened and closed.
class MemoryParametersIO : public IParametersIO
{
public:
    explicit MemoryParametersIO(std::vector<unsigned char>& block) : block_(block) {}
    unsigned char* Open() override
    {
        ++opens;
        return block_.data();
    }
    void Close() override { ++closes; }

    int opens = 0;
    int closes = 0;

private:
    std::vector<unsigned char>& block_;
};

std::vector<unsigned char> MakeBlock(int flags, const std::string& pkg, const std::string& log)
{
    std::vector<unsigned char> block(IParametersIO::kBlockSize, 0);
    for (std::size_t i = 0; i < 16; ++i)
    {
        block[i] = static_cast<unsigned char>(0xA0 + i);
    }
    const auto raw = static_cast<unsigned int>(flags);
    for (int i = 0; i < 4; ++i)
    {
        block[20 + i] = static_cast<unsigned char>(raw >> (8 * i));
    }
    std::memcpy(&block[24], pkg.c_str(), pkg.size() + 1);
    std::memcpy(&block[24 + pkg.size() + 1], log.c_str(), log.size() + 1);
    return block;
}

bool HeaderCleared(const std::vector<unsigned char>& block)
{
    for (std::size_t i = 0; i < 16; ++i)
    {
        if (block[i] != 0)
        {
            return false;
        }
    }
    return true;
}

struct BlockCase
{
    const char* name;
    int flags;
    std::string pkg;
    std::string log;
};

class ParametersDeserializerValid : public testing::TestWithParam<BlockCase>
{
};

TEST_P(ParametersDeserializerValid, YieldsTheValuesClearsTheHeaderAndClosesTheAccessor)
{
    const BlockCase& c = GetParam();
    std::vector<unsigned char> block = MakeBlock(c.flags, c.pkg, c.log);
    const std::vector<unsigned char> before = block;
    MemoryParametersIO io(block);
    ParametersDeserializer deserializer(&io);

    const ParameterValues expected{c.pkg, c.log, c.flags};
    ParameterValues values{"old", "old", 77};
    ASSERT_TRUE(deserializer.Read(values.pkg, values.log, values.flags));
    EXPECT_EQ(values, expected);
    EXPECT_TRUE(HeaderCleared(block));
    EXPECT_TRUE(std::equal(block.begin() + 16, block.end(), before.begin() + 16))
        << "only the header changes";
    EXPECT_EQ(io.opens, 1);
    EXPECT_EQ(io.closes, 1);

    // Only the header is consumed: a second read finds the same values.
    ParameterValues again;
    ASSERT_TRUE(deserializer.Read(again.pkg, again.log, again.flags));
    EXPECT_EQ(again, expected);
}

INSTANTIATE_TEST_SUITE_P(Blocks, ParametersDeserializerValid,
                         testing::Values(BlockCase{"FormatFlagEmptyLog", 1, "/emmc/update/a.pkg", ""},
                                         BlockCase{"NamedLog", 0, "/emmc/update/b.pkg", "007_error.log"},
                                         BlockCase{"AllFlagBits", -1, "x", "y"},
                                         BlockCase{"LongestStrings", 0x12345678, std::string(2047, 'p'),
                                                   std::string(2047, 'l')}),
                         [](const testing::TestParamInfo<BlockCase>& param)
                         { return std::string(param.param.name); });

// A string without a NUL within 2048 bytes makes the read fail without touching anything, instead of
// reading on through the block (or past it).
struct BrokenCase
{
    const char* name;
    std::size_t pkgLength;  // bytes before the package path's NUL (none when the fill runs over)
    std::size_t logLength;
};

class ParametersDeserializerBroken : public testing::TestWithParam<BrokenCase>
{
};

TEST_P(ParametersDeserializerBroken, FailsLeavingOutputsAndBlockUnchanged)
{
    const BrokenCase& c = GetParam();
    std::vector<unsigned char> block = MakeBlock(1, "", "");
    std::fill(block.begin() + 24, block.end(), 'a');
    block[24 + c.pkgLength] = 0;
    if (24 + c.pkgLength + 1 + c.logLength < block.size())
    {
        block[24 + c.pkgLength + 1 + c.logLength] = 0;
    }
    const std::vector<unsigned char> before = block;
    MemoryParametersIO io(block);
    ParametersDeserializer deserializer(&io);

    const ParameterValues kept{"keep.pkg", "keep.log", 42};
    ParameterValues values = kept;
    EXPECT_FALSE(deserializer.Read(values.pkg, values.log, values.flags));
    EXPECT_EQ(values, kept);
    EXPECT_EQ(block, before);
    EXPECT_EQ(io.closes, io.opens);
}

INSTANTIATE_TEST_SUITE_P(Blocks, ParametersDeserializerBroken,
                         testing::Values(BrokenCase{"PackagePathTooLong", 2048, 0},
                                         BrokenCase{"LogNameTooLong", 10, 2048},
                                         BrokenCase{"LogNameRunsToTheEndOfTheBlock", 2047, 70000}),
                         [](const testing::TestParamInfo<BrokenCase>& param)
                         { return std::string(param.param.name); });

}  // namespace
