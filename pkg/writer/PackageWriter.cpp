#include "pkg/writer/PackageWriter.h"
#include "base/ByteOrder.h"

#include "base/UniqueFile.h"
#include "instrument/MD5Algorithm.h"
#include "pkg/read/PackageParts.h"
#include "pkg/writer/PayloadEncoder.h"

#include <boost/filesystem.hpp>

#include <sys/types.h>
#include <algorithm>
#include <cstdio>
#include <limits>

namespace vex::pkg::writer
{
using namespace PackageFormat;

namespace
{
void putU8(PackageWriter::Bytes& out, uint8_t value)
{
    out.push_back(value);
}

void putU16(PackageWriter::Bytes& out, uint16_t value)
{
    base::ByteOrder::AppendLe16(out, value);
}

void putI16(PackageWriter::Bytes& out, int16_t value)
{
    putU16(out, static_cast<uint16_t>(value));
}

void putU32(PackageWriter::Bytes& out, uint32_t value)
{
    base::ByteOrder::AppendLe32(out, value);
}

void putText(PackageWriter::Bytes& out, const std::string& text)
{
    // A NUL inside the text would end it early on reading; keep only what the reader will see.
    const size_t length = std::min(text.size(), text.find('\0'));
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    out.push_back(0);
}

void putBytes(PackageWriter::Bytes& out, const uint8_t* data, size_t length)
{
    out.insert(out.end(), data, data + length);
}

void putEntryWord(PackageWriter::Bytes& out, const PackageWriter::EntryAttributes& attributes)
{
    putU16(out, attributes.uid);
    putU16(out, attributes.gid);
    putU16(out, attributes.mode);
    putI16(out, attributes.conditionId);
}

bool exists(const std::string& path)
{
    boost::system::error_code ec;
    return boost::filesystem::exists(path, ec);
}
}  // namespace

PackageWriter::PackageWriter() = default;

PackageWriter::~PackageWriter()
{
    close();
}

bool PackageWriter::fail()
{
    ok_ = false;
    return false;
}

bool PackageWriter::open(const std::string& path, int64_t partSize, const LeadIn& leadIn)
{
    close();
    path_ = path;
    partSize_ = partSize;
    partWritten_ = 0;
    written_ = 0;
    parts_.clear();
    ok_ = true;
    if (partSize < 0 || partSize > kMaxPartSize || (partSize > 0 && !PackageParts::isFirstPart(path)))
    {
        return fail();
    }
    return openNextPart() && write(leadIn.data(), leadIn.size());
}

bool PackageWriter::openNextPart()
{
    file_.reset();
    const int index = static_cast<int>(parts_.size()) + 1;
    if (index > PackageParts::kLastIndex)
    {
        return fail();
    }
    const std::string name = index == 1 ? path_ : PackageParts::partName(path_, index);
    file_.reset(std::fopen(name.c_str(), "wb"));
    if (!file_)
    {
        return fail();
    }
    parts_.push_back(name);
    partWritten_ = 0;
    return true;
}

bool PackageWriter::write(const void* data, size_t length)
{
    if (!ok_ || !file_)
    {
        return fail();
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (length > 0)
    {
        if (partSize_ > 0 && partWritten_ == partSize_ && !openNextPart())
        {
            return false;
        }
        size_t piece = length;
        if (partSize_ > 0)
        {
            piece = static_cast<size_t>(
                std::min<int64_t>(static_cast<int64_t>(length), partSize_ - partWritten_));
        }
        if (std::fwrite(bytes, 1, piece, file_.get()) != piece)
        {
            return fail();
        }
        bytes += piece;
        length -= piece;
        partWritten_ += static_cast<int64_t>(piece);
        written_ += static_cast<int64_t>(piece);
    }
    return true;
}

bool PackageWriter::close()
{
    if (!file_)
    {
        return ok_;
    }
    if (std::fclose(file_.release()) != 0)
    {
        ok_ = false;
    }
    if (partSize_ > 0)
    {
        for (int index = static_cast<int>(parts_.size()) + 1; index <= PackageParts::kLastIndex; ++index)
        {
            const std::string stale = PackageParts::partName(path_, index);
            if (!exists(stale))
            {
                break;
            }
            boost::system::error_code ec;
            boost::filesystem::remove(stale, ec);
            if (ec)
            {
                ok_ = false;
                break;
            }
        }
    }
    return ok_;
}

PackageWriter::Digest PackageWriter::digestOf(const Bytes& data)
{
    instrument::MD5Algorithm md5;
    md5.update(data.data(), data.size());
    md5.finalize();
    Digest digest{};
    md5.digest(digest.data());
    return digest;
}

PackageWriter::Bytes PackageWriter::chunk(uint32_t type, const Bytes& payload)
{
    Bytes out;
    out.reserve(static_cast<size_t>(kChunkHeaderSize) + payload.size() + 3);
    putU32(out, type);
    putU32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    out.resize(out.size() + static_cast<size_t>(paddingFor(static_cast<int64_t>(payload.size()))), 0);
    return out;
}

namespace
{
// What precedes the data in each layout; the data itself is written straight from the caller's buffer or
// file, so a large image is never copied into a payload first.
PackageWriter::Bytes scriptHead(const std::string& name, const PackageWriter::Digest& digest,
                                int16_t conditionId)
{
    PackageWriter::Bytes out;
    putBytes(out, digest.data(), digest.size());
    putI16(out, conditionId);
    putText(out, name);
    return out;
}

PackageWriter::Bytes fileHead(const PackageWriter::FileInfo& info, uint8_t encoding, uint32_t installedSize,
                              const PackageWriter::Digest& digest)
{
    PackageWriter::Bytes out;
    putBytes(out, digest.data(), digest.size());
    putEntryWord(out, info.attributes);
    putU32(out, installedSize);
    putU8(out, encoding);
    putText(out, info.path);
    putText(out, info.date);
    putText(out, info.time);
    return out;
}

PackageWriter::Bytes tarHead(const std::string& destination, const PackageWriter::Digest& digest,
                             int16_t conditionId, uint32_t installedSize)
{
    PackageWriter::Bytes out;
    putBytes(out, digest.data(), digest.size());
    putU32(out, installedSize);
    putI16(out, conditionId);
    putText(out, destination);
    return out;
}

PackageWriter::Bytes joined(PackageWriter::Bytes head, const PackageWriter::Bytes& data)
{
    head.insert(head.end(), data.begin(), data.end());
    return head;
}

// Length of an open file, leaving it at its start; -1 when it cannot be measured.
int64_t measure(std::FILE* file)
{
    if (fseeko(file, 0, SEEK_END) != 0)
    {
        return -1;
    }
    const off_t length = ftello(file);
    if (length < 0 || fseeko(file, 0, SEEK_SET) != 0)
    {
        return -1;
    }
    return static_cast<int64_t>(length);
}

// Digest of the whole file, leaving it at its start. False on a read error.
bool digestFile(std::FILE* file, PackageWriter::Digest& digest)
{
    instrument::MD5Algorithm md5;
    if (!md5.updateFromFile(file))
    {
        return false;
    }
    md5.finalize();
    md5.digest(digest.data());
    return fseeko(file, 0, SEEK_SET) == 0;
}
}  // namespace

PackageWriter::Bytes PackageWriter::headerPayload(const Header& header)
{
    Bytes out;
    putU8(out, header.versionA);
    putU8(out, header.versionB);
    putU8(out, header.installMajor);
    putU8(out, header.installMinor);
    uint32_t flags = header.headerFlag ? kHeaderFlagBit : 0u;
    flags |= (static_cast<uint32_t>(header.headerFlagValue) & kHeaderValueMask) << kHeaderValueShift;
    putU32(out, flags);
    putU16(out, header.packageType);
    putU16(out, static_cast<uint16_t>(header.compatibility.size()));
    for (const std::string& entry : header.compatibility)
    {
        // An 8-byte field: the text, its NUL, zero filler. Longer texts are cut so the layout stays intact.
        uint8_t field[kCompatibilityEntrySize] = {};
        std::copy_n(entry.begin(), std::min<size_t>(entry.size(), sizeof field), field);
        putBytes(out, field, sizeof field);
    }
    putText(out, header.text1);
    putText(out, header.text2);
    putText(out, header.creationDate);
    putText(out, header.creationTime);
    putText(out, header.text5);
    putText(out, header.text6);
    return out;
}

PackageWriter::Bytes PackageWriter::systemPayload(const Bytes& image)
{
    const Digest digest = digestOf(image);
    return joined(Bytes(digest.begin(), digest.end()), image);
}

PackageWriter::Bytes PackageWriter::scriptPayload(const std::string& name, const Bytes& script,
                                                  int16_t conditionId)
{
    return joined(scriptHead(name, digestOf(script), conditionId), script);
}

PackageWriter::Bytes PackageWriter::directoryPayload(const std::string& path,
                                                     const EntryAttributes& attributes)
{
    Bytes out;
    putEntryWord(out, attributes);
    putText(out, path);
    return out;
}

PackageWriter::Bytes PackageWriter::filePayload(const FileInfo& info, const EncodedData& encoded)
{
    return joined(fileHead(info, encoded.encoding, encoded.installedSize, encoded.installedDigest),
                  encoded.data);
}

PackageWriter::Bytes PackageWriter::linkPayload(const LinkInfo& link)
{
    Bytes out;
    putU16(out, link.uid);
    putU16(out, link.gid);
    putI16(out, link.conditionId);
    putU8(out, link.targetMustExist ? 1 : 0);
    putText(out, link.linkPath);
    putText(out, link.target);
    return out;
}

PackageWriter::Bytes PackageWriter::tarPayload(const std::string& destination, const Bytes& archive,
                                               int16_t conditionId, uint32_t installedSize)
{
    return joined(tarHead(destination, digestOf(archive), conditionId, installedSize), archive);
}

bool PackageWriter::writeFrame(uint32_t type, int64_t payloadSize)
{
    if (!ok_ || payloadSize < 0 || payloadSize > kMaxChunkPayload)
    {
        return fail();
    }
    uint8_t frame[kChunkHeaderSize];
    const uint32_t size = static_cast<uint32_t>(payloadSize);
    for (int i = 0; i < 4; ++i)
    {
        frame[i] = static_cast<uint8_t>((type >> (8 * i)) & 0xFFu);
        frame[4 + i] = static_cast<uint8_t>((size >> (8 * i)) & 0xFFu);
    }
    return write(frame, sizeof frame);
}

bool PackageWriter::writePadding(int64_t payloadSize)
{
    static const uint8_t kZeros[4] = {};
    return write(kZeros, static_cast<size_t>(paddingFor(payloadSize)));
}

bool PackageWriter::writeChunk(uint32_t type, const Bytes& head, const uint8_t* data, size_t dataLength)
{
    const int64_t payloadSize = static_cast<int64_t>(head.size()) + static_cast<int64_t>(dataLength);
    return writeFrame(type, payloadSize) && write(head.data(), head.size()) && write(data, dataLength) &&
           writePadding(payloadSize);
}

bool PackageWriter::writeChunkFromFile(uint32_t type, const Bytes& head, std::FILE* source,
                                       int64_t dataLength)
{
    const int64_t payloadSize = static_cast<int64_t>(head.size()) + dataLength;
    if (!writeFrame(type, payloadSize) || !write(head.data(), head.size()))
    {
        return false;
    }
    std::vector<uint8_t> buffer(1u << 20);
    int64_t left = dataLength;
    while (left > 0)
    {
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer.size())));
        // A source that shrank since it was measured would leave the chunk shorter than its frame says.
        if (std::fread(buffer.data(), 1, want, source) != want || !write(buffer.data(), want))
        {
            return fail();
        }
        left -= static_cast<int64_t>(want);
    }
    return writePadding(payloadSize);
}

