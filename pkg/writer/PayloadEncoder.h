#pragma once

#include "pkg/writer/EncryptionStrategy.h"

#include <cstddef>
#include <vector>

namespace vex::pkg::writer
{
// Turns a file's plain bytes into the layouts a package stores them in: what the package builder needs, and
// the exact counterpart of the strategies that decode them.
class PayloadEncoder
{
public:
    // Cipher 1 (Blowfish) or 2 (DES) with the security level's key: one CBC segment per 65 536 plain bytes.
    // An empty file stores nothing. False for another cipher type or when there is no key.
    static bool encrypt(int cipherType, const unsigned char* plain, size_t length,
                        std::vector<unsigned char>& stored,
                        EncryptionStrategy::Vectors vectors = EncryptionStrategy::Vectors::Random);

    // Compression 1: one sub-chunk of type 256 per 1 MiB of plain bytes, each body a Qt-framed zlib block
    // (big-endian inflated length, then the zlib stream), padded to a multiple of 4. False if zlib fails.
    static bool compress(const unsigned char* plain, size_t length, std::vector<unsigned char>& stored);
};

}  // namespace vex::pkg::writer
