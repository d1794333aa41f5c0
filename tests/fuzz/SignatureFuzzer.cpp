// A signed package with mutated bytes, as one to four part files (the first input byte's low two bits give
// the count, the rest is the package split evenly). Checked: the installer's verifier, with two trusted keys
// fixed at start, counts exactly the bytes it read and accepts only what a trusted key signed; the index it
// vouches for makes the checking reader hand out only the package's own bytes, all of them or up to the
// first block that differs; the stream scanner judges the stream the same whatever pieces it is fed in; and
// re-signing either gives a package the verifier accepts, whose every byte reads back through the checking
// reader (or one refused only for asking for a newer installer), or leaves every part as it was.

#include "base/InstallProgressNotifierInterface.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/read/PackageParts.h"
#include "pkg/trust/Ed25519Key.h"
#include "pkg/trust/IndexedStreamReader.h"
#include "pkg/trust/SignatureVerifier.h"
#include "pkg/trust/SignedStreamScanner.h"
#include "pkg/writer/PackageSigner.h"
#include "pkg/writer/PackageWriter.h"
#include "tests/fuzz/FixedKeys.h"
#include "tests/fuzz/FuzzTarget.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace vex::base;
using namespace vex::pkg;
using namespace vex::pkg::writer;

namespace
{
using Bytes = std::vector<uint8_t>;

class CountingNotifier : public InstallProgressNotifierInterface
{
public:
    void BytesProcessed(long long bytes) override { total += bytes; }
    void BytesToProcess(long long) override {}
    void StatusMessage(const char*) override {}
    void ErrorMessage(const char*) override {}
    long long total = 0;
};

struct Setup
{
    Setup()
    {
        boost::filesystem::create_directories(keyDirectory);
        boost::filesystem::create_directories(packageDirectory);
        FUZZ_REQUIRE(signer.valid());
        FUZZ_REQUIRE(fuzz::writePublicPem(signer, keyDirectory + "/one.pem"));
        FUZZ_REQUIRE(fuzz::writePublicPem(fuzz::fixedKey(2), keyDirectory + "/two.pem"));
    }
    const std::string keyDirectory = fuzz::scratchDirectory() + "/keys";
    const std::string packageDirectory = fuzz::scratchDirectory() + "/package";
    const Ed25519Key signer = fuzz::fixedKey(1);
};

Bytes slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> layOut(const std::string& folder, uint8_t layout, const uint8_t* package,
                                size_t size)
{
    const int parts = (layout & 0x03) + 1;
    if (parts == 1)
    {
        fuzz::writeFile(folder + "/update.pkg", package, size);
        return {folder + "/update.pkg"};
    }
    std::vector<std::string> paths;
    const size_t share = size / parts;
    for (int index = 1; index <= parts; ++index)
    {
        paths.push_back(PackageParts::partName(folder + "/update.001", index));
        const size_t from = share * (index - 1);
        fuzz::writeFile(paths.back(), package + from, index == parts ? size - from : share);
    }
    return paths;
}

// Every byte after the index through the checking reader, compared with the parts' own bytes. True when the
// reader delivered the whole indexed range; otherwise it must have said which block failed.
bool readThrough(MultipleFileReader& reader, const std::shared_ptr<const PackageIndex>& index)
{
    const int64_t start = index->dataStart();
    const int64_t length = index->streamLength() - start;
    Bytes expected(static_cast<size_t>(length));
    FUZZ_REQUIRE(reader.seek(static_cast<uint64_t>(start)));
    for (int64_t done = 0; done < length;)
    {
        const int64_t got = reader.read(expected.data() + done, static_cast<uint64_t>(length - done));
        FUZZ_REQUIRE(got > 0);
        done += got;
    }
    IndexedStreamReader checked(reader, index);
    Bytes delivered;
    Bytes buffer(4099);  // not a divisor of the block size, so that reads straddle blocks
    for (int64_t got = 0; (got = checked.read(buffer.data(), buffer.size())) > 0;)
        delivered.insert(delivered.end(), buffer.begin(), buffer.begin() + got);
    FUZZ_REQUIRE(delivered.size() <= expected.size());
    FUZZ_REQUIRE(std::equal(delivered.begin(), delivered.end(), expected.begin()));
    const bool whole = delivered.size() == expected.size();
    FUZZ_REQUIRE(whole != checked.failed());
    FUZZ_REQUIRE(checked.failed() == !checked.failure().empty());
    return whole;
}

// The verifier over the parts as the installer opens them; its detail line in `detail`. For an accepted
// package, `intact` says whether every byte after the index is the indexed byte.
bool verify(const Setup& setup, const std::vector<std::string>& parts, std::string& detail, bool& intact)
{
    MultipleFileReader reader;
    for (const std::string& part : parts) FUZZ_REQUIRE(reader.addFile(part));
    CountingNotifier notifier;
    SignatureVerifier verifier(setup.keyDirectory, &notifier);
    const bool accepted = verifier.verify(&reader);
    detail = verifier.resultDetail();
    FUZZ_REQUIRE(notifier.total == verifier.bytesToProcess());
    FUZZ_REQUIRE(notifier.total <= reader.size());
    FUZZ_REQUIRE(!detail.empty() && detail.find('\n') == std::string::npos);
    FUZZ_REQUIRE(accepted == (detail.compare(0, 18, "    Signed by key ") == 0));
    FUZZ_REQUIRE(accepted == (verifier.signedIndex() != nullptr));
    intact = false;
    if (accepted)
    {
        // The verifier read the prefix alone, never more than the largest index allows.
        FUZZ_REQUIRE(verifier.signedIndex()->dataStart() == notifier.total);
        intact = readThrough(reader, verifier.signedIndex());
    }
    return accepted;
}

// The same stream fed whole and in pieces whose sizes come from the stream itself.
void scanInPieces(const uint8_t* package, size_t size)
{
    SignedStreamScanner whole;
    whole.feed(package, size);
    const SignedStreamScanner::Outcome outcome = whole.finish();
    SignedStreamScanner pieces;
    for (size_t at = 0; at < size;)
    {
        const size_t piece = std::min<size_t>(size - at, 1 + package[at] % 23);
        pieces.feed(package + at, piece);
        at += piece;
    }
    FUZZ_REQUIRE(pieces.finish() == outcome);
    FUZZ_REQUIRE(pieces.signatureOffset() == whole.signatureOffset());
    FUZZ_REQUIRE(pieces.digest() == whole.digest());
    FUZZ_REQUIRE(pieces.bytesSeen() == static_cast<int64_t>(size));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    static const Setup setup;
    fuzz::emptyDirectory(setup.packageDirectory);
    const std::vector<std::string> parts = layOut(setup.packageDirectory, data[0], data + 1, size - 1);
    scanInPieces(data + 1, size - 1);

    std::string detail;
    bool intact = false;
    const bool accepted = verify(setup, parts, detail, intact);
    PackageSigner::Inspection inspection;
    std::string error;
    FUZZ_REQUIRE(PackageSigner::inspect(parts.front(), inspection, error));
    if (accepted)
        FUZZ_REQUIRE(inspection.outcome == SignedStreamScanner::Outcome::kSigned &&
                     inspection.index != nullptr);

    std::vector<Bytes> before;
    for (const std::string& part : parts) before.push_back(slurp(part));
    const std::vector<std::string> oldParts = PackageParts::partPaths(parts.front());
    if (PackageSigner::sign(parts.front(), setup.signer, error))
    {
        // Signing copies the package's chunks behind a new index; the parts may grow, never go missing.
        FUZZ_REQUIRE(PackageParts::partPaths(parts.front()).size() >= oldParts.size());
        const std::vector<std::string> newParts = PackageParts::partPaths(parts.front());
        PackageSigner::Inspection resigned;
        FUZZ_REQUIRE(PackageSigner::inspect(parts.front(), resigned, error) && resigned.index != nullptr);
        // The release carries over from an index being replaced, so a mutated one may ask for an installer
        // newer than this one: that is then the one reason for refusing it.
        if (InstallerVersion::Current() < resigned.index->minInstaller())
        {
            FUZZ_REQUIRE(!verify(setup, newParts, detail, intact));
            FUZZ_REQUIRE(detail.compare(0, 40, "    This package needs installer version") == 0);
        }
        else
        {
            FUZZ_REQUIRE(verify(setup, newParts, detail, intact));
            FUZZ_REQUIRE(intact);
            const Ed25519Key::KeyId& id = setup.signer.keyId();
            FUZZ_REQUIRE(detail == "    Signed by key " + Ed25519Key::hex(id.data(), id.size()));
        }
    }
    else
    {
        for (size_t i = 0; i < parts.size(); ++i) FUZZ_REQUIRE(slurp(parts[i]) == before[i]);
    }
    return 0;
}