bool PackageWriter::addRawChunk(uint32_t type, const Bytes& payload)
{
    return writeChunk(type, Bytes(), payload.data(), payload.size());
}

bool PackageWriter::addRawBytes(const Bytes& bytes)
{
    return ok_ ? write(bytes.data(), bytes.size()) : false;
}

bool PackageWriter::addHeader(const Header& header)
{
    if (!isHeaderType(header.chunkType))
    {
        return fail();
    }
    return addRawChunk(header.chunkType, headerPayload(header));
}

bool PackageWriter::addSystemImage(uint32_t type, const Bytes& image)
{
    // The installer refuses a system chunk with no image bytes after the digest.
    if (!isSystemType(type) || image.empty())
    {
        return fail();
    }
    const Digest digest = digestOf(image);
    return writeChunk(type, Bytes(digest.begin(), digest.end()), image.data(), image.size());
}

bool PackageWriter::addSystemImageFile(uint32_t type, const std::string& sourcePath)
{
    base::UniqueFile source(std::fopen(sourcePath.c_str(), "rb"));
    if (!ok_ || !isSystemType(type) || !source)
    {
        return fail();
    }
    const int64_t length = measure(source.get());
    Digest digest{};
    if (length <= 0 || !digestFile(source.get(), digest))
    {
        return fail();
    }
    return writeChunkFromFile(type, Bytes(digest.begin(), digest.end()), source.get(), length);
}

