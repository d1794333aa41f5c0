#pragma once

#include "pkg/decode/ProcessingStrategy.h"

#include <memory>

namespace vex::pkg
{
// Walks the sub-chunk framing of compressed file data (type 256 or 257, size, body, padding to 4 bytes)
// and hands each body to the inner strategy. One sub-chunk per call.
class SubChunckReadingStrategy : public ProcessingStrategy
{
public:
    // Takes ownership of `inner`.
    explicit SubChunckReadingStrategy(ProcessingStrategy* inner);
    explicit SubChunckReadingStrategy(std::unique_ptr<ProcessingStrategy> inner);

    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override;
    int64_t bufferSize() override;

private:
    std::unique_ptr<ProcessingStrategy> inner_;
};

}  // namespace vex::pkg
