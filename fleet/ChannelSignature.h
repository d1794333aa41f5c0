#pragma once

#include "pkg/trust/Ed25519Key.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vex::fleet
{
// The detached signature of a channel document, NAME.json.sig beside NAME.json: a marker, the signing key's
// ID and an Ed25519 signature over kContext followed by the SHA-512 digest of the document's exact bytes.
// The context differs from a package index's, so neither signature passes for the other.
class ChannelSignature
{
public:
    static constexpr char kContext[] = "vex-pkg channel document, Ed25519 over SHA-512, v1";
    static constexpr char kMarker[] = "VCHSIG01";
    static constexpr size_t kMarkerSize = sizeof kMarker - 1;
    static constexpr size_t kSize =
        kMarkerSize + sizeof(pkg::Ed25519Key::KeyId) + sizeof(pkg::Ed25519Key::Signature);

    // The signature file's bytes for `document`, signed with `key` (a private key). False with a reason.
    static bool sign(const std::string& document, const pkg::Ed25519Key& key, std::string& signature,
                     std::string& why);

    // Splits a signature file into key ID and signature; false for anything not exactly such a file.
    static bool read(const std::string& bytes, pkg::Ed25519Key::KeyId& keyId,
                     pkg::Ed25519Key::Signature& value);

    // What the signature signs: the context, then SHA-512 of `document`. False when the digest fails.
    static bool message(const std::string& document, std::vector<uint8_t>& message);
};

}  // namespace vex::fleet
