#pragma once

#include "pkg/decode/ProcessingStrategy.h"

namespace vex::pkg
{
// Copies stored bytes as they are, one block at a time: plain file data, system images and scripts.
class ReadingStrategy : public ProcessingStrategy
{
public:
    // The block the installer copies plain data in.
    static constexpr int64_t kPlainBlock = 1048576;

    explicit ReadingStrategy(int64_t blockSize);

    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override;
    int64_t bufferSize() override { return blockSize_; }

private:
    int64_t blockSize_;
};

}  // namespace vex::pkg
