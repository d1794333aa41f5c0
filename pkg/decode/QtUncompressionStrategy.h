#pragma once

#include "pkg/decode/ProcessingStrategy.h"
#include "pkg/decode/ZLibUncompressionStrategy.h"

namespace vex::pkg
{
// One Qt-framed block: the inflated length as a big-endian 32-bit number, then a zlib stream that must
// inflate to exactly that many bytes, at most 1 MiB.
class QtUncompressionStrategy : public ProcessingStrategy
{
public:
    static const int64_t kLargestBlock = 1048576;

    QtUncompressionStrategy();

    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override;
    int64_t bufferSize() override { return kLargestBlock; }
    // Refuses a block whose stated length exceeds `capacity` before anything is inflated.
    int64_t processWithin(IStreamReader* reader, int64_t& remaining, char* output, int64_t capacity) override;

private:
    ZLibUncompressionStrategy inflater_;
};

}  // namespace vex::pkg
