#include "tools/vex-pkg/ItemDecoder.h"

#include "base/InstallProgressNotifierInterface.h"
#include "instrument/MD5Algorithm.h"
#include "pkg/decode/ProcessingStrategy.h"
#include "pkg/items/DataInfo.h"
#include "pkg/read/IStreamReader.h"

#include <new>

namespace vex::tools
{
namespace
{
const int64_t kLargestBuffer = int64_t(1) << 31;  // no strategy asks for more; a bigger ask is broken
}  // namespace

ItemDecoder::Result ItemDecoder::Digest(const pkg::DataInfo& data, pkg::ProcessingStrategy& strategy,
                                        base::InstallProgressNotifierInterface* progress, int64_t& produced,
                                        std::string& hexDigest)
{
    produced = 0;
    pkg::IStreamReader* reader = data.reader();
    int64_t remaining = reader != nullptr ? reader->size() : -1;
    if (reader == nullptr || remaining < 0 || !reader->seek(0))
        return kNoData;
    const int64_t bufferSize = strategy.bufferSize();
    if (bufferSize <= 0 || bufferSize > kLargestBuffer)
        return kDecodeError;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(bufferSize)]);
    if (!buffer)
        return kDecodeError;
    instrument::MD5Algorithm md5;
    while (remaining != 0)
    {
        const int64_t before = remaining;
        const int64_t n = strategy.process(reader, remaining, buffer.get());
        // A call that neither consumed nor produced anything would repeat for ever.
        if (n < 0 || n > bufferSize || remaining > before || remaining < 0 || (n == 0 && remaining == before))
            return kDecodeError;
        md5.update(buffer.get(), static_cast<size_t>(n));
        produced += n;
        if (progress != nullptr)
            progress->BytesProcessed(before - remaining);
    }
    md5.finalize();
    hexDigest = md5.hexDigest();
    return kOk;
}

std::string ItemDecoder::Hex(const uint8_t* digest, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i)
    {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0xf];
    }
    return hex;
}

}  // namespace vex::tools
