#include "pkg/writer/PackageSigner.h"

#include "base/ByteOrder.h"
#include "base/UniqueFd.h"
#include "base/UniqueFile.h"
#include "pkg/items/ItemHeader.h"
#include "pkg/read/ChunkItemSystemFactory.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/read/PackageParts.h"
#include "pkg/read/ReadAt.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/Sha256.h"
#include "pkg/trust/SignedMessage.h"
#include "pkg/writer/PackageWriter.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

struct SourceChunk
{
    uint32_t type = 0;
    int64_t offset = 0;  // of its frame in the stream being signed
    int64_t size = 0;    // payload
};

// The chunks of the stream after its lead-in, frames checked. A leading index and its signature, and an old
// signature at the end, are what signing replaces: they are left out, the old index's payload kept in
// `oldIndex` so that what it said of the release carries over.
bool CollectChunks(MultipleFileReader& reader, std::vector<SourceChunk>& chunks,
                   std::vector<uint8_t>& oldIndex, std::string& error)
{
    const int64_t total = reader.size();
    for (int64_t at = kLeadInSize; at < total;)
    {
        uint8_t header[kChunkHeaderSize];
        if (!reader.seek(static_cast<uint64_t>(at)) || reader.read(header, sizeof header) != kChunkHeaderSize)
        {
            return fail(error, "not a well-formed package: it ends inside a chunk header");
        }
        SourceChunk chunk;
        chunk.type = base::ByteOrder::LoadLe32(header);
        chunk.offset = at;
        chunk.size = static_cast<int32_t>(base::ByteOrder::LoadLe32(header + 4));
        if (chunk.size < 0 || chunk.size > total - at - kChunkHeaderSize)
        {
            return fail(error, "not a well-formed package: the chunk at offset " + std::to_string(at) +
                                   " does not fit in it");
        }
        chunks.push_back(chunk);
        at += kChunkHeaderSize + chunk.size + paddingFor(chunk.size);
    }
    if (!chunks.empty() && chunks.front().type == IndexFormat::kTypeIndex)
    {
        if (chunks.front().size <= IndexFormat::kLargestIndex &&
            !ReadAt(reader, chunks.front().offset + kChunkHeaderSize, chunks.front().size, oldIndex))
        {
            oldIndex.clear();
        }
        chunks.erase(chunks.begin());
        if (!chunks.empty() && chunks.front().type == kTypeSignature)
        {
            chunks.erase(chunks.begin());
        }
    }
    if (!chunks.empty() && chunks.back().type == kTypeSignature)
    {
        chunks.pop_back();
    }
    for (const SourceChunk& chunk : chunks)
    {
        if (chunk.type == kTypeSignature || chunk.type == IndexFormat::kTypeIndex)
        {
            return fail(error, "the package has a signature or an index among its chunks");
        }
    }
    return true;
}

// The package's compatibility list, as its header chunk carries it.
std::vector<std::string> CompatibilityOf(MultipleFileReader& reader, const std::vector<SourceChunk>& chunks)
{
    std::vector<std::string> ids;
    for (const SourceChunk& chunk : chunks)
    {
        if (!isHeaderType(chunk.type))
        {
            continue;
        }
        ChunkItemSystemFactory factory;
        factory.setReader(&reader);
        if (!reader.seek(static_cast<uint64_t>(chunk.offset + kChunkHeaderSize)))
        {
            break;
        }
        std::unique_ptr<IPkgItem> item(factory.create(chunk.type, chunk.size));
        if (const auto* header = dynamic_cast<const ItemHeader*>(item.get()))
        {
            for (const CompatibilityEntry& entry : header->compatibility())
            {
                ids.push_back(entry.text());
            }
        }
        break;
    }
    return ids;
}

