#pragma once

// A signed package as a channel publishes it, for tests of the fetch client: the package's bytes and the
// channel's release entry for it (version, compatibility, length, index length and digest), computed from
// the package the way the publishing tool computes them.

#include "fleet/ChannelDocument.h"
#include "pkg/trust/Ed25519Key.h"
#include "pkg/trust/Sha256.h"
#include "pkg/writer/PackageSigner.h"
#include "pkg/writer/PackageWriter.h"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace test_support
{
struct PublishedRelease
{
    std::string bytes;
    vex::fleet::ChannelRelease release;
};

inline std::string sha256Hex(const std::string& bytes)
{
    vex::pkg::Sha256 sha;
    vex::pkg::Sha256::Digest digest{};
    if (!sha.digest(bytes.data(), bytes.size(), digest))
        return std::string();
    return vex::pkg::Ed25519Key::hex(digest.data(), digest.size());
}

// Writes at `path` a USER package for `compatibility` holding a header, a script, a small file and a file of
// `largeFileBytes` bytes (which spans several index blocks when larger than one), signed by `key` as
// `version`; fills `published` from it. `seed` varies the large file's bytes. False with `error` set on
// failure.
inline bool publishRelease(const std::string& path, const vex::pkg::Ed25519Key& key,
                           const std::string& version, size_t largeFileBytes, PublishedRelease& published,
                           std::string& error, const std::vector<std::string>& compatibility = {"VX20A01"},
                           uint32_t seed = 1)
{
    using vex::pkg::writer::PackageWriter;
    PackageWriter writer;
    if (!writer.open(path, 0))
    {
        error = "cannot create " + path;
        return false;
    }
    PackageWriter::Header header;
    header.compatibility = compatibility;
    header.creationDate = "01/02/2026";
    header.creationTime = "10.30";
    writer.addHeader(header);
    const std::string script = "echo ready\n";
    writer.addScript("pre.sh", PackageWriter::Bytes(script.begin(), script.end()));
    PackageWriter::FileInfo file;
    file.path = "/kelda_usr/sample/a.txt";
    writer.addFile(file, PackageWriter::Bytes(10, 'a'));
    PackageWriter::Bytes large(largeFileBytes);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : large)
    {
        state = state * 1664525u + 1013904223u;
        byte = uint8_t(state >> 24);
    }
    file.path = "/kelda_usr/sample/large.bin";
    writer.addFile(file, large);
    if (!writer.close())
    {
        error = "cannot write " + path;
        return false;
    }
    vex::pkg::writer::PackageSigner::Release release;
    release.hasVersion = vex::pkg::PackageVersion::parse(version, release.version);
    if (!vex::pkg::writer::PackageSigner::sign(path, key, release, error))
        return false;
    vex::pkg::writer::PackageSigner::Inspection inspection;
    if (!vex::pkg::writer::PackageSigner::inspect(path, inspection, error) || !inspection.index)
    {
        error = "the signed package has no index: " + error;
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    published.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const vex::pkg::PackageIndex& index = *inspection.index;
    vex::fleet::ChannelRelease& entry = published.release;
    entry.version = index.version();
    entry.compatibility = index.compatibility();
    entry.length = uint64_t(index.streamLength());
    entry.indexLength = uint64_t(index.dataStart());
    entry.indexSha256 = sha256Hex(published.bytes.substr(0, size_t(entry.indexLength)));
    entry.path = "packages/" + sha256Hex(published.bytes) + ".pkg";
    entry.minInstaller = index.minInstaller();
    entry.rollout = 100;
    if (entry.length != published.bytes.size())
    {
        error = "the package's length differs from its index";
        return false;
    }
    return true;
}

}  // namespace test_support
