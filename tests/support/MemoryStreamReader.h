#pragma once

#include "IStreamReader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

// An item's window held in memory, counting what is read so that tests can tell reading from seeking.
// `claimedSize` lets a test describe a window that reaches past the data it can deliver.
class MemoryStreamReader : public IStreamReader
{
public:
    explicit MemoryStreamReader(std::vector<uint8_t> data, int64_t claimedSize = -1)
        : data_(std::move(data)), size_(claimedSize < 0 ? static_cast<int64_t>(data_.size()) : claimedSize)
    {
    }

    int64_t read(void* buffer, uint64_t length) override
    {
        const uint64_t available = position_ < data_.size() ? data_.size() - position_ : 0;
        const uint64_t n = std::min(length, available);
        if (n > 0)
            std::memcpy(buffer, data_.data() + position_, n);
        position_ += n;
        bytesRead += n;
        return static_cast<int64_t>(n);
    }
    bool seek(uint64_t offset) override
    {
        if (offset > data_.size())
            return false;
        position_ = offset;
        return true;
    }
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int64_t size() override { return size_; }

    uint64_t bytesRead = 0;

private:
    std::vector<uint8_t> data_;
    int64_t size_;
    uint64_t position_ = 0;
};
