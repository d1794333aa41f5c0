#pragma once

#include "pkg/trust/Ed25519Key.h"
#include "pkg/trust/PackageIndex.h"
#include "pkg/trust/SignedStreamScanner.h"

#include <memory>
#include <string>
#include <vector>

namespace vex::pkg::writer
{
// Signs packages and makes signing keys, for the tools and tests (never on the instrument, which holds
// public keys only). Signing puts a signed index and its signature at the front of the stream: the parts are
// written anew beside the old ones and renamed over them only once complete and synced, so a failed signing
// leaves the package as it was. A package that already carries an index, or an old signature at its end, has
// it replaced. Every operation returns false with a one-line reason in `error`.
class PackageSigner
{
public:
    // What a package says about its signature, for listing.
    struct Inspection
    {
        SignedStreamScanner::Outcome outcome = SignedStreamScanner::Outcome::kNoSignature;
        uint32_t scheme = 0;
        std::string keyId;        // hex, empty without a signature
        int64_t signedBytes = 0;  // bytes before the signature chunk
        // The package's index, as it stands (not verified), for a package signed with one; null otherwise.
        std::shared_ptr<const PackageIndex> index;
    };

    // What the index says of the release besides its chunks. Unset fields keep what an index being replaced
    // said, or are zero.
    struct Release
    {
        bool hasVersion = false;
        PackageVersion version;
        bool hasMinInstaller = false;
        InstallerVersion minInstaller;
    };

    // Writes a new Ed25519 key pair: the private key as unencrypted PKCS #8 PEM readable by its owner only,
    // the public key as SubjectPublicKeyInfo PEM. Existing files are never overwritten.
    static bool generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                                std::string& error);

    // Signs the package at `path` (one file, or the first part "...001" of a split package) with `key`, which
    // must hold a private key.
    static bool sign(const std::string& path, const Ed25519Key& key, std::string& error);
    static bool sign(const std::string& path, const Ed25519Key& key, const Release& release,
                     std::string& error);
    static bool sign(const std::string& path, const std::string& privateKeyPath, std::string& error);

    static bool inspect(const std::string& path, Inspection& inspection, std::string& error);
};

}  // namespace vex::pkg::writer
