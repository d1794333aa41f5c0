#include "pkg/writer/EncryptionStrategy.h"

#include "instrument/MD5Algorithm.h"
#include "pkg/decode/CbcSegment.h"
#include "pkg/read/IStreamReader.h"

namespace vex::pkg::writer
{
int64_t EncryptionStrategy::process(IStreamReader* reader, int64_t& remaining, char* output)
{
    if (reader == nullptr || output == nullptr || remaining <= 0 || cipher() == nullptr)
    {
        return -1;
    }
    const int64_t length = remaining < CbcSegment::kMaxPlainLength ? remaining : CbcSegment::kMaxPlainLength;
    // The plain bytes go straight behind the room for the vector and are encrypted where they lie.
    unsigned char* segment = reinterpret_cast<unsigned char*>(output);
    unsigned char* plain = segment + CbcSegment::kBlockSize;
    if (reader->read(plain, static_cast<uint64_t>(length)) != length)
    {
        return -1;
    }
    unsigned char vector[instrument::MD5Algorithm::kDigestSize];
    if (vectors_ == Vectors::FromContent)
    {
        instrument::MD5Algorithm md5;
        md5.update(plain, static_cast<size_t>(length));
        md5.finalize();
        md5.digest(vector);
    }
    const int64_t stored = CbcSegment::encrypt(*cipher(), plain, length, segment,
                                               vectors_ == Vectors::FromContent ? vector : nullptr);
    if (stored < 0)
    {
        return -1;
    }
    remaining -= length;
    return stored;
}

}  // namespace vex::pkg::writer