// The lengths of the signed package's parts: the old parts keep their lengths, the last one takes what the
// stream grew by, and a last part that would grow past the part size limit goes on in new parts.
bool PartLengths(const std::vector<std::string>& parts, int64_t newTotal, std::vector<int64_t>& lengths,
                 std::string& error)
{
    lengths.clear();
    int64_t remaining = newTotal;
    for (size_t i = 0; i + 1 < parts.size() && remaining > 0; ++i)
    {
        boost::system::error_code ec;
        const auto length = static_cast<int64_t>(boost::filesystem::file_size(parts[i], ec));
        if (ec)
        {
            return fail(error, "cannot read " + parts[i]);
        }
        lengths.push_back(std::min(length, remaining));
        remaining -= lengths.back();
    }
    while (remaining > 0)
    {
        lengths.push_back(std::min(remaining, kMaxPartSize));
        remaining -= lengths.back();
    }
    if (lengths.size() > 1 && !PackageParts::isFirstPart(parts.front()))
    {
        return fail(error, "the signed package would be larger than one part may be; write it split");
    }
    if (lengths.size() > static_cast<size_t>(PackageParts::kLastIndex))
    {
        return fail(error, "the signed package would need more than " +
                               std::to_string(PackageParts::kLastIndex) + " parts");
    }
    return true;
}

// The new parts, written beside the old ones as NAME.signing and renamed over them once complete.
class NewParts
{
public:
    NewParts(const std::string& first, const std::vector<int64_t>& lengths)
    {
        int64_t start = 0;
        for (size_t i = 0; i < lengths.size(); ++i)
        {
            names_.push_back(i == 0 ? first : PackageParts::partName(first, static_cast<int>(i) + 1));
            starts_.push_back(start);
            start += lengths[i];
        }
        lengths_ = lengths;
    }
    ~NewParts()
    {
        if (!committed_)
        {
            for (const std::string& name : names_)
            {
                ::unlink((name + kSuffix).c_str());
            }
        }
    }
    NewParts(const NewParts&) = delete;
    NewParts& operator=(const NewParts&) = delete;