bool PackageWriter::addScript(const std::string& name, const Bytes& script, int16_t conditionId)
{
    return writeChunk(kTypeScript, scriptHead(name, digestOf(script), conditionId), script.data(),
                      script.size());
}

bool PackageWriter::addDirectory(const std::string& path, const EntryAttributes& attributes)
{
    return addRawChunk(kTypeDir, directoryPayload(path, attributes));
}

bool PackageWriter::addFile(const FileInfo& info, const Bytes& content)
{
    if (content.size() > std::numeric_limits<uint32_t>::max())
    {
        return fail();
    }
    const Bytes head = fileHead(info, encodingByte(kCompressionNone, kCipherNone),
                                static_cast<uint32_t>(content.size()), digestOf(content));
    return writeChunk(kTypeFile, head, content.data(), content.size());
}

bool PackageWriter::addFileFromDisk(const FileInfo& info, const std::string& sourcePath)
{
    base::UniqueFile source(std::fopen(sourcePath.c_str(), "rb"));
    if (!ok_ || !source)
    {
        return fail();
    }
    const int64_t length = measure(source.get());
    Digest digest{};
    if (length < 0 || length > static_cast<int64_t>(std::numeric_limits<uint32_t>::max()) ||
        !digestFile(source.get(), digest))
    {
        return fail();
    }
    const Bytes head =
        fileHead(info, encodingByte(kCompressionNone, kCipherNone), static_cast<uint32_t>(length), digest);
    return writeChunkFromFile(kTypeFile, head, source.get(), length);
}

