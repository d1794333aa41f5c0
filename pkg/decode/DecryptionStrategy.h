#pragma once

#include "pkg/decode/BlockCipherStrategy.h"

namespace vex::pkg
{
// Decrypts one stored CBC segment per call, in the caller's buffer.
class DecryptionStrategy : public BlockCipherStrategy
{
public:
    using BlockCipherStrategy::BlockCipherStrategy;

    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override;
};

}  // namespace vex::pkg
