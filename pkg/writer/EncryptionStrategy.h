#pragma once

#include "pkg/decode/BlockCipherStrategy.h"

namespace vex::pkg::writer
{
// The counterpart of DecryptionStrategy: turns up to 65 536 plain bytes per call into one stored segment.
// Packages are built with it; the installer never encrypts.
class EncryptionStrategy : public BlockCipherStrategy
{
public:
    // Where the segments' initialisation vectors come from: the C generator, or the first 8 bytes of the
    // MD5 of the segment's plain bytes, so that the same file always encrypts to the same bytes (a package
    // built twice from the same inputs is the same package).
    enum class Vectors
    {
        Random,
        FromContent,
    };

    explicit EncryptionStrategy(int cipherType, Vectors vectors = Vectors::Random)
        : BlockCipherStrategy(cipherType), vectors_(vectors)
    {
    }

    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override;

private:
    Vectors vectors_;
};

}  // namespace vex::pkg::writer
