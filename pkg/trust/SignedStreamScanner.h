#pragma once

#include "pkg/trust/Ed25519Key.h"
#include "pkg/trust/SignatureFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct evp_md_ctx_st;

namespace vex::pkg
{
// Reads a package stream once, front to back, in pieces of any size: it walks the chunk frames, hashes
// every byte before the first signature chunk (SHA-512) and keeps that chunk's payload. The verifier and the
// signing tool share it, so both agree on what a signature covers. Memory is fixed whatever the stream size.
class SignedStreamScanner
{
public:
    enum class Outcome
    {
        kSigned,                // exactly one signature chunk, and it ends the stream
        kNoSignature,           // the walk ended cleanly without one
        kTwoSignatures,         // a second signature chunk follows the first
        kBytesAfterSignature,   // anything else follows the signature
        kCutShort,              // the stream ends inside the lead-in or a chunk
        kBadChunk,              // a chunk frame with a negative size
        kUnsupportedSignature,  // the signature chunk has another size than scheme 1's payload
        kHashFailed,            // the digest library failed
    };

    using Digest = std::array<uint8_t, SignatureFormat::kDigestSize>;
    using LeadIn = std::array<uint8_t, PackageFormat::kLeadInSize>;
    using Payload = std::array<uint8_t, SignatureFormat::kPayloadSize>;

    SignedStreamScanner();
    ~SignedStreamScanner();
    SignedStreamScanner(const SignedStreamScanner&) = delete;
    SignedStreamScanner& operator=(const SignedStreamScanner&) = delete;

    // The next `length` bytes of the stream.
    void feed(const uint8_t* data, size_t length);
    // Judges the stream once every byte was fed.
    Outcome finish();

    int64_t bytesSeen() const { return offset_; }
    const LeadIn& leadIn() const { return leadIn_; }
    // Where the first signature chunk starts (= the number of signed bytes); -1 without one.
    int64_t signatureOffset() const { return signatureOffset_; }
    // SHA-512 of the bytes before the signature chunk (of the whole stream when there is none); valid after
    // finish().
    const Digest& digest() const { return digest_; }
    // The signature chunk's payload, as far as it was present (scheme 1's size), and its fields.
    const Payload& payload() const { return payload_; }
    uint32_t scheme() const;
    Ed25519Key::KeyId keyId() const;
    Ed25519Key::Signature signature() const;
    // What scheme 1 signs: the context text, then the digest.
    std::vector<uint8_t> signedMessage() const;

private:
    struct CtxFree
    {
        void operator()(evp_md_ctx_st* ctx) const;
    };

    void hash(const uint8_t* data, size_t length);
    void finalizeDigest();
    void onFrame();

    std::unique_ptr<evp_md_ctx_st, CtxFree> ctx_;
    bool hashOk_ = true;
    bool hashing_ = true;
    int64_t offset_ = 0;
    int64_t nextChunk_ = PackageFormat::kLeadInSize;
    uint8_t frame_[PackageFormat::kChunkHeaderSize] = {};
    int frameFill_ = 0;
    // A negative chunk size: nothing after it can be framed.
    bool broken_ = false;
    bool inSignature_ = false;
    int64_t signatureOffset_ = -1;
    int64_t signatureSize_ = 0;
    int64_t signatureEnd_ = 0;
    bool secondSignature_ = false;
    LeadIn leadIn_{};
    Digest digest_{};
    Payload payload_{};
};

}  // namespace vex::pkg
