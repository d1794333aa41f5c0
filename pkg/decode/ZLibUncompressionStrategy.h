#pragma once

#include "pkg/decode/ProcessingStrategy.h"

#include <memory>
#include <vector>

struct z_stream_s;

namespace vex::pkg
{
// Inflates one zlib stream that is known to yield `expectedLength` bytes. The stream is whatever is left
// of the stored bytes, up to zlib's bound for a 1 MiB block.
class ZLibUncompressionStrategy : public ProcessingStrategy
{
public:
    explicit ZLibUncompressionStrategy(int64_t expectedLength);
    ~ZLibUncompressionStrategy() override;

    ZLibUncompressionStrategy(const ZLibUncompressionStrategy&) = delete;
    ZLibUncompressionStrategy& operator=(const ZLibUncompressionStrategy&) = delete;

    int64_t process(IStreamReader* reader, int64_t& remaining, char* output) override;
    int64_t bufferSize() override { return expectedLength_; }

    // Lets one object serve block after block without giving up its compressed-data buffer.
    void setExpectedLength(int64_t expectedLength) { expectedLength_ = expectedLength; }

private:
    struct InflateEnd
    {
        void operator()(z_stream_s* stream) const;
    };

    int64_t expectedLength_;
    std::vector<unsigned char> compressed_;
    // One inflater, reset for each block: the one-shot call would build and free its state every time.
    std::unique_ptr<z_stream_s, InflateEnd> inflater_;
};

}  // namespace vex::pkg
