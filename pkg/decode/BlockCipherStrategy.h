#pragma once

#include "pkg/decode/ProcessingStrategy.h"

#include <memory>
#include <vector>

namespace vex::pkg
{
class CBlockCipher;
class IKeyProvider;

// Common ground of the cipher strategies: builds the cipher for a cipher type (1 Blowfish, 2 DES) from a
// copy of the key. Without a key, or for any other type, there is no cipher and every call fails.
class BlockCipherStrategy : public ProcessingStrategy
{
public:
    // Takes the key of the process's security level.
    explicit BlockCipherStrategy(int cipherType);
    // Takes the key from `keys` (may be null: no key).
    BlockCipherStrategy(int cipherType, IKeyProvider* keys);
    ~BlockCipherStrategy() override;

    BlockCipherStrategy(const BlockCipherStrategy&) = delete;
    BlockCipherStrategy& operator=(const BlockCipherStrategy&) = delete;

    // A full segment: 65 536 plain bytes become 65 552 stored ones.
    int64_t bufferSize() override;

protected:
    const CBlockCipher* cipher() const { return cipher_.get(); }

private:
    std::vector<unsigned char> key_;
    std::unique_ptr<CBlockCipher> cipher_;
};

}  // namespace vex::pkg
