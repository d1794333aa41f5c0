#include "pkg/writer/PayloadEncoder.h"
#include "base/ByteOrder.h"

#include "pkg/read/MemoryViewReader.h"
#include "pkg/writer/EncryptionStrategy.h"

#include <zlib.h>

#include <cstring>
#include <memory>

namespace vex::pkg::writer
{
namespace
{
const size_t kCompressedBlock = 1048576;
const uint32_t kSubChunkType = 256;

}  // namespace

bool PayloadEncoder::encrypt(int cipherType, const unsigned char* plain, size_t length,
                             std::vector<unsigned char>& stored, EncryptionStrategy::Vectors vectors)
{
    stored.clear();
    EncryptionStrategy strategy(cipherType, vectors);
    if (length == 0)
    {
        // Checked all the same, so that a missing cipher fails whatever the file's size.
        unsigned char probe = 0;
        MemoryViewReader reader(&probe, 1);
        int64_t one = 1;
        std::vector<char> segment(static_cast<size_t>(strategy.bufferSize()));
        return strategy.process(&reader, one, segment.data()) > 0;
    }
    if (plain == nullptr)
    {
        return false;
    }

    MemoryViewReader reader(plain, length);
    std::vector<char> segment(static_cast<size_t>(strategy.bufferSize()));
    int64_t remaining = static_cast<int64_t>(length);
    while (remaining != 0)
    {
        const int64_t n = strategy.process(&reader, remaining, segment.data());
        if (n < 0)
        {
            stored.clear();
            return false;
        }
        stored.insert(stored.end(), segment.data(), segment.data() + n);
    }
    return true;
}

bool PayloadEncoder::compress(const unsigned char* plain, size_t length, std::vector<unsigned char>& stored)
{
    stored.clear();
    if (length != 0 && plain == nullptr)
    {
        return false;
    }
    std::vector<unsigned char> deflated(compressBound(kCompressedBlock));
    for (size_t offset = 0; offset < length; offset += kCompressedBlock)
    {
        const size_t blockLength = length - offset < kCompressedBlock ? length - offset : kCompressedBlock;
        uLongf deflatedLength = static_cast<uLongf>(deflated.size());
        if (compress2(deflated.data(), &deflatedLength, plain + offset, static_cast<uLong>(blockLength),
                      Z_DEFAULT_COMPRESSION) != Z_OK)
        {
            stored.clear();
            return false;
        }
        const uint32_t bodySize = static_cast<uint32_t>(4 + deflatedLength);
        base::ByteOrder::AppendLe32(stored, kSubChunkType);
        base::ByteOrder::AppendLe32(stored, bodySize);
        base::ByteOrder::AppendBe32(stored, static_cast<uint32_t>(blockLength));
        stored.insert(stored.end(), deflated.data(), deflated.data() + deflatedLength);
        stored.resize(stored.size() + (4 - bodySize % 4) % 4, 0);
    }
    return true;
}

}  // namespace vex::pkg::writer
