#include "BoundedStreamReader.h"
#include "MultipleFileReader.h"

#include "TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace
{

// A package reader over two parts (boundary at offset 40) holding bytes 0, 1, 2, ... 99.
class BoundedStreamReaderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        for (int i = 0; i < 100; ++i)
        {
            bytes_.push_back(static_cast<unsigned char>(i));
        }
        write("pkg.001", 0, 40);
        write("pkg.002", 40, 60);
        ASSERT_TRUE(base_.addFile(dir_ / "pkg.001"));
        ASSERT_TRUE(base_.addFile(dir_ / "pkg.002"));
    }

    void write(const std::string& name, std::size_t from, std::size_t count)
    {
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes_.data() + from), static_cast<std::streamsize>(count));
    }

    std::vector<unsigned char> take(IStreamReader& reader, std::size_t count)
    {
        std::vector<unsigned char> buffer(count);
        const int64_t n = reader.read(buffer.data(), count);
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buffer;
    }

    std::vector<unsigned char> expected(std::size_t from, std::size_t count) const
    {
        return std::vector<unsigned char>(bytes_.begin() + from, bytes_.begin() + from + count);
    }

    TempDir dir_;
    std::vector<unsigned char> bytes_;
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
    // The chunk walk reads the base between item reads: its bytes are the ones at its own position.
    EXPECT_EQ(take(base_, 3), expected(55, 3));
}

TEST_F(BoundedStreamReaderTest, ReadStopsAtTheWindowEnd)
{
    BoundedStreamReader window(&base_, 90, 10);
    ASSERT_TRUE(window.seek(7));
    EXPECT_EQ(take(window, 50), expected(97, 3));
    EXPECT_EQ(window.tell(), 10);
    EXPECT_TRUE(take(window, 1).empty());
}

TEST_F(BoundedStreamReaderTest, SeekAcceptsTheLengthButNothingBeyond)
{
    BoundedStreamReader window(&base_, 10, 20);
    EXPECT_TRUE(window.seek(20));
    EXPECT_EQ(window.tell(), 20);
    EXPECT_TRUE(take(window, 1).empty());
    ASSERT_TRUE(window.seek(4));
    EXPECT_FALSE(window.seek(21));
    EXPECT_FALSE(window.seek(UINT64_MAX));
    EXPECT_EQ(window.tell(), 4);
    EXPECT_EQ(take(window, 2), expected(14, 2));
}

TEST_F(BoundedStreamReaderTest, AnEmptyWindowAtTheEndOfTheStreamIsUsable)
{
    BoundedStreamReader window(&base_, 100, 0);
    EXPECT_TRUE(window.isUsable());
    EXPECT_EQ(window.size(), 0);
    EXPECT_EQ(window.tell(), 0);
    EXPECT_TRUE(take(window, 4).empty());
}

struct BadRange
{
    const char* what;
    bool nullBase;
    int64_t start;
    int64_t length;
};

class BoundedStreamReaderBadRange : public BoundedStreamReaderTest, public testing::WithParamInterface<BadRange>
{
};

TEST_P(BoundedStreamReaderBadRange, GivesAnUnusableWindow)
{
    const BadRange& range = GetParam();
    BoundedStreamReader window(range.nullBase ? nullptr : &base_, range.start, range.length);
    EXPECT_FALSE(window.isUsable());
    EXPECT_EQ(window.size(), 0);
    EXPECT_EQ(window.tell(), -1);
    EXPECT_FALSE(window.seek(0));
    EXPECT_TRUE(take(window, 10).empty());
    EXPECT_EQ(base_.tell(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, BoundedStreamReaderBadRange,
    testing::Values(BadRange{"NullBase", true, 0, 10}, BadRange{"NegativeStart", false, -1, 10},
                    BadRange{"NegativeLength", false, 0, -1}, BadRange{"PastTheEnd", false, 95, 6},
                    BadRange{"StartPastTheEnd", false, 101, 0},
                    BadRange{"SumOverflows", false, 50, INT64_MAX}),
    [](const testing::TestParamInfo<BadRange>& param) { return std::string(param.param.what); });

class MockReader : public IStreamReader
{
public:
    MOCK_METHOD(int64_t, read, (void* buffer, uint64_t length), (override));
    MOCK_METHOD(bool, seek, (uint64_t offset), (override));
    MOCK_METHOD(int64_t, tell, (), (override));
    MOCK_METHOD(int64_t, size, (), (override));
};

TEST(BoundedStreamReaderBase, AReadWhoseBaseCannotBePutBackCountsNothing)
{
    using testing::_;
    using testing::Return;
    testing::NiceMock<MockReader> base;
    ON_CALL(base, size()).WillByDefault(Return(100));
    ON_CALL(base, tell()).WillByDefault(Return(50));
    ON_CALL(base, read(_, _)).WillByDefault(Return(4));
    EXPECT_CALL(base, seek(_)).WillOnce(Return(true)).WillOnce(Return(false));

    BoundedStreamReader window(&base, 20, 30);
    char buffer[4];
    EXPECT_EQ(window.read(buffer, sizeof buffer), 0);
    EXPECT_EQ(window.tell(), 0);
}

}  // namespace
