#include "install/DataInfoExtractor.h"

#include "base/InstallProgressNotifierInterface.h"
#include "base/UniqueFd.h"
#include "instrument/MD5Algorithm.h"
#include "pkg/decode/ProcessingStrategy.h"
#include "pkg/decode/ReadingStrategy.h"
#include "pkg/items/DataInfo.h"
#include "pkg/read/BoundedStreamReader.h"
#include "pkg/read/MultipleFileReader.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

using namespace vex::base;
using namespace vex::install;
using namespace vex::instrument;
using namespace vex::pkg;

namespace
{
class Progress : public InstallProgressNotifierInterface
{
public:
    void BytesProcessed(long long n) override { increments.push_back(n); }
    void StatusMessage(const char*) override {}
    void ErrorMessage(const char*) override {}
    void BytesToProcess(long long) override {}
    std::vector<long long> increments;
};

// Each call consumes up to 8 stored bytes. Well behaved it writes each byte twice (more output than input);
// otherwise it goes wrong in one of the ways a decoder can.
class TestStrategy : public ProcessingStrategy
{
public:
    enum Mode
    {
        kDoubling,
        kFails,
        kGrowsRemaining,
        kStalls,
        kOverConsumes
    };
    explicit TestStrategy(Mode m) : mode(m) {}
    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override
    {
        char in[8];
        const int64_t n = reader->read(in, static_cast<uint64_t>(std::min<int64_t>(remaining, 8)));
        for (int64_t i = 0; i < n; ++i)
        {
            output[2 * i] = output[2 * i + 1] = in[i];
        }
        remaining -= mode == kStalls ? 0 : mode == kOverConsumes ? n + 100 : n;
        remaining += mode == kGrowsRemaining ? n + 1 : 0;
        return mode == kFails ? -1 : mode == kStalls ? 0 : 2 * n;
    }
    int64_t bufferSize() override { return 16; }

private:
    Mode mode;
};

std::string Pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<char>(i * 131 + i / 251);
    }
    return bytes;
}

class DataInfoExtractorTest : public ::testing::Test
{
protected:
    // An item whose window onto a package file holds `stored`, recorded with the digest of `installed`.
    void Fill(const std::string& stored, const std::string& installed)
    {
        const std::string package = dir / ("package" + std::to_string(packages.size()));
        std::ofstream(package, std::ios::binary) << "lead" << stored;
        packages.push_back(std::make_unique<MultipleFileReader>());
        packages.back()->addFile(package);
        item.setReader(
            new BoundedStreamReader(packages.back().get(), 4, static_cast<int64_t>(stored.size())));
        MD5Algorithm md5;
        md5.update(installed.data(), installed.size());
        md5.finalize();
        DataInfo::Digest digest;
        md5.digest(digest.data());
        item.setDigest(digest);
    }
    std::string Written(const std::string& name)
    {
        std::ostringstream text;
        text << std::ifstream(dir / name, std::ios::binary).rdbuf();
        return text.str();
    }
    long long Sum() const
    {
        long long sum = 0;
        for (long long n : progress.increments)
        {
            sum += n;
        }
        return sum;
    }

    TempDir dir;
    std::vector<std::unique_ptr<MultipleFileReader>> packages;  // outlive the item's windows
    DataInfo item;
    Progress progress;
    DataInfoExtractor extractor{&progress};
    ReadingStrategy plain{1048576};
};

TEST_F(DataInfoExtractorTest, WritesAndChecksAnItemReportingStoredBytes)
{
    const std::string bytes = Pattern(3 * 1048576 + 17);
    Fill(bytes, bytes);
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "f", &plain), DataInfoExtractor::kOk);
    EXPECT_EQ(Written("f"), bytes);
    EXPECT_EQ(progress.increments, (std::vector<long long>{1048576, 1048576, 1048576, 17}));
    // A later pass over the same item starts again from the beginning of its data.
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "f", &plain), DataInfoExtractor::kOk);

    // Progress counts what was consumed from the package, not what was written.
    progress.increments.clear();
    std::string doubled;
    for (char c : Pattern(100))
    {
        doubled += std::string(2, c);
    }
    Fill(Pattern(100), doubled);
    TestStrategy doubling(TestStrategy::kDoubling);
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "d", &doubling), DataInfoExtractor::kOk);
    EXPECT_EQ(Written("d"), doubled);
    EXPECT_EQ(Sum(), 100);
}

TEST_F(DataInfoExtractorTest, DigestMismatchLeavesTheFile)
{
    Fill(Pattern(5000), Pattern(5001));
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "f", &plain), DataInfoExtractor::kMd5Mismatch);
    EXPECT_EQ(Written("f"), Pattern(5000));
    // An empty item gives an empty file, still checked: an unrecorded (zero) digest does not match it.
    Fill("", "");
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "e", &plain), DataInfoExtractor::kOk);
    item.setDigest(DataInfo::Digest{});
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "e", &plain), DataInfoExtractor::kMd5Mismatch);
}

