#include "pkg/trust/IndexedStreamReader.h"

#include "pkg/read/MemoryViewReader.h"
#include "pkg/trust/Sha256.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MemoryStreamReader.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace vex::pkg;

namespace
{
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBlock = IndexFormat::kBlockSize;
constexpr int64_t kDataStart = 116;  // lead-in, index and signature: never read through the checking reader
// Chunk 0 has three blocks (the last one short), chunk 1 two; chunks 2 and 3 are the same length with other
// bytes, so that they can change places without moving anything else.
const std::vector<int64_t> kLengths = {2 * int64_t(kBlock) + 5000, int64_t(kBlock) + 1, 1000, 1000, 8};

struct Stream
{
    Bytes bytes;
    std::shared_ptr<const PackageIndex> index;

    int64_t chunkAt(size_t chunk) const { return index->chunks()[chunk].offset; }
    int64_t end() const { return static_cast<int64_t>(bytes.size()); }
    Bytes slice(int64_t at, int64_t length) const
    {
        return Bytes(bytes.begin() + at, bytes.begin() + at + length);
    }
};

// A stream of chunks with bytes that differ from block to block and chunk to chunk, and its index.
Stream signedStream()
{
    Stream stream;
    int64_t total = kDataStart;
    for (const int64_t length : kLengths)
    {
        total += length;
    }
    stream.bytes.resize(static_cast<size_t>(total));
    for (size_t i = 0; i < stream.bytes.size(); ++i)
    {
        stream.bytes[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9) ^ (i >> 17));
    }
    auto index = std::make_shared<PackageIndex>(kBlock);
    index->setStream(kDataStart, total);
    int64_t offset = kDataStart;
    for (const int64_t length : kLengths)
    {
        index->addChunk(static_cast<uint32_t>(0x10 + index->chunks().size()), offset, length);
        offset += length;
    }
    Sha256 sha;
    for (size_t c = 0; c < index->chunks().size(); ++c)
    {
        const PackageIndex::Chunk& chunk = index->chunks()[c];
        for (uint32_t b = 0; b < chunk.blocks; ++b)
        {
            const int64_t start = chunk.offset + int64_t(b) * kBlock;
            const int64_t length = std::min<int64_t>(kBlock, chunk.offset + chunk.length - start);
            Sha256::Digest digest;
            EXPECT_TRUE(sha.digest(stream.bytes.data() + start, static_cast<size_t>(length), digest));
            index->setDigest(c, b, digest);
        }
    }
    stream.index = index;
    return stream;
}

// A medium that serves the bytes it holds, except that from the `changeFrom`-th read that touches
// [changeAt, changeAt + changed.size()) on, that range holds `changed`. It counts those reads.
class ChangingSource : public IStreamReader
{
public:
    ChangingSource(Bytes bytes, int64_t changeAt, Bytes changed, int changeFrom)
        : bytes_(std::move(bytes)),
          view_(bytes_),
          at_(changeAt),
          changed_(std::move(changed)),
          from_(changeFrom)
    {
    }

    int64_t read(void* buffer, uint64_t length) override
    {
        const int64_t start = view_.tell();
        const int64_t got = view_.read(buffer, length);
        const int64_t from = std::max(start, at_);
        const int64_t to = std::min(start + got, at_ + static_cast<int64_t>(changed_.size()));
        if (from < to && ++reads >= from_)
        {
            std::copy(changed_.begin() + (from - at_), changed_.begin() + (to - at_),
                      static_cast<uint8_t*>(buffer) + (from - start));
            ++changedReads;
        }
        return got;
    }
    bool seek(uint64_t offset) override { return view_.seek(offset); }
    int64_t tell() override { return view_.tell(); }
    int64_t size() override { return static_cast<int64_t>(bytes_.size()); }

    int reads = 0;
    int changedReads = 0;

private:
    Bytes bytes_;
    MemoryViewReader view_;
    int64_t at_;
    Bytes changed_;
    int from_;
};

// Reads `length` bytes at `at`; fewer where the reader delivers fewer.
Bytes readAt(IStreamReader& reader, int64_t at, int64_t length)
{
    Bytes out(static_cast<size_t>(length));
    if (!reader.seek(static_cast<uint64_t>(at)))
    {
        return Bytes();
    }
    const int64_t got = reader.read(out.data(), out.size());
    out.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
    return out;
}

std::string changedLine(const Stream& stream, size_t chunk, uint32_t block)
{
    return "    Package bytes changed since they were signed: chunk " + std::to_string(chunk) +
           " at offset " + std::to_string(stream.chunkAt(chunk)) + ", block " + std::to_string(block);
}

