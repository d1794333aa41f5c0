#include "pkg/read/BoundedStreamReader.h"
#include "pkg/read/MultipleFileReader.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace vex::pkg;

namespace
{

using Bytes = std::vector<unsigned char>;

// A package reader over two parts (boundary at offset 40) holding the bytes 0, 1, 2, ... 99.
class BoundedStreamReaderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        for (int i = 0; i < 100; ++i)
        {
            bytes_.push_back(static_cast<unsigned char>(i));
        }
        std::ofstream(dir_ / "pkg.001", std::ios::binary).write(reinterpret_cast<char*>(bytes_.data()), 40);
        std::ofstream(dir_ / "pkg.002", std::ios::binary)
            .write(reinterpret_cast<char*>(bytes_.data() + 40), 60);
        ASSERT_TRUE(base_.addFile(dir_ / "pkg.001"));
        ASSERT_TRUE(base_.addFile(dir_ / "pkg.002"));
    }

    static Bytes take(IStreamReader& reader, std::size_t count)
    {
        Bytes buffer(count);
        buffer.resize(static_cast<std::size_t>(std::max<int64_t>(reader.read(buffer.data(), count), 0)));
        return buffer;
    }

    Bytes expected(std::size_t from, std::size_t count) const
    {
        return Bytes(bytes_.begin() + from, bytes_.begin() + from + count);
    }

    TempDir dir_;
    Bytes bytes_;
    MultipleFileReader base_;
};

TEST_F(BoundedStreamReaderTest, AlternatingWindowsEachDeliverTheirOwnBytesAndLeaveTheBaseAlone)
{
    BoundedStreamReader first(&base_, 30, 20);  // crosses the part boundary
    BoundedStreamReader second(&base_, 70, 25);
    ASSERT_TRUE(base_.seek(55));
    for (std::size_t step = 0; step < 4; ++step)
    {
        EXPECT_EQ(take(first, 5), expected(30 + 5 * step, 5)) << step;
        EXPECT_EQ(base_.tell(), 55);
        EXPECT_EQ(take(second, 5), expected(70 + 5 * step, 5)) << step;
        EXPECT_EQ(base_.tell(), 55);
    }
    EXPECT_EQ(take(base_, 3), expected(55, 3));
}

TEST_F(BoundedStreamReaderTest, ReadsAndSeeksStayInsideTheWindow)
{
    BoundedStreamReader window(&base_, 90, 10);
    ASSERT_TRUE(window.seek(7));
    EXPECT_EQ(take(window, 50), expected(97, 3));
    EXPECT_EQ(window.tell(), 10);
    EXPECT_TRUE(take(window, 1).empty());

    EXPECT_TRUE(window.seek(10));
    ASSERT_TRUE(window.seek(4));
    EXPECT_FALSE(window.seek(11));
    EXPECT_FALSE(window.seek(UINT64_MAX));
    EXPECT_EQ(take(window, 2), expected(94, 2));
}

struct Range
{
    const char* what;
    bool nullBase;
    int64_t start;
    int64_t length;
};

class BoundedStreamReaderBadRange : public BoundedStreamReaderTest, public testing::WithParamInterface<Range>
{
};

TEST_P(BoundedStreamReaderBadRange, GivesAnUnusableWindow)
{
    BoundedStreamReader window(GetParam().nullBase ? nullptr : &base_, GetParam().start, GetParam().length);
    EXPECT_FALSE(window.isUsable());
    EXPECT_EQ(window.size(), 0);
    EXPECT_EQ(window.tell(), -1);
    EXPECT_FALSE(window.seek(0));
    EXPECT_TRUE(take(window, 10).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, BoundedStreamReaderBadRange,
    testing::Values(Range{"NullBase", true, 0, 10}, Range{"NegativeStart", false, -1, 10},
                    Range{"NegativeLength", false, 0, -1}, Range{"PastTheEnd", false, 95, 6},
                    Range{"SumOverflows", false, 50, INT64_MAX}),
    [](const testing::TestParamInfo<Range>& param) { return std::string(param.param.what); });

}  // namespace