bool PackageWriter::addEncodedFile(const FileInfo& info, const EncodedData& encoded)
{
    const Bytes head = fileHead(info, encoded.encoding, encoded.installedSize, encoded.installedDigest);
    return writeChunk(kTypeFile, head, encoded.data.data(), encoded.data.size());
}

bool PackageWriter::addFile(const FileInfo& info, const Bytes& content, uint8_t compression, uint8_t cipher)
{
    if (compression == kCompressionNone && cipher == kCipherNone)
    {
        return addFile(info, content);
    }
    if (!ok_ || content.size() > std::numeric_limits<uint32_t>::max())
    {
        return fail();
    }
    EncodedData encoded;
    encoded.encoding = encodingByte(compression, cipher);
    encoded.installedSize = static_cast<uint32_t>(content.size());
    encoded.installedDigest = digestOf(content);
    const bool encodedOk =
        compression == kCompressionQtZlib
            ? PayloadEncoder::compress(content.data(), content.size(), encoded.data)
            : compression == kCompressionNone &&
                  PayloadEncoder::encrypt(cipher, content.data(), content.size(), encoded.data);
    return encodedOk ? addEncodedFile(info, encoded) : fail();
}

bool PackageWriter::addLink(const LinkInfo& link)
{
    return addRawChunk(kTypeLink, linkPayload(link));
}

bool PackageWriter::addTar(const std::string& destination, const Bytes& archive, int16_t conditionId,
                           int64_t installedSize)
{
    const int64_t size = installedSize < 0 ? static_cast<int64_t>(archive.size()) : installedSize;
    if (size > static_cast<int64_t>(std::numeric_limits<uint32_t>::max()))
    {
        return fail();
    }
    const Bytes head = tarHead(destination, digestOf(archive), conditionId, static_cast<uint32_t>(size));
    return writeChunk(kTypeTar, head, archive.data(), archive.size());
}

}  // namespace vex::pkg::writer
