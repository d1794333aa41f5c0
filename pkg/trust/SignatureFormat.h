#pragma once

#include "pkg/read/PackageFormat.h"

#include <cstdint>

namespace vex::pkg
{
// Byte layout of a signed package. The signature is the package's last chunk and covers every byte of the
// stream before it: the lead-in and every chunk, across all parts of a split package. Installers that do
// not know its type walk over it as an unknown chunk, so a signed package installs everywhere.
namespace SignatureFormat
{
// "SIGN" in file order.
constexpr uint32_t kTypeSignature = 0x4E474953u;

// Scheme 1: Ed25519 (RFC 8032, pure) over kSignedContext followed by the SHA-512 digest of the signed
// bytes. Hashing first lets the verifier stream any package size through a fixed buffer; the context makes
// a package signature useless as a signature over anything else.
constexpr uint32_t kSchemeEd25519Sha512 = 1;
constexpr char kSignedContext[] = "vex-pkg package signature, Ed25519 over SHA-512, v1";
constexpr int64_t kSignedContextSize = sizeof kSignedContext - 1;
constexpr int64_t kDigestSize = 64;

// Payload: scheme (u32), key identifier, signature. 84 bytes, so the chunk needs no padding.
constexpr int64_t kKeyIdSize = 16;  // first 16 bytes of SHA-256 over the raw 32-byte public key
constexpr int64_t kSignatureSize = 64;
constexpr int64_t kSchemeOffset = 0;
constexpr int64_t kKeyIdOffset = 4;
constexpr int64_t kSignatureOffset = kKeyIdOffset + kKeyIdSize;
constexpr int64_t kPayloadSize = kSignatureOffset + kSignatureSize;
constexpr int64_t kChunkSize = PackageFormat::kChunkHeaderSize + kPayloadSize;

// The lead-in of a signed package: a marker, then the length of the whole stream, signature included
// (u64). Being signed, the length tells a package whose last part is missing from one that was never signed.
constexpr char kLeadInMarker[] = "VPKGSIG1";
constexpr int64_t kLeadInMarkerSize = sizeof kLeadInMarker - 1;
constexpr int64_t kLeadInLengthOffset = kLeadInMarkerSize;
static_assert(kLeadInLengthOffset + 8 == PackageFormat::kLeadInSize, "the lead-in holds marker and length");
static_assert(kPayloadSize % 4 == 0, "the signature chunk is not padded");
}  // namespace SignatureFormat

}  // namespace vex::pkg
