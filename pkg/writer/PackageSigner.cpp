#include "pkg/writer/PackageSigner.h"

#include "base/ByteOrder.h"
#include "base/UniqueFd.h"
#include "base/UniqueFile.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/read/PackageParts.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vex::pkg::writer
{
using namespace PackageFormat;
using namespace SignatureFormat;

namespace
{
bool fail(std::string& error, const std::string& message)
{
    error = message;
    return false;
}

bool exists(const std::string& path)
{
    boost::system::error_code ec;
    return boost::filesystem::exists(path, ec);
}

// A new file, created with `mode` (before the umask), never replacing an existing one.
base::UniqueFile createNew(const std::string& path, mode_t mode)
{
    return base::StreamOf(base::UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode)),
                          "wb");
}

bool openParts(const std::vector<std::string>& parts, MultipleFileReader& reader, std::string& error)
{
    if (parts.empty() || !exists(parts.front()))
    {
        return fail(error, "no package at " + (parts.empty() ? std::string() : parts.front()));
    }
    for (const std::string& part : parts)
    {
        if (!reader.addFile(part))
        {
            return fail(error, "cannot read " + part);
        }
    }
    return true;
}

// Feeds the stream from `from` up to `to` (exclusive) to the scanner.
bool feed(MultipleFileReader& reader, SignedStreamScanner& scanner, int64_t from, int64_t to)
{
    std::vector<uint8_t> buffer(1 << 20);
    if (!reader.seek(static_cast<uint64_t>(from)))
    {
        return false;
    }
    for (int64_t at = from; at < to;)
    {
        const int64_t got =
            reader.read(buffer.data(), static_cast<uint64_t>(std::min<int64_t>(to - at, buffer.size())));
        if (got <= 0)
        {
            return false;
        }
        scanner.feed(buffer.data(), static_cast<size_t>(got));
        at += got;
    }
    return true;
}

