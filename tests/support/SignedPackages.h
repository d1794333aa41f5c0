#pragma once

// Helpers for tests of signed packages: signing keys made in a test's directory, a small package with every
// kind of chunk (and padding), whole-file byte access, and verifying a package the way the installer does.

#include "base/ByteOrder.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/IndexedStreamReader.h"
#include "pkg/trust/SignatureVerifier.h"
#include "pkg/writer/PackageSigner.h"
#include "tests/support/WriteAndLoadPackage.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

namespace test_support
{
// A key pair: the private key at `privatePath`, the public key at `publicPath`.
inline void makeKeyPair(const std::string& privatePath, const std::string& publicPath)
{
    boost::system::error_code ec;
    boost::filesystem::create_directories(boost::filesystem::path(publicPath).parent_path(), ec);
    std::string error;
    ASSERT_TRUE(vex::pkg::writer::PackageSigner::generateKeyPair(privatePath, publicPath, error)) << error;
}

// A USER package with a header, a script, a directory, a plain and a compressed file and an unknown chunk;
// several payloads leave padding.
inline bool writeSamplePackage(const std::string& path, int64_t partSize = 0)
{
    return writePackage(
        path,
        [](vex::pkg::writer::PackageWriter& w)
        {
            vex::pkg::writer::PackageWriter::Header header;
            header.creationDate = "01/02/2026";
            header.creationTime = "10.30";
            w.addHeader(header);
            w.addScript("pre.sh", bytesOf("echo ready\n"));
            w.addDirectory("/kelda_usr/sample", {});
            vex::pkg::writer::PackageWriter::FileInfo file;
            file.path = "/kelda_usr/sample/a.txt";
            w.addFile(file, bytesOf("plain text"));
            file.path = "/kelda_usr/sample/b.txt";
            w.addFile(file, Bytes(300, 'b'), vex::pkg::PackageFormat::kCompressionQtZlib,
                      vex::pkg::PackageFormat::kCipherNone);
            w.addRawChunk(77, bytesOf("odd"));
        },
        partSize);
}

inline Bytes fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void appendBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Gives the package at `path` the signature of the older format: a "VPKGSIG1" lead-in and a signature chunk
// at the end. Its key ID and signature are zeros: enough for what reads the layout, never a valid signature.
inline void addTrailingSignature(const std::string& path)
{
    Bytes bytes = fileBytes(path);
    namespace format = vex::pkg::SignatureFormat;
    Bytes payload(format::kPayloadSize, 0);
    vex::base::ByteOrder::StoreLe32(payload.data() + format::kSchemeOffset, format::kSchemeEd25519Sha512);
    const Bytes chunk = vex::pkg::writer::PackageWriter::chunk(format::kTypeSignature, payload);
    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    std::copy(format::kLeadInMarker, format::kLeadInMarker + format::kLeadInMarkerSize, bytes.begin());
    vex::base::ByteOrder::StoreLe64(bytes.data() + format::kLeadInLengthOffset, bytes.size());
    writeBytes(path, bytes);
}

struct Verdict
{
    bool accepted = false;
    std::string detail;
    int64_t bytes = 0;
    // Every byte after the index read through the index's checking reader: whether all of it was the
    // signed bytes (false when the package was refused).
    bool contentIntact = false;
    std::string contentFailure;
};

// The package at `path` (with its parts) through the signature verifier, trusting the keys in `keys`.
inline Verdict verifyPackage(const std::string& path, const std::string& keys)
{
    vex::pkg::MultipleFileReader reader;
    for (const std::string& part : vex::pkg::PackageParts::partPaths(path))
    {
        if (!reader.addFile(part))
        {
            break;
        }
    }
    vex::pkg::SignatureVerifier verifier(keys, nullptr);
    Verdict verdict;
    verdict.accepted = verifier.verify(&reader);
    verdict.detail = verifier.resultDetail();
    verdict.bytes = verifier.bytesToProcess();
    if (const auto index = verifier.signedIndex())
    {
        vex::pkg::IndexedStreamReader checked(reader, index);
        Bytes buffer(1 << 16);
        int64_t total = 0;
        for (int64_t got = 0; (got = checked.read(buffer.data(), buffer.size())) > 0;)
        {
            total += got;
        }
        verdict.contentIntact = !checked.failed() && total == index->streamLength() - index->dataStart();
        verdict.contentFailure = checked.failure();
    }
    return verdict;
}
}  // namespace test_support
