#pragma once

#include "pkg/read/IStreamReader.h"
#include "pkg/read/MemoryViewReader.h"

#include <cstdint>
#include <utility>
#include <vector>

// Bytes held in memory seen as a stream, for tests: it owns its bytes and counts what is read, so that tests
// can tell reading from seeking. `claimedSize` lets a test describe a window that reaches past the data it
// can deliver.
class MemoryStreamReader : public vex::pkg::IStreamReader
{
public:
    explicit MemoryStreamReader(std::vector<unsigned char> data, int64_t claimedSize = -1)
        : data_(std::move(data)),
          view_(data_),
          size_(claimedSize < 0 ? static_cast<int64_t>(data_.size()) : claimedSize)
    {
    }
    MemoryStreamReader(const MemoryStreamReader&) = delete;
    MemoryStreamReader& operator=(const MemoryStreamReader&) = delete;

    int64_t read(void* buffer, uint64_t length) override
    {
        const int64_t n = view_.read(buffer, length);
        bytesRead += static_cast<uint64_t>(n);
        return n;
    }
    bool seek(uint64_t offset) override { return view_.seek(offset); }
    int64_t tell() override { return view_.tell(); }
    int64_t size() override { return size_; }

    uint64_t bytesRead = 0;

private:
    std::vector<unsigned char> data_;
    vex::pkg::MemoryViewReader view_;
    int64_t size_;
};
