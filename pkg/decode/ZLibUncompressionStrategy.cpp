#include "pkg/decode/ZLibUncompressionStrategy.h"

#include "pkg/read/IStreamReader.h"

#include <zlib.h>

#include <limits>

namespace vex::pkg
{
namespace
{
const uLong kLargestBlock = 1048576;
}

void ZLibUncompressionStrategy::InflateEnd::operator()(z_stream_s* stream) const
{
    inflateEnd(stream);
    delete stream;
}

ZLibUncompressionStrategy::ZLibUncompressionStrategy(int64_t expectedLength) : expectedLength_(expectedLength)
{
}

ZLibUncompressionStrategy::~ZLibUncompressionStrategy() = default;

int64_t ZLibUncompressionStrategy::process(IStreamReader* reader, int64_t& remaining, char* output)
{
    if (reader == nullptr || output == nullptr || remaining <= 0 || expectedLength_ < 0 ||
        expectedLength_ > static_cast<int64_t>(std::numeric_limits<uInt>::max()))
    {
        return -1;
    }
    const int64_t bound = static_cast<int64_t>(compressBound(kLargestBlock));
    const int64_t length = remaining < bound ? remaining : bound;
    if (compressed_.size() < static_cast<size_t>(length))
    {
        compressed_.resize(static_cast<size_t>(length));
    }
    if (reader->read(compressed_.data(), static_cast<uint64_t>(length)) != length)
    {
        return -1;
    }
    if (!inflater_)
    {
        std::unique_ptr<z_stream> stream(new z_stream());
        if (inflateInit(stream.get()) != Z_OK)
        {
            return -1;
        }
        inflater_.reset(stream.release());
    }
    else if (inflateReset(inflater_.get()) != Z_OK)
    {
        return -1;
    }

    // A one-shot inflate: the block counts only if its stream ends within the stored bytes and within the
    // expected length; a stream that would inflate to more stops at the capacity and fails. What follows
    // the end of the stream is ignored. An empty block still needs somewhere to point the output.
    unsigned char spare = 0;
    z_stream& stream = *inflater_;
    stream.next_in = compressed_.data();
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = expectedLength_ != 0 ? reinterpret_cast<Bytef*>(output) : &spare;
    stream.avail_out = expectedLength_ != 0 ? static_cast<uInt>(expectedLength_) : 1;
    if (inflate(&stream, Z_FINISH) != Z_STREAM_END ||
        static_cast<int64_t>(stream.total_out) > expectedLength_)
    {
        return -1;
    }
    remaining -= length;
    return static_cast<int64_t>(stream.total_out);
}

}  // namespace vex::pkg
