#include "DataInfoExtractor.h"

#include "DataInfo.h"
#include "IStreamReader.h"
#include "InstallProgressNotifierInterface.h"
#include "MD5Algorithm.h"
#include "ProcessingStrategy.h"
#include "ReadingStrategy.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{
// An item's data window over bytes held in memory.
class MemoryReader : public IStreamReader
{
public:
    explicit MemoryReader(std::string bytes, int64_t claimedSize = -1)
        : data(std::move(bytes)), claimed(claimedSize < 0 ? static_cast<int64_t>(data.size()) : claimedSize)
    {
    }
    int64_t read(void* buffer, uint64_t length) override
    {
        const uint64_t left = data.size() - position;
        const uint64_t n = std::min(length, left);
        std::memcpy(buffer, data.data() + position, n);
        position += n;
        return static_cast<int64_t>(n);
    }
    bool seek(uint64_t offset) override
    {
        if (offset > data.size())
        {
            return false;
        }
        position = offset;
        return true;
    }
    int64_t tell() override { return static_cast<int64_t>(position); }
    int64_t size() override { return claimed; }

private:
    std::string data;
    int64_t claimed;
    uint64_t position = 0;
};

class RecordingNotifier : public InstallProgressNotifierInterface
{
public:
    void BytesProcessed(long long n) override { increments.push_back(n); }
    void StatusMessage(const char*) override {}
    void ErrorMessage(const char*) override {}
    void BytesToProcess(long long) override {}

    long long Sum() const
    {
        long long sum = 0;
        for (long long n : increments)
        {
            sum += n;
        }
        return sum;
    }

    std::vector<long long> increments;
};

// Writes every stored byte twice: output grows while progress must still count stored bytes.
class DoublingStrategy : public ProcessingStrategy
{
public:
    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override
    {
        char in[8];
        const int64_t n = reader->read(in, static_cast<uint64_t>(std::min<int64_t>(remaining, sizeof(in))));
        for (int64_t i = 0; i < n; ++i)
        {
            output[2 * i] = output[2 * i + 1] = in[i];
        }
        remaining -= n;
        return n > 0 ? 2 * n : -1;
    }
    int64_t bufferSize() override { return 16; }
};

// Misbehaving strategies, one per way a decoder can go wrong.
class BrokenStrategy : public ProcessingStrategy
{
public:
    enum Fault
    {
        kFails,
        kGrowsRemaining,
        kStalls,
        kOverConsumes
    };
    explicit BrokenStrategy(Fault f) : fault(f) {}
    int64_t process(IStreamReader*, int64_t& remaining, char* output) override
    {
        output[0] = 'x';
        switch (fault)
        {
        case kFails:
            return -1;
        case kGrowsRemaining:
            remaining += 1;
            return 1;
        case kStalls:
            return 0;
        case kOverConsumes:
            remaining -= remaining + 5;
            return 1;
        }
        return -1;
    }
    int64_t bufferSize() override { return 4; }

private:
    Fault fault;
};

DataInfo::Digest Md5Of(const std::string& bytes)
{
    MD5Algorithm md5;
    md5.update(bytes.data(), bytes.size());
    md5.finalize();
    DataInfo::Digest digest;
    md5.digest(digest.data());
    return digest;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    }
    return bytes;
}

class DataInfoExtractorTest : public ::testing::Test
{
protected:
    // An item holding `stored`, recorded with the digest of `installed`.
    void Fill(const std::string& stored, const std::string& installed)
    {
        item.setReader(new MemoryReader(stored));
        item.setDigest(Md5Of(installed));
    }

    TempDir dir;
    DataInfo item;
    RecordingNotifier notifier;
    DataInfoExtractor extractor{&notifier};
    ReadingStrategy plain{1048576};
};

TEST_F(DataInfoExtractorTest, WritesAndChecksAPlainItemReportingEveryBlock)
{
    const std::string bytes = Pattern(3 * 1048576 + 17);
    Fill(bytes, bytes);
    const std::string out = dir / "file.bin";

    EXPECT_EQ(extractor.ExtractToFile(&item, out, &plain), DataInfoExtractor::kOk);
    EXPECT_EQ(ReadFile(out), bytes);
    EXPECT_EQ(notifier.increments, (std::vector<long long>{1048576, 1048576, 1048576, 17}));

    // A second pass over the same item starts again from the beginning of its data.
    notifier.increments.clear();
    EXPECT_EQ(extractor.ExtractToFile(&item, out, &plain), DataInfoExtractor::kOk);
    EXPECT_EQ(notifier.Sum(), static_cast<long long>(bytes.size()));
}

