#pragma once

#include "instrument/ParameterBlock.h"

#include <cstddef>

namespace vex::app
{
// Access to the memory where the program that prepared the update left the run's parameters.
class IParametersIO
{
public:
    // The parameter block is the whole 64 KiB of the processor's on-chip RAM; nothing may be read past it.
    static constexpr std::size_t kBlockSize = instrument::ParameterBlock::kBlockSize;

    virtual ~IParametersIO() = default;

    // Start of the parameter block (kBlockSize bytes, writable), or null when the memory is not reachable.
    // Valid until Close() or the next Open().
    virtual unsigned char* Open() = 0;
    virtual void Close() = 0;
};

}  // namespace vex::app