class IndexedStreamReaderTest : public ::testing::Test
{
protected:
    TempDir dir;
    LogCapture log{dir / "log.txt"};
    const Stream stream = signedStream();

    bool logged(const std::string& line)
    {
        const std::vector<std::string> messages = log.Messages();
        return std::find(messages.begin(), messages.end(), line) != messages.end();
    }
};
}  // namespace

// Read front to back in sizes that straddle every block and chunk boundary, the reader hands out exactly the
// signed bytes after the data start, and reads each block from the medium once.
TEST_F(IndexedStreamReaderTest, ReadsInOddSizesReturnTheSignedBytes)
{
    for (const uint64_t step : {uint64_t(1), uint64_t(7), uint64_t(4097), uint64_t(kBlock - 1),
                                uint64_t(kBlock + 3), uint64_t(3 * kBlock)})
    {
        SCOPED_TRACE(step);
        MemoryStreamReader source(stream.bytes);
        IndexedStreamReader reader(source, stream.index);
        EXPECT_EQ(kDataStart, reader.tell());
        EXPECT_EQ(stream.end(), reader.size());
        Bytes all;
        Bytes buffer(static_cast<size_t>(step));
        for (int64_t got = 0; (got = reader.read(buffer.data(), step)) > 0;)
        {
            all.insert(all.end(), buffer.begin(), buffer.begin() + got);
        }
        EXPECT_FALSE(reader.failed()) << reader.failure();
        EXPECT_EQ(stream.slice(kDataStart, stream.end() - kDataStart), all);
        EXPECT_EQ(static_cast<uint64_t>(stream.end() - kDataStart), source.bytesRead);
    }
}

