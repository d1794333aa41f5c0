#pragma once

#include "pkg/writer/PackageSigner.h"

#include <memory>
#include <string>

namespace vex::base
{
class InstallProgressNotifierInterface;
}

namespace vex::tools
{
class OpenedPackage;

// What a package says about its signature (for listing and verifying), and the installer's own check of it
// against a folder of trusted public keys. A package is signed in one of two layouts: with a signed index at
// its start (what the tools write and the installer accepts), or the old way, with the signature chunk at
// its end, which the installer refuses.
class PackageSignature
{
public:
    // Reads the package's lead-in and its index and signature chunks, if it has them. False with `error`
    // when the package cannot be read.
    bool Inspect(const std::string& path, std::string& error);

    // A signature chunk where the package's layout puts it (its key may still be unknown and its signature
    // bad); for an index, one that parses.
    bool Signed() const { return inspection_.outcome == pkg::SignedStreamScanner::Outcome::kSigned; }
    // Signed the old way, with the signature chunk ending the package.
    bool SignedAtTheEnd() const { return Signed() && !HasIndexLeadIn(); }
    // The package starts with the lead-in of a signed index (whether or not the index can be read).
    bool HasIndexLeadIn() const { return indexLeadIn_; }
    // The index as the package carries it (not verified); null without one.
    const std::shared_ptr<const pkg::PackageIndex>& Index() const { return inspection_.index; }
    // "ed25519-index", "ed25519-sha512" (the old way), or "scheme N" for one this tool does not know.
    std::string Scheme() const;
    const std::string& KeyId() const { return inspection_.keyId; }
    // "unsigned", "ed25519-index key ID <hex>", "ed25519-sha512 key ID <hex>, signed the old way; sign
    // again", or what is wrong with the signature.
    std::string Description() const;
    // For an old signature: what to do about it; empty otherwise.
    static const char* OldWayNote() { return "signed the old way; sign again"; }
    // Whether the package's item at `index` (file order, as `package` was opened) is its index or signature
    // chunk, which the installer does not install: the two chunks after the lead-in of an indexed package
    // read without its index, or the last chunk of a package signed the old way.
    bool IsSignatureItem(const OpenedPackage& package, size_t index) const;

    // Runs the installer's verifier with the keys of `keyDirectory` over the package. True when a trusted key
    // signed it; `detail` is the verifier's line ("Signed by key ...", or why the package is refused) and
    // `index` the index it vouches for (null when it refused the package).
    static bool Check(const std::string& path, const std::string& keyDirectory,
                      base::InstallProgressNotifierInterface* progress, std::string& detail,
                      std::shared_ptr<const pkg::PackageIndex>& index);

private:
    pkg::writer::PackageSigner::Inspection inspection_;
    bool indexLeadIn_ = false;
};

}  // namespace vex::tools
