#pragma once

#include "pkg/read/IStreamReader.h"

#include <cstdint>
#include <vector>

namespace vex::pkg
{
// Bytes already in memory seen as a stream, so that encoders and measurements drive the same strategy
// interface as a package window does. It does not own the bytes; they must outlive the reader.
class MemoryViewReader : public IStreamReader
{
public:
    MemoryViewReader(const unsigned char* data, uint64_t length);
    explicit MemoryViewReader(const std::vector<unsigned char>& bytes);

    int64_t read(void* buffer, uint64_t length) override;
    // A failed seek leaves the position where it was.
    bool seek(uint64_t offset) override;
    int64_t tell() override;
    int64_t size() override;

private:
    const unsigned char* data_;
    uint64_t length_;
    uint64_t position_ = 0;
};

}  // namespace vex::pkg
