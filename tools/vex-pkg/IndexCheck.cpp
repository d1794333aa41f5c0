#include "tools/vex-pkg/IndexCheck.h"

#include "base/ByteOrder.h"
#include "base/InstallProgressNotifierInterface.h"
#include "pkg/read/MultipleFileReader.h"
#include "pkg/read/PackageFormat.h"
#include "pkg/read/PackageParts.h"
#include "pkg/read/ReadAt.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/IndexedStreamReader.h"
#include "pkg/trust/SignatureFormat.h"
#include "tools/vex-pkg/ToolSupport.h"

#include <cstring>
#include <vector>

namespace vex::tools
{
namespace
{
using namespace pkg::PackageFormat;
namespace IndexFormat = pkg::IndexFormat;
namespace SignatureFormat = pkg::SignatureFormat;

bool OpenParts(const std::string& path, pkg::MultipleFileReader& reader)
{
    for (const std::string& part : pkg::PackageParts::partPaths(path))
        if (!reader.addFile(part))
            return false;
    return true;
}

bool Refuse(std::string& problem, const std::string& text)
{
    problem = text;
    return false;
}
}  // namespace

bool IndexCheck::HasIndex(const std::string& path)
{
    pkg::MultipleFileReader reader;
    std::vector<uint8_t> marker;
    return OpenParts(path, reader) && pkg::ReadAt(reader, 0, IndexFormat::kLeadInMarkerSize, marker) &&
           std::memcmp(marker.data(), IndexFormat::kLeadInMarker, marker.size()) == 0;
}

bool IndexCheck::Load(const std::string& path, std::shared_ptr<const pkg::PackageIndex>& index,
                      std::string& problem)
{
    index.reset();
    pkg::MultipleFileReader reader;
    if (!OpenParts(path, reader))
        return Refuse(problem, "The package cannot be read");
    // The checks and their order are the verifier's, so that a package refused here is refused there with
    // the same words (a missing part named as such before anything else).
    const int64_t size = reader.size();
    std::vector<uint8_t> leadIn;
    if (!pkg::ReadAt(reader, 0, kLeadInSize, leadIn) ||
        std::memcmp(leadIn.data(), IndexFormat::kLeadInMarker, IndexFormat::kLeadInMarkerSize) != 0)
        return Refuse(problem, "No signed index");
    const uint64_t signedLength = base::ByteOrder::LoadLe64(leadIn.data() + IndexFormat::kLeadInLengthOffset);
    if (static_cast<uint64_t>(size) < signedLength)
        return Refuse(problem, "A part is missing: the package holds " + std::to_string(size) + " of its " +
                                   std::to_string(signedLength) + " signed bytes");
    if (static_cast<uint64_t>(size) != signedLength)
        return Refuse(problem, "The package length differs from the signed length");

    std::vector<uint8_t> frame;
    if (!pkg::ReadAt(reader, kLeadInSize, kChunkHeaderSize, frame) ||
        base::ByteOrder::LoadLe32(frame.data()) != IndexFormat::kTypeIndex)
        return Refuse(problem, "No signed index");
    // Checked before anything is allocated for it: the index is held whole, and its size is the package's
    // word.
    const int64_t indexSize = static_cast<int32_t>(base::ByteOrder::LoadLe32(frame.data() + 4));
    if (indexSize > IndexFormat::kLargestIndex)
        return Refuse(problem, "The signed index is larger than " +
                                   std::to_string(IndexFormat::kLargestIndex >> 20) + " MiB");
    if (indexSize < IndexFormat::kFixedSize)
        return Refuse(problem, "The signed index is malformed: its size is impossible");
    const int64_t indexEnd = kLeadInSize + kChunkHeaderSize + indexSize + paddingFor(indexSize);
    std::vector<uint8_t> payload;
    if (indexEnd + SignatureFormat::kChunkSize > size ||
        !pkg::ReadAt(reader, kLeadInSize + kChunkHeaderSize, indexSize, payload))
        return Refuse(problem, "The package ends inside its signed index");
    std::vector<uint8_t> signature;
    if (!pkg::ReadAt(reader, indexEnd, kChunkHeaderSize, signature) ||
        base::ByteOrder::LoadLe32(signature.data()) != SignatureFormat::kTypeSignature ||
        base::ByteOrder::LoadLe32(signature.data() + 4) !=
            static_cast<uint32_t>(SignatureFormat::kPayloadSize))
        return Refuse(problem, "No signature after the signed index");

    auto parsed = std::make_shared<pkg::PackageIndex>();
    std::string why;
    if (!pkg::PackageIndex::parse(payload.data(), payload.size(), *parsed, why))
        return Refuse(problem, "The signed index is malformed: " + why);
    if (parsed->streamLength() != size || parsed->dataStart() != indexEnd + SignatureFormat::kChunkSize)
        return Refuse(problem, "The signed index does not describe this package");
    index = std::move(parsed);
    return true;
}

bool IndexCheck::ReadThrough(const std::string& path, const std::shared_ptr<const pkg::PackageIndex>& index,
                             base::InstallProgressNotifierInterface* progress, std::string& problem)
{
    pkg::MultipleFileReader source;
    if (index == nullptr || !OpenParts(path, source))
        return Refuse(problem, "The package cannot be read");
    // The reader logs its failure line; the tap keeps it out of any log the tool's caller has open.
    LogTap tap;
    pkg::IndexedStreamReader checked(source, index);
    std::vector<uint8_t> buffer(size_t(1) << 20);
    int64_t total = 0;
    for (int64_t got = 0; (got = checked.read(buffer.data(), buffer.size())) > 0;)
    {
        total += got;
        if (progress != nullptr)
            progress->BytesProcessed(got);
    }
    if (checked.failed())
    {
        const std::string& line = checked.failure();
        const std::string::size_type text = line.find_first_not_of(' ');
        return Refuse(problem, text == std::string::npos ? line : line.substr(text));
    }
    // The reader stops only at the end of the indexed range or at a failure; anything else would be a
    // stream that ended early without saying so.
    if (total != index->streamLength() - index->dataStart())
        return Refuse(problem, "The package ends " +
                                   std::to_string(index->streamLength() - index->dataStart() - total) +
                                   " bytes before the end its signed index names");
    return true;
}

}  // namespace vex::tools
