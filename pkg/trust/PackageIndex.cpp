#include "pkg/trust/PackageIndex.h"

#include "base/ByteOrder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>

namespace vex::pkg
{
using namespace IndexFormat;

namespace
{
// Splits "a.b.c" into at most `most` decimal parts no larger than `largest`; false for anything else.
bool ParseDotted(const std::string& text, size_t least, size_t most, uint64_t largest,
                 std::vector<uint64_t>& parts)
{
    parts.clear();
    uint64_t value = 0;
    size_t digits = 0;
    for (size_t i = 0; i <= text.size(); ++i)
    {
        if (i == text.size() || text[i] == '.')
        {
            if (digits == 0 || parts.size() == most)
            {
                return false;
            }
            parts.push_back(value);
            value = 0;
            digits = 0;
            continue;
        }
        const char c = text[i];
        if (c < '0' || c > '9' || digits == 10)
        {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        ++digits;
        if (value > largest)
        {
            return false;
        }
    }
    return parts.size() >= least;
}

bool IsPowerOfTwo(uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}
}  // namespace

bool PackageVersion::parse(const std::string& text, PackageVersion& version)
{
    std::vector<uint64_t> parts;
    if (!ParseDotted(text, 3, 3, std::numeric_limits<uint32_t>::max(), parts))
    {
        return false;
    }
    version.major = static_cast<uint32_t>(parts[0]);
    version.minor = static_cast<uint32_t>(parts[1]);
    version.patch = static_cast<uint32_t>(parts[2]);
    return true;
}

std::string PackageVersion::text() const
{
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

bool PackageVersion::operator<(const PackageVersion& other) const
{
    return std::tie(major, minor, patch) < std::tie(other.major, other.minor, other.patch);
}

bool PackageVersion::operator==(const PackageVersion& other) const
{
    return std::tie(major, minor, patch) == std::tie(other.major, other.minor, other.patch);
}

bool InstallerVersion::parse(const std::string& text, InstallerVersion& version)
{
    std::vector<uint64_t> parts;
    if (!ParseDotted(text, 1, 4, std::numeric_limits<uint16_t>::max(), parts))
    {
        return false;
    }
    version.parts = {};
    for (size_t i = 0; i < parts.size(); ++i)
    {
        version.parts[i] = static_cast<uint16_t>(parts[i]);
    }
    return true;
}

InstallerVersion InstallerVersion::Current()
{
    InstallerVersion version;
    version.parts = {4, 2, 7, 30};
    return version;
}

std::string InstallerVersion::text() const
{
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
           std::to_string(parts[3]);
}

uint32_t PackageIndex::blocksFor(int64_t length, uint32_t blockSize)
{
    if (length <= 0 || blockSize == 0)
    {
        return 1;
    }
    const int64_t blocks = (length - 1) / blockSize + 1;
    return static_cast<uint32_t>(std::min<int64_t>(blocks, std::numeric_limits<uint32_t>::max()));
}

void PackageIndex::setStream(int64_t dataStart, int64_t streamLength)
{
    dataStart_ = dataStart;
    streamLength_ = streamLength;
}

void PackageIndex::addChunk(uint32_t type, int64_t offset, int64_t length)
{
    Chunk chunk;
    chunk.type = type;
    chunk.offset = offset;
    chunk.length = length;
    chunk.firstDigest = digests_.size() / kDigestSize;
    chunk.blocks = blocksFor(length, blockSize_);
    chunks_.push_back(chunk);
    digests_.resize(digests_.size() + static_cast<size_t>(chunk.blocks) * kDigestSize);
}

void PackageIndex::setDigest(size_t chunk, uint32_t block, const Digest& digest)
{
    if (chunk < chunks_.size() && block < chunks_[chunk].blocks)
    {
        std::copy(digest.begin(), digest.end(),
                  digests_.begin() + static_cast<long>((chunks_[chunk].firstDigest + block) * kDigestSize));
    }
}

int64_t PackageIndex::payloadSize() const
{
    const int64_t size = kFixedSize + kCompatEntrySize * static_cast<int64_t>(compatibility_.size()) +
                         kChunkEntrySize * static_cast<int64_t>(chunks_.size()) +
                         static_cast<int64_t>(digests_.size());
    return size <= kLargestIndex ? size : -1;
}

const uint8_t* PackageIndex::digest(size_t chunk, uint32_t block) const
{
    if (chunk >= chunks_.size() || block >= chunks_[chunk].blocks)
    {
        return nullptr;
    }
    return digests_.data() + (chunks_[chunk].firstDigest + block) * kDigestSize;
}

long PackageIndex::findChunk(int64_t offset) const
{
    if (offset < dataStart_ || offset >= streamLength_ || chunks_.empty())
    {
        return -1;
    }
    // The chunks tile the range in order: the last one starting at or before `offset` holds it.
    const auto after = std::upper_bound(chunks_.begin(), chunks_.end(), offset,
                                        [](int64_t at, const Chunk& chunk) { return at < chunk.offset; });
    if (after == chunks_.begin())
    {
        return -1;
    }
    return static_cast<long>(after - chunks_.begin()) - 1;
}

std::vector<uint8_t> PackageIndex::serialize() const
{
    std::vector<uint8_t> out(static_cast<size_t>(kFixedSize), 0);
    base::ByteOrder::StoreLe32(out.data() + kVersionOffset, kFormatVersion);
    base::ByteOrder::StoreLe32(out.data() + kDigestOffset, kDigestSha256);
    base::ByteOrder::StoreLe32(out.data() + kBlockSizeOffset, blockSize_);
    base::ByteOrder::StoreLe64(out.data() + kStreamLengthOffset, static_cast<uint64_t>(streamLength_));
    base::ByteOrder::StoreLe64(out.data() + kDataStartOffset, static_cast<uint64_t>(dataStart_));
    base::ByteOrder::StoreLe32(out.data() + kPackageVersionOffset, version_.major);
    base::ByteOrder::StoreLe32(out.data() + kPackageVersionOffset + 4, version_.minor);
    base::ByteOrder::StoreLe32(out.data() + kPackageVersionOffset + 8, version_.patch);
    for (size_t i = 0; i < minInstaller_.parts.size(); ++i)
    {
        out[kMinInstallerOffset + 2 * i] = static_cast<uint8_t>(minInstaller_.parts[i] & 0xFF);
        out[kMinInstallerOffset + 2 * i + 1] = static_cast<uint8_t>(minInstaller_.parts[i] >> 8);
    }
    base::ByteOrder::StoreLe32(out.data() + kCompatCountOffset, static_cast<uint32_t>(compatibility_.size()));
    base::ByteOrder::StoreLe32(out.data() + kChunkCountOffset, static_cast<uint32_t>(chunks_.size()));
    for (const std::string& id : compatibility_)
    {
        uint8_t entry[kCompatEntrySize] = {};
        std::memcpy(entry, id.data(), std::min<size_t>(id.size(), kCompatEntrySize - 1));
        out.insert(out.end(), entry, entry + kCompatEntrySize);
    }
    for (const Chunk& chunk : chunks_)
    {
        base::ByteOrder::AppendLe32(out, chunk.type);
        base::ByteOrder::AppendLe32(out, 0);
        uint8_t words[16];
        base::ByteOrder::StoreLe64(words, static_cast<uint64_t>(chunk.offset));
        base::ByteOrder::StoreLe64(words + 8, static_cast<uint64_t>(chunk.length));
        out.insert(out.end(), words, words + sizeof words);
    }
    out.insert(out.end(), digests_.begin(), digests_.end());
    return out;
}

bool PackageIndex::parse(const uint8_t* payload, size_t length, PackageIndex& index, std::string& why)
{
    const auto refuse = [&why](const std::string& reason)
    {
        why = reason;
        return false;
    };
    if (payload == nullptr || static_cast<int64_t>(length) < kFixedSize)
    {
        return refuse("the signed index is too short");
    }
    if (static_cast<int64_t>(length) > kLargestIndex)
    {
        return refuse("the signed index is larger than " + std::to_string(kLargestIndex >> 20) + " MiB");
    }
    const uint32_t version = base::ByteOrder::LoadLe32(payload + kVersionOffset);
    if (version != kFormatVersion)
    {
        return refuse("unsupported signed index version " + std::to_string(version));
    }
    if (base::ByteOrder::LoadLe32(payload + kDigestOffset) != kDigestSha256)
    {
        return refuse("unsupported block digest in the signed index");
    }
    const uint32_t blockSize = base::ByteOrder::LoadLe32(payload + kBlockSizeOffset);
    if (!IsPowerOfTwo(blockSize) || blockSize < kSmallestBlock || blockSize > kLargestBlock)
    {
        return refuse("unsupported block size " + std::to_string(blockSize) + " in the signed index");
    }
    if (base::ByteOrder::LoadLe32(payload + kFlagsOffset) != 0)
    {
        return refuse("unknown flags in the signed index");
    }
    const uint64_t streamLength = base::ByteOrder::LoadLe64(payload + kStreamLengthOffset);
    const uint64_t dataStart = base::ByteOrder::LoadLe64(payload + kDataStartOffset);
    // Positions are 63-bit everywhere else; a larger value is damage, not a package.
    constexpr uint64_t kLargestPosition = uint64_t(1) << 62;
    if (streamLength > kLargestPosition || dataStart > streamLength)
    {
        return refuse("the signed index's stream length is impossible");
    }
    const uint32_t compatCount = base::ByteOrder::LoadLe32(payload + kCompatCountOffset);
    const uint32_t chunkCount = base::ByteOrder::LoadLe32(payload + kChunkCountOffset);
    // Counted against what is left, so no product below can overflow.
    const uint64_t remaining = length - static_cast<size_t>(kFixedSize);
    if (compatCount > kLargestCompatibilityCount ||
        uint64_t(compatCount) * kCompatEntrySize + uint64_t(chunkCount) * kChunkEntrySize > remaining)
    {
        return refuse("the signed index's counts exceed its size");
    }

    PackageIndex parsed(blockSize);
    parsed.setStream(static_cast<int64_t>(dataStart), static_cast<int64_t>(streamLength));
    parsed.version_.major = base::ByteOrder::LoadLe32(payload + kPackageVersionOffset);
    parsed.version_.minor = base::ByteOrder::LoadLe32(payload + kPackageVersionOffset + 4);
    parsed.version_.patch = base::ByteOrder::LoadLe32(payload + kPackageVersionOffset + 8);
    for (size_t i = 0; i < parsed.minInstaller_.parts.size(); ++i)
    {
        parsed.minInstaller_.parts[i] = base::ByteOrder::LoadLe16(payload + kMinInstallerOffset + 2 * i);
    }
    const uint8_t* at = payload + kFixedSize;
    for (uint32_t i = 0; i < compatCount; ++i, at += kCompatEntrySize)
    {
        // Seven characters and a NUL: anything else is not an entry this format writes.
        if (at[kCompatEntrySize - 1] != 0)
        {
            return refuse("a compatibility entry of the signed index is not terminated");
        }
        parsed.compatibility_.emplace_back(reinterpret_cast<const char*>(at));
    }

    uint64_t digestBytes = 0;
    int64_t expectedOffset = static_cast<int64_t>(dataStart);
    parsed.chunks_.reserve(chunkCount);
    for (uint32_t i = 0; i < chunkCount; ++i, at += kChunkEntrySize)
    {
        const uint32_t type = base::ByteOrder::LoadLe32(at);
        const uint64_t offset = base::ByteOrder::LoadLe64(at + 8);
        const uint64_t chunkLength = base::ByteOrder::LoadLe64(at + 16);
        if (base::ByteOrder::LoadLe32(at + 4) != 0)
        {
            return refuse("chunk entry " + std::to_string(i) + " of the signed index has unknown bits");
        }
        if (offset != static_cast<uint64_t>(expectedOffset) ||
            chunkLength < static_cast<uint64_t>(PackageFormat::kChunkHeaderSize) ||
            chunkLength > streamLength - offset)
        {
            return refuse("chunk entry " + std::to_string(i) + " of the signed index is out of place");
        }
        Chunk chunk;
        chunk.type = type;
        chunk.offset = static_cast<int64_t>(offset);
        chunk.length = static_cast<int64_t>(chunkLength);
        chunk.firstDigest = static_cast<size_t>(digestBytes / kDigestSize);
        chunk.blocks = blocksFor(chunk.length, blockSize);
        digestBytes += uint64_t(chunk.blocks) * kDigestSize;
        if (digestBytes > remaining)
        {
            return refuse("the signed index's digests exceed its size");
        }
        parsed.chunks_.push_back(chunk);
        expectedOffset += chunk.length;
    }
    if (expectedOffset != static_cast<int64_t>(streamLength))
    {
        return refuse("the signed index does not cover the stream to its end");
    }
    const uint64_t used = uint64_t(compatCount) * kCompatEntrySize + uint64_t(chunkCount) * kChunkEntrySize;
    if (used + digestBytes != remaining)
    {
        return refuse("the signed index's size does not match its contents");
    }
    parsed.digests_.assign(at, at + digestBytes);
    index = std::move(parsed);
    return true;
}

}  // namespace vex::pkg
