#include "tools/vex-pkg/PackageSignature.h"

#include "pkg/items/ItemUnknown.h"
#include "pkg/read/PackageChunksLoader.h"
#include "pkg/trust/IPkgVerifier.h"
#include "pkg/trust/SecurityLevel1Factory.h"
#include "pkg/trust/SignatureFormat.h"
#include "tools/vex-pkg/ToolSupport.h"

namespace vex::tools
{
bool PackageSignature::Inspect(const std::string& path, std::string& error)
{
    inspection_ = pkg::writer::PackageSigner::Inspection();
    return pkg::writer::PackageSigner::inspect(path, inspection_, error);
}

std::string PackageSignature::Scheme() const
{
    return inspection_.scheme == pkg::SignatureFormat::kSchemeEd25519Sha512
               ? std::string("ed25519-sha512")
               : "scheme " + std::to_string(inspection_.scheme);
}

std::string PackageSignature::Description() const
{
    using Outcome = pkg::SignedStreamScanner::Outcome;
    switch (inspection_.outcome)
    {
        case Outcome::kSigned:
            return Scheme() + " key ID " + KeyId();
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
    // The signature, when the package is signed, is its last chunk and the installer's walk ends on it.
    return Signed() && index + 1 == package.items().size() &&
           dynamic_cast<const pkg::ItemUnknown*>(package.items()[index].get()) != nullptr;
}

bool PackageSignature::Check(const std::string& path, const std::string& keyDirectory,
                             base::InstallProgressNotifierInterface* progress, std::string& detail)
{
    pkg::SecurityLevel1Factory factory(keyDirectory);
    const std::unique_ptr<pkg::IPkgVerifier> verifier = factory.createVerifier(progress);
    // The installer's own load: its part discovery, its framing check, then the verifier.
    pkg::PackageChunksLoader loader(nullptr);
    LogTap tap;
    const bool verified = loader.load(path, verifier.get());
    detail = verifier->resultDetail();
    if (detail.empty())
    {
        const std::vector<std::string> lines = tap.Take();
        detail = lines.empty() ? "the package cannot be read" : lines.back();
    }
    const std::string::size_type text = detail.find_first_not_of(' ');
    detail.erase(0, text == std::string::npos ? detail.size() : text);
    return verified;
}

}  // namespace vex::tools
