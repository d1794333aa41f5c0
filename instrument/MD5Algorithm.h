#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vex::instrument
{
// RFC 1321 MD5 over memory or a file. Made for one hash: feed it with update, finalize, then read the
// digest. Once finalized it ignores further input.
class MD5Algorithm
{
public:
    static const std::size_t kDigestSize = 16;
    static const std::size_t kHexDigestSize = 33;  // 32 hexadecimal characters and a NUL
    // Pieces small enough to stay in the processor's cache between the read and the hashing: a 16 MiB
    // buffer makes every byte go through main memory twice and costs a page fault per page on every call.
    static const std::size_t kFilePieceSize = 0x40000;  // 256 KiB

    MD5Algorithm();
    // Hashes `file` from its current position to its end in 1 KiB reads, closes it and finalizes. A null
    // file gives an object that is never finalized, whose digest matches nothing.
    explicit MD5Algorithm(std::FILE* file);

    void update(const void* data, std::size_t length);
    // Feeds the file from its current position to its end in reads of `blockSize` bytes; the file stays
    // open. False when a read error (or no buffer) stopped it early; the digest then covers what was read.
    bool updateFromFile(std::FILE* file, std::size_t blockSize);
    // The same in pieces of kFilePieceSize, or of the rest of the file when that is smaller.
    bool updateFromFile(std::FILE* file);
    void finalize();

    bool isFinalized() const { return finalized_; }
    // 16 raw bytes once finalized; before that a single 0 byte at output[0].
    void digest(unsigned char* output) const;
    // 32 lower-case hexadecimal characters and a NUL once finalized; before that an empty text.
    void hexDigest(char* output) const;
    std::string hexDigest() const;

private:
    void transform(const unsigned char* block);

    uint32_t state_[4];
    uint64_t bitCount_ = 0;
    bool finalized_ = false;
    unsigned char buffer_[64];
    unsigned char digest_[kDigestSize];
};

}  // namespace vex::instrument