TEST_F(DataInfoExtractorTest, MissingInputOrUnwritableFileIsAnIoError)
{
    EXPECT_EQ(extractor.ExtractToFile(nullptr, dir / "a", &plain), DataInfoExtractor::kIoError);
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "b", &plain), DataInfoExtractor::kIoError);  // no data
    Fill("data", "data");
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "c", nullptr), DataInfoExtractor::kIoError);
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "no/such/dir", &plain), DataInfoExtractor::kIoError);
    EXPECT_EQ(extractor.LastError(), ENOENT);
    EXPECT_EQ(extractor.ExtractToFile(&item, dir.str(), &plain), DataInfoExtractor::kIoError);
    EXPECT_EQ(extractor.LastError(), EISDIR);
    EXPECT_TRUE(progress.increments.empty());
    // Not a file call's failure: nothing for the log to explain.
    EXPECT_EQ(extractor.ExtractToFile(nullptr, dir / "a", &plain), DataInfoExtractor::kIoError);
    EXPECT_EQ(extractor.LastError(), 0);
}

// A write the file refuses is an I/O error whose errno is kept for the log (a device that takes no data
// stands for a full partition; opened by the test, since the extractor itself never writes into a device).
TEST_F(DataInfoExtractorTest, AWriteTheDeviceRefusesIsAnIoErrorWithItsReason)
{
    Fill("data", "data");
    const UniqueFd full(::open("/dev/full", O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(full.valid());
    EXPECT_EQ(extractor.ExtractInto(&item, full.get(), &plain), DataInfoExtractor::kIoError);
    EXPECT_EQ(extractor.LastError(), ENOSPC);
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "ok", &plain), DataInfoExtractor::kOk);
    EXPECT_EQ(extractor.LastError(), 0);
}

// Only a regular file takes item data: a FIFO or a device at the path is refused before a byte is written
// (and without waiting for a reader), and a file already there is rewritten whole, never left with its old
// tail, whether opened by the extractor or handed to it.
TEST_F(DataInfoExtractorTest, WritesOnlyARegularFileAndRewritesItWhole)
{
    Fill("data", "data");
    ASSERT_EQ(0, ::mkfifo((dir / "fifo").c_str(), 0600));
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "fifo", &plain), DataInfoExtractor::kNotRegular);
    EXPECT_EQ(extractor.ExtractToFile(&item, "/dev/null", &plain), DataInfoExtractor::kNotRegular);
    EXPECT_TRUE(progress.increments.empty());

    std::ofstream(dir / "old") << "much longer old contents";
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "old", &plain), DataInfoExtractor::kOk);
    EXPECT_EQ(Written("old"), "data");
    std::ofstream(dir / "held") << "much longer old contents";
    const UniqueFd held(::open((dir / "held").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(held.valid());
    ASSERT_EQ(::lseek(held.get(), 0, SEEK_END), 24);
    EXPECT_EQ(extractor.ExtractInto(&item, held.get(), &plain), DataInfoExtractor::kOk);
    EXPECT_EQ(Written("held"), "data");
}

TEST_F(DataInfoExtractorTest, DecodingFaultsEndTheExtractionWithoutHanging)
{
    for (auto mode : {TestStrategy::kFails, TestStrategy::kGrowsRemaining, TestStrategy::kStalls,
                      TestStrategy::kOverConsumes})
    {
        Fill(Pattern(64), Pattern(64));
        TestStrategy broken(mode);
        EXPECT_EQ(extractor.ExtractToFile(&item, dir / "f", &broken), DataInfoExtractor::kDecodeError)
            << mode;
    }
}
}  // namespace

namespace
{
// Data that decodes to more than its item declares stops at the declared size and fails: the space check
// judged the partition by the declaration.
TEST_F(DataInfoExtractorTest, DataGrowingPastItsLimitStopsThereAndFails)
{
    struct Case
    {
        int64_t limit;
        int result;
        size_t kept;
    };
    const std::string bytes = Pattern(3 * 1048576 + 17);
    Fill(bytes, bytes);
    for (const Case c :
         {Case{1, DataInfoExtractor::kTooLarge, 1}, Case{0, DataInfoExtractor::kTooLarge, 0},
          Case{1048576 + 5, DataInfoExtractor::kTooLarge, 1048576 + 5},
          Case{static_cast<int64_t>(bytes.size()) - 1, DataInfoExtractor::kTooLarge, bytes.size() - 1},
          Case{static_cast<int64_t>(bytes.size()), DataInfoExtractor::kOk, bytes.size()},
          Case{DataInfoExtractor::kNoLimit, DataInfoExtractor::kOk, bytes.size()}})
    {
        SCOPED_TRACE(c.limit);
        EXPECT_EQ(c.result, extractor.ExtractToFile(&item, dir / "f", &plain, c.limit));
        EXPECT_EQ(bytes.substr(0, c.kept), Written("f"));
    }
}
}  // namespace
