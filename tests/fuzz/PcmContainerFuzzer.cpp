// A .PCM file: the wave finder as Sonoprobe runs it, then the container on its own: every chunk down to a
// few levels, every block's attribute list, every data chunk read through the primitives, and the seek
// table with each child it lists.

#include "pcm/CChunk.h"
#include "pcm/CMemoryChunk.h"
#include "pcm/WaveFinder.h"
#include "tests/fuzz/FuzzTarget.h"

#include <cstring>
#include <string>
#include <vector>

using namespace pcm;

namespace
{
constexpr int kDeepestWalk = 6;
constexpr int kChildrenPerChunk = 64;
constexpr size_t kLargestRead = 4096;

void readData(CChunk& chunk)
{
    uint8_t byte = 0;
    uint32_t word = 0;
    std::string text;
    std::u16string wide;
    chunk.readU8(byte).readU32(word).readText(text).readWideText(wide);
    std::vector<uint8_t> rest(kLargestRead);
    const size_t got = chunk.readBytes(rest.data(), rest.size());
    FUZZ_REQUIRE(got <= rest.size());
}

void walk(CChunkBase& parent, int depth)
{
    CChunk* child = nullptr;
    for (int n = 0; n < kChildrenPerChunk && parent.nextChild(child); ++n)
    {
        FUZZ_REQUIRE(child != nullptr);
        if (child->isDataChunk())
            readData(*child);
        else if (depth < kDeepestWalk)
            walk(*child, depth + 1);
        child->attributes();
        parent.releaseChild(child);
        FUZZ_REQUIRE(child == nullptr);
    }
}

void visitListedChildren(CMemoryChunk& root)
{
    if (!root.loadSeekTable())
        return;
    const uint32_t count = static_cast<uint32_t>(root.seekTable().count());
    for (uint32_t n = 0; n < count && n < kChildrenPerChunk; ++n)
    {
        if (!root.seekToChild(n))
            return;
        CChunk* child = nullptr;
        if (root.nextChild(child))
            root.releaseChild(child);
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> file(data, data + size);
    FindWaveInBuffer(file.data(), file.size());
    // The finder only borrows the file, and reads it.
    FUZZ_REQUIRE(size == 0 || std::memcmp(file.data(), data, size) == 0);

    {
        CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
        if (root.state() == ChunkState::Reading)
        {
            walk(root, 0);
            root.finishPayload();
        }
    }
    {
        CMemoryChunk root(file.data(), file.size(), CMemoryOwnership::Borrow);
        if (root.state() == ChunkState::Reading)
            visitListedChildren(root);
    }
    return 0;
}
