#pragma once

#include "pkg/trust/IndexFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vex::pkg
{
// A package's release version, "MAJOR.MINOR.PATCH" (semantic versioning without pre-release tags).
struct PackageVersion
{
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t patch = 0;

    // "2.0.0"; false (and `version` unchanged) for anything else, a part over 32 bits included.
    static bool parse(const std::string& text, PackageVersion& version);
    std::string text() const;
    bool operator<(const PackageVersion& other) const;
    bool operator==(const PackageVersion& other) const;
};

// An installer version, "4.2.7.30"; shorter forms mean zeros for the missing parts.
struct InstallerVersion
{
    std::array<uint16_t, 4> parts{};

    static bool parse(const std::string& text, InstallerVersion& version);
    // The version of this installer's package library, which a package's signed index may require.
    static InstallerVersion Current();
    std::string text() const;
    bool operator<(const InstallerVersion& other) const { return parts < other.parts; }
};

// The signed index of a package: what the stream after the signature holds, chunk by chunk, with one
// SHA-256 digest per block of every chunk. Parsing checks that the chunks tile the stream exactly, from the
// data start to the stream's end, and that the payload holds nothing more and nothing less than the counts
// say; nothing of a refused payload is kept.
class PackageIndex
{
public:
    using Digest = std::array<uint8_t, IndexFormat::kDigestSize>;

    struct Chunk
    {
        uint32_t type = 0;
        int64_t offset = 0;
        int64_t length = 0;      // frame, payload and padding: the distance to the next chunk
        size_t firstDigest = 0;  // index of its first block's digest
        uint32_t blocks = 0;
    };

    // False with a reason (no leading spaces) for a payload that is not a well-formed index.
    static bool parse(const uint8_t* payload, size_t length, PackageIndex& index, std::string& why);
    // The payload, unpadded.
    std::vector<uint8_t> serialize() const;

    // Building (the tools): an empty index for a stream laid out with `blockSize` blocks.
    explicit PackageIndex(uint32_t blockSize = IndexFormat::kBlockSize) : blockSize_(blockSize) {}
    void setStream(int64_t dataStart, int64_t streamLength);
    void setVersion(const PackageVersion& version) { version_ = version; }
    void setMinInstaller(const InstallerVersion& version) { minInstaller_ = version; }
    void setCompatibility(const std::vector<std::string>& ids) { compatibility_ = ids; }
    // Appends a chunk; its digests follow with setDigest.
    void addChunk(uint32_t type, int64_t offset, int64_t length);
    void setDigest(size_t chunk, uint32_t block, const Digest& digest);
    // The payload size an index of these chunks takes, digests included; -1 past kLargestIndex.
    int64_t payloadSize() const;

    uint32_t blockSize() const { return blockSize_; }
    int64_t streamLength() const { return streamLength_; }
    int64_t dataStart() const { return dataStart_; }
    const PackageVersion& version() const { return version_; }
    const InstallerVersion& minInstaller() const { return minInstaller_; }
    const std::vector<std::string>& compatibility() const { return compatibility_; }
    const std::vector<Chunk>& chunks() const { return chunks_; }
    const uint8_t* digest(size_t chunk, uint32_t block) const;

    // The chunk holding stream offset `offset`, or -1 outside [dataStart, streamLength).
    long findChunk(int64_t offset) const;
    // Number of `blockSize` blocks a chunk of `length` bytes has (at least one).
    static uint32_t blocksFor(int64_t length, uint32_t blockSize);

private:
    uint32_t blockSize_;
    int64_t streamLength_ = 0;
    int64_t dataStart_ = 0;
    PackageVersion version_;
    InstallerVersion minInstaller_;
    std::vector<std::string> compatibility_;
    std::vector<Chunk> chunks_;
    std::vector<uint8_t> digests_;
};

}  // namespace vex::pkg
