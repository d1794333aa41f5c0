#include "pkg/trust/SignedStreamScanner.h"

#include "base/ByteOrder.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace vex::pkg
{
using namespace PackageFormat;
using namespace SignatureFormat;
using base::ByteOrder::LoadLe32;

void SignedStreamScanner::CtxFree::operator()(evp_md_ctx_st* ctx) const
{
    EVP_MD_CTX_free(ctx);
}

SignedStreamScanner::SignedStreamScanner() : ctx_(EVP_MD_CTX_new())
{
    hashOk_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_sha512(), nullptr) == 1;
}

SignedStreamScanner::~SignedStreamScanner() = default;

void SignedStreamScanner::hash(const uint8_t* data, size_t length)
{
    if (hashing_ && hashOk_ && length > 0)
    {
        hashOk_ = EVP_DigestUpdate(ctx_.get(), data, length) == 1;
    }
}

void SignedStreamScanner::finalizeDigest()
{
    unsigned int length = 0;
    hashOk_ =
        hashOk_ && EVP_DigestFinal_ex(ctx_.get(), digest_.data(), &length) == 1 && length == digest_.size();
    hashing_ = false;
}

void SignedStreamScanner::feed(const uint8_t* data, size_t length)
{
    while (length > 0)
    {
        size_t n = 0;
        if (offset_ < kLeadInSize)
        {
            n = std::min<size_t>(length, static_cast<size_t>(kLeadInSize - offset_));
            std::memcpy(leadIn_.data() + offset_, data, n);
            hash(data, n);
        }
        else if (broken_)
        {
            n = length;
        }
        else if (offset_ < nextChunk_)
        {
            // Payload or padding of the current chunk.
            n = std::min<size_t>(length, static_cast<size_t>(nextChunk_ - offset_));
            if (inSignature_)
            {
                const int64_t at = offset_ - (signatureOffset_ + kChunkHeaderSize);
                if (at < kPayloadSize)
                {
                    std::memcpy(payload_.data() + at, data,
                                std::min<size_t>(n, static_cast<size_t>(kPayloadSize - at)));
                }
            }
            else
            {
                hash(data, n);
            }
        }
        else
        {
            // A chunk frame, possibly split between two pieces: it is hashed only once its type says that
            // it is not the signature, which must stay outside the signed bytes.
            n = std::min<size_t>(length, static_cast<size_t>(kChunkHeaderSize - frameFill_));
            std::memcpy(frame_ + frameFill_, data, n);
            frameFill_ += static_cast<int>(n);
        }
        offset_ += static_cast<int64_t>(n);
        data += n;
        length -= n;
        if (frameFill_ == kChunkHeaderSize)
        {
            onFrame();
        }
    }
}

void SignedStreamScanner::onFrame()
{
    frameFill_ = 0;
    const int64_t start = nextChunk_;
    const uint32_t type = LoadLe32(frame_);
    const int64_t size = static_cast<int32_t>(LoadLe32(frame_ + 4));
    if (signatureOffset_ >= 0 && type == kTypeSignature)
    {
        secondSignature_ = true;
    }
    inSignature_ = false;
    if (type == kTypeSignature && signatureOffset_ < 0)
    {
        signatureOffset_ = start;
        inSignature_ = true;
        finalizeDigest();
    }
    else
    {
        hash(frame_, sizeof frame_);
    }
    if (size < 0)
    {
        broken_ = true;
        return;
    }
    nextChunk_ = start + kChunkHeaderSize + size + paddingFor(size);
    if (inSignature_)
    {
        signatureSize_ = size;
        signatureEnd_ = nextChunk_;
    }
}

SignedStreamScanner::Outcome SignedStreamScanner::finish()
{
    if (hashing_)
    {
        // No signature chunk: the digest covers the whole stream, which is what a signer appends to.
        finalizeDigest();
    }
    if (!hashOk_)
    {
        return Outcome::kHashFailed;
    }
    // Checked first: whatever follows a complete signature frame, the signature is not the last chunk.
    if (signatureOffset_ >= 0 && signatureEnd_ > 0)
    {
        if (secondSignature_)
        {
            return Outcome::kTwoSignatures;
        }
        if (offset_ > signatureEnd_)
        {
            return Outcome::kBytesAfterSignature;
        }
    }
    if (broken_)
    {
        return Outcome::kBadChunk;
    }
    if (offset_ < kLeadInSize || frameFill_ != 0 || offset_ < nextChunk_)
    {
        return Outcome::kCutShort;
    }
    if (signatureOffset_ < 0)
    {
        return Outcome::kNoSignature;
    }
    return signatureSize_ == kPayloadSize ? Outcome::kSigned : Outcome::kUnsupportedSignature;
}

uint32_t SignedStreamScanner::scheme() const
{
    return LoadLe32(payload_.data() + kSchemeOffset);
}

Ed25519Key::KeyId SignedStreamScanner::keyId() const
{
    Ed25519Key::KeyId id;
    std::copy_n(payload_.begin() + kKeyIdOffset, id.size(), id.begin());
    return id;
}

Ed25519Key::Signature SignedStreamScanner::signature() const
{
    Ed25519Key::Signature signature;
    std::copy_n(payload_.begin() + kSignatureOffset, signature.size(), signature.begin());
    return signature;
}

std::vector<uint8_t> SignedStreamScanner::signedMessage() const
{
    std::vector<uint8_t> message(static_cast<size_t>(kSignedContextSize) + digest_.size());
    std::memcpy(message.data(), kSignedContext, static_cast<size_t>(kSignedContextSize));
    std::memcpy(message.data() + kSignedContextSize, digest_.data(), digest_.size());
    return message;
}

}  // namespace vex::pkg
