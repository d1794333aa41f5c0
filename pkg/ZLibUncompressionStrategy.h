#pragma once

#include "ProcessingStrategy.h"

#include <vector>

// Inflates one zlib stream that is known to yield `expectedLength` bytes. The stream is whatever is left
// of the stored bytes, up to zlib's bound for a 1 MiB block.
class ZLibUncompressionStrategy : public ProcessingStrategy
{
public:
    explicit ZLibUncompressionStrategy(int64_t expectedLength);

    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override;
    int64_t bufferSize() override { return expectedLength_; }

    // Lets one object serve block after block without giving up its compressed-data buffer.
    void setExpectedLength(int64_t expectedLength) { expectedLength_ = expectedLength; }

private:
    int64_t expectedLength_;
    std::vector<unsigned char> compressed_;
};
