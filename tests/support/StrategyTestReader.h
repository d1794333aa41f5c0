#pragma once

#include <gtest/gtest.h>
#include "pkg/decode/ProcessingStrategy.h"
#include "tests/support/MemoryStreamReader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

// The extractor's loop over a whole stored payload. The output buffer is exactly bufferSize() bytes, so
// that the sanitizers catch any write past it. Returns false on a strategy error.
inline bool DriveStrategy(vex::pkg::ProcessingStrategy& strategy, const std::vector<unsigned char>& stored,
                          std::vector<unsigned char>& produced, std::vector<int64_t>* blockSizes = nullptr)
{
    MemoryStreamReader reader(stored);
    produced.clear();
    // Kept from call to call while the size is the same: allocating 1 MiB per payload would dominate the
    // sanitizer runs of the tests that try every truncation.
    static std::unique_ptr<char[]> buffer;
    static int64_t bufferLength = 0;
    if (bufferLength != strategy.bufferSize())
    {
        bufferLength = strategy.bufferSize();
        buffer.reset(new char[static_cast<size_t>(bufferLength)]);
    }
    int64_t remaining = static_cast<int64_t>(stored.size());
    // Every call consumes at least a byte, so the call count is bounded by the payload length.
    for (size_t calls = 0; remaining != 0; ++calls)
    {
        if (calls > stored.size())
        {
            ADD_FAILURE() << "strategy loops without consuming";
            return false;
        }
        const int64_t before = remaining;
        const int64_t n = strategy.process(&reader, remaining, buffer.get());
        if (n < 0)
        {
            return false;
        }
        EXPECT_LE(n, strategy.bufferSize());
        EXPECT_LT(remaining, before);
        EXPECT_GE(remaining, 0);
        if (remaining >= before || remaining < 0)
        {
            return false;
        }
        produced.insert(produced.end(), buffer.get(), buffer.get() + n);
        if (blockSizes != nullptr)
        {
            blockSizes->push_back(n);
        }
    }
    return true;
}

inline std::vector<unsigned char> PatternBytes(size_t length, unsigned seed = 1)
{
    std::vector<unsigned char> bytes(length);
    uint32_t x = seed * 2654435761U + 1;
    for (auto& b : bytes)
    {
        x = x * 1103515245U + 12345U;
        b = static_cast<unsigned char>(x >> 16);
    }
    return bytes;
}
