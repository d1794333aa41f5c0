#include "pkg/trust/SignatureVerifier.h"

#include "base/ByteOrder.h"
#include "base/InstallProgressNotifierInterface.h"
#include "pkg/read/IStreamReader.h"
#include "pkg/trust/SignedStreamScanner.h"
#include "pkg/trust/TrustedKeys.h"

#include <openssl/crypto.h>

#include <cstring>
#include <vector>

namespace vex::pkg
{
using namespace PackageFormat;
using namespace SignatureFormat;

namespace
{
const char* refusalOf(SignedStreamScanner::Outcome outcome)
{
    switch (outcome)
    {
        case SignedStreamScanner::Outcome::kNoSignature:
            return "    No signature";
        case SignedStreamScanner::Outcome::kTwoSignatures:
            return "    Two signatures";
        case SignedStreamScanner::Outcome::kBytesAfterSignature:
            return "    Bytes after the signature";
        case SignedStreamScanner::Outcome::kCutShort:
            return "    The package ends inside a chunk";
        case SignedStreamScanner::Outcome::kBadChunk:
            return "    Malformed chunk frame";
        case SignedStreamScanner::Outcome::kUnsupportedSignature:
            return "    Unsupported signature";
        case SignedStreamScanner::Outcome::kHashFailed:
            return "    The package digest could not be computed";
        case SignedStreamScanner::Outcome::kSigned:
            break;
    }
    return "";
}
}  // namespace

SignatureVerifier::SignatureVerifier(const std::string& keyDirectory,
                                     base::InstallProgressNotifierInterface* notifier)
    : keyDirectory_(keyDirectory), notifier_(notifier)
{
}

bool SignatureVerifier::refuse(const std::string& detail)
{
    detail_ = detail;
    return false;
}

bool SignatureVerifier::verify(IStreamReader* reader)
{
    const bool ok = check(reader);
    // OpenSSL keeps per-thread state (its error queue) that it frees only when the thread ends, and the
    // installer may exit while its installation thread is still ending: freed here, nothing of it is left
    // behind (the next OpenSSL call on this thread makes it anew).
    OPENSSL_thread_stop();
    return ok;
}

bool SignatureVerifier::check(IStreamReader* reader)
{
    bytesRead_ = 0;
    detail_.clear();
    // Keys are read per run, so a key added or withdrawn takes effect with the next package.
    TrustedKeys keys;
    keys.load(keyDirectory_);
    if (keys.size() == 0)
    {
        return refuse("    No usable key in " + keyDirectory_);
    }
    if (reader == nullptr)
    {
        return refuse("    The package cannot be read");
    }

    // The lead-in says whether the package was signed at all and how long it was then, so that a missing
    // part is named before the whole package is read.
    const int64_t size = reader->size();
    uint8_t leadIn[kLeadInSize];
    if (size < kLeadInSize || !reader->seek(0) || reader->read(leadIn, sizeof leadIn) != kLeadInSize ||
        std::memcmp(leadIn, kLeadInMarker, kLeadInMarkerSize) != 0)
    {
        return refuse("    No signature");
    }
    const uint64_t signedLength = base::ByteOrder::LoadLe64(leadIn + kLeadInLengthOffset);
    if (static_cast<uint64_t>(size) < signedLength)
    {
        return refuse("    A part is missing: the package holds " + std::to_string(size) + " of its " +
                      std::to_string(signedLength) + " signed bytes");
    }

    SignedStreamScanner scanner;
    std::vector<uint8_t> buffer(kBufferSize);
    if (!reader->seek(0))
    {
        return refuse("    The package cannot be read");
    }
    for (;;)
    {
        const int64_t got = reader->read(buffer.data(), buffer.size());
        if (got <= 0)
        {
            break;
        }
        scanner.feed(buffer.data(), static_cast<size_t>(got));
        bytesRead_ += got;
        if (notifier_ != nullptr)
        {
            notifier_->BytesProcessed(got);
        }
    }
    if (bytesRead_ != size)
    {
        return refuse("    The package could not be read to its end");
    }
    const SignedStreamScanner::Outcome outcome = scanner.finish();
    if (outcome != SignedStreamScanner::Outcome::kSigned)
    {
        return refuse(refusalOf(outcome));
    }
    if (static_cast<uint64_t>(size) != signedLength)
    {
        return refuse("    The package length differs from the signed length");
    }
    if (scanner.scheme() != kSchemeEd25519Sha512)
    {
        return refuse("    Unsupported signature scheme " + std::to_string(scanner.scheme()));
    }
    const Ed25519Key::KeyId id = scanner.keyId();
    const std::string idText = Ed25519Key::hex(id.data(), id.size());
    const Ed25519Key* key = keys.find(id);
    if (key == nullptr)
    {
        return refuse("    Unknown key " + idText);
    }
    const std::vector<uint8_t> message = scanner.signedMessage();
    if (!key->verify(message.data(), message.size(), scanner.signature()))
    {
        return refuse("    Bad signature by key " + idText);
    }
    detail_ = "    Signed by key " + idText;
    return true;
}

}  // namespace vex::pkg
