#include "pkg/trust/SignedStreamScanner.h"

#include "tests/support/SignedPackages.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

using namespace vex::pkg;
using namespace vex::pkg::writer;

using namespace test_support;
using Outcome = SignedStreamScanner::Outcome;

namespace
{
struct Scan
{
    Outcome outcome;
    int64_t signatureOffset;
    SignedStreamScanner::Digest digest;
    SignedStreamScanner::Payload payload;
};

Scan scan(const Bytes& stream, size_t piece)
{
    SignedStreamScanner scanner;
    for (size_t at = 0; at < stream.size(); at += piece)
    {
        scanner.feed(stream.data() + at, std::min(piece, stream.size() - at));
    }
    const Outcome outcome = scanner.finish();
    EXPECT_EQ(static_cast<int64_t>(stream.size()), scanner.bytesSeen());
    return Scan{outcome, scanner.signatureOffset(), scanner.digest(), scanner.payload()};
}

class SignedStreamScannerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The scanner reads the older layout, with the signature last; the tools still recognise it.
        ASSERT_TRUE(writeSamplePackage(dir / "p.pkg"));
        addTrailingSignature(dir / "p.pkg");
        stream = fileBytes(dir / "p.pkg");
    }

    TempDir dir;
    Bytes stream;
};

// The verifier reads 1 MiB at a time, so a frame, the lead-in or the signature may be cut anywhere between
// two pieces: the result must not depend on where.
TEST_F(SignedStreamScannerTest, PieceSizesDoNotMatter)
{
    const Scan whole = scan(stream, stream.size());
    ASSERT_EQ(Outcome::kSigned, whole.outcome);
    EXPECT_EQ(static_cast<int64_t>(stream.size()) - SignatureFormat::kChunkSize, whole.signatureOffset);
    for (const size_t piece : {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 64, 91, 92, 93, 4096})
    {
        const Scan pieces = scan(stream, piece);
        EXPECT_EQ(Outcome::kSigned, pieces.outcome) << piece;
        EXPECT_EQ(whole.signatureOffset, pieces.signatureOffset) << piece;
        EXPECT_EQ(whole.digest, pieces.digest) << piece;
        EXPECT_EQ(whole.payload, pieces.payload) << piece;
    }
}

// A signed package cut anywhere is never taken for a signed one.
TEST_F(SignedStreamScannerTest, EveryTruncationIsCutShortOrUnsigned)
{
    const int64_t signatureAt = static_cast<int64_t>(stream.size()) - SignatureFormat::kChunkSize;
    for (size_t length = 0; length < stream.size(); ++length)
    {
        const Outcome outcome = scan(Bytes(stream.begin(), stream.begin() + length), 7).outcome;
        // Cut exactly at a chunk boundary the walk ends cleanly, with no signature.
        const bool expected = outcome == Outcome::kCutShort || (outcome == Outcome::kNoSignature &&
                                                                static_cast<int64_t>(length) <= signatureAt);
        EXPECT_TRUE(expected) << "length " << length << " gives " << static_cast<int>(outcome);
    }
}

TEST_F(SignedStreamScannerTest, WithoutSignatureTheDigestCoversTheWholeStream)
{
    const Bytes content(stream.begin(), stream.end() - SignatureFormat::kChunkSize);
    const Scan unsigned_ = scan(content, 5);
    EXPECT_EQ(Outcome::kNoSignature, unsigned_.outcome);
    EXPECT_EQ(-1, unsigned_.signatureOffset);
    // The signature was appended to exactly these bytes, so the digests agree.
    EXPECT_EQ(scan(stream, 11).digest, unsigned_.digest);
}

TEST_F(SignedStreamScannerTest, ANegativeChunkSizeIsABadFrame)
{
    Bytes bad(stream.begin(), stream.begin() + PackageFormat::kLeadInSize);
    const Bytes frame = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    bad.insert(bad.end(), frame.begin(), frame.end());
    EXPECT_EQ(Outcome::kBadChunk, scan(bad, 3).outcome);
}
}  // namespace
