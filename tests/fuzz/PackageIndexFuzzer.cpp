// A signed index payload through the parser the signature verifier uses once the signature holds. An index
// that parses must tile its stream exactly, name a digest for every block and nothing beyond, find each chunk
// at its boundaries and write back to a payload that parses to the same index; a refused one leaves the index
// it was parsed into as it was. A small stream is then read through the checking reader, which may deliver
// only bytes of the stream and never more than the indexed range holds.

#include "pkg/trust/IndexedStreamReader.h"
#include "pkg/trust/PackageIndex.h"
#include "tests/fuzz/FuzzTarget.h"
#include "tests/support/MemoryStreamReader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace vex::pkg;

namespace
{
// The index a refused parse must leave alone.
PackageIndex sentinel()
{
    PackageIndex index(IndexFormat::kSmallestBlock);
    index.setStream(40, 48);
    index.setCompatibility({"SENTINL"});
    index.addChunk(0x5E, 40, 8);
    return index;
}

void checkTiling(const PackageIndex& index)
{
    const uint32_t block = index.blockSize();
    FUZZ_REQUIRE(block >= IndexFormat::kSmallestBlock && block <= IndexFormat::kLargestBlock &&
                 (block & (block - 1)) == 0);
    FUZZ_REQUIRE(index.dataStart() >= 0 && index.dataStart() <= index.streamLength());
    int64_t expected = index.dataStart();
    const std::vector<PackageIndex::Chunk>& chunks = index.chunks();
    for (size_t i = 0; i < chunks.size(); ++i)
    {
        const PackageIndex::Chunk& chunk = chunks[i];
        FUZZ_REQUIRE(chunk.offset == expected);
        FUZZ_REQUIRE(chunk.length >= 8 && chunk.length <= index.streamLength() - chunk.offset);
        FUZZ_REQUIRE(chunk.blocks == PackageIndex::blocksFor(chunk.length, block));
        FUZZ_REQUIRE(index.digest(i, 0) != nullptr && index.digest(i, chunk.blocks - 1) != nullptr);
        FUZZ_REQUIRE(index.digest(i, chunk.blocks) == nullptr);
        FUZZ_REQUIRE(index.findChunk(chunk.offset) == static_cast<long>(i));
        FUZZ_REQUIRE(index.findChunk(chunk.offset + chunk.length - 1) == static_cast<long>(i));
        expected += chunk.length;
    }
    FUZZ_REQUIRE(expected == index.streamLength());
    FUZZ_REQUIRE(index.findChunk(index.dataStart() - 1) == -1);
    FUZZ_REQUIRE(index.findChunk(index.streamLength()) == -1);
    FUZZ_REQUIRE(index.digest(chunks.size(), 0) == nullptr);
    for (const std::string& id : index.compatibility())
    {
        FUZZ_REQUIRE(id.size() < IndexFormat::kCompatEntrySize);
    }
}

// Reads the whole indexed range of a zero-filled stream through the checking reader in uneven steps.
void readThrough(const std::shared_ptr<const PackageIndex>& index, const uint8_t* data, size_t size)
{
    constexpr int64_t kLargestStream = 1 << 20;
    if (index->streamLength() > kLargestStream)
    {
        return;
    }
    // The input's own bytes fill the stream's start, so that a digest can at times match.
    std::vector<unsigned char> bytes(static_cast<size_t>(index->streamLength()), 0);
    if (!bytes.empty())
    {
        std::memcpy(bytes.data(), data, std::min(size, bytes.size()));
    }
    MemoryStreamReader source(bytes);
    IndexedStreamReader reader(source, index);
    std::vector<unsigned char> buffer(70000);
    int64_t delivered = 0;
    size_t step = 1;
    while (true)
    {
        const int64_t at = reader.tell();
        const int64_t got = reader.read(buffer.data(), step);
        if (got <= 0)
        {
            break;
        }
        FUZZ_REQUIRE(static_cast<uint64_t>(got) <= step && at >= index->dataStart());
        FUZZ_REQUIRE(std::memcmp(buffer.data(), bytes.data() + at, static_cast<size_t>(got)) == 0);
        delivered += got;
        step = step * 7 % buffer.size() + 1;
    }
    FUZZ_REQUIRE(delivered <= index->streamLength() - index->dataStart());
    FUZZ_REQUIRE(reader.failed() || delivered == index->streamLength() - index->dataStart());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const PackageIndex before = sentinel();
    auto index = std::make_shared<PackageIndex>(before);
    std::string why;
    if (!PackageIndex::parse(data, size, *index, why))
    {
        FUZZ_REQUIRE(!why.empty());
        FUZZ_REQUIRE(index->serialize() == before.serialize());
        return 0;
    }
    checkTiling(*index);
    FUZZ_REQUIRE(index->payloadSize() == static_cast<int64_t>(size));

    // Written back, the index parses to itself; only the bytes after a compatibility ID's NUL may differ.
    const std::vector<uint8_t> written = index->serialize();
    FUZZ_REQUIRE(written.size() == size);
    PackageIndex again;
    FUZZ_REQUIRE(PackageIndex::parse(written.data(), written.size(), again, why));
    FUZZ_REQUIRE(again.serialize() == written);

    readThrough(index, data, size);
    return 0;
}