// The file's bytes at [offset, offset + length); false when it has fewer.
bool readAt(int fd, int64_t offset, std::vector<uint8_t>& bytes, size_t length)
{
    bytes.assign(length, 0);
    size_t done = 0;
    while (done < length)
    {
        const ssize_t got =
            ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
        if (got <= 0)
        {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool writeAt(int fd, int64_t offset, const uint8_t* data, size_t length)
{
    size_t done = 0;
    while (done < length)
    {
        const ssize_t put = ::pwrite(fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (put <= 0)
        {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

// Puts the new lead-in at the start of the first part and `chunk` at `tailOffset` of the last part, which
// ends there afterwards. What those writes replace is read first; if any step fails the old bytes and the
// old length are written back, so the package is left as it was.
bool writeInPlace(const std::string& firstPath, const std::string& lastPath, int64_t tailOffset,
                  int64_t lastLength, const uint8_t* leadIn, const std::vector<uint8_t>& chunk,
                  std::string& error)
{
    base::UniqueFd last(::open(lastPath.c_str(), O_RDWR | O_CLOEXEC));
    if (last.get() < 0)
    {
        return fail(error, "cannot write " + lastPath);
    }
    base::UniqueFd firstOwn(firstPath == lastPath ? -1 : ::open(firstPath.c_str(), O_RDWR | O_CLOEXEC));
    const int first = firstPath == lastPath ? last.get() : firstOwn.get();
    if (first < 0)
    {
        return fail(error, "cannot write " + firstPath);
    }
    // The tail is the old signature chunk (or nothing); a larger one is not a signature this tool made.
    constexpr int64_t kLargestTail = int64_t(1) << 20;
    if (lastLength - tailOffset > kLargestTail)
    {
        return fail(error, "the old signature chunk is too large to replace");
    }
    std::vector<uint8_t> oldLeadIn;
    std::vector<uint8_t> oldTail;
    if (!readAt(first, 0, oldLeadIn, kLeadInSize) ||
        !readAt(last.get(), tailOffset, oldTail, static_cast<size_t>(lastLength - tailOffset)))
    {
        return fail(error, "cannot read the package");
    }
    const int64_t newLength = tailOffset + static_cast<int64_t>(chunk.size());
    if (writeAt(last.get(), tailOffset, chunk.data(), chunk.size()) &&
        ::ftruncate(last.get(), static_cast<off_t>(newLength)) == 0 &&
        writeAt(first, 0, leadIn, kLeadInSize) && ::fsync(last.get()) == 0 && ::fsync(first) == 0)
    {
        return true;
    }
    const std::string why = std::string("cannot write the package: ") + std::strerror(errno);
    writeAt(first, 0, oldLeadIn.data(), oldLeadIn.size());
    writeAt(last.get(), tailOffset, oldTail.data(), oldTail.size());
    if (::ftruncate(last.get(), static_cast<off_t>(lastLength)) != 0)
    {
        return fail(error, why + " (and the package could not be restored)");
    }
    return fail(error, why);
}

}  // namespace

bool PackageSigner::generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                                    std::string& error)
{
    if (exists(privatePath) || exists(publicPath))
    {
        return fail(error, "will not overwrite an existing key file");
    }
    Ed25519Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key.valid())
    {
        return fail(error, "key generation failed");
    }
    base::UniqueFile privateFile = createNew(privatePath, 0600);
    if (!privateFile ||
        PEM_write_PrivateKey(privateFile.get(), key.handle(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        std::fclose(privateFile.release()) != 0)
    {
        return fail(error, "cannot write " + privatePath);
    }
    base::UniqueFile publicFile = createNew(publicPath, 0644);
    if (!publicFile || PEM_write_PUBKEY(publicFile.get(), key.handle()) != 1 ||
        std::fclose(publicFile.release()) != 0)
    {
        return fail(error, "cannot write " + publicPath);
    }
    return true;
}

bool PackageSigner::sign(const std::string& path, const std::string& privateKeyPath, std::string& error)
{
    Ed25519Key key;
    if (!key.loadPrivatePem(privateKeyPath))
    {
        return fail(error, privateKeyPath + " is not an unencrypted Ed25519 private key");
    }
    return sign(path, key, error);
}

bool PackageSigner::sign(const std::string& path, const Ed25519Key& key, std::string& error)
{
    const std::vector<std::string> parts = PackageParts::partPaths(path);
    int64_t contentLength = 0;
    int64_t lastPartStart = 0;
    int64_t lastPartLength = 0;
    SignedStreamScanner signedPart;
    {
        MultipleFileReader reader;
        if (!openParts(parts, reader, error))
        {
            return false;
        }
        boost::system::error_code ec;
        lastPartLength = static_cast<int64_t>(boost::filesystem::file_size(parts.back(), ec));
        if (ec)
        {
            return fail(error, "cannot read " + parts.back());
        }
        lastPartStart = reader.size() - lastPartLength;

        // First pass: where the content ends (before a signature to replace).
        SignedStreamScanner scan;
        if (!feed(reader, scan, 0, reader.size()))
        {
            return fail(error, "cannot read the package");
        }
        switch (scan.finish())
        {
            case SignedStreamScanner::Outcome::kNoSignature:
                contentLength = reader.size();
                break;
            case SignedStreamScanner::Outcome::kSigned:
            case SignedStreamScanner::Outcome::kUnsupportedSignature:
                contentLength = scan.signatureOffset();
                break;
            case SignedStreamScanner::Outcome::kTwoSignatures:
            case SignedStreamScanner::Outcome::kBytesAfterSignature:
                return fail(error, "the package has data after its signature");
            default:
                return fail(error, "not a well-formed package");
        }
        if (contentLength < lastPartStart)
        {
            return fail(error, "the old signature does not lie in the last part");
        }
        if (lastPartStart + kMaxPartSize - kChunkSize < contentLength)
        {
            return fail(error, "no room for a signature in the last part");
        }

        // Second pass: the digest of the content as it will be, with the new lead-in.
        uint8_t leadIn[kLeadInSize];
        std::copy(kLeadInMarker, kLeadInMarker + kLeadInMarkerSize, leadIn);
        base::ByteOrder::StoreLe64(leadIn + kLeadInLengthOffset,
                                   static_cast<uint64_t>(contentLength + kChunkSize));
        signedPart.feed(leadIn, sizeof leadIn);
        if (!feed(reader, signedPart, kLeadInSize, contentLength))
        {
            return fail(error, "cannot read the package");
        }
        if (signedPart.finish() != SignedStreamScanner::Outcome::kNoSignature)
        {
            return fail(error, "cannot hash the package");
        }
    }

    const std::vector<uint8_t> message = signedPart.signedMessage();
    Ed25519Key::Signature signature{};
    size_t signatureLength = signature.size();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!key.valid() || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.handle()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &signatureLength, message.data(), message.size()) != 1 ||
        signatureLength != signature.size())
    {
        return fail(error, "the key cannot sign");
    }

    std::vector<uint8_t> chunk(static_cast<size_t>(kChunkSize));
    base::ByteOrder::StoreLe32(chunk.data(), kTypeSignature);
    base::ByteOrder::StoreLe32(chunk.data() + 4, static_cast<uint32_t>(kPayloadSize));
    uint8_t* payload = chunk.data() + kChunkHeaderSize;
    base::ByteOrder::StoreLe32(payload + kSchemeOffset, kSchemeEd25519Sha512);
    std::copy(key.keyId().begin(), key.keyId().end(), payload + kKeyIdOffset);
    std::copy(signature.begin(), signature.end(), payload + kSignatureOffset);

    // Nothing may be half-written: the bytes about to be replaced are kept, and every write is undone when
    // a later one fails, so a failed signing leaves the package as it was.
    return writeInPlace(parts.front(), parts.back(), contentLength - lastPartStart, lastPartLength,
                        signedPart.leadIn().data(), chunk, error);
}

bool PackageSigner::inspect(const std::string& path, Inspection& inspection, std::string& error)
{
    MultipleFileReader reader;
    if (!openParts(PackageParts::partPaths(path), reader, error))
    {
        return false;
    }
    SignedStreamScanner scan;
    if (!feed(reader, scan, 0, reader.size()))
    {
        return fail(error, "cannot read the package");
    }
    inspection = Inspection();
    inspection.outcome = scan.finish();
    if (scan.signatureOffset() >= 0)
    {
        const Ed25519Key::KeyId id = scan.keyId();
        inspection.scheme = scan.scheme();
        inspection.keyId = Ed25519Key::hex(id.data(), id.size());
        inspection.signedBytes = scan.signatureOffset();
    }
    return true;
}

}  // namespace vex::pkg::writer
