#pragma once

#include "app/parameters/IParametersIO.h"

#include <cstddef>
#include <string>

namespace vex::app
{
// Decodes the parameter block (layout: instrument::ParameterBlock) and clears its header, so that it is used
// only once.
class ParametersDeserializer
{
public:
    static constexpr std::size_t kHeaderSize = instrument::ParameterBlock::kHeaderSize;
    static constexpr std::size_t kFlagsOffset = instrument::ParameterBlock::kFlagsOffset;
    static constexpr std::size_t kStringsOffset = instrument::ParameterBlock::kStringsOffset;
    // Each string with its NUL fits in this many bytes.
    static constexpr std::size_t kMaxStringSize = instrument::ParameterBlock::kMaxStringSize;

    // The accessor is not owned.
    explicit ParametersDeserializer(IParametersIO* io);

    // False, with the outputs and the block untouched, when the block cannot be opened or a string has no
    // NUL within its limit.
    bool Read(std::string& pkgFileName, std::string& logFileName, int& installFlags);

private:
    IParametersIO* io_;
    unsigned char* block_ = nullptr;
};

}  // namespace vex::app