TEST_F(DataInfoExtractorTest, ProgressCountsStoredBytesNotWrittenOnes)
{
    const std::string stored = Pattern(100);
    std::string installed;
    for (char c : stored)
    {
        installed += std::string(2, c);
    }
    Fill(stored, installed);
    DoublingStrategy doubling;

    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "doubled", &doubling), DataInfoExtractor::kOk);
    EXPECT_EQ(ReadFile(dir / "doubled"), installed);
    EXPECT_EQ(notifier.Sum(), 100);
}

TEST_F(DataInfoExtractorTest, MismatchingDigestLeavesTheFileAndSaysSo)
{
    const std::string bytes = Pattern(5000);
    Fill(bytes, bytes + "!");
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "file", &plain), DataInfoExtractor::kMd5Mismatch);
    EXPECT_EQ(ReadFile(dir / "file"), bytes);
}

TEST_F(DataInfoExtractorTest, EmptyItemGivesAnEmptyFileCheckedAgainstItsDigest)
{
    Fill("", "");
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "empty", &plain), DataInfoExtractor::kOk);
    EXPECT_EQ(ReadFile(dir / "empty"), "");

    DataInfo unrecorded;  // an all-zero digest is not the digest of nothing
    unrecorded.setReader(new MemoryReader(""));
    EXPECT_EQ(extractor.ExtractToFile(&unrecorded, dir / "empty2", &plain), DataInfoExtractor::kMd5Mismatch);
    EXPECT_TRUE(notifier.increments.empty());
}

TEST_F(DataInfoExtractorTest, MissingInputOrUnwritableFileIsAnIoError)
{
    EXPECT_EQ(extractor.ExtractToFile(nullptr, dir / "a", &plain), DataInfoExtractor::kIoError);
    DataInfo noData;
    EXPECT_EQ(extractor.ExtractToFile(&noData, dir / "b", &plain), DataInfoExtractor::kIoError);
    Fill("data", "data");
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "c", nullptr), DataInfoExtractor::kIoError);
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "missing/dir/file", &plain), DataInfoExtractor::kIoError);
    EXPECT_EQ(extractor.ExtractToFile(&item, dir.str(), &plain), DataInfoExtractor::kIoError);
    EXPECT_TRUE(notifier.increments.empty());
}

class DataInfoExtractorFaultTest : public DataInfoExtractorTest,
                                   public ::testing::WithParamInterface<BrokenStrategy::Fault>
{
};

TEST_P(DataInfoExtractorFaultTest, DecodingFaultsEndTheExtraction)
{
    Fill(Pattern(64), Pattern(64));
    BrokenStrategy broken(GetParam());
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "file", &broken), DataInfoExtractor::kDecodeError);
}

INSTANTIATE_TEST_SUITE_P(Faults, DataInfoExtractorFaultTest,
                         ::testing::Values(BrokenStrategy::kFails, BrokenStrategy::kGrowsRemaining,
                                           BrokenStrategy::kStalls, BrokenStrategy::kOverConsumes));

TEST_F(DataInfoExtractorTest, DataShorterThanItsWindowIsADecodeError)
{
    // The window claims more bytes than can be read: the plain copy runs dry.
    item.setReader(new MemoryReader(Pattern(1000), 3000));
    item.setDigest(Md5Of(Pattern(1000)));
    EXPECT_EQ(extractor.ExtractToFile(&item, dir / "short", &plain), DataInfoExtractor::kDecodeError);
    EXPECT_EQ(notifier.Sum(), 1000);
}

TEST_F(DataInfoExtractorTest, WorksWithoutANotifier)
{
    const std::string bytes = Pattern(10);
    Fill(bytes, bytes);
    DataInfoExtractor silent;
    EXPECT_EQ(silent.ExtractToFile(&item, dir / "quiet", &plain), DataInfoExtractor::kOk);
}
}  // namespace
