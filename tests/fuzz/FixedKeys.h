#pragma once

// Signing keys made from fixed seeds, so that the seed writer and the signature target agree on them
// without any key file in the source tree: key 1 and key 2 are trusted by the target, key 3 is not.

#include "pkg/trust/Ed25519Key.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace fuzz
{
inline vex::pkg::Ed25519Key fixedKey(uint8_t which)
{
    std::array<uint8_t, 32> seed{};
    for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(which * 37 + i);
    return vex::pkg::Ed25519Key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
}

// The key's public half as a key folder holds it.
inline bool writePublicPem(const vex::pkg::Ed25519Key& key, const std::string& path)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    return file && PEM_write_PUBKEY(file.get(), key.handle()) == 1;
}
}  // namespace fuzz
