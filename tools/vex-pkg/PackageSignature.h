#pragma once

#include "pkg/writer/PackageSigner.h"

#include <string>

namespace vex::base
{
class InstallProgressNotifierInterface;
}

namespace vex::tools
{
class OpenedPackage;

// What a package says about its signature (for listing and verifying), and the installer's own check of it
// against a folder of trusted public keys.
class PackageSignature
{
public:
    // Reads the package's signature chunk, if it has one. False with `error` when the package cannot be read.
    bool Inspect(const std::string& path, std::string& error);

    // One signature chunk ending the package (its key may still be unknown and its signature bad).
    bool Signed() const { return inspection_.outcome == pkg::SignedStreamScanner::Outcome::kSigned; }
    // "ed25519-sha512", or "scheme N" for one this tool does not know.
    std::string Scheme() const;
    const std::string& KeyId() const { return inspection_.keyId; }
    // "unsigned", "ed25519-sha512 key ID <hex>", or what is wrong with the signature chunk.
    std::string Description() const;
    // Whether the package's item at `index` (file order) is its signature chunk, which the installer walks
    // over as an unknown chunk.
    bool IsSignatureItem(const OpenedPackage& package, size_t index) const;

    // Runs the installer's verifier with the keys of `keyDirectory` over the package. True when a trusted key
    // signed it; `detail` is the verifier's line ("Signed by key ...", or why the package is refused).
    static bool Check(const std::string& path, const std::string& keyDirectory,
                      base::InstallProgressNotifierInterface* progress, std::string& detail);

private:
    pkg::writer::PackageSigner::Inspection inspection_;
};

}  // namespace vex::tools
