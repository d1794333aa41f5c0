#pragma once

#include "BlockCipherStrategy.h"

// Decrypts one stored CBC segment per call, in the caller's buffer.
class DecryptionStrategy : public BlockCipherStrategy
{
public:
    using BlockCipherStrategy::BlockCipherStrategy;

    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override;
};