    bool open(std::string& error)
    {
        for (const std::string& name : names_)
        {
            const std::string temporary = name + kSuffix;
            ::unlink(temporary.c_str());
            fds_.emplace_back(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
            if (fds_.back().get() < 0)
            {
                return fail(error, "cannot write " + temporary + ": " + std::strerror(errno));
            }
        }
        return true;
    }

    // Writes `data` at stream offset `offset`, across part boundaries.
    bool write(int64_t offset, const uint8_t* data, size_t length)
    {
        while (length > 0)
        {
            size_t part = 0;
            while (part + 1 < starts_.size() && starts_[part + 1] <= offset)
            {
                ++part;
            }
            const int64_t inPart = offset - starts_[part];
            const size_t step =
                static_cast<size_t>(std::min<int64_t>(int64_t(length), lengths_[part] - inPart));
            if (step == 0 || !writeAt(fds_[part].get(), inPart, data, step))
            {
                return false;
            }
            offset += static_cast<int64_t>(step);
            data += step;
            length -= step;
        }
        return true;
    }

    // Syncs the new parts and puts them in the old ones' place; old parts past the new last one go.
    bool commit(const std::vector<std::string>& oldParts, std::string& error)
    {
        for (base::UniqueFd& fd : fds_)
        {
            if (::fsync(fd.get()) != 0)
            {
                return fail(error, std::string("cannot write the package: ") + std::strerror(errno));
            }
        }
        fds_.clear();
        for (const std::string& name : names_)
        {
            if (::rename((name + kSuffix).c_str(), name.c_str()) != 0)
            {
                return fail(error, "cannot replace " + name + ": " + std::strerror(errno));
            }
        }
        committed_ = true;
        for (size_t i = names_.size(); i < oldParts.size(); ++i)
        {
            ::unlink(oldParts[i].c_str());
        }
        const std::string folder = boost::filesystem::path(names_.front()).parent_path().string();
        base::UniqueFd directory(
            ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (directory.get() >= 0)
        {
            ::fsync(directory.get());
        }
        return true;
    }

private:
    static constexpr const char* kSuffix = ".signing";
    std::vector<std::string> names_;
    std::vector<int64_t> starts_;
    std::vector<int64_t> lengths_;
    std::vector<base::UniqueFd> fds_;
    bool committed_ = false;
};

// The lead-in and the index chunk: everything the signature signs.
std::vector<uint8_t> SignedPrefix(const PackageIndex& index)
{
    const std::vector<uint8_t> payload = index.serialize();
    std::vector<uint8_t> prefix(static_cast<size_t>(kLeadInSize + kChunkHeaderSize), 0);
    std::copy(IndexFormat::kLeadInMarker, IndexFormat::kLeadInMarker + IndexFormat::kLeadInMarkerSize,
              prefix.begin());
    base::ByteOrder::StoreLe64(prefix.data() + IndexFormat::kLeadInLengthOffset,
                               static_cast<uint64_t>(index.streamLength()));
    base::ByteOrder::StoreLe32(prefix.data() + kLeadInSize, IndexFormat::kTypeIndex);
    base::ByteOrder::StoreLe32(prefix.data() + kLeadInSize + 4, static_cast<uint32_t>(payload.size()));
    prefix.insert(prefix.end(), payload.begin(), payload.end());
    prefix.resize(prefix.size() + static_cast<size_t>(paddingFor(static_cast<int64_t>(payload.size()))), 0);
    return prefix;
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
    return sign(path, key, Release(), error);
}

bool PackageSigner::sign(const std::string& path, const Ed25519Key& key, const Release& release,
                         std::string& error)
{
    if (!key.valid())
    {
        return fail(error, "the key cannot sign");
    }
    const std::vector<std::string> parts = PackageParts::partPaths(path);
    MultipleFileReader reader;
    if (!openParts(parts, reader, error))
    {
        return false;
    }
    std::vector<SourceChunk> chunks;
    std::vector<uint8_t> oldPayload;
    if (!CollectChunks(reader, chunks, oldPayload, error))
    {
        return false;
    }
    PackageIndex old;
    std::string why;
    const bool hadIndex =
        !oldPayload.empty() && PackageIndex::parse(oldPayload.data(), oldPayload.size(), old, why);

    // The index's size depends on the chunks' lengths alone, so the layout is known before a byte is hashed.
    PackageIndex index(IndexFormat::kBlockSize);
    index.setVersion(release.hasVersion ? release.version : hadIndex ? old.version() : PackageVersion());
    index.setMinInstaller(release.hasMinInstaller ? release.minInstaller
                          : hadIndex              ? old.minInstaller()
                                                  : InstallerVersion());
    index.setCompatibility(CompatibilityOf(reader, chunks));
    for (const SourceChunk& chunk : chunks)
    {
        index.addChunk(chunk.type, 0, kChunkHeaderSize + chunk.size + paddingFor(chunk.size));
    }
    const int64_t payloadSize = index.payloadSize();
    if (payloadSize < 0)
    {
        return fail(error, "the package has too many chunks for a signed index of at most " +
                               std::to_string(IndexFormat::kLargestIndex >> 20) + " MiB");
    }
    const int64_t dataStart =
        kLeadInSize + kChunkHeaderSize + payloadSize + paddingFor(payloadSize) + kChunkSize;
    PackageIndex laidOut(IndexFormat::kBlockSize);
    laidOut.setVersion(index.version());
    laidOut.setMinInstaller(index.minInstaller());
    laidOut.setCompatibility(index.compatibility());
    int64_t at = dataStart;
    for (const PackageIndex::Chunk& chunk : index.chunks())
    {
        laidOut.addChunk(chunk.type, at, chunk.length);
        at += chunk.length;
    }
    laidOut.setStream(dataStart, at);

    std::vector<int64_t> lengths;
    if (!PartLengths(parts, at, lengths, error))
    {
        return false;
    }
    NewParts out(parts.front(), lengths);
    if (!out.open(error))
    {
        return false;
    }

    // The chunks, copied block by block and hashed as they are written. A last chunk stored without its
    // padding gets it, so that every chunk of a signed package has the length its frame implies.
    Sha256 sha;
    std::vector<uint8_t> block;
    for (size_t i = 0; i < chunks.size(); ++i)
    {
        const PackageIndex::Chunk& entry = laidOut.chunks()[i];
        // Only a last chunk can end before its padding does.
        const int64_t available = std::min<int64_t>(entry.length, reader.size() - chunks[i].offset);
        for (uint32_t b = 0; b < entry.blocks; ++b)
        {
            const int64_t from = int64_t(b) * laidOut.blockSize();
            const int64_t length = std::min<int64_t>(laidOut.blockSize(), entry.length - from);
            const int64_t readable = std::max<int64_t>(0, std::min<int64_t>(length, available - from));
            if (!ReadAt(reader, chunks[i].offset + from, readable, block))
            {
                return fail(error, "cannot read the package");
            }
            block.resize(static_cast<size_t>(length), 0);
            PackageIndex::Digest digest;
            if (!sha.digest(block.data(), block.size(), digest))
            {
                return fail(error, "cannot hash the package");
            }
            laidOut.setDigest(i, b, digest);
            if (!out.write(entry.offset + from, block.data(), block.size()))
            {
                return fail(error, std::string("cannot write the package: ") + std::strerror(errno));
            }
        }
    }

    const std::vector<uint8_t> prefix = SignedPrefix(laidOut);
    std::vector<uint8_t> message;
    if (!SignedMessage(IndexFormat::kSignedContext, prefix.data(), prefix.size(), message))
    {
        return fail(error, "cannot hash the package");
    }
    Ed25519Key::Signature signature{};
    size_t signatureLength = signature.size();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.handle()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &signatureLength, message.data(), message.size()) != 1 ||
        signatureLength != signature.size())
    {
        return fail(error, "the key cannot sign");
    }
    std::vector<uint8_t> chunk(static_cast<size_t>(kChunkSize));
    base::ByteOrder::StoreLe32(chunk.data(), kTypeSignature);
    base::ByteOrder::StoreLe32(chunk.data() + 4, static_cast<uint32_t>(kPayloadSize));
    uint8_t* payload = chunk.data() + kChunkHeaderSize;
    base::ByteOrder::StoreLe32(payload + kSchemeOffset, IndexFormat::kSchemeEd25519Index);
    std::copy(key.keyId().begin(), key.keyId().end(), payload + kKeyIdOffset);
    std::copy(signature.begin(), signature.end(), payload + kSignatureOffset);
    if (!out.write(0, prefix.data(), prefix.size()) ||
        !out.write(static_cast<int64_t>(prefix.size()), chunk.data(), chunk.size()))
    {
        return fail(error, std::string("cannot write the package: ") + std::strerror(errno));
    }
    return out.commit(parts, error);
}

