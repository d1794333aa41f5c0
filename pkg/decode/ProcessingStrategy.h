#pragma once

#include <cstdint>

namespace vex::pkg
{
class IStreamReader;

// Turns an item's stored bytes into the bytes to install, one block per call, into a buffer the caller
// provides. The caller loops while `remaining` is not 0; each call consumes stored bytes (decreasing
// `remaining`, never increasing it) and returns how many bytes it wrote, or -1 on any error.
class ProcessingStrategy
{
public:
    virtual ~ProcessingStrategy() = default;

    // `output` holds at least bufferSize() bytes.
    virtual int64_t process(IStreamReader* reader, int64_t& remaining, char* output) = 0;
    // The output capacity a caller must provide.
    virtual int64_t bufferSize() = 0;

    // As process, into a buffer of only `capacity` bytes: an outer strategy that packs several results
    // into one buffer uses it, so that no stored length can make a block spill past the caller's buffer.
    // Strategies that know their output length before writing override it; this fallback decodes into a
    // scratch buffer and fails when the result does not fit.
    virtual int64_t processWithin(IStreamReader* reader, int64_t& remaining, char* output, int64_t capacity);
};

}  // namespace vex::pkg
