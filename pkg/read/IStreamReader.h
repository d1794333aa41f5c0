#pragma once

#include <cstdint>

namespace vex::pkg
{
// A random-access byte source with 64-bit positions. Every byte of a package is read through it.
// No operation throws: failures are 0 bytes read, false, or -1 for an unknown position or size.
class IStreamReader
{
public:
    virtual ~IStreamReader() = default;

    // Reads up to `length` bytes into `buffer`; returns the number delivered (0 on any failure).
    virtual int64_t read(void* buffer, uint64_t length) = 0;
    // Moves to an absolute offset from the start.
    virtual bool seek(uint64_t offset) = 0;
    virtual int64_t tell() = 0;
    virtual int64_t size() = 0;
};

}  // namespace vex::pkg
