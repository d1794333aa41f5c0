#include "pkg/trust/SignatureVerifier.h"

#include "base/ByteOrder.h"
#include "base/InstallProgressNotifierInterface.h"
#include "pkg/read/IStreamReader.h"
#include "pkg/read/ReadAt.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/PackageIndex.h"
#include "pkg/trust/SignedMessage.h"
#include "pkg/trust/TrustedKeys.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace vex::pkg
{
using namespace PackageFormat;
using namespace SignatureFormat;

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

bool SignatureVerifier::readAt(IStreamReader& reader, int64_t offset, int64_t length,
                               std::vector<uint8_t>& bytes)
{
    if (!ReadAt(reader, offset, length, bytes))
    {
        return false;
    }
    bytesRead_ += length;
    if (notifier_ != nullptr)
    {
        notifier_->BytesProcessed(length);
    }
    return true;
}

bool SignatureVerifier::check(IStreamReader* reader)
{
    bytesRead_ = 0;
    detail_.clear();
    index_.reset();
    // Keys are read per run, so a key added or withdrawn takes effect with the next package.
    TrustedKeys keys;
    keys.load(keyDirectory_);
    if (keys.size() == 0)
    {
        // Whatever state the folder is in, no key means no package: never an unsigned acceptance.
        return refuse("    No usable key in " + keyDirectory_ + ": " + keys.problem());
    }
    if (reader == nullptr)
    {
        return refuse("    The package cannot be read");
    }

    // The lead-in says how the package was signed and how long it was then, so that a missing part is
    // named as such before anything else is read.
    const int64_t size = reader->size();
    std::vector<uint8_t> prefix;
    if (size < kLeadInSize || !readAt(*reader, 0, kLeadInSize, prefix))
    {
        return refuse("    No signature");
    }
    if (std::memcmp(prefix.data(), SignatureFormat::kLeadInMarker, SignatureFormat::kLeadInMarkerSize) == 0)
    {
        return refuse(
            "    Signed with the signature at the end, which this installer no longer accepts: "
            "sign the package again with vex-pkg sign");
    }
    if (std::memcmp(prefix.data(), IndexFormat::kLeadInMarker, IndexFormat::kLeadInMarkerSize) != 0)
    {
        return refuse("    No signature");
    }
    const uint64_t signedLength = base::ByteOrder::LoadLe64(prefix.data() + IndexFormat::kLeadInLengthOffset);
    if (static_cast<uint64_t>(size) < signedLength)
    {
        return refuse("    A part is missing: the package holds " + std::to_string(size) + " of its " +
                      std::to_string(signedLength) + " signed bytes");
    }
    if (static_cast<uint64_t>(size) != signedLength)
    {
        return refuse("    The package length differs from the signed length");
    }

    // The index chunk, read once into memory: the signature is checked over these very bytes, and they are
    // the ones parsed, so nothing read from the medium later can change what was vouched for.
    std::vector<uint8_t> frame;
    if (!readAt(*reader, kLeadInSize, kChunkHeaderSize, frame) ||
        base::ByteOrder::LoadLe32(frame.data()) != IndexFormat::kTypeIndex)
    {
        return refuse("    No signed index");
    }
    const int64_t indexSize = static_cast<int32_t>(base::ByteOrder::LoadLe32(frame.data() + 4));
    if (indexSize < IndexFormat::kFixedSize || indexSize > IndexFormat::kLargestIndex)
    {
        return refuse(indexSize > IndexFormat::kLargestIndex
                          ? "    The signed index is larger than " +
                                std::to_string(IndexFormat::kLargestIndex >> 20) + " MiB"
                          : "    The signed index is malformed: its size is impossible");
    }
    const int64_t indexEnd = kLeadInSize + kChunkHeaderSize + indexSize + paddingFor(indexSize);
    std::vector<uint8_t> rest;
    if (indexEnd + kChunkSize > size ||
        !readAt(*reader, kLeadInSize + kChunkHeaderSize, indexEnd - kLeadInSize - kChunkHeaderSize, rest))
    {
        return refuse("    The package ends inside its signed index");
    }
    prefix.insert(prefix.end(), frame.begin(), frame.end());
    prefix.insert(prefix.end(), rest.begin(), rest.end());

    std::vector<uint8_t> signature;
    if (!readAt(*reader, indexEnd, kChunkSize, signature) ||
        base::ByteOrder::LoadLe32(signature.data()) != kTypeSignature ||
        base::ByteOrder::LoadLe32(signature.data() + 4) != static_cast<uint32_t>(kPayloadSize))
    {
        return refuse("    No signature after the signed index");
    }
    const uint8_t* payload = signature.data() + kChunkHeaderSize;
    const uint32_t scheme = base::ByteOrder::LoadLe32(payload + kSchemeOffset);
    if (scheme != IndexFormat::kSchemeEd25519Index)
    {
        return refuse("    Unsupported signature scheme " + std::to_string(scheme));
    }
    Ed25519Key::KeyId id{};
    std::copy(payload + kKeyIdOffset, payload + kKeyIdOffset + kKeyIdSize, id.begin());
    Ed25519Key::Signature value{};
    std::copy(payload + kSignatureOffset, payload + kSignatureOffset + kSignatureSize, value.begin());
    const std::string idText = Ed25519Key::hex(id.data(), id.size());
    const Ed25519Key* key = keys.find(id);
    if (key == nullptr)
    {
        return refuse("    Unknown key " + idText);
    }
    std::vector<uint8_t> message;
    if (!SignedMessage(IndexFormat::kSignedContext, prefix.data(), prefix.size(), message))
    {
        return refuse("    The package digest could not be computed");
    }
    if (!key->verify(message.data(), message.size(), value))
    {
        return refuse("    Bad signature by key " + idText);
    }

    // Signed, so what follows is the signer's word; it is still checked, as a signer's tool may be wrong.
    auto index = std::make_shared<PackageIndex>();
    std::string why;
    const uint8_t* indexBytes = prefix.data() + kLeadInSize + kChunkHeaderSize;
    if (!PackageIndex::parse(indexBytes, static_cast<size_t>(indexSize), *index, why))
    {
        return refuse("    The signed index is malformed: " + why);
    }
    if (index->streamLength() != size || index->dataStart() != indexEnd + kChunkSize)
    {
        return refuse("    The signed index does not describe this package");
    }
    if (InstallerVersion::Current() < index->minInstaller())
    {
        return refuse("    This package needs installer version " + index->minInstaller().text() +
                      " or later (this is " + InstallerVersion::Current().text() + ")");
    }
    index_ = std::move(index);
    detail_ = "    Signed by key " + idText;
    return true;
}

}  // namespace vex::pkg
