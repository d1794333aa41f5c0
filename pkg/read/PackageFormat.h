#pragma once

#include <cstdint>

namespace vex::pkg
{
// Byte layout of an update package: a 16-byte lead-in, then a flat run of chunks
// { type u32, size i32, payload, padding to a multiple of 4 }. All integers are little-endian.
namespace PackageFormat
{
// The lead-in belongs to the package verifier; the chunk walk never looks inside it.
constexpr int64_t kLeadInSize = 16;
constexpr int64_t kChunkHeaderSize = 8;
constexpr int64_t kDigestSize = 16;
constexpr int64_t kEntryWordSize = 8;
constexpr int64_t kCompatibilityEntrySize = 8;
constexpr int kCompatibilityTextLength = 7;
// A part file's length is measured as a signed 32-bit value by the reader.
constexpr int64_t kMaxPartSize = 2147483647;
constexpr int64_t kMaxChunkPayload = 2147483647;

enum ChunkType : uint32_t
{
    kTypeHeader = 0,
    kTypeHeaderAlt = 1,
    kTypeInstallerKernel = 2,
    kTypeInstallerRootFS = 3,
    kTypeInstallerApp = 4,
    kTypeInstallerConfig = 5,
    kTypeServiceKernel = 6,
    kTypeServiceRootFS = 7,
    kTypeServiceApp = 8,
    kTypeServiceConfig = 9,
    kTypeLauncherApp = 10,
    kTypeLauncherConfig = 11,
    kTypeBootMLO = 12,
    kTypeBootUBoot = 13,
    kTypeUserKernel = 14,
    kTypeScript = 15,
    kTypeDir = 16,
    kTypeFile = 17,
    kTypeLink = 18,
    kTypeTar = 19,
};

constexpr bool isHeaderType(uint32_t type)
{
    return type == kTypeHeader || type == kTypeHeaderAlt;
}
constexpr bool isSystemType(uint32_t type)
{
    return type >= kTypeInstallerKernel && type <= kTypeUserKernel;
}
// The installer's own images, which the installation passes leave alone.
constexpr bool isInstallerImageType(uint32_t type)
{
    return type >= kTypeInstallerKernel && type <= kTypeInstallerConfig;
}
constexpr bool isUserType(uint32_t type)
{
    return type >= kTypeScript && type <= kTypeTar;
}

// Fixed parts of the payloads that precede their texts.
constexpr int64_t kHeaderFixedSize = 12;  // versions, flags, package type, entry count
constexpr int64_t kScriptFixedSize = 18;  // digest, condition id
constexpr int64_t kFileFixedSize = 29;    // digest, entry word, installed size, encoding
constexpr int64_t kLinkFixedSize = 7;     // uid, gid, condition id, must-exist flag
constexpr int64_t kTarFixedSize = 22;     // digest, installed size, condition id

// Header flags word: bit 0 is the flag, bits 1 to 4 a 4-bit value.
constexpr uint32_t kHeaderFlagBit = 0x1u;
constexpr int kHeaderValueShift = 1;
constexpr uint32_t kHeaderValueMask = 0xFu;

// Package types carried by the header.
constexpr uint16_t kPackageService = 1;
constexpr uint16_t kPackageUser = 2;
constexpr uint16_t kPackageMaintenance = 3;

// Mode word of directories and files. Inside each 3-bit permission group the lowest bit is read and the
// highest execute: the reverse of the usual octal order, so these are not interchangeable with S_IRUSR etc.
constexpr int kOthersShift = 0;
constexpr int kGroupShift = 3;
constexpr int kOwnerShift = 6;
constexpr uint16_t kPermissionGroupMask = 0x7u;
constexpr uint8_t kPermRead = 0x1u;
constexpr uint8_t kPermWrite = 0x2u;
constexpr uint8_t kPermExecute = 0x4u;
constexpr uint16_t kModeSticky = 1u << 9;
constexpr uint16_t kModeSetGid = 1u << 10;
constexpr uint16_t kModeSetUid = 1u << 11;
constexpr uint16_t kModeFatArchive = 1u << 12;
constexpr uint16_t kModeFatReadOnly = 1u << 13;
constexpr uint16_t kModeFatSystem = 1u << 14;
constexpr uint16_t kModeFatHidden = 1u << 15;

// Encoding byte of a file payload: low nibble compression, high nibble cipher.
constexpr uint8_t kCompressionNone = 0;
constexpr uint8_t kCompressionQtZlib = 1;
constexpr uint8_t kCipherNone = 0;
constexpr uint8_t kCipherBlowfish = 1;
constexpr uint8_t kCipherDes = 2;
constexpr uint8_t encodingByte(uint8_t compression, uint8_t cipher)
{
    return static_cast<uint8_t>(((cipher & 0xFu) << 4) | (compression & 0xFu));
}
constexpr uint8_t compressionOf(uint8_t encoding)
{
    return encoding & 0xFu;
}
constexpr uint8_t cipherOf(uint8_t encoding)
{
    return static_cast<uint8_t>(encoding >> 4);
}

// Bytes that follow a payload so that the next chunk starts on a multiple of 4. Only meaningful for a
// non-negative size.
constexpr int64_t paddingFor(int64_t size)
{
    return (4 - size % 4) % 4;
}

constexpr int16_t kNoCondition = -1;
}  // namespace PackageFormat

}  // namespace vex::pkg