bool PackageSigner::inspect(const std::string& path, Inspection& inspection, std::string& error)
{
    MultipleFileReader reader;
    if (!openParts(PackageParts::partPaths(path), reader, error))
    {
        return false;
    }
    inspection = Inspection();
    std::vector<uint8_t> leadIn;
    if (ReadAt(reader, 0, kLeadInSize, leadIn) &&
        std::memcmp(leadIn.data(), IndexFormat::kLeadInMarker, IndexFormat::kLeadInMarkerSize) == 0)
    {
        // Shown as it stands: listing says what a package claims, verifying whether it holds.
        inspection.outcome = SignedStreamScanner::Outcome::kBadChunk;
        std::vector<uint8_t> frame;
        if (!ReadAt(reader, kLeadInSize, kChunkHeaderSize, frame) ||
            base::ByteOrder::LoadLe32(frame.data()) != IndexFormat::kTypeIndex)
        {
            return true;
        }
        const int64_t size = static_cast<int32_t>(base::ByteOrder::LoadLe32(frame.data() + 4));
        std::vector<uint8_t> payload;
        std::vector<uint8_t> signature;
        const int64_t indexEnd = kLeadInSize + kChunkHeaderSize + size + paddingFor(size);
        if (size < 0 || size > IndexFormat::kLargestIndex ||
            !ReadAt(reader, kLeadInSize + kChunkHeaderSize, size, payload) ||
            !ReadAt(reader, indexEnd, kChunkSize, signature) ||
            base::ByteOrder::LoadLe32(signature.data()) != kTypeSignature)
        {
            return true;
        }
        auto index = std::make_shared<PackageIndex>();
        std::string why;
        if (!PackageIndex::parse(payload.data(), payload.size(), *index, why))
        {
            return true;
        }
        const uint8_t* fields = signature.data() + kChunkHeaderSize;
        inspection.outcome = SignedStreamScanner::Outcome::kSigned;
        inspection.scheme = base::ByteOrder::LoadLe32(fields + kSchemeOffset);
        inspection.keyId = Ed25519Key::hex(fields + kKeyIdOffset, kKeyIdSize);
        inspection.signedBytes = indexEnd;
        inspection.index = std::move(index);
        return true;
    }
    SignedStreamScanner scan;
    if (!feed(reader, scan, 0, reader.size()))
    {
        return fail(error, "cannot read the package");
    }
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
