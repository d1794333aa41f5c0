#include "tools/vex-pkg/PackageSignature.h"

#include "pkg/items/ItemUnknown.h"
#include "pkg/read/PackageChunksLoader.h"
#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/IndexFormat.h"
#include "pkg/trust/SecurityLevel1Factory.h"
#include "pkg/trust/SignatureFormat.h"
#include "tools/vex-pkg/IndexCheck.h"
#include "tools/vex-pkg/ToolSupport.h"

namespace vex::tools
{
namespace
{
std::string Trimmed(const std::string& line)
{
    const std::string::size_type text = line.find_first_not_of(' ');
    return text == std::string::npos ? std::string() : line.substr(text);
}
}  // namespace

bool PackageSignature::Inspect(const std::string& path, std::string& error)
{
    inspection_ = pkg::writer::PackageSigner::Inspection();
    indexLeadIn_ = false;
    if (!pkg::writer::PackageSigner::inspect(path, inspection_, error))
        return false;
    indexLeadIn_ = IndexCheck::HasIndex(path);
    return true;
}

std::string PackageSignature::Scheme() const
{
    switch (inspection_.scheme)
    {
        case pkg::IndexFormat::kSchemeEd25519Index:
            return "ed25519-index";
        case pkg::SignatureFormat::kSchemeEd25519Sha512:
            return "ed25519-sha512";
        default:
            return "scheme " + std::to_string(inspection_.scheme);
    }
}

std::string PackageSignature::Description() const
{
    if (HasIndexLeadIn())
        return Signed() ? Scheme() + " key ID " + KeyId() : "damaged: the signed index cannot be read";
    using Outcome = pkg::SignedStreamScanner::Outcome;
    switch (inspection_.outcome)
    {
        case Outcome::kSigned:
            return Scheme() + " key ID " + KeyId() + ", " + OldWayNote();
        case Outcome::kNoSignature:
            return "unsigned";
        case Outcome::kTwoSignatures:
            return "damaged: two signature chunks";
        case Outcome::kBytesAfterSignature:
            return "damaged: bytes after the signature chunk";
        case Outcome::kUnsupportedSignature:
            return "damaged: a signature chunk of an unsupported size";
        case Outcome::kCutShort:
        case Outcome::kBadChunk:
            return "unknown: the chunks cannot be walked to the end";
        case Outcome::kHashFailed:
            break;
    }
    return "unknown: the package digest could not be computed";
}

bool PackageSignature::IsSignatureItem(const OpenedPackage& package, size_t index) const
{
    if (package.ThroughIndex() || index >= package.items().size() ||
        dynamic_cast<const pkg::ItemUnknown*>(package.items()[index].get()) == nullptr)
        return false;
    // Read without its index, an indexed package's walk starts on the index chunk and the signature chunk
    // after it (the inspection found both there when it found the package signed).
    if (HasIndexLeadIn())
        return Signed() && index < 2;
    // The old signature, when there is one, is the last chunk and the installer's walk ends on it.
    return Signed() && index + 1 == package.items().size();
}

bool PackageSignature::Check(const std::string& path, const std::string& keyDirectory,
                             base::InstallProgressNotifierInterface* progress, std::string& detail,
                             std::shared_ptr<const pkg::PackageIndex>& index)
{
    index.reset();
    pkg::SecurityLevel1Factory factory(keyDirectory);
    const std::unique_ptr<pkg::IPkgVerifier> verifier = factory.createVerifier(progress);
    // The installer's own load: its part discovery, its framing check, then the verifier.
    pkg::PackageChunksLoader loader(nullptr);
    LogTap tap;
    const bool verified = loader.load(path, verifier.get());
    detail = Trimmed(verifier->resultDetail());
    if (detail.empty())
    {
        // Refused before the verifier ran (a chunk that reaches past the end, a part that cannot be read):
        // the loader's last detail line says why, the lines after it only that loading failed.
        const std::vector<std::string> lines = tap.Take();
        for (const std::string& line : lines)
            if (line.compare(0, 4, "    ") == 0 && !Trimmed(line).empty())
                detail = Trimmed(line);
        if (detail.empty())
            detail = lines.empty() ? "the package cannot be read" : Trimmed(lines.back());
    }
    if (verified)
        index = verifier->signedIndex();
    return verified;
}

}  // namespace vex::tools