TEST_F(IndexedStreamReaderTest, ReadsAcrossBlockAndChunkBoundaries)
{
    MemoryStreamReader source(stream.bytes);
    IndexedStreamReader reader(source, stream.index);
    const int64_t secondBlock = stream.chunkAt(0) + kBlock;
    const struct
    {
        const char* name;
        int64_t at;
        int64_t length;
    } cases[] = {
        {"last byte of a block and first of the next", secondBlock - 1, 2},
        {"across a block in odd sizes", secondBlock - 333, 1001},
        {"a whole block and more", stream.chunkAt(0) + 3, kBlock + 7},
        {"the short last block into the next chunk", stream.chunkAt(1) - 17, 35},
        {"across three chunks", stream.chunkAt(2) - 5, 1000 + 11},
        {"backwards into an earlier chunk", stream.chunkAt(0) + 10, 3},
        {"the frame-only last chunk", stream.chunkAt(4), 8},
        {"the very first byte", kDataStart, 1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(stream.slice(c.at, c.length), readAt(reader, c.at, c.length));
        EXPECT_EQ(c.at + c.length, reader.tell());
    }
    EXPECT_FALSE(reader.failed()) << reader.failure();
}

// Only the indexed range is delivered: the lead-in, the index and its signature were checked with the index,
// and nothing lies past the stream's end.
TEST_F(IndexedStreamReaderTest, ReadsOutsideTheIndexedRangeDeliverNothing)
{
    MemoryStreamReader source(stream.bytes);
    IndexedStreamReader reader(source, stream.index);
    EXPECT_TRUE(readAt(reader, 0, 16).empty());
    EXPECT_TRUE(readAt(reader, kDataStart - 1, 1).empty());
    // A read that starts before the data start delivers nothing, not the bytes that follow it.
    EXPECT_TRUE(readAt(reader, kDataStart - 4, 8).empty());
    EXPECT_TRUE(readAt(reader, stream.end(), 1).empty());
    EXPECT_FALSE(reader.seek(static_cast<uint64_t>(stream.end()) + 1));
    EXPECT_EQ(stream.slice(stream.end() - 5, 5), readAt(reader, stream.end() - 5, 100));
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(static_cast<uint64_t>(kLengths.back()), source.bytesRead);  // the last chunk's one block
}

// The attack the index is for: the medium serves the signed bytes while they are checked, then others.
// The reader fetches the block again once it has moved on, and the second fetch is caught.
TEST_F(IndexedStreamReaderTest, BytesChangedOnTheSecondReadAreNeverDelivered)
{
    const int64_t at = stream.chunkAt(1) + kBlock - 40;  // the end of chunk 1's first block
    ChangingSource source(stream.bytes, at, Bytes(10, 0xEE), 2);
    IndexedStreamReader reader(source, stream.index);

    EXPECT_EQ(stream.slice(at, 10), readAt(reader, at, 10));
    EXPECT_EQ(stream.slice(at - 100, 50), readAt(reader, at - 100, 50));  // the block held: no new fetch
    EXPECT_EQ(1, source.reads);
    EXPECT_EQ(stream.slice(stream.chunkAt(0), 20), readAt(reader, stream.chunkAt(0), 20));
    EXPECT_FALSE(reader.failed());

    EXPECT_TRUE(readAt(reader, at, 10).empty());
    EXPECT_EQ(1, source.changedReads);
    EXPECT_TRUE(reader.failed());
    EXPECT_EQ(changedLine(stream, 1, 0), reader.failure());
    EXPECT_TRUE(logged(changedLine(stream, 1, 0)));

    // For good: bytes the medium still serves as signed are not delivered either, and nothing is fetched.
    const int reads = source.reads;
    EXPECT_TRUE(readAt(reader, stream.chunkAt(0), 20).empty());
    EXPECT_TRUE(readAt(reader, stream.chunkAt(3), 20).empty());
    EXPECT_EQ(reads, source.reads);
    EXPECT_EQ(changedLine(stream, 1, 0), reader.failure());
}

// Bytes read once and changed afterwards differ in a later block of the same chunk: its digest is its own.
TEST_F(IndexedStreamReaderTest, ChangedLaterBlockFailsWhenReached)
{
    const int64_t at = stream.chunkAt(0) + 2 * int64_t(kBlock) + 4990;  // inside the short last block
    ChangingSource source(stream.bytes, at, Bytes{0x00}, 1);
    IndexedStreamReader reader(source, stream.index);
    EXPECT_EQ(stream.slice(stream.chunkAt(0), 2 * int64_t(kBlock)),
              readAt(reader, stream.chunkAt(0), 2 * kBlock));
    EXPECT_FALSE(reader.failed());
    // A read that spans the good and the changed block delivers nothing at all.
    EXPECT_TRUE(readAt(reader, at - kBlock, kBlock + 1).empty());
    EXPECT_EQ(changedLine(stream, 0, 2), reader.failure());
}

// Each block is signed in its own place: a valid block of the same chunk in another place is not the
// signed block there.
TEST_F(IndexedStreamReaderTest, BlockSwappedWithAnotherOfItsChunkIsCaught)
{
    Bytes swapped = stream.bytes;
    const auto first = swapped.begin() + stream.chunkAt(0);
    std::swap_ranges(first, first + kBlock, first + kBlock);
    MemoryStreamReader source(swapped);
    IndexedStreamReader reader(source, stream.index);
    EXPECT_TRUE(readAt(reader, stream.chunkAt(0) + kBlock + 1, 1).empty());
    EXPECT_EQ(changedLine(stream, 0, 1), reader.failure());
}

// A chunk is signed at its offset: two chunks of the same length that change places, with the index as
// signed, are both out of place even though each is intact.
TEST_F(IndexedStreamReaderTest, ChunkMovedInTheStreamIsCaught)
{
    Bytes moved = stream.bytes;
    const auto second = moved.begin() + stream.chunkAt(2);
    std::swap_ranges(second, second + kLengths[2], moved.begin() + stream.chunkAt(3));
    for (const size_t chunk : {size_t(2), size_t(3)})
    {
        SCOPED_TRACE(chunk);
        MemoryStreamReader source(moved);
        IndexedStreamReader reader(source, stream.index);
        EXPECT_EQ(stream.slice(stream.chunkAt(1), 30), readAt(reader, stream.chunkAt(1), 30));
        EXPECT_TRUE(readAt(reader, stream.chunkAt(chunk) + 500, 4).empty());
        EXPECT_EQ(changedLine(stream, chunk, 0), reader.failure());
    }
}

// A medium that delivers fewer bytes than the index names (a part shrunk or a read error) is a failure too.
TEST_F(IndexedStreamReaderTest, ShortMediumIsAFailure)
{
    MemoryStreamReader source(stream.slice(0, stream.chunkAt(1) + 100));
    IndexedStreamReader reader(source, stream.index);
    EXPECT_EQ(stream.slice(stream.chunkAt(0), 64), readAt(reader, stream.chunkAt(0), 64));
    EXPECT_TRUE(readAt(reader, stream.chunkAt(1), 10).empty());
    EXPECT_TRUE(reader.failed());
    EXPECT_EQ("    Package bytes missing since they were signed: chunk 1 at offset " +
                  std::to_string(stream.chunkAt(1)) + ", block 0",
              reader.failure());
}
