#pragma once

#include "pkg/read/PackageFormat.h"

#include <cstdint>

namespace vex::pkg
{
// Byte layout of a package with a signed index. The index is the first chunk: it names every later chunk
// (type, offset, length) with the SHA-256 digest of each of its blocks. The signature chunk that follows
// it signs the lead-in and the index chunk, so one signature check at the start makes every later byte
// checkable at the moment it is read: a byte that differs from what was signed is never acted on.
// Installers that do not know the two chunk types walk over them as unknown chunks.
namespace IndexFormat
{
// "INDX" in file order.
constexpr uint32_t kTypeIndex = 0x58444E49u;

// The lead-in: a marker, then the length of the whole stream (all parts), u64.
constexpr char kLeadInMarker[] = "VPKGIDX1";
constexpr int64_t kLeadInMarkerSize = sizeof kLeadInMarker - 1;
constexpr int64_t kLeadInLengthOffset = kLeadInMarkerSize;
static_assert(kLeadInLengthOffset + 8 == PackageFormat::kLeadInSize, "the lead-in holds marker and length");

// Signature scheme 2: Ed25519 over kSignedContext followed by the SHA-512 digest of the lead-in and the
// index chunk (frame, payload, padding), which is everything in the stream before the signature chunk.
constexpr uint32_t kSchemeEd25519Index = 2;
constexpr char kSignedContext[] = "vex-pkg signed index, Ed25519 over SHA-512, v1";
constexpr int64_t kSignedContextSize = sizeof kSignedContext - 1;

constexpr uint32_t kFormatVersion = 1;
constexpr uint32_t kDigestSha256 = 1;
constexpr int64_t kDigestSize = 32;

// The block size the tools write: small enough that the chunk walk, which checks the block holding each
// chunk's frame, reads little beyond it; large enough that a 4 GiB stream needs 512 KiB of digests.
constexpr uint32_t kBlockSize = 256u * 1024u;
// What an installer accepts (powers of two): the block buffer it holds is at most kLargestBlock.
constexpr uint32_t kSmallestBlock = 64u * 1024u;
constexpr uint32_t kLargestBlock = 1024u * 1024u;

// The index is held in memory whole: a larger one is refused, which bounds the installer's memory
// whatever the number of chunks (about 300 000 small chunks, or a 500 GiB stream, fit).
constexpr int64_t kLargestIndex = int64_t(16) << 20;
constexpr uint32_t kLargestCompatibilityCount = 4096;

// Payload layout (little-endian).
constexpr int64_t kVersionOffset = 0;          // u32 format version
constexpr int64_t kDigestOffset = 4;           // u32 digest algorithm
constexpr int64_t kBlockSizeOffset = 8;        // u32 block size
constexpr int64_t kFlagsOffset = 12;           // u32, 0
constexpr int64_t kStreamLengthOffset = 16;    // u64 length of the whole stream
constexpr int64_t kDataStartOffset = 24;       // u64 offset of the first indexed chunk
constexpr int64_t kPackageVersionOffset = 32;  // 3 x u32: major, minor, patch
constexpr int64_t kMinInstallerOffset = 44;    // 4 x u16: major, minor, patch, build
constexpr int64_t kCompatCountOffset = 52;     // u32
constexpr int64_t kChunkCountOffset = 56;      // u32
constexpr int64_t kFixedSize = 60;
// Then the compatibility entries (8 bytes each: 7 characters and a NUL), the chunk entries, and the block
// digests of every chunk in chunk order.
constexpr int64_t kCompatEntrySize = 8;
constexpr int64_t kChunkEntrySize = 24;  // u32 type, u32 0, u64 offset, u64 length (frame and padding)
}  // namespace IndexFormat

}  // namespace vex::pkg
