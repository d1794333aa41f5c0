#pragma once

#include "base/UniqueFile.h"
#include "pkg/read/PackageFormat.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vex::pkg::writer
{
// Writes update packages: the lead-in, then one chunk per item, in the order the add* calls are made. The
// output is one file, or part files of a chosen size named as PackageParts says, the names the installer
// reads.
//
// Every call returns false once anything has failed (the error is sticky), so a caller may make all its
// calls and check `close()` only. Nothing throws.
class PackageWriter
{
public:
    using Bytes = std::vector<uint8_t>;
    using Digest = std::array<uint8_t, PackageFormat::kDigestSize>;
    using LeadIn = std::array<uint8_t, PackageFormat::kLeadInSize>;

    struct Header
    {
        uint32_t chunkType = PackageFormat::kTypeHeader;  // 0 or 1
        // Defaults are the version of the package library this installer understands.
        uint8_t versionA = 4;
        uint8_t versionB = 2;
        uint8_t installMajor = 7;
        uint8_t installMinor = 30;
        bool headerFlag = false;
        uint8_t headerFlagValue = 0;  // 4 bits
        uint16_t packageType = PackageFormat::kPackageUser;
        // Each entry is stored in an 8-byte field; the installer accepts only 7-character texts.
        std::vector<std::string> compatibility;
        std::string text1;
        std::string text2;
        std::string creationDate;  // "MM/DD/YYYY"
        std::string creationTime;  // "hh.mm"
        std::string text5;
        std::string text6;
    };

    // Owner, mode word and condition of a directory or file.
    struct EntryAttributes
    {
        uint16_t uid = 0;
        uint16_t gid = 0;
        uint16_t mode = 0;  // bit layout in PackageFormat (read is the low bit of each group)
        int16_t conditionId = PackageFormat::kNoCondition;
    };

    struct FileInfo
    {
        std::string path;
        std::string date = "01/01/2000";  // "MM/DD/YYYY"
        std::string time = "00.00";       // "hh.mm"
        EntryAttributes attributes;
    };

    // File data stored already encoded (encrypted or compressed by the caller). The digest and size describe
    // the file as installed, after decoding, which the writer cannot work out from the encoded bytes.
    struct EncodedData
    {
        uint8_t encoding = 0;  // PackageFormat::encodingByte(compression, cipher)
        uint32_t installedSize = 0;
        Digest installedDigest{};
        Bytes data;
    };

    struct LinkInfo
    {
        std::string linkPath;
        std::string target;
        uint16_t uid = 0;
        uint16_t gid = 0;
        int16_t conditionId = PackageFormat::kNoCondition;
        bool targetMustExist = false;
    };

    PackageWriter();
    ~PackageWriter();
    PackageWriter(const PackageWriter&) = delete;
    PackageWriter& operator=(const PackageWriter&) = delete;

    // Starts a package at `path`. With `partSize` 0 the package is one file; otherwise `path` must end in
    // "001" and every part holds `partSize` bytes (the last one fewer), at most 2 147 483 647.
    bool open(const std::string& path, int64_t partSize = 0, const LeadIn& leadIn = LeadIn{});

    bool addHeader(const Header& header);
    // `type` is one of the system image types (2 to 14); the image must not be empty.
    bool addSystemImage(uint32_t type, const Bytes& image);
    // The same, streaming the image from a file (root file systems do not have to fit in memory).
    bool addSystemImageFile(uint32_t type, const std::string& sourcePath);
    bool addScript(const std::string& name, const Bytes& script,
                   int16_t conditionId = PackageFormat::kNoCondition);
    bool addDirectory(const std::string& path, const EntryAttributes& attributes);
    // A file stored plain.
    bool addFile(const FileInfo& info, const Bytes& content);
    bool addFileFromDisk(const FileInfo& info, const std::string& sourcePath);
    bool addEncodedFile(const FileInfo& info, const EncodedData& encoded);
    // A file stored as its entry asks: compressed (kCompressionQtZlib, which wins over any cipher), encrypted
    // (kCipherBlowfish or kCipherDes, with the security level's key), or plain. Other codes fail.
    bool addFile(const FileInfo& info, const Bytes& content, uint8_t compression, uint8_t cipher);
    bool addLink(const LinkInfo& link);
    // `installedSize` is what the archive expands to; negative means "the archive's own size".
    bool addTar(const std::string& destination, const Bytes& archive,
                int16_t conditionId = PackageFormat::kNoCondition, int64_t installedSize = -1);
    // Any chunk, framed and padded like the others.
    bool addRawChunk(uint32_t type, const Bytes& payload);
    // Bytes written as they are, without chunk framing: for building deliberately damaged packages.
    bool addRawBytes(const Bytes& bytes);

    // Finishes the last part. Stale parts that would continue this package's name series (left by an
    // earlier, longer package) are removed, as the installer would read them as part of this one.
    bool close();

    bool ok() const { return ok_; }
    // Length of the logical stream written so far, lead-in included.
    int64_t bytesWritten() const { return written_; }
    // Every part file written, in order.
    const std::vector<std::string>& partPaths() const { return parts_; }

    // Payload builders: what add* writes inside the chunk frame.
    static Bytes headerPayload(const Header& header);
    static Bytes systemPayload(const Bytes& image);
    static Bytes scriptPayload(const std::string& name, const Bytes& script, int16_t conditionId);
    static Bytes directoryPayload(const std::string& path, const EntryAttributes& attributes);
    static Bytes filePayload(const FileInfo& info, const EncodedData& encoded);
    static Bytes linkPayload(const LinkInfo& link);
    static Bytes tarPayload(const std::string& destination, const Bytes& archive, int16_t conditionId,
                            uint32_t installedSize);
    // One whole chunk: type, size, payload and padding.
    static Bytes chunk(uint32_t type, const Bytes& payload);

    static Digest digestOf(const Bytes& data);

private:
    bool write(const void* data, size_t length);
    bool writeFrame(uint32_t type, int64_t payloadSize);
    bool writePadding(int64_t payloadSize);
    bool writeChunk(uint32_t type, const Bytes& head, const uint8_t* data, size_t dataLength);
    bool writeChunkFromFile(uint32_t type, const Bytes& head, std::FILE* source, int64_t dataLength);
    bool openNextPart();
    bool fail();

    std::string path_;
    int64_t partSize_ = 0;
    base::UniqueFile file_;
    int64_t partWritten_ = 0;
    int64_t written_ = 0;
    std::vector<std::string> parts_;
    bool ok_ = false;
};

}  // namespace vex::pkg::writer
