#pragma once

#include "BlockCipherStrategy.h"

// The counterpart of DecryptionStrategy: turns up to 65 536 plain bytes per call into one stored segment.
// Packages are built with it; the installer never encrypts.
class EncryptionStrategy : public BlockCipherStrategy
{
public:
    using BlockCipherStrategy::BlockCipherStrategy;

    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override;
};
